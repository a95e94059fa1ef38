// Mounts as the listing sees them: real mounts made in a private mount
// namespace of a child process, then the program run there on them; and the
// pieces the listing tells mounts and entry types by.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix/mounts.h"
#include "platform/posix/path_text.h"
#include "platform/posix/posix_platform.h"
#include "support/utf.h"
#include "temp_folder.h"

namespace quorrex {
namespace {

using testing::TempFolder;

struct Listing {
  int code = -1;
  std::string out;
};

// In a child with a private mount namespace: the shell commands `setUp`,
// then `more`, then the program on `scan` with -s and `workers` readers.
// Nothing when the system refuses the namespace or its mounts.
std::optional<Listing> InPrivateMounts(const std::string& setUp, const std::function<bool()>& more,
                                       const std::string& scan, int workers) {
  char outPath[] = "/tmp/quorrex-mounts-XXXXXX";
  const int outFile = mkstemp(outPath);
  if (outFile < 0) return std::nullopt;
  unlink(outPath);
  const pid_t child = fork();
  if (child == 0) {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      _exit(125);
    }
    if (!setUp.empty() && std::system(("set -e; " + setUp).c_str()) != 0) _exit(125);
    if (more && !more()) _exit(125);
    setenv("QUORREX_WORKERS", std::to_string(workers).c_str(), 1);
    dup2(outFile, STDOUT_FILENO);
    execl(QUORREX_PROGRAM, QUORREX_PROGRAM, scan.c_str(), "-s", nullptr);
    _exit(126);
  }
  int status = 0;
  waitpid(child, &status, 0);
  Listing listing;
  listing.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  lseek(outFile, 0, SEEK_SET);
  char chunk[4096];
  for (ssize_t got = 0; (got = read(outFile, chunk, sizeof chunk)) > 0;) {
    listing.out.append(chunk, static_cast<size_t>(got));
  }
  close(outFile);
  if (listing.code == 125) return std::nullopt;
  return listing;
}

// A chain of `levels` folders of 200-byte names under `top`, made one
// folder at a time so that its length is no limit; the open deepest one.
int MakeChain(const std::string& top, int levels) {
  const std::string name(200, 'd');
  int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int i = 0; i < levels && fd >= 0; ++i) {
    mkdirat(fd, name.c_str(), 0755);
    const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(fd);
    fd = next;
  }
  return fd;
}

// Removes everything inside the open folder `fd` at any depth, and closes it.
void EmptyDeep(int fd) {
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    return;
  }
  std::vector<std::string> names;
  while (const dirent* found = readdir(dir)) {
    const std::string name = found->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  for (const std::string& name : names) {
    if (unlinkat(dirfd(dir), name.c_str(), 0) == 0) continue;
    const int inner = openat(dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (inner >= 0) EmptyDeep(inner);
    unlinkat(dirfd(dir), name.c_str(), AT_REMOVEDIR);
  }
  closedir(dir);
}

// Mounts a tmpfs named `source` on the folder `name` of the open folder
// `fd`, and puts a link "inside" into it.
bool MountTmpfsAt(int fd, const char* name, const char* source) {
  if (fchdir(fd) != 0) return false;
  mkdir(name, 0755);
  if (mount(source, name, "tmpfs", 0, nullptr) != 0) return false;
  return symlink("t", (std::string(name) + "/inside").c_str()) == 0;
}

// Each case in a namespace of its own, with 1 and with 4 readers, which
// must print the same listing. A mount is told by its mount ID: a bind of a
// parent or a covered mount's folder is a plain folder, entered and listed;
// a recursive bind copies its mounts as volumes; the mount on top of a stack
// is the one shown; a mount point beyond PATH_MAX is known like any other.
TEST(PosixMounts, ToldByTheirMountId) {
  TempFolder root;
  const std::string r = root.path();
  ASSERT_TRUE(root.Folder("parent") && root.Folder("parent/x") && root.Folder("parent/y") &&
              root.Folder("parent/x/m") && root.Link("parent/x/m/ln", "t") &&
              root.File("parent/x/m/a"));
  ASSERT_EQ(link(root.At("parent/x/m/a").c_str(), root.At("parent/x/m/b").c_str()), 0);
  ASSERT_TRUE(root.Folder("covered") && root.Folder("covered/c") && root.Folder("covered/c/b"));
  ASSERT_TRUE(root.Folder("rbind") && root.Folder("rbind/s") && root.Folder("rbind/chroot") &&
              root.Folder("rbind/chroot/dev"));
  ASSERT_TRUE(root.Folder("stack") && root.Folder("stack/m"));
  ASSERT_TRUE(root.Folder("self") && root.Folder("self/f") && root.Link("self/f/ln", "t"));
  ASSERT_TRUE(root.Folder("deep"));
  const std::string deepScan = root.At("deep");

  struct Case {
    const char* name;
    std::string setUp;
    std::function<bool()> more;
    std::string scan;
    std::vector<std::string> present, absent;
  };
  const std::string x = r + "/parent/x", y = r + "/parent/y", c = r + "/covered/c";
  const std::string dev = r + "/rbind/chroot/dev", s = r + "/rbind/s";
  const std::vector<Case> cases = {
      {"bind of a parent, the copy",
       "mount -t tmpfs qxover " + x + "/m; mount --bind " + x + " " + y,
       nullptr,
       y,
       {"reparse point (symlink) " + y + "/m/ln\n", "group of 2 hard links:\n"},
       {"mountpoint)", "qxover"}},
      {"bind of a parent, the original",
       "mount -t tmpfs qxover " + x + "/m; mount --bind " + x + " " + y,
       nullptr,
       x,
       {"reparse point (volume mountpoint) " + x + "/m\n -> qxover (tmpfs)\n"},
       {"/m/ln\n", "hard links:"}},
      {"covered child",
       "mount -t tmpfs qxinner " + c + "/b; mount -t tmpfs qxcover " + c + "; mkdir " + c +
           "/b; ln -s t " + c + "/b/ln",
       nullptr,
       c,
       {"reparse point (symlink) " + c + "/b/ln\n"},
       {"mountpoint)", "qxinner"}},
      {"recursive bind",
       "mount -t tmpfs qxdev " + s + "; mkdir " + s + "/pts " + s + "/shm " + s +
           "/shm/sub; mount -t tmpfs qxpts " + s + "/pts; mount -t tmpfs qxshm " + s +
           "/shm; mount --rbind " + s + " " + dev,
       nullptr,
       dev,
       {"reparse point (volume mountpoint) " + dev + "/pts\n -> qxpts (tmpfs)\n",
        "reparse point (volume mountpoint) " + dev + "/shm\n -> qxshm (tmpfs)\n",
        "    - 2 volume mount points\n    - 0 directory junction points\n"},
       {"directory mountpoint"}},
      {"stacked on one folder",
       "mount -t tmpfs qxlow " + r + "/stack/m; mount -t tmpfs qxtop " + r + "/stack/m; ln -s t " +
           r + "/stack/m/ln",
       nullptr,
       r + "/stack",
       {"reparse point (volume mountpoint) " + r + "/stack/m\n -> qxtop (tmpfs)\n"},
       {"qxlow", "/m/ln\n"}},
      {"bound onto itself",
       "mount --bind " + r + "/self/f " + r + "/self/f",
       nullptr,
       r + "/self",
       {"reparse point (symlink) " + r + "/self/f/ln\n"},
       {"mountpoint)"}},
      {"below and beyond PATH_MAX",
       "",
       [&deepScan] {
         // 10 levels: about 2000 bytes; 25: past PATH_MAX.
         const int mid = MakeChain(deepScan, 10);
         const int bottom = MakeChain(deepScan, 25);
         return mid >= 0 && bottom >= 0 && MountTmpfsAt(mid, "m", "qxmid") &&
                MountTmpfsAt(bottom, "m", "qxdeep");
       },
       deepScan,
       {"    - 2 volume mount points\n", "/m\n -> qxmid (tmpfs)\n"},
       {"/inside\n", "directory mountpoint"}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    std::string outputs[2];
    for (const int workers : {1, 4}) {
      const std::optional<Listing> listing = InPrivateMounts(k.setUp, k.more, k.scan, workers);
      if (!listing) GTEST_SKIP() << "mounts in a private mount namespace are refused here";
      EXPECT_EQ(listing->code, 0) << listing->out;
      outputs[workers == 4] = listing->out;
    }
    for (const std::string& text : k.present) {
      EXPECT_NE(outputs[0].find(text), std::string::npos) << text << "\nin\n" << outputs[0];
    }
    for (const std::string& text : k.absent) {
      EXPECT_EQ(outputs[0].find(text), std::string::npos) << text << "\nin\n" << outputs[0];
    }
    EXPECT_EQ(outputs[0], outputs[1]);
  }
  EmptyDeep(open(deepScan.c_str(), O_RDONLY | O_DIRECTORY));
}

// The older kernels' way to a mount ID names the mount the newer names, and
// the table knows it by that ID.
TEST(PosixMounts, BothWaysToTheMountIdAgree) {
  TempFolder root;
  ASSERT_TRUE(root.Folder("f"));
  MountTable table;
  table.Load();
  if (!table.HasIds()) GTEST_SKIP() << "no mountinfo table here";
  const int fd = open(root.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  for (const char* name : {"", "f"}) {
    uint64_t byStatx = 0, byHandle = 0, chosen = 0;
    size_t index = 0;
    ASSERT_TRUE(MountIdOf(fd, name, chosen)) << name;
    EXPECT_TRUE(table.IndexOf(chosen, index)) << name;
    if (MountIdByStatx(fd, name, byStatx)) {
      EXPECT_EQ(byStatx, chosen) << name;
    }
    if (MountIdByHandle(fd, name, byHandle)) {
      EXPECT_EQ(byHandle, chosen) << name;
    }
  }
  close(fd);
}

// Where a folder's own ID cannot be had, the table names its mount by the
// folder's name among its parent mount's and the device it is on: the one on
// top of a stack, and none of another device or parent.
TEST(PosixMounts, ByNameInTheParentMount) {
  const std::string table =
      "20 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
      "30 20 0:50 / /srv/m rw - tmpfs low rw\n"
      "31 30 0:51 / /srv/m rw - tmpfs top rw\n"
      "32 20 0:52 / /srv/m2 rw - tmpfs other rw\n"
      "40 20 0:60 / /dev/pts rw - devpts devpts rw\n"
      "41 33 0:60 / /chroot/dev/pts rw - devpts devpts rw\n";
  const auto mounts = ParseMountInfo(table);
  ASSERT_EQ(mounts.size(), 6u);
  EXPECT_TRUE(mounts[1].hasId);
  EXPECT_EQ(mounts[2].parent, 30u);

  struct Case {
    uint64_t parent;
    const char* name;
    const char* device;
    int index;  // -1: none
  };
  const Case cases[] = {
      {20, "m", "0:51", 2},   // the top of the stack
      {20, "m", "0:50", -1},  // the covered one is not what the folder shows
      {20, "m2", "0:52", 3},   {20, "pts", "0:60", 4},
      {20, "pts", "0:61", -1},  // another file system than the one mounted there
      {33, "pts", "0:60", 5},   // a recursive bind's copy
      {21, "m", "0:51", -1},
  };
  MountTable loaded;
  loaded.Take(mounts);
  for (const Case& k : cases) {
    size_t index = 0;
    const bool found = loaded.IndexByName(k.parent, k.name, k.device, index);
    EXPECT_EQ(found ? static_cast<int>(index) : -1, k.index) << k.parent << " " << k.name;
  }
  // A copy of a whole file system is a volume however often it is mounted;
  // a folder inside one mounted already is a bind.
  EXPECT_TRUE(TargetOfMount(mounts, 5).volume);
  EXPECT_EQ(TargetOfMount(mounts, 5).text, "devpts (devpts)");
}

// In a child with a private mount namespace: lists `root` (the mount table
// is read then), runs `mountLate`, then opens each of `names` through that
// listing as the walk enters a plain subfolder, and says what it found: one
// line a name, "<name> <listed as a mount point> <mounted since listed>
// <described: source (type)>". Nothing when mounts are refused here.
std::optional<std::string> OpenedAfterLateMounts(const std::string& root,
                                                 const std::function<bool()>& setUp,
                                                 const std::function<bool()>& mountLate,
                                                 const std::vector<std::string>& names) {
  int report[2];
  if (pipe(report) != 0) return std::nullopt;
  const pid_t child = fork();
  if (child == 0) {
    close(report[0]);
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      _exit(125);
    }
    if (!setUp()) _exit(125);
    PosixPlatform platform;
    const std::u16string folder = DecodeUtf8Lossless(root);
    EntryRef top;
    top.path = folder;
    uint32_t error = 0;
    auto listing = platform.OpenListing(folder + u"/*", top, error);
    if (!listing) _exit(124);
    FileId id;
    (void)listing->Identity(id);  // as the walk asks each folder it opens
    std::vector<std::pair<std::u16string, uint32_t>> listed;
    FindData entry;
    while (listing->Next(entry)) listed.emplace_back(entry.Name(), entry.attributes);
    if (!mountLate()) _exit(125);
    std::string text;
    for (const std::string& name : names) {
      const std::u16string wide = DecodeUtf8Lossless(name);
      uint32_t attributes = kInvalidFileAttributes;
      for (const auto& [n, a] : listed) {
        if (n == wide) attributes = a;
      }
      const std::u16string path = folder + u"/" + wide;
      const EntryRef ref{path, listing.get(), wide, attributes};
      auto opened = platform.OpenListing(path + u"/*", ref, error);
      MountFacts facts;
      const EntryRef asReparse{path, listing.get(), wide, attributes | kAttrReparsePoint};
      const bool described = platform.DescribeMount(path, asReparse, facts);
      text += name + " " + ((attributes & kAttrReparsePoint) != 0 ? "1" : "0") + " " +
              (opened && opened->MountedSinceListed() ? "1" : "0") + " " +
              (described ? EncodeUtf8Lossless(facts.source) + " (" +
                               EncodeUtf8Lossless(facts.fsType) + ")"
                         : "-") +
              "\n";
    }
    if (write(report[1], text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      _exit(124);
    }
    _exit(0);
  }
  close(report[1]);
  std::string text;
  char chunk[4096];
  for (ssize_t got = 0; (got = read(report[0], chunk, sizeof chunk)) > 0;) {
    text.append(chunk, static_cast<size_t>(got));
  }
  close(report[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 125) return std::nullopt;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  return text;
}

// A mount made after the table was read, at a name no mount of the table
// stands at, is a mount point once its folder is opened: the device the
// folder's identity already gives differs from its parent's. It is
// described from the table read again, as a mount found at the start is: a
// tmpfs by its source and type, a bind of "/" (from a tree on a tmpfs of its
// own) as the volume "/" is.
TEST(PosixMounts, AMountMadeAfterTheTableWasReadIsOneWhenEntered) {
  TempFolder root;
  const std::string r = root.path();
  MountTable table;
  table.Load();
  std::string rootShown;
  for (const MountEntry& mount : table.mounts()) {
    if (mount.point == "/") rootShown = mount.source + " (" + mount.type + ")";
  }
  const auto setUp = [&] {
    return mount("qx-tree", r.c_str(), "tmpfs", 0, nullptr) == 0 && root.Folder("plain") &&
           root.Folder("qx-late-tmpfs") && root.Folder("qx-late-root");
  };
  const auto mountLate = [&] {
    return mount("qx-source", root.At("qx-late-tmpfs").c_str(), "tmpfs", 0, nullptr) == 0 &&
           mount("/", root.At("qx-late-root").c_str(), nullptr, MS_BIND, nullptr) == 0;
  };
  const auto found =
      OpenedAfterLateMounts(r, setUp, mountLate, {"plain", "qx-late-tmpfs", "qx-late-root"});
  if (!found) GTEST_SKIP() << "mounts in a private mount namespace are refused here";
  if (!table.HasIds() || rootShown.empty()) {
    // Without mount IDs a mount is not looked up in the table: the device form.
    EXPECT_NE(found->find("qx-late-tmpfs 0 1 "), std::string::npos) << *found;
    EXPECT_NE(found->find("qx-late-root 0 1 "), std::string::npos) << *found;
    return;
  }
  EXPECT_EQ(*found,
            "plain 0 0 -\n"
            "qx-late-tmpfs 0 1 qx-source (tmpfs)\n"
            "qx-late-root 0 1 " +
                rootShown + "\n");
}

// An entry its listing gives no type for is asked for its own: a link is a
// link, whatever it leads to.
TEST(PosixMounts, EntryWithoutAListedType) {
  TempFolder root;
  ASSERT_TRUE(root.Folder("dir") && root.File("file") && root.Link("to-dir", "dir") &&
              root.Link("dangling", "none"));
  ASSERT_EQ(mkfifo(root.At("fifo").c_str(), 0644), 0);
  const int fd = open(root.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const struct {
    const char* name;
    unsigned char listed, type;
  } cases[] = {
      {"dir", DT_UNKNOWN, DT_DIR},    {"file", DT_UNKNOWN, DT_REG},
      {"to-dir", DT_UNKNOWN, DT_LNK}, {"dangling", DT_UNKNOWN, DT_LNK},
      {"fifo", DT_UNKNOWN, DT_FIFO},  {"missing", DT_UNKNOWN, DT_FIFO},
      {"to-dir", DT_LNK, DT_LNK},  // a listed type is taken as it is
  };
  for (const auto& k : cases) EXPECT_EQ(EntryType(fd, k.name, k.listed), k.type) << k.name;
  close(fd);
}

}  // namespace
}  // namespace quorrex
