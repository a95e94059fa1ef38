#include "platform/posix/mounts.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#ifdef __linux__
#include <sys/vfs.h>
#endif
#ifdef __APPLE__
#include <sys/mount.h>
#include <sys/param.h>
#endif

namespace quorrex {
namespace {

bool ReadWholeFile(const char* path, std::string& text) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char chunk[16384];
  for (;;) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      close(fd);
      return got == 0;
    }
    text.append(chunk, static_cast<size_t>(got));
  }
}

#ifdef __linux__
const char* NameOfMagic(unsigned long magic) {
  struct Magic {
    unsigned long value;
    const char* name;
  };
  static constexpr Magic kMagics[] = {
      {0xEF53, "ext4"},         {0x01021994, "tmpfs"},   {0x58465342, "xfs"},
      {0x9123683E, "btrfs"},    {0x794C7630, "overlay"}, {0x4D44, "vfat"},
      {0x2011BAB0, "exfat"},    {0x6969, "nfs"},         {0x65735546, "fuse"},
      {0x2FC12FC1, "zfs"},      {0x5346544E, "ntfs"},    {0xF2F52010, "f2fs"},
      {0x73717368, "squashfs"}, {0x9660, "iso9660"},     {0xFF534D42, "cifs"},
      {0x858458F6, "ramfs"},    {0x3153464A, "jfs"},     {0x52654973, "reiserfs"},
      {0x01021997, "9p"},       {0x62656572, "sysfs"},   {0x9FA0, "proc"},
  };
  for (const Magic& m : kMagics) {
    if (m.value == (magic & 0xFFFFFFFFul)) return m.name;
  }
  return "unknown";
}
#endif

}  // namespace

std::vector<MountEntry> ReadMounts() {
#ifdef __APPLE__
  std::vector<MountEntry> mounts;
  struct statfs* table = nullptr;
  const int count = getmntinfo(&table, MNT_NOWAIT);
  for (int i = 0; i < count; ++i) {
    MountEntry mount;
    mount.point = table[i].f_mntonname;
    mount.type = table[i].f_fstypename;
    mount.source = table[i].f_mntfromname;
    mounts.push_back(std::move(mount));
  }
  return mounts;
#else
  std::string text;
  if (ReadWholeFile("/proc/self/mountinfo", text)) return ParseMountInfo(text);
  text.clear();
  if (ReadWholeFile("/proc/mounts", text)) return ParseProcMounts(text);
  return {};
#endif
}

bool TypeByStatfs(const std::string& point, std::string& type) {
#ifdef __linux__
  struct statfs info;
  if (statfs(point.c_str(), &info) != 0) return false;
  type = NameOfMagic(static_cast<unsigned long>(info.f_type));
  return true;
#else
  (void)point;
  (void)type;
  return false;
#endif
}

bool TypeByStatfs(int fd, std::string& type) {
#ifdef __linux__
  struct statfs info;
  if (fstatfs(fd, &info) != 0) return false;
  type = NameOfMagic(static_cast<unsigned long>(info.f_type));
  return true;
#else
  (void)fd;
  (void)type;
  return false;
#endif
}

void MountTable::Load() {
  mounts_ = ReadMounts();
  for (size_t i = 0; i < mounts_.size(); ++i) {
    const std::string& point = mounts_[i].point;
    const size_t slash = point.rfind('/');
    if (point.empty() || point[0] != '/' || slash + 1 >= point.size()) continue;  // "/" itself
    // The folder that holds the point, as it shows now: a mount covered by
    // a later one on that folder is in a folder no listing reaches, and
    // one stacked on another is on top of it.
    const std::string holder = slash == 0 ? std::string("/") : point.substr(0, slash);
    struct stat st;
#ifdef AT_NO_AUTOMOUNT
    constexpr int kAtFlags = AT_NO_AUTOMOUNT;
#else
    constexpr int kAtFlags = 0;
#endif
    if (fstatat(AT_FDCWD, holder.c_str(), &st, kAtFlags) != 0) continue;
    std::vector<MountPointName>& names =
        holders_[Key{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)}];
    const std::string name = point.substr(slash + 1);
    bool stacked = false;
    for (MountPointName& known : names) {
      if (known.name == name) {
        known.mount = i;  // the later one is on top
        stacked = true;
      }
    }
    if (!stacked) names.push_back({name, i});
  }
}

const std::vector<MountPointName>* MountTable::PointsIn(dev_t device, ino_t inode) const {
  if (holders_.empty()) return nullptr;
  const auto found =
      holders_.find(Key{static_cast<uint64_t>(device), static_cast<uint64_t>(inode)});
  return found == holders_.end() ? nullptr : &found->second;
}

}  // namespace quorrex
