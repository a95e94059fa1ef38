// Pure path and mount-table texts of the POSIX platform.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorrex {

// `path` made absolute against `cwd` (itself absolute) with ".", ".." and
// repeated "/" resolved by the text alone, as the Windows full-path request
// does: ".." at the root stays at the root, and a trailing "/" is kept.
std::u16string MakeFullPath(std::u16string_view cwd, std::u16string_view path);

// One mounted file system: where it is mounted and its type name; from a
// mountinfo table also its mount ID and its parent's, its source, its device
// ("major:minor"), and the folder of its file system that shows at the point
// ("/" for the whole of it, more for a bind mount).
struct MountEntry {
  std::string point;
  std::string type;
  std::string source;
  std::string device;
  std::string root = "/";
  // The mount's own options as the table gives them ("rw,nosuid,relatime").
  std::string options;
  // The folder at its root was deleted (the kernel's "//deleted" after the
  // root, which `root` no longer holds).
  bool deleted = false;
  bool hasId = false;
  uint64_t id = 0;
  uint64_t parent = 0;
};

// The mounts of a /proc/self/mountinfo text, in table order, with the octal
// escapes of the mount points ("\040" for a space) undone.
std::vector<MountEntry> ParseMountInfo(std::string_view text);
// The same from the older /proc/mounts layout.
std::vector<MountEntry> ParseProcMounts(std::string_view text);

// The mount whose point is the longest prefix of `path` at a "/" boundary;
// of mounts stacked on one point, the last one (the one on top). Null when
// `path` is not absolute or no mount holds it.
const MountEntry* FindMountFor(const std::vector<MountEntry>& mounts, std::string_view path);

// Without a mount table: the highest folder above `path` (or above its
// deepest existing folder) on the same device as it.
std::string MountPointByDevice(const std::string& path);

// What a mount at `mounts[index]` leads to, as the listing shows it. A mount
// of the whole of a file system (its root "/") is a volume, whose text is its
// source and type: "/dev/sdb1 (ext4)", however often that file system is
// mounted (a recursive bind copies /dev/pts as a volume again). So is the
// first mount of a device, whatever its root. A later mount of a folder
// inside a file system that is mounted already is a bind mount, whose text is where its folder is
// visible: the point of an earlier mount of the device whose root holds the bind's root (the
// nearest such root, whose path is not covered by a later mount on it or on a folder above it),
// joined with the rest of that root; or, with none (or when the bind's folder was deleted), the
// source and the root: "/dev/sdb1[/a/b]".
struct MountTarget {
  bool volume = true;
  std::string text;
  // The mount's row of the table; for one the table lacks, its type and its
  // device as the source.
  MountEntry mount;
};
MountTarget TargetOfMount(const std::vector<MountEntry>& mounts, size_t index);

// Whether a file system of this type can hold symbolic links.
bool FsTypeHoldsSymlinks(std::string_view type);

// Whether a mount of this type may be an NTFS volume served by ntfs-3g: a
// FUSE mount, whose table entry rarely says which program serves it (with
// `-o loop` its source is the image). Such a volume is then asked once
// whether it answers NTFS's own attributes.
bool FsTypeMayBeNtfs3g(std::string_view type);

}  // namespace quorrex
