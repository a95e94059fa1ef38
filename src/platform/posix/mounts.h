// The mount table of the POSIX platform: read once per run, it tells which
// folders are mount points and what each one leads to.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
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

// A mount point inside a folder: its name there and the mount on top of it.
struct MountPointName {
  std::string name;
  size_t mount = 0;
};

class MountTable {
 public:
  // Reads the table and finds the folders that hold its mount points. Those
  // folders are looked up once, here, so that a listing only compares the
  // identity it has anyway.
  void Load();
  bool empty() const { return mounts_.empty(); }
  const std::vector<MountEntry>& mounts() const { return mounts_; }
  // The mount points in the folder with this identity; null when it holds
  // none.
  const std::vector<MountPointName>* PointsIn(dev_t device, ino_t inode) const;

 private:
  struct Key {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    size_t operator()(const Key& key) const {
      return static_cast<size_t>(key.inode * 0x9E3779B97F4A7C15ull ^ key.device);
    }
  };
  std::vector<MountEntry> mounts_;
  std::unordered_map<Key, std::vector<MountPointName>, KeyHash> holders_;
};

}  // namespace quorrex
