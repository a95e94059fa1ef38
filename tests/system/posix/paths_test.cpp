// Full paths, the mount table, error codes and process facts.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/errno_map.h"
#include "platform/posix/path_text.h"
#include "platform/posix/posix_platform.h"
#include "support/utf.h"
#include "support/version.h"

namespace quorrex {
namespace {

TEST(PosixPathText, FullPathsResolveDotsBySpelling) {
  struct Case {
    std::u16string_view path, full;
  };
  const Case cases[] = {
      {u"a", u"/home/me/a"},
      {u"a/", u"/home/me/a/"},
      {u".", u"/home/me"},
      {u"./", u"/home/me/"},
      {u"..", u"/home"},
      {u"../x/./y", u"/home/x/y"},
      {u"../../../../x", u"/x"},
      {u"a//b///c", u"/home/me/a/b/c"},
      {u"a/..", u"/home/me"},
      {u"/", u"/"},
      {u"//", u"/"},
      {u"/..", u"/"},
      {u"/../", u"/"},
      {u"/a/b/..", u"/a"},
      {u"/a/./b/.", u"/a/b"},
      {u"/a/b/../../..//c/", u"/c/"},
      {u"/a/.../b", u"/a/.../b"},
      {u"/usr/*", u"/usr/*"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MakeFullPath(u"/home/me", c.path), c.full) << EncodeUtf8Lossless(c.path);
  }
}

TEST(PosixPathText, MountInfoLinesAndLongestPrefix) {
  const std::string table =
      "21 26 0:20 / /proc rw,relatime - proc proc rw\n"
      "26 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
      "30 26 8:2 / /home rw shared:2 master:3 - xfs /dev/sda2 rw\n"
      "31 30 8:3 / /home/my\\040data rw - vfat /dev/sdb1 rw\n"
      "32 26 0:40 / /mnt rw - tmpfs tmpfs rw\n"
      "33 32 0:41 / /mnt rw - btrfs /dev/sdc rw\n"
      "malformed line\n";
  const auto mounts = ParseMountInfo(table);
  ASSERT_EQ(mounts.size(), 6u);
  EXPECT_EQ(mounts[3].point, "/home/my data");
  EXPECT_EQ(mounts[3].type, "vfat");
  EXPECT_EQ(mounts[3].source, "/dev/sdb1");
  EXPECT_EQ(mounts[3].device, "8:3");
  EXPECT_EQ(mounts[3].root, "/");

  struct Case {
    std::string_view path, point, type;
  };
  const Case cases[] = {
      {"/", "/", "ext4"},
      {"/etc/passwd", "/", "ext4"},
      {"/home", "/home", "xfs"},
      {"/home/", "/home", "xfs"},
      {"/homer/x", "/", "ext4"},
      {"/home/my data/x/y", "/home/my data", "vfat"},
      {"/home/my", "/home", "xfs"},
      {"/mnt/new", "/mnt", "btrfs"},  // the later of two stacked mounts
  };
  for (const auto& c : cases) {
    const MountEntry* mount = FindMountFor(mounts, c.path);
    ASSERT_NE(mount, nullptr) << c.path;
    EXPECT_EQ(mount->point, c.point) << c.path;
    EXPECT_EQ(mount->type, c.type) << c.path;
  }
  EXPECT_EQ(FindMountFor(mounts, "relative"), nullptr);
  EXPECT_EQ(FindMountFor(mounts, ""), nullptr);

  const auto old = ParseProcMounts("/dev/sda1 / ext4 rw 0 0\nnone /a\\011b tmpfs rw 0 0\n");
  ASSERT_EQ(old.size(), 2u);
  EXPECT_EQ(old[1].point, "/a\tb");
  EXPECT_EQ(old[1].type, "tmpfs");

  EXPECT_FALSE(FsTypeHoldsSymlinks("vfat"));
  EXPECT_FALSE(FsTypeHoldsSymlinks("exfat"));
  EXPECT_TRUE(FsTypeHoldsSymlinks("ntfs3"));
  EXPECT_TRUE(FsTypeHoldsSymlinks("overlay"));
}

// The mounts that may be NTFS volumes of ntfs-3g, to be asked once each; no
// other mount is ever asked.
TEST(PosixPathText, MountsThatMayBeNtfs3g) {
  const struct {
    const char* type;
    bool asked;
  } cases[] = {
      {"fuse", true},
      {"fuseblk", true},
      {"fuse.ntfs-3g", true},
      {"fuseblk.ntfs-3g", true},
      {"fuse.lowntfs-3g", true},
      {"ntfs-3g", true},
      {"ext4", false},
      {"tmpfs", false},
      {"ntfs3", false},
      {"fuse.sshfs", false},
      {"fuse.exfat", false},
      {"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FsTypeMayBeNtfs3g(c.type), c.asked) << c.type;
    MountTable table;
    table.Take(ParseMountInfo(std::string("26 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
                                          "30 26 0:41 / /mnt/win rw - ") +
                              (*c.type != 0 ? c.type : "xfs") + " /tmp/win.img rw\n"));
    EXPECT_EQ(table.MayHoldNtfs(), c.asked && *c.type != 0) << c.type;
  }
}

// Only a folder named as the last component of a mount's point is asked
// whether it is one; every such name is, whatever its length or bytes.
TEST(PosixPathText, MountPointsMayStandOnlyAtTheirNames) {
  const std::string longName(80, 'x');
  MountTable table;
  table.Take(
      ParseMountInfo("26 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
                     "27 26 0:5 / /proc rw - proc proc rw\n"
                     "28 26 0:6 / /mnt/data/ rw - ext4 /dev/sdb1 rw\n"
                     "29 26 0:7 / /mnt/caf\xC3\xA9 rw - tmpfs tmpfs rw\n"
                     "30 26 0:8 / /srv/" +
                     longName + " rw - tmpfs tmpfs rw\n"));
  const struct {
    std::string name;
    bool may;
  } cases[] = {
      {"proc", true},
      {"data", true},  // a point with a trailing separator
      {"caf\xC3\xA9", true},
      {longName, true},
      {"mnt", false},  // a folder above a point
      {"srv", false},
      {"pro", false},  // as long as none, or a first byte of one
      {"proc2", false},
      {"Proc", false},
      {"dat", false},
      {"date", false},  // a first byte and a length of names, not a name
      {"caf\xC3", false},
      {std::string(79, 'x'), false},  // long names share a length bit
      {std::string(81, 'x'), false},
      {std::string(80, 'y'), false},
      {"x", false},
      {"", true},  // the root's point has no last component
  };
  for (const auto& c : cases) EXPECT_EQ(table.MayStandAt(c.name), c.may) << c.name;
}

// What a mount shows: the first mount of a device is a volume, a later one
// a bind mount that leads to where its folder is visible.
TEST(PosixPathText, WhatAMountLeadsTo) {
  const auto mounts = ParseMountInfo(
      "26 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
      "27 26 0:40 / /tmp rw - tmpfs tmpfs rw\n"
      "28 26 8:1 /srv/data /mnt/data rw - ext4 /dev/sda1 rw\n"
      "29 26 8:2 /@home /home rw - btrfs /dev/sdb rw\n"
      "30 26 8:2 /@home/me/x /mnt/x rw - btrfs /dev/sdb rw\n"
      "31 26 8:1 /srv/data/deep /mnt/deep rw - ext4 /dev/sda1 rw\n"
      "32 27 0:40 /a /tmp/a/self rw - tmpfs tmpfs rw\n"
      "33 26 0:41 / /media/my\\040disk rw - vfat /dev/sdc1 rw\n"
      "34 26 0:42 / /hidden rw - tmpfs one rw\n"
      "35 26 0:42 /sub /mnt/sub rw - tmpfs one rw\n"
      "36 26 0:43 / /hidden rw - tmpfs two rw\n"
      "37 26 8:1 /tmp/t/src/x /tmp/t/dst rw,nosuid - ext4 /dev/sda1 rw\n"
      "38 26 8:1 /gone/x//deleted /mnt/gone ro,relatime - ext4 /dev/sda1 rw\n"
      "39 26 8:1 /home/me /mnt/me rw - ext4 /dev/sda1 rw\n");
  // A table that lists mounts before the root they stand on.
  const auto unordered = ParseMountInfo(
      "22 27 0:21 / /tmp rw - tmpfs tmpfs rw\n"
      "27 1 254:0 / / rw - ext4 /dev/vda rw\n"
      "28 27 254:0 /tmp/t/x /srv/x rw - ext4 /dev/vda rw\n"
      "29 27 254:0 /srv/data /mnt/data rw - ext4 /dev/vda rw\n");
  EXPECT_EQ(TargetOfMount(unordered, 2).text, "/dev/vda[/tmp/t/x]");
  EXPECT_EQ(TargetOfMount(unordered, 3).text, "/srv/data");
  struct Case {
    size_t index;
    bool volume;
    const char* text;
  };
  const Case cases[] = {
      {1, true, "tmpfs (tmpfs)"},     // source and type
      {2, false, "/srv/data"},        // of the root file system
      {3, true, "/dev/sdb (btrfs)"},  // the first mount of its device
      {4, false, "/home/me/x"},       // through the nearest root
      {5, false, "/mnt/data/deep"},   // through another bind mount
      {6, false, "/tmp/a"},           // a folder bound into itself
      {7, true, "/dev/sdc1 (vfat)"},  // escaped point, own device
      {9, false, "one[/sub]"},        // its volume is covered
      {10, true, "two (tmpfs)"},
      {11, false, "/dev/sda1[/tmp/t/src/x]"},  // /tmp is a tmpfs mounted over it
      {12, false, "/dev/sda1[/gone/x]"},       // the bound folder was deleted
      {13, false, "/dev/sda1[/home/me]"},      // /home is another file system now
  };
  for (const Case& c : cases) {
    const MountTarget target = TargetOfMount(mounts, c.index);
    EXPECT_EQ(target.volume, c.volume) << c.index;
    EXPECT_EQ(target.text, c.text) << c.index;
  }
  // The row goes with the target: the options as the table has them, and a
  // deleted folder's root without the kernel's marker.
  EXPECT_EQ(TargetOfMount(mounts, 11).mount.options, "rw,nosuid");
  EXPECT_FALSE(TargetOfMount(mounts, 11).mount.deleted);
  EXPECT_EQ(TargetOfMount(mounts, 12).mount.root, "/gone/x");
  EXPECT_EQ(TargetOfMount(mounts, 12).mount.options, "ro,relatime");
  EXPECT_TRUE(TargetOfMount(mounts, 12).mount.deleted);
  // The older table has no devices: every mount is a volume.
  const auto old = ParseProcMounts("/dev/sda1 / ext4 rw 0 0\n/dev/sda1 /mnt ext4 rw 0 0\n");
  EXPECT_EQ(TargetOfMount(old, 1).text, "/dev/sda1 (ext4)");
}

// Without a mount table the volume of a path is found by device alone: the
// highest folder above it on its device, never the one above that.
TEST(PosixPathText, MountPointByDeviceAlone) {
  struct stat root;
  struct stat proc;
  if (stat("/", &root) != 0 || stat("/proc", &proc) != 0 || root.st_dev == proc.st_dev) {
    GTEST_SKIP() << "no /proc of its own here";
  }
  struct Case {
    const char* path;
    const char* mountPoint;
  };
  const Case cases[] = {
      {"/proc/self/fd", "/proc"},        {"/proc", "/proc"}, {"/proc/", "/proc"},
      {"/proc/no/such/folder", "/proc"}, {"/", "/"},         {"/usr/share", "/"},
  };
  for (const Case& c : cases) EXPECT_EQ(MountPointByDevice(c.path), c.mountPoint) << c.path;
}

TEST(PosixErrors, ErrnoMapsToTheWindowsErrorThatSaysTheSame) {
  struct Case {
    int err;
    uint32_t win;
  };
  const Case cases[] = {
      {0, 0u},
      {EPERM, win_error::kAccessDenied},
      {EACCES, win_error::kAccessDenied},
      {ENOENT, win_error::kFileNotFound},
      {ENOTDIR, win_error::kPathNotFound},
      {ENAMETOOLONG, win_error::kFilenameExcedRange},
      {ELOOP, 1921u},
      {EIO, 1117u},
      {EBUSY, win_error::kSharingViolation},
      {ETXTBSY, win_error::kSharingViolation},
      {ENOSPC, 112u},
      {EROFS, 19u},
      {ENXIO, 55u},
      {ENODEV, 55u},
      {EEXIST, 183u},
      {ENOMEM, 1450u},
      {EBADF, win_error::kInvalidHandle},
      {ENOSYS, 1u},
#ifdef __linux__
      // Without a Windows equivalent an errno keeps its own number: EPIPE is
      // 32 and must not read as the sharing violation that 32 means.
      {EPIPE, win_error::kPosixErrnoBase | 32u},
      {EOVERFLOW, win_error::kPosixErrnoBase | 75u},
      {EINVAL, win_error::kPosixErrnoBase | 22u},
#endif
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WinErrorFromErrno(c.err), c.win) << "errno " << c.err;
  }
}

TEST(PosixProcess, FullPathAgainstTheCurrentFolder) {
  PosixPlatform platform;
  const std::u16string cwd = platform.GetCurrentDirectory();
  ASSERT_FALSE(cwd.empty());
  EXPECT_EQ(cwd.front(), u'/');
  std::u16string full = u"untouched";
  EXPECT_FALSE(platform.GetFullPathName(u"", full));
  EXPECT_EQ(full, u"untouched");
  ASSERT_TRUE(platform.GetFullPathName(u"x/../y/", full));
  EXPECT_EQ(full, MakeFullPath(cwd, u"y/"));
  ASSERT_TRUE(platform.GetFullPathName(u"/tmp/./a", full));
  EXPECT_EQ(full, u"/tmp/a");
}

TEST(PosixProcess, OwnPathAndVersion) {
  PosixPlatform platform;
  EXPECT_EQ(platform.Style(), PathStyle::kPosix);
  const std::string self = EncodeUtf8Lossless(platform.OwnFilePath());
  struct stat st {};
  ASSERT_EQ(stat(self.c_str(), &st), 0) << self;
  EXPECT_TRUE(S_ISREG(st.st_mode));

  uint32_t version = 0;
  ASSERT_TRUE(platform.ReadFileVersion(platform.OwnFilePath(), version));
  EXPECT_EQ(version, (QUORREX_VERSION_MAJOR << 16u) | QUORREX_VERSION_MINOR);
}

}  // namespace
}  // namespace quorrex
