// The mount table of the POSIX platform: read once per run, it tells which
// folders are mount points and what each one leads to.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/posix/path_text.h"

namespace quorrex {

// The mounts of the system's table in table order (/proc/self/mountinfo, or
// /proc/mounts, or getmntinfo); empty when there is no table to read.
std::vector<MountEntry> ReadMounts();

// The file-system type of the mount at `point`, or of the open folder `fd`,
// by its statfs magic number; false where that cannot be had.
bool TypeByStatfs(const std::string& point, std::string& type);
bool TypeByStatfs(int fd, std::string& type);

// The mount ID of `name` in the open folder `dirFd` (of `dirFd` itself for
// ""): the ID the mount table's first field names. A last link is not
// followed and no automount is set off. By statx (Linux 5.8 and later),
// else by name_to_handle_at (older kernels, file systems that give handles);
// false where neither tells.
bool MountIdOf(int dirFd, const char* name, uint64_t& id);
// Each way alone, for the tests.
bool MountIdByStatx(int dirFd, const char* name, uint64_t& id);
bool MountIdByHandle(int dirFd, const char* name, uint64_t& id);

// The mount table, read once per run. A mount is found by its ID, never by
// its path: the points of the table are text, and may be covered, copied by
// a bind of a parent or out of reach of a path.
class MountTable {
 public:
  // Reads the system's table; or takes the mounts of one read already.
  void Load();
  void Take(std::vector<MountEntry> mounts);
  bool empty() const { return mounts_.empty(); }
  bool HasIds() const { return !byId_.empty(); }
  // Whether any mount of the table may be an NTFS volume of ntfs-3g: where
  // none is, no folder is asked.
  bool MayHoldNtfs() const { return mayHoldNtfs_; }
  const std::vector<MountEntry>& mounts() const { return mounts_; }
  // The index of the mount with this ID; false when the table has none (it
  // was made after the table was read, or the table has no IDs).
  bool IndexOf(uint64_t id, size_t& index) const;
  // The index of the mount on top of the folder `name` of a folder of the
  // mount `parent`, told by the device it is on ("major:minor"), for a
  // folder whose own ID cannot be had; false when none is.
  bool IndexByName(uint64_t parent, std::string_view name, std::string_view device,
                   size_t& index) const;
  // Whether a mount of the table stands at a folder of this name (the last
  // component of its point): no other folder is one, but for a mount made
  // after the table was read.
  bool MayStandAt(std::string_view name) const {
    // Most names are told apart by their length or their first byte alone.
    const size_t length = std::min<size_t>(name.size(), kLongName);
    if (((pointLengths_ >> length) & 1) == 0) return false;
    const unsigned first = name.empty() ? 0 : static_cast<unsigned char>(name[0]);
    if (((pointFirsts_[first >> 6] >> (first & 63)) & 1) == 0) return false;
    return std::binary_search(pointNames_.begin(), pointNames_.end(), name, std::less<>());
  }

 private:
  std::vector<MountEntry> mounts_;
  std::vector<std::string> pointNames_;  // sorted
  // Of the names: a bit for each length (kLongName and more share one), and
  // one for each first byte (0 for an empty name).
  static constexpr size_t kLongName = 63;
  uint64_t pointLengths_ = 0;
  uint64_t pointFirsts_[4] = {};
  std::unordered_map<uint64_t, size_t> byId_;
  bool mayHoldNtfs_ = false;
};

}  // namespace quorrex
