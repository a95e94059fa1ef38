#include "platform/posix/mounts.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <iterator>
#include <utility>

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
  // Read straight into the text: the table of a busy host runs to hundreds
  // of kilobytes, and the stack may be small.
  constexpr size_t kChunk = 16384;
  for (;;) {
    const size_t used = text.size();
    text.resize(used + kChunk);
    const ssize_t got = read(fd, text.data() + used, kChunk);
    text.resize(used + (got > 0 ? static_cast<size_t>(got) : 0));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      close(fd);
      return got == 0;
    }
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

namespace {

// What statx told of a mount ID.
enum class StatxAnswer { kId, kFailed, kNeverTells };

StatxAnswer AskStatx(int dirFd, const char* name, uint64_t& id) {
#if defined(__linux__) && defined(STATX_MNT_ID)
  struct statx info {};
  const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC |
                    (*name == '\0' ? AT_EMPTY_PATH : 0);
  if (statx(dirFd, name, flags, STATX_MNT_ID, &info) != 0) {
    return errno == ENOSYS ? StatxAnswer::kNeverTells : StatxAnswer::kFailed;
  }
  if ((info.stx_mask & STATX_MNT_ID) == 0) return StatxAnswer::kNeverTells;  // before 5.8
  id = info.stx_mnt_id;
  return StatxAnswer::kId;
#else
  (void)dirFd;
  (void)name;
  (void)id;
  return StatxAnswer::kNeverTells;
#endif
}

}  // namespace

bool MountIdByStatx(int dirFd, const char* name, uint64_t& id) {
  return AskStatx(dirFd, name, id) == StatxAnswer::kId;
}

bool MountIdByHandle(int dirFd, const char* name, uint64_t& id) {
#ifdef __linux__
  // No room for the handle itself: the call says EOVERFLOW and gives the
  // mount ID all the same. A file system without handles says EOPNOTSUPP.
  struct file_handle handle {};
  handle.handle_bytes = 0;
  int mountId = 0;
  const int flags = *name == '\0' ? AT_EMPTY_PATH : 0;
  if (name_to_handle_at(dirFd, name, &handle, &mountId, flags) != 0 && errno != EOVERFLOW) {
    return false;
  }
  id = static_cast<uint64_t>(static_cast<uint32_t>(mountId));
  return true;
#else
  (void)dirFd;
  (void)name;
  (void)id;
  return false;
#endif
}

bool MountIdOf(int dirFd, const char* name, uint64_t& id) {
  // A kernel that does not give the ID by statx never does: from its first
  // such answer on, every folder is asked the older way alone.
  static std::atomic<bool> statxTells{true};
  if (statxTells.load(std::memory_order_relaxed)) {
    switch (AskStatx(dirFd, name, id)) {
      case StatxAnswer::kId:
        return true;
      case StatxAnswer::kNeverTells:
        statxTells.store(false, std::memory_order_relaxed);
        break;
      case StatxAnswer::kFailed:
        return false;  // gone, or not to be reached: the older way fares no better
    }
  }
  return MountIdByHandle(dirFd, name, id);
}

void MountTable::Load() {
  Take(ReadMounts());
}

void MountTable::Take(std::vector<MountEntry> mounts) {
  mounts_ = std::move(mounts);
  byId_.clear();
  pointNames_.clear();
  pointLengths_ = 0;
  std::fill(std::begin(pointFirsts_), std::end(pointFirsts_), uint64_t{0});
  mayHoldNtfs_ = false;
  for (size_t i = 0; i < mounts_.size(); ++i) {
    if (FsTypeMayBeNtfs3g(mounts_[i].type)) mayHoldNtfs_ = true;
    // Of two rows with one ID (none, in a table read whole) the later wins.
    if (mounts_[i].hasId) byId_[mounts_[i].id] = i;
    std::string_view point = mounts_[i].point;
    while (point.size() > 1 && point.back() == '/') point.remove_suffix(1);
    const std::string_view name = point.substr(point.rfind('/') + 1);
    pointNames_.emplace_back(name);
    pointLengths_ |= uint64_t{1} << std::min<size_t>(name.size(), kLongName);
    const unsigned first = name.empty() ? 0 : static_cast<unsigned char>(name[0]);
    pointFirsts_[first >> 6] |= uint64_t{1} << (first & 63);
  }
  std::sort(pointNames_.begin(), pointNames_.end());
}

bool MountTable::IndexOf(uint64_t id, size_t& index) const {
  const auto found = byId_.find(id);
  if (found == byId_.end()) return false;
  index = found->second;
  return true;
}

bool MountTable::IndexByName(uint64_t parent, std::string_view name, std::string_view device,
                             size_t& index) const {
  const auto lastName = [](std::string_view point) {
    while (point.size() > 1 && point.back() == '/') point.remove_suffix(1);
    const size_t slash = point.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : point.substr(slash + 1);
  };
  for (size_t i = 0; i < mounts_.size(); ++i) {
    const MountEntry& mount = mounts_[i];
    if (!mount.hasId || mount.parent != parent || lastName(mount.point) != name) continue;
    // A mount stacked on this one has it for parent and the same point: the
    // one on top is what the folder shows.
    // At most one step a row: a table that loops cannot hold the walk.
    size_t top = i;
    bool climbed = true;
    for (size_t steps = 0; climbed && steps < mounts_.size(); ++steps) {
      climbed = false;
      for (size_t j = 0; j < mounts_.size() && !climbed; ++j) {
        climbed = mounts_[j].hasId && mounts_[j].parent == mounts_[top].id &&
                  mounts_[j].point == mounts_[top].point && j != top;
        if (climbed) top = j;
      }
    }
    if (mounts_[top].device != device) continue;
    index = top;
    return true;
  }
  return false;
}

}  // namespace quorrex
