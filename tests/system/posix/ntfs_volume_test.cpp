// A real NTFS volume: an image made by mkntfs, mounted by ntfs-3g, holding
// one reparse point of every kind, DOS names and hard links. Its listing is
// the one the Windows program gives for the same tree on the in-memory
// machine, paths aside: one table of entries builds both.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "launch.h"
#include "memory_machine.h"
#include "reparse_bytes.h"
#include "run/run_program.h"
#include "temp_folder.h"

namespace quorrex::testing {
namespace {

struct Entry {
  enum Kind { kFolder, kFile, kReparse, kDosName, kHardLink, kInterix };
  Kind kind;
  std::string path;             // below the volume's root, '/' between names
  std::vector<uint8_t> data{};  // kReparse: the data NTFS stores
  bool folder = false;          // kReparse: a folder reparse point
  std::string other{};          // kDosName: the DOS name; kHardLink: the file
  std::u16string leadsTo{};     // kReparse: where the walk goes through it
};

std::vector<uint8_t> WofData(uint32_t algorithm) {
  ReparseBytes b(24);
  return b.Header(0x80000017u, 16).U32(8, 1).U32(12, 2).U32(16, 1).U32(20, algorithm).raw();
}

// Each folder's entries in the order NTFS lists them (by their upper case);
// on the volume, a DOS name is given before the file has a second name.
std::vector<Entry> Tree() {
  return {
      {Entry::kReparse, "app",
       AppExecData({u"Microsoft.WindowsTerminal_8wekyb3d8bbwe",
                    u"Microsoft.WindowsTerminal_8wekyb3d8bbwe!App",
                    u"C:\\Program Files\\WindowsApps\\wt.exe", u"0"})},
      {Entry::kFolder, "b"},
      {Entry::kFile, "b/Copy of report.txt"},
      {Entry::kReparse, "cloud.txt", RawReparseData(0x9000701Au, {1, 0, 0, 0})},
      {Entry::kReparse, "dedup.txt", RawReparseData(0x80000013u, {0, 1, 2, 3, 4, 5, 6, 7})},
      {Entry::kFolder, "dir1"},
      {Entry::kFile, "dir1/inside.txt"},
      {Entry::kReparse, "elsewhere", MountPointData(u"\\??\\D:\\other", u"D:\\other"), true, "",
       u"D:\\other"},
      {Entry::kReparse, "file link.txt",
       SymlinkData(u"\\??\\C:\\dir1\\inside.txt", u"C:\\dir1\\inside.txt")},
      {Entry::kInterix, "interix.txt", {}, false, "dir1/inside.txt"},
      {Entry::kReparse, "junction", MountPointData(u"\\??\\C:\\dir1", u"C:\\dir1"), true, "",
       u"C:\\dir1"},
      {Entry::kFile, "Long name file.txt"},
      {Entry::kDosName, "Long name file.txt", {}, false, "LONGNA~1.TXT"},
      {Entry::kFile, "Pair one.txt"},
      {Entry::kDosName, "Pair one.txt", {}, false, "PAIRON~1.TXT"},
      {Entry::kHardLink, "Pair two.txt", {}, false, "Pair one.txt"},
      {Entry::kReparse, "relative.txt",
       SymlinkData(u"dir1\\inside.txt", u"dir1\\inside.txt", kSymlinkRelative)},
      {Entry::kFile, "report.txt"},
      {Entry::kHardLink, "b/Copy of report.txt.lnk", {}, false, "report.txt"},
      {Entry::kReparse, "volume",
       MountPointData(u"\\??\\Volume{12345678-90ab-cdef-1234-567890abcdef}\\"), true, "",
       u"\\\\?\\Volume{12345678-90ab-cdef-1234-567890abcdef}\\"},
      {Entry::kReparse, "wof.dll", WofData(1)},
  };
}

// The tree on the in-memory machine's drive C:.
void BuildOnMachine(MemoryMachine& machine) {
  const auto windows = [](const std::string& path) {
    std::u16string wide = u"C:\\";
    for (const char c : path) wide.push_back(c == '/' ? u'\\' : static_cast<char16_t>(c));
    return wide;
  };
  for (const Entry& e : Tree()) {
    switch (e.kind) {
      case Entry::kFolder:
        machine.AddFolder(windows(e.path));
        break;
      case Entry::kFile:
        machine.AddFile(windows(e.path));
        break;
      case Entry::kReparse:
        if (machine.Find(windows(e.path)) != nullptr) machine.Remove(windows(e.path));
        machine.AddReparsePoint(windows(e.path), e.data, e.folder)->redirect = e.leadsTo;
        break;
      case Entry::kDosName:
        break;  // a DOS name is no link on Windows
      case Entry::kHardLink:
        machine.AddHardLink(windows(e.other), windows(e.path));
        break;
      case Entry::kInterix:
        machine.AddFile(windows(e.path), 0x24);  // system and archive, no reparse bit
        break;
    }
  }
}

bool Shell(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// The tree on an NTFS image mounted by ntfs-3g, mounted again read-only
// once written (ntfs-3g keeps the old type of a file given reparse data).
class NtfsVolume {
 public:
  // Empty when it cannot be had here; `why` says why.
  bool Make(std::string& why) {
    if (access("/dev/fuse", R_OK | W_OK) != 0) return why = "no /dev/fuse", false;
    if (!Shell("command -v mkntfs && command -v ntfs-3g"))
      return why = "no mkntfs or ntfs-3g", false;
    image_ = folder_.At("ntfs.img");
    mount_ = folder_.At("volume");
    if (mkdir(mount_.c_str(), 0755) != 0) return why = "no mount folder", false;
    if (!Shell("truncate -s 16M '" + image_ + "' && mkntfs -F -f -q '" + image_ + "'")) {
      return why = "mkntfs failed", false;
    }
    if (!Mount("")) return why = "ntfs-3g mount refused", false;
    const bool written = Write();
    if (!Unmount() || !written || !Mount("ro")) return why = "the tree could not be written", false;
    return true;
  }
  ~NtfsVolume() { Unmount(); }
  const std::string& root() const { return mount_; }
  // Mounted again read-only with more ntfs-3g options.
  bool Remount(const std::string& options) { return Unmount() && Mount("ro," + options); }

 private:
  bool Mount(const std::string& options) {
    mounted_ = Shell("ntfs-3g -o loop" + (options.empty() ? "" : "," + options) + " '" + image_ +
                     "' '" + mount_ + "'");
    return mounted_;
  }
  bool Unmount() {
    if (!mounted_) return true;
    mounted_ = !(Shell("umount '" + mount_ + "'") || Shell("fusermount -u '" + mount_ + "'"));
    return !mounted_;
  }
  bool Write() {
    for (const Entry& e : Tree()) {
      const std::string path = mount_ + "/" + e.path;
      bool ok = true;
      switch (e.kind) {
        case Entry::kFolder:
          ok = mkdir(path.c_str(), 0755) == 0;
          break;
        case Entry::kFile: {
          const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
          ok = fd >= 0 && close(fd) == 0;
          break;
        }
        case Entry::kReparse: {
          struct stat st;
          if (lstat(path.c_str(), &st) != 0) {
            const int fd = e.folder ? -1 : open(path.c_str(), O_WRONLY | O_CREAT, 0644);
            ok = e.folder ? mkdir(path.c_str(), 0755) == 0 : fd >= 0 && close(fd) == 0;
          }
          ok = ok && lsetxattr(path.c_str(), "system.ntfs_reparse_data", e.data.data(),
                               e.data.size(), 0) == 0;
          break;
        }
        case Entry::kDosName:
          ok = lsetxattr(path.c_str(), "system.ntfs_dos_name", e.other.data(), e.other.size(), 0) ==
               0;
          break;
        case Entry::kHardLink:
          ok = link((mount_ + "/" + e.other).c_str(), path.c_str()) == 0;
          break;
        case Entry::kInterix:
          ok = symlink(e.other.c_str(), path.c_str()) == 0;
          break;
      }
      if (!ok) {
        ADD_FAILURE() << "writing " << e.path << ": " << std::strerror(errno);
        return false;
      }
    }
    return true;
  }

  TempFolder folder_;
  std::string image_;
  std::string mount_;
  bool mounted_ = false;
};

// The output with the volume's paths in Windows form: the mount folder is
// C:\, and '/' becomes '\' up to the end of the path (a line's end, or a
// quote in the records, where a '\' stands doubled).
std::string AsOnWindows(const std::string& out, const std::string& root, bool json) {
  const std::string separator = json ? "\\\\" : "\\";
  std::string text;
  size_t at = 0;
  for (size_t found; (found = out.find(root, at)) != std::string::npos;) {
    text.append(out, at, found - at);
    text += "C:" + separator;
    size_t end = found + root.size();
    if (end < out.size() && out[end] == '/') ++end;
    for (; end < out.size() && out[end] != '\n' && out[end] != '"'; ++end) {
      if (out[end] == '/') {
        text += separator;
      } else {
        text += out[end];
      }
    }
    at = end;
  }
  return text + out.substr(at);
}

std::string OnMachine(const std::u16string& spec, uint32_t workers, bool json) {
  MemoryMachine machine;
  BuildOnMachine(machine);
  Run run(machine);
  run.settings.walkWorkers = workers;
  run.UseFormat(json ? OutputFormat::kJson : OutputFormat::kText);
  RunProgram(run, {u"quorrex.exe", spec, u"-s"});
  // The Windows program ends its narrow lines with CR LF and begins its
  // listing by clearing the console line.
  std::string out;
  for (const char c : machine.out) {
    if (c != '\r') out += c;
  }
  return out;
}

// What the Windows program lists for the whole tree.
constexpr const char* kWholeVolume =
    "Quorrex 1.0\n"
    "reparse point (app exec link) C:\\app\n"
    " -> Microsoft.WindowsTerminal_8wekyb3d8bbwe\n"
    " -> Microsoft.WindowsTerminal_8wekyb3d8bbwe!App\n"
    " -> C:\\Program Files\\WindowsApps\\wt.exe\n"
    " -> 0\n"
    "reparse point unsupported Microsoft type IO_REPARSE_TAG_CLOUD_7\n"
    "reparse point (deduplicated) C:\\dedup.txt\n"
    "reparse point (directory mountpoint) C:\\elsewhere\n"
    " -> D:\\other\n"
    "reparse point (symlink) C:\\file link.txt\n"
    " -> C:\\dir1\\inside.txt\n"
    "reparse point (directory mountpoint) C:\\junction\n"
    " -> C:\\dir1\n"
    "reparse point (symlink) C:\\relative.txt\n"
    " -> dir1\\inside.txt\n"
    "reparse point (volume mountpoint) C:\\volume\n"
    " -> \\??\\Volume{12345678-90ab-cdef-1234-567890abcdef}\\\n"
    "reparse point (wof compressed) C:\\wof.dll\n"
    " -> version=1 algorithm=LZX\n"
    "group of 2 hard links:\n"
    " 1: C:\\b\\Copy of report.txt.lnk\n"
    " 2: C:\\report.txt\n"
    "group of 2 hard links:\n"
    " 1: C:\\Pair one.txt\n"
    " 2: C:\\Pair two.txt\n"
    "\n"
    "summary\n"
    "* 9 reparse points:\n"
    "  + 3 mount points:\n"
    "    - 1 volume mount point\n"
    "    - 2 directory junction points\n"
    "  + 2 symbolic links\n"
    "  + 1 app execute link\n"
    "  + 1 wof link\n"
    "  + 1 deduplication link\n"
    "  + 1 of other types\n"
    "* 2 hard link groups\n";

// The junctions the pattern passes over are walked through: the one into
// the volume finds its folder walked, the others have no folder there.
constexpr const char* kThroughJunctions =
    "Quorrex 1.0\n"
    "reparse point unsupported Microsoft type IO_REPARSE_TAG_CLOUD_7\n"
    "reparse point (deduplicated) C:\\dedup.txt\n"
    "error PATH_NOT_FOUND opening 'C:\\elsewhere\\*'\n"
    "reparse point (symlink) C:\\file link.txt\n"
    " -> C:\\dir1\\inside.txt\n"
    "folder already walked -> skip folder junction\n"
    "reparse point (symlink) C:\\relative.txt\n"
    " -> dir1\\inside.txt\n"
    "error PATH_NOT_FOUND opening 'C:\\volume\\*'\n"
    "group of 2 hard links:\n"
    " 1: C:\\Pair one.txt\n"
    " 2: C:\\Pair two.txt\n"
    "group of 2 hard links:\n"
    " 1: C:\\report.txt\n"
    "\n"
    "summary\n"
    "* 4 reparse points:\n"
    "  + 0 mount points:\n"
    "    - 0 volume mount points\n"
    "    - 0 directory junction points\n"
    "  + 2 symbolic links\n"
    "  + 0 app execute links\n"
    "  + 0 wof links\n"
    "  + 1 deduplication link\n"
    "  + 1 of other types\n"
    "* 2 hard link groups\n";

// The records with what only names the machine taken out: the volume and
// file numbers of a group, and the long form of the scan folder.
std::string WithoutIdentities(std::string json) {
  for (const char* field : {"\"volume\":\"0x", "\"file_id\":\"0x"}) {
    for (size_t at = 0; (at = json.find(field, at)) != std::string::npos;) {
      at += std::strlen(field);
      json.erase(at, json.find('"', at) - at);
    }
  }
  const std::string longForm = "\"scan_folder\":\"\\\\\\\\?\\\\";
  for (size_t at; (at = json.find(longForm)) != std::string::npos;) {
    json.replace(at, longForm.size(), "\"scan_folder\":\"");
  }
  return json;
}

TEST(NtfsVolume, ListedAsWindowsListsIt) {
  NtfsVolume volume;
  std::string why;
  if (!volume.Make(why)) {
    GTEST_SKIP() << "NTFS volume tests skipped: " << why;
  }
  const struct {
    const char* spec;  // below the root
    const char* listing;
  } cases[] = {
      {"", kWholeVolume},
      {"*.txt", kThroughJunctions},
  };
  for (const auto& c : cases) {
    for (const bool json : {false, true}) {
      for (const uint32_t workers : {1u, 4u}) {
        SCOPED_TRACE(std::string(c.spec) + (json ? " json " : " text ") + std::to_string(workers));
        const std::string spec = volume.root() + (*c.spec != 0 ? "/" : "") + c.spec;
        const Ended ended = Launch({spec, "-s"}, Out::kFile, 0, 0, [&] {
          setenv("QUORREX_WORKERS", std::to_string(workers).c_str(), 1);
          setenv("QUORREX_FORMAT", json ? "json" : "text", 1);
        });
        EXPECT_EQ(ended.code, 0);
        std::u16string windowsSpec = u"C:\\";
        for (const char* p = c.spec; *p != 0; ++p) windowsSpec.push_back(static_cast<char16_t>(*p));
        const std::string listed = AsOnWindows(ended.out, volume.root(), json);
        const std::string onWindows = OnMachine(windowsSpec, workers, json);
        if (json) {
          EXPECT_EQ(WithoutIdentities(listed), WithoutIdentities(onWindows));
          EXPECT_NE(listed.find("\"type\":\"end\""), std::string::npos);
        } else {
          EXPECT_EQ(listed, c.listing);
          EXPECT_EQ(onWindows, c.listing);
        }
      }
    }
  }
  // Counted without DOS names by ntfs-3g itself, the links are not asked
  // again: the same groups.
  ASSERT_TRUE(volume.Remount("posix_nlink"));
  const Ended ended = Launch({volume.root(), "-s"}, Out::kFile);
  EXPECT_EQ(ended.code, 0);
  EXPECT_EQ(AsOnWindows(ended.out, volume.root(), false), kWholeVolume);
}

}  // namespace
}  // namespace quorrex::testing
