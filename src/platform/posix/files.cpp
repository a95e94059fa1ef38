// Paths, volumes, folder listings, link counts and symbolic links.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <typeinfo>
#include <vector>

#include "platform/posix/errno_map.h"
#include "platform/posix/mounts.h"
#include "platform/posix/path_text.h"
#include "platform/posix/posix_platform.h"
#include "support/utf.h"

#ifdef __linux__
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#endif

namespace quorrex {
namespace {

#ifdef __linux__
constexpr size_t kListingBufferSize = 64 * 1024;  // hundreds of entries per read
#endif
constexpr uint32_t kSymlinkTag = 0xA000000Cu;
constexpr uint32_t kSymlinkFlagRelative = 1;
constexpr size_t kSymlinkHeaderSize = 20;  // header, name offsets and lengths, flags
constexpr uint32_t kInsufficientBuffer = 122;
constexpr uint32_t kMountPointTag = 0xA0000003u;
constexpr size_t kMountHeaderSize = 16;  // header, name offsets and lengths

// `text` as the bytes the system takes, in `bytes`, which the caller keeps
// while it uses them. Nothing is kept per thread: the walk's readers run this,
// and a thread-local string's destructor is registered by an allocation that
// glibc, refused, answers with an abort.
const char* Encoded(std::u16string_view text, std::string& bytes) {
  bytes.clear();
  EncodeUtf8Lossless(text, bytes);
  return bytes.c_str();
}

// The open folder that `ref` was listed in, or -1 to go by its full path.
int ParentFd(const EntryRef& ref) {
  if (ref.parent == nullptr || (ref.name.empty() && ref.nameBytes.empty())) return -1;
  // Asked for every entry: the type is compared, which costs less than a cast
  // that searches the class tree (the class is final).
  if (typeid(*ref.parent) != typeid(PosixListing)) return -1;
  return static_cast<const PosixListing*>(ref.parent)->fd();
}

// The bytes to name an entry by in its open folder: the listing's own when
// they were passed on (a NUL follows them), else `name` encoded in `bytes`.
const char* NameInFolder(std::string_view listed, std::u16string_view name, std::string& bytes) {
  return listed.empty() ? Encoded(name, bytes) : listed.data();
}
const char* NameInFolder(const EntryRef& ref, std::string& bytes) {
  return NameInFolder(ref.nameBytes, ref.name, bytes);
}

#ifdef __linux__

// The path that names `name` in the open folder `dirFd` for the calls that
// take no folder (the extended attributes): through the process's link to
// the descriptor, which resolves to the open folder itself.
const char* InOpenFolder(int dirFd, const char* name, std::string& path) {
  path = "/proc/self/fd/";
  path += std::to_string(dirFd);
  path += '/';
  path += name;
  return path.c_str();
}

// Whether `name` is a name DOS could hold: a base of one to eight and an
// extension of up to three characters, of the characters it allows. Such a
// long name is stored once, for both name spaces.
bool FitsShortName(std::string_view name) {
  const size_t dot = name.find('.');
  const std::string_view base = name.substr(0, dot);
  const std::string_view extension = dot == std::string_view::npos ? "" : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || extension.size() > 3 ||
      extension.find('.') != std::string_view::npos ||
      (dot != std::string_view::npos && extension.empty())) {
    return false;
  }
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F || std::strchr("\"*+,/:;<=>?[\\]|", c) != nullptr) return false;
  }
  return true;
}

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    const auto up = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
    return up(x) == up(y);
  });
}

// 1 when the file `name` of the open folder `dirFd`, on an ntfs-3g volume,
// has a DOS name of its own besides its long names: NTFS stores it as one
// more name, which ntfs-3g counts in st_nlink and Windows, counting links,
// does not. ntfs-3g answers the DOS name only where the file has one long
// name (ENODATA where this folder holds none, EMLINK where the file has
// more long names and this folder holds a DOS name).
uint32_t SeparateDosName(int dirFd, const char* name) {
  std::string path;
  char dos[64];
  const ssize_t got =
      lgetxattr(InOpenFolder(dirFd, name, path), "system.ntfs_dos_name", dos, sizeof dos);
  if (got > 0) return SameNameIgnoringCase(name, {dos, static_cast<size_t>(got)}) ? 0 : 1;
  // Several long names and a DOS name here: one of its own, unless this
  // name is short itself and so stands in both name spaces.
  if (got < 0 && errno == EMLINK) return FitsShortName(name) ? 0 : 1;
  return 0;
}

// The reparse data of `name` in the open folder `dirFd` on an ntfs-3g
// volume, as NTFS stores it: the bytes the Windows query returns.
ReparseRead ReadStoredReparseData(int dirFd, const char* name, std::span<uint8_t> buffer) {
  ReparseRead result;
  std::string path;
  const ssize_t got = lgetxattr(InOpenFolder(dirFd, name, path), "system.ntfs_reparse_data",
                                buffer.data(), buffer.size());
  if (got > 0) {
    result.stage = ReparseRead::Stage::kRead;
    result.error = win_error::kSuccess;
    result.bytesReturned = static_cast<uint32_t>(got);
    result.stored = true;
    return result;
  }
  const int err = got == 0 ? ENODATA : errno;
  result.stage = err == ENODATA || err == ERANGE ? ReparseRead::Stage::kQueryFailed
                                                 : ReparseRead::Stage::kOpenFailed;
  result.error = err == ENODATA  ? win_error::kNotAReparsePoint
                 : err == ERANGE ? kInsufficientBuffer
                                 : WinErrorFromErrno(err);
  return result;
}

// The NTFS volume of the open folder `dirFd` when it is one.
const NtfsVolume* NtfsOf(const EntryRef& ref, int dirFd) {
  if (dirFd == AT_FDCWD || dirFd < 0) return nullptr;
  return static_cast<const PosixListing*>(ref.parent)->ntfs();  // ParentFd found it one
}

#endif

// Resolves `ref` for an *at() call: the folder descriptor and the name
// (which may be kept in `bytes`).
const char* Locate(const EntryRef& ref, std::u16string_view fallback, int& dirFd,
                   std::string& bytes) {
  dirFd = ParentFd(ref);
  if (dirFd >= 0) return NameInFolder(ref, bytes);
  dirFd = AT_FDCWD;
  return Encoded(fallback.empty() ? ref.path : fallback, bytes);
}

// A path longer than the system takes in one call (ENAMETOOLONG) is resolved
// the way the walk reaches it: one folder at a time, each opened relative to
// the one before. Opens the folder that holds the last component of `path`
// and points `name` at that component; -1 with errno on failure, AT_FDCWD
// for a bare name.
int OpenHolderDeep(const char* path, const char*& name) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) {
    name = path;
    return AT_FDCWD;
  }
  name = slash + 1;
#ifdef O_PATH
  constexpr int kStep = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
  constexpr int kStep = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
#endif
  int fd = path[0] == '/' ? open("/", kStep) : AT_FDCWD;
  if (fd == -1) return -1;
  std::string component;
  for (const char* p = path; p < slash;) {
    const char* end = std::find(p, slash, '/');
    component.assign(p, end);
    p = end + 1;
    if (component.empty() || component == ".") continue;
    const int next = openat(fd, component.c_str(), kStep);
    const int err = errno;
    if (fd != AT_FDCWD) close(fd);
    if (next < 0) {
      errno = err;
      return -1;
    }
    fd = next;
  }
  if (fd == AT_FDCWD) fd = open(".", kStep);
  return fd;
}

// open(2), and for a path past the system's limit, component by component.
int OpenDeep(const char* path, int flags) {
  const int fd = open(path, flags);
  if (fd >= 0 || errno != ENAMETOOLONG) return fd;
  const char* name = nullptr;
  const int holder = OpenHolderDeep(path, name);
  if (holder == -1) return -1;
  const int opened = openat(holder, *name != '\0' ? name : ".", flags);
  const int err = errno;
  if (holder != AT_FDCWD) close(holder);
  errno = err;
  return opened;
}

// stat(2) (or lstat(2) with AT_SYMLINK_NOFOLLOW), likewise for any length.
int StatDeep(const char* path, struct stat& st, int atFlags = 0) {
  if (fstatat(AT_FDCWD, path, &st, atFlags) == 0) return 0;
  if (errno != ENAMETOOLONG) return -1;
  const char* name = nullptr;
  const int holder = OpenHolderDeep(path, name);
  if (holder == -1) return -1;
  const int result = fstatat(holder, *name != '\0' ? name : ".", &st, atFlags);
  const int err = errno;
  if (holder != AT_FDCWD) close(holder);
  errno = err;
  return result;
}

void PutU16(std::span<uint8_t> out, size_t at, uint32_t value) {
  out[at] = static_cast<uint8_t>(value);
  out[at + 1] = static_cast<uint8_t>(value >> 8);
}

void PutU32(std::span<uint8_t> out, size_t at, uint32_t value) {
  PutU16(out, at, value & 0xFFFFu);
  PutU16(out, at + 2, value >> 16);
}

}  // namespace

std::string MountPointByDevice(const std::string& path) {
  std::string point = path;
  while (point.size() > 1 && point.back() == '/') point.pop_back();
  struct stat st;
  while (StatDeep(point.c_str(), st) != 0) {
    if (point.size() <= 1) return "/";
    const size_t slash = point.rfind('/');
    point.resize(slash == 0 ? 1 : slash);
  }
  const dev_t device = st.st_dev;
  while (point.size() > 1) {
    const size_t slash = point.rfind('/');
    const std::string parent = point.substr(0, slash == 0 ? 1 : slash);
    if (StatDeep(parent.c_str(), st) != 0 || st.st_dev != device) break;
    point = parent;
  }
  return point;
}

// --- Listing ---------------------------------------------------------------

PosixListing::PosixListing(int fd, const MountTable* mounts, ListingBuffers* buffers)
    : fd_(fd), mounts_(mounts) {
#ifdef __linux__
  buffers_ = buffers;
#else
  (void)buffers;
#endif
}

PosixListing::~PosixListing() {
#ifndef __linux__
  if (dir_ != nullptr) closedir(static_cast<DIR*>(dir_));
#endif
  close(fd_);
}

bool PosixListing::KnowOwnIdentity() {
  if (identityKnown_) return true;
  struct stat st;
  if (fstat(fd_, &st) != 0) return false;
  device_ = st.st_dev;
  inode_ = st.st_ino;
  identityKnown_ = true;
  return true;
}

bool PosixListing::Identity(FileId& id) {
  if (!KnowOwnIdentity()) return false;
  id.volume = static_cast<uint64_t>(device_);
  id.index = static_cast<uint64_t>(inode_);
  return true;
}

void PosixListing::LookForMounts() {
  looked_ = true;
  if (mounts_ == nullptr) return;
  // IDs only mean something against a table that names them: without one
  // (no /proc), or with the older table, a device change tells.
  mountIdKnown_ = mounts_->HasIds() && MountIdOf(fd_, "", mountId_);
  if (!mountIdKnown_) KnowOwnIdentity();
}

PosixListing::ChildMount PosixListing::MountOf(std::string_view bytes) {
  ChildMount child;
  if (mounts_ == nullptr) return child;
  const char* name = bytes.data();
  // Only a folder that a mount of the table stands at by name is asked: most
  // subfolders are passed without a system call.
  if (mounts_->HasIds() && !mounts_->MayStandAt(bytes)) return child;
  if (!looked_) LookForMounts();
  // A folder on another mount than this one is a mount point, whatever its
  // path: a bind of a parent shows the folders under its mounts, not them,
  // and a covered mount's folders are no longer reached.
  if (mountIdKnown_ && MountIdOf(fd_, name, child.id)) {
    child.byId = true;
    child.mountPoint = child.id != mountId_;
    // A folder bound onto itself shows what was there: a plain folder, to be
    // entered, or its files would be listed nowhere.
    size_t index = 0;
    if (child.mountPoint && mounts_->IndexOf(child.id, index)) {
      const MountTarget target = TargetOfMount(mounts_->mounts(), index);
      child.mountPoint = target.volume || target.text != mounts_->mounts()[index].point;
    }
    return child;
  }
  // Where the system gives no ID: a change of device tells, as it always
  // did; a bind mount of the same file system goes unseen.
  struct stat st;
  if (fstatat(fd_, name, &st, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT) != 0 || !S_ISDIR(st.st_mode)) {
    return child;
  }
  if (!identityKnown_ && !KnowOwnIdentity()) return child;
  child.mountPoint = st.st_dev != device_;
  return child;
}

namespace {

// A mount the table does not have: its device ("major:minor") stands for
// the source, with the type its file system tells.
void DeviceForm(int dirFd, const char* name, dev_t id, MountTarget& target, std::string& device) {
  device = std::to_string(major(id)) + ":" + std::to_string(minor(id));
  std::string type = "unknown";
  const int fd = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd >= 0) {
    TypeByStatfs(fd, type);
    close(fd);
  }
  target = MountTarget{};
  target.volume = true;
  target.text = device + " (" + type + ")";
  target.mount.type = type;
}

}  // namespace

bool PosixListing::MountAt(const char* name, MountTarget& target, std::string& device,
                           bool& inTable) {
  inTable = false;
  const ChildMount child = MountOf(std::string_view(name));
  if (!child.mountPoint) return false;
  struct stat st;
  if (fstatat(fd_, name, &st, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT) != 0) return false;
  device = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
  const std::vector<MountEntry>& table = mounts_->mounts();
  size_t index = 0;
  if ((child.byId && mounts_->IndexOf(child.id, index)) ||
      (!child.byId && mountIdKnown_ && mounts_->IndexByName(mountId_, name, device, index))) {
    target = TargetOfMount(table, index);
    device = table[index].device;
    inTable = true;
    return true;
  }
  // Not in the table (mounted after it was read, or there is none).
  DeviceForm(fd_, name, st.st_dev, target, device);
  return true;
}

bool NtfsAttributes(int dirFd, const char* name, uint32_t& attributes) {
#ifdef __linux__
  std::string path;
  uint32_t value = 0;  // in the machine's order ("system.ntfs_attrib_be" is big-endian)
  if (lgetxattr(InOpenFolder(dirFd, name, path), "system.ntfs_attrib", &value, sizeof value) !=
      sizeof value) {
    return false;
  }
  attributes = value;
  return true;
#else
  (void)dirFd, (void)name, (void)attributes;
  return false;
#endif
}

unsigned char EntryType(int dirFd, const char* name, unsigned char listed) {
  if (listed != DT_UNKNOWN) return listed;
  struct stat st;
  if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT) != 0) {
    return DT_FIFO;  // gone or unreadable: a plain entry
  }
  if (S_ISDIR(st.st_mode)) return DT_DIR;
  if (S_ISREG(st.st_mode)) return DT_REG;
  if (S_ISLNK(st.st_mode)) return DT_LNK;
  return DT_FIFO;
}

void PosixListing::SetAttributes(FindData& entry, const char* name, unsigned char type) {
  entry.directoryUnresolved = false;
  switch (EntryType(fd_, name, type)) {
    case DT_DIR:
      // A mount point is a folder reparse point, as on Windows.
      entry.attributes =
          MountOf(entry.bytes).mountPoint ? kAttrDirectory | kAttrReparsePoint : kAttrDirectory;
      break;
    case DT_REG:
      entry.attributes = kAttrArchive;
      break;
    case DT_LNK:
      // On NTFS what the volume stores says: a reparse point (with its
      // folder bit) is one, a link of the Interix kind is a plain file.
      if (ntfs_ != nullptr && NtfsAttributes(fd_, name, entry.attributes)) {
        if (entry.attributes == 0) entry.attributes = kAttrNormal;
        break;
      }
      entry.attributes = kAttrReparsePoint;
      entry.directoryUnresolved = true;
      break;
    default:
      entry.attributes = kAttrNormal;  // FIFOs, sockets, devices: plain entries
      break;
  }
}

void PosixListing::ResolveDirectory(FindData& entry) {
  if (!entry.directoryUnresolved) return;
  entry.directoryUnresolved = false;
  // A link to a folder carries the folder bit, as a Windows directory link does.
  struct stat st;
  std::string bytes;
  const char* name = NameInFolder(entry.bytes, entry.Name(), bytes);
  if (fstatat(fd_, name, &st, 0) == 0 && S_ISDIR(st.st_mode)) {
    entry.attributes |= kAttrDirectory;
  }
}

#ifdef __linux__

void PosixListing::Finish() {
  done_ = true;
  if (buffers_ != nullptr && buffer_) buffers_->GiveBack(std::move(buffer_));
  buffer_.reset();
}

bool PosixListing::Refill() {
  if (!buffer_ && buffers_ != nullptr) buffer_ = buffers_->Take();
  if (!buffer_) buffer_.reset(new char[kListingBufferSize]);  // left uninitialised
  for (;;) {
    const long got = syscall(SYS_getdents64, fd_, buffer_.get(), kListingBufferSize);
    if (got < 0 && errno == EINTR) continue;
    // Only a read of nothing is the end; a failure (EIO, ESTALE, EUCLEAN)
    // leaves the folder listed in part, and says so.
    if (got < 0) endError_ = WinErrorFromErrno(errno);
    if (got <= 0) return false;
    filled_ = static_cast<size_t>(got);
    pos_ = 0;
    return true;
  }
}

bool PosixListing::Next(FindData& entry) {
  if (done_) return false;
  if (pos_ >= filled_ && !Refill()) {
    Finish();
    return false;
  }
  // struct linux_dirent64: u64 d_ino, s64 d_off, u16 d_reclen, u8 d_type, d_name.
  const char* record = buffer_.get() + pos_;
  uint16_t length = 0;
  std::memcpy(&length, record + 16, sizeof length);
  const auto type = static_cast<unsigned char>(record[18]);
  const char* name = record + 19;
  if (length == 0 || length > filled_ - pos_) {  // a malformed record: stop rather than spin
    endError_ = WinErrorFromErrno(EIO);
    Finish();
    return false;
  }
  pos_ += length;
  entry.bytes = std::string_view(name);
  entry.nameDecoded = false;  // decoded when asked for
  SetAttributes(entry, name, type);
  return true;
}

#else

bool PosixListing::Next(FindData& entry) {
  if (done_) return false;
  if (dir_ == nullptr) {
    const int copy = dup(fd_);
    if (copy >= 0) dir_ = fdopendir(copy);
    if (dir_ == nullptr) {
      endError_ = WinErrorFromErrno(errno);
      if (copy >= 0) close(copy);
      done_ = true;
      return false;
    }
  }
  errno = 0;
  const struct dirent* found = readdir(static_cast<DIR*>(dir_));
  if (found == nullptr) {
    // readdir leaves errno alone at the end, and sets it on a failure.
    if (errno != 0) endError_ = WinErrorFromErrno(errno);
    done_ = true;
    return false;
  }
  entry.bytes = std::string_view(found->d_name);
  entry.nameDecoded = false;  // decoded when asked for
  SetAttributes(entry, found->d_name, found->d_type);
  return true;
}

#endif

// --- Paths and volumes -----------------------------------------------------

bool PosixPlatform::GetFullPathName(const std::u16string& path, std::u16string& full) {
  if (path.empty()) return false;
  if (path.front() == u'/') {
    full = MakeFullPath(u"/", path);
    return true;
  }
  const std::u16string cwd = GetCurrentDirectory();
  if (cwd.empty()) return false;
  full = MakeFullPath(cwd, path);
  return true;
}

std::u16string PosixPlatform::GetCurrentDirectory() {
  std::string bytes(PATH_MAX, '\0');
  for (;;) {
    if (getcwd(bytes.data(), bytes.size()) != nullptr) {
      bytes.resize(std::strlen(bytes.c_str()));
      return DecodeUtf8Lossless(bytes);
    }
    if (errno != ERANGE) return {};
    bytes.resize(bytes.size() * 2);
  }
}

uint32_t PosixPlatform::GetFileAttributes(const std::u16string& path) {
  std::string encoded;
  const char* bytes = Encoded(path, encoded);
  struct stat st;
  if (StatDeep(bytes, st) != 0) return kInvalidFileAttributes;
  uint32_t attributes = S_ISDIR(st.st_mode) ? kAttrDirectory : kAttrNormal;
  if (StatDeep(bytes, st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
    attributes |= kAttrReparsePoint;
  }
  return attributes;
}

bool PosixPlatform::GetVolumePathName(const std::u16string& path, std::u16string& volume) {
  if (path.empty() || path.front() != u'/') return false;
  // By the text alone, so that a folder that does not exist still has a volume.
  const std::string bytes = EncodeUtf8Lossless(MakeFullPath(u"/", path));
  const auto mounts = ReadMounts();
  const MountEntry* mount = FindMountFor(mounts, bytes);
  std::string point = mount != nullptr ? mount->point : std::string("/");
  if (mounts.empty()) point = MountPointByDevice(bytes);  // no mount table (no /proc)
  if (point.empty() || point.back() != '/') point += '/';
  volume = DecodeUtf8Lossless(point);
  return true;
}

uint32_t PosixPlatform::GetVolumeInformation(const std::u16string& volume, uint32_t& fsFlags,
                                             std::u16string& fsName) {
  if (volume.empty() || volume.front() != u'/') return win_error::kPathNotFound;
  std::string point = EncodeUtf8Lossless(MakeFullPath(u"/", volume));
  while (point.size() > 1 && point.back() == '/') point.pop_back();
  const auto mounts = ReadMounts();
  const MountEntry* found = nullptr;
  for (const auto& mount : mounts) {
    std::string_view candidate = mount.point;
    while (candidate.size() > 1 && candidate.back() == '/') candidate.remove_suffix(1);
    if (candidate == point) found = &mount;  // the last one is on top
  }
  std::string type;
  if (found != nullptr) {
    type = found->type;
  } else if (!mounts.empty() || !TypeByStatfs(point, type)) {
    return win_error::kPathNotFound;
  }
  fsName = DecodeUtf8Lossless(type);
#ifdef __linux__
  // An NTFS volume of ntfs-3g is named as Windows names it.
  uint32_t attributes = 0;
  if (FsTypeMayBeNtfs3g(type) && lgetxattr(point.c_str(), "system.ntfs_attrib", &attributes,
                                           sizeof attributes) == sizeof attributes) {
    fsName = u"NTFS";
  }
#endif
  fsFlags = FsTypeHoldsSymlinks(type) ? kFsSupportsReparsePoints : 0;
  return win_error::kSuccess;
}

// --- Folders and files -----------------------------------------------------

std::unique_ptr<FolderListing> PosixPlatform::OpenListing(const std::u16string& mask,
                                                          const EntryRef& folder, uint32_t& error) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  int fd = -1;
  std::string bytes;
  const int parentFd = ParentFd(folder);
  if (parentFd >= 0) {
    const bool plainFolder =
        folder.attributes != kInvalidFileAttributes && (folder.attributes & kAttrReparsePoint) == 0;
    fd = openat(parentFd, NameInFolder(folder, bytes), plainFolder ? kFlags | O_NOFOLLOW : kFlags);
  } else {
    // The mask is the folder and a name pattern: the folder is what is opened.
    std::u16string_view path = mask;
    const size_t slash = path.rfind(u'/');
    if (slash != std::u16string_view::npos &&
        path.find_first_of(u"*?", slash) != std::u16string_view::npos) {
      path = path.substr(0, slash + 1);
    } else if (!folder.path.empty()) {
      path = folder.path;
    }
    if (path.empty()) {
      error = win_error::kPathNotFound;
      return nullptr;
    }
    fd = OpenDeep(Encoded(path, bytes), kFlags);
  }
  if (fd < 0) {
    error = WinErrorFromErrno(errno);
    // A junction of an NTFS volume whose target is not there (ntfs-3g
    // shows one on another drive as a link to a placeholder) cannot be
    // walked through, as Windows finds no path there.
    const bool reparseFolder =
        folder.attributes != kInvalidFileAttributes && (folder.attributes & kAttrReparsePoint) != 0;
    if (errno == ENOENT && parentFd >= 0 && reparseFolder &&
        static_cast<const PosixListing*>(folder.parent)->ntfs() != nullptr) {
      error = win_error::kPathNotFound;
    }
    return nullptr;
  }
  error = win_error::kSuccess;
  auto listing = std::make_unique<PosixListing>(fd, &Mounts(), &listingBuffers_);
  if (parentFd >= 0 && folder.attributes != kInvalidFileAttributes &&
      (folder.attributes & kAttrReparsePoint) == 0) {
    CheckMountedSinceListed(*static_cast<PosixListing*>(folder.parent), *listing);
  }
  if (Mounts().MayHoldNtfs()) {
    // A plain subfolder is on its parent's volume; a folder reached by
    // following a link or named by its path is asked (once per volume).
    const bool plainSubfolder = parentFd >= 0 && folder.attributes != kInvalidFileAttributes &&
                                (folder.attributes & kAttrReparsePoint) == 0;
    listing->SetNtfs(plainSubfolder ? static_cast<const PosixListing*>(folder.parent)->ntfs()
                                    : NtfsVolumeOf(fd));
  }
  return listing;
}

const NtfsVolume* PosixPlatform::NtfsVolumeOf(int fd) {
#ifdef __linux__
  struct stat st;
  if (fstat(fd, &st) != 0) return nullptr;
  std::lock_guard<std::mutex> hold(ntfsLock_);
  const auto found = ntfsVolumes_.find(static_cast<uint64_t>(st.st_dev));
  if (found != ntfsVolumes_.end()) return found->second.get();
  std::unique_ptr<NtfsVolume>& volume = ntfsVolumes_[static_cast<uint64_t>(st.st_dev)];
  const std::string device =
      std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
  const MountEntry* mount = nullptr;
  for (const MountEntry& entry : Mounts().mounts()) {
    if (entry.device == device && FsTypeMayBeNtfs3g(entry.type)) mount = &entry;
  }
  // ntfs-3g answers NTFS's attributes for every file, its root too.
  uint32_t attributes = 0;
  if (mount == nullptr ||
      fgetxattr(fd, "system.ntfs_attrib", &attributes, sizeof attributes) != sizeof attributes) {
    return nullptr;
  }
  volume = std::make_unique<NtfsVolume>();
  // The root folder has one name: counted as the record counts names it
  // shows 1; mounted with posix_nlink, its subfolders, "." and ".." too.
  struct stat root;
  volume->namesCounted =
      stat(mount->point.c_str(), &root) != 0 || root.st_dev != st.st_dev || root.st_nlink <= 1;
  return volume.get();
#else
  (void)fd;
  return nullptr;
#endif
}

bool PosixPlatform::QueryLinkInfo(const EntryRef& file, LinkInfo& info, uint32_t& error) {
  int dirFd = AT_FDCWD;
  std::string bytes;
  const char* name = Locate(file, {}, dirFd, bytes);
  struct stat st;
  if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    error = WinErrorFromErrno(errno);
    return false;
  }
  auto links = static_cast<uint64_t>(st.st_nlink);
#ifdef __linux__
  // Only a file of several names pays for the question.
  if (const NtfsVolume* ntfs = links > 1 ? NtfsOf(file, dirFd) : nullptr;
      ntfs != nullptr && ntfs->namesCounted) {
    links -= SeparateDosName(dirFd, name);
  }
#endif
  const auto index = static_cast<uint64_t>(st.st_ino);
  info.links = links > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(links);
  info.id = FileId{static_cast<uint64_t>(st.st_dev), index, 0};
  error = win_error::kSuccess;
  return true;
}

const MountTable& PosixPlatform::Mounts() {
  std::call_once(mountsRead_, [this] {
    mounts_.Load();
    table_.store(&mounts_, std::memory_order_release);
  });
  return *table_.load(std::memory_order_acquire);
}

bool PosixPlatform::ReadMountData(const EntryRef& entry, const char* name,
                                  std::span<uint8_t> buffer, ReparseRead& result) {
  if (buffer.size() < kMountHeaderSize + 8) return false;
  MountTarget target;
  std::string device;
  if (!FindMount(entry, name, target, device)) return false;
  // A volume is named by its device, as a Windows volume by its GUID, and
  // shown by its print name, the source and type; a bind mount's substitute
  // name is the folder it shows, behind the NT prefix.
  std::u16string substitute;
  std::u16string print;
  DecodeUtf8Lossless(target.text, print);
  if (target.volume) {
    substitute = u"\\??\\Volume{";
    DecodeUtf8Lossless(device, substitute);
    substitute += u"}\\";
  } else {
    substitute = u"\\??\\" + print;
  }
  // Both names fit the u16 lengths, and the buffer.
  const size_t room = std::min<size_t>(0xFFFFu - 8 - 4, buffer.size() - kMountHeaderSize) / 2;
  const auto cut = [](std::u16string& text, size_t units) {
    if (text.size() <= units) return;
    text.resize(units);
    if (!text.empty() && IsHighSurrogate(text.back())) text.pop_back();
  };
  cut(substitute, room / 2 - 1);
  cut(print, room / 2 - 1);
  const auto substituteBytes = static_cast<uint32_t>(substitute.size() * 2);
  const auto printBytes = static_cast<uint32_t>(print.size() * 2);
  // Each name is followed by a zero unit, as the system writes them.
  const uint32_t printOffset = substituteBytes + 2;
  const uint32_t pathBytes = printOffset + printBytes + 2;
  PutU32(buffer, 0, kMountPointTag);
  PutU16(buffer, 4, 8 + pathBytes);  // ReparseDataLength
  PutU16(buffer, 6, 0);              // Reserved
  PutU16(buffer, 8, 0);              // SubstituteNameOffset
  PutU16(buffer, 10, substituteBytes);
  PutU16(buffer, 12, printOffset);
  PutU16(buffer, 14, printBytes);
  size_t at = kMountHeaderSize;
  for (const std::u16string* text : {&substitute, &print}) {
    for (const char16_t unit : *text) {
      PutU16(buffer, at, unit);
      at += 2;
    }
    PutU16(buffer, at, 0);
    at += 2;
  }
  result.stage = ReparseRead::Stage::kRead;
  result.error = win_error::kSuccess;
  result.bytesReturned = static_cast<uint32_t>(kMountHeaderSize) + pathBytes;
  return true;
}

bool PosixPlatform::FindMount(const EntryRef& entry, const char* name, MountTarget& target,
                              std::string& device) {
  const auto ask = [&](PosixListing& folder, const char* leaf) {
    bool inTable = false;
    const bool found = folder.MountAt(leaf, target, device, inTable);
    // A mount the folder's table lacks, or one at a name the table knows no
    // mount at: mounted since, and maybe in a table read since.
    if (found ? inTable : !anyLate_.load(std::memory_order_acquire)) return found;
    return LateMountAt(folder.fd(), leaf, found, target, device) || found;
  };
  if (ParentFd(entry) >= 0) return ask(*static_cast<PosixListing*>(entry.parent), name);
  // Named by its path: its folder is opened to be asked.
  const char* leaf = nullptr;
  const int holder = OpenHolderDeep(name, leaf);
  if (holder < 0) return false;
  PosixListing folder(holder == AT_FDCWD ? open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : holder,
                      &Mounts());
  return ask(folder, leaf);
}

bool PosixPlatform::LateMountAt(int dirFd, const char* name, bool knownMount, MountTarget& target,
                                std::string& device) {
  struct stat st;
  if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT) != 0 ||
      !S_ISDIR(st.st_mode)) {
    return false;
  }
  const auto id = static_cast<uint64_t>(st.st_dev);
  if (knownMount) {
    NoteLateMount(id);
  } else if (!IsLateMount(id)) {
    return false;
  }
  const MountTable& table = Mounts();
  uint64_t mountId = 0;
  size_t index = 0;
  if (table.HasIds() && MountIdOf(dirFd, name, mountId) && table.IndexOf(mountId, index)) {
    target = TargetOfMount(table.mounts(), index);
    device = table.mounts()[index].device;
    return true;
  }
  DeviceForm(dirFd, name, st.st_dev, target, device);
  return true;
}

void PosixPlatform::NoteLateMount(uint64_t device) {
  (void)Mounts();
  std::lock_guard<std::mutex> hold(lateLock_);
  if (!lateDevices_.insert(device).second) return;
  auto table = std::make_unique<MountTable>();
  table->Load();
  table_.store(table.get(), std::memory_order_release);
  laterTables_.push_back(std::move(table));
  anyLate_.store(true, std::memory_order_release);
}

bool PosixPlatform::IsLateMount(uint64_t device) {
  std::lock_guard<std::mutex> hold(lateLock_);
  return lateDevices_.count(device) != 0;
}

void PosixPlatform::CheckMountedSinceListed(PosixListing& parent, PosixListing& child) {
  // Both devices come from the fstat each folder's identity takes: a plain
  // subfolder costs nothing more.
  dev_t above = 0;
  dev_t here = 0;
  if (!parent.KnownDevice(above) || !child.Device(here) || above == here) return;
  // Another device under a plain folder: a mount, unless one mount spans
  // both (a btrfs subvolume has a device of its own).
  uint64_t aboveId = 0;
  uint64_t hereId = 0;
  if (Mounts().HasIds() && MountIdOf(parent.fd(), "", aboveId) &&
      MountIdOf(child.fd(), "", hereId) && aboveId == hereId) {
    return;
  }
  NoteLateMount(static_cast<uint64_t>(here));
  child.SetMountedSinceListed();
}

bool PosixPlatform::DescribeMount(const std::u16string& openName, const EntryRef& entry,
                                  MountFacts& facts) {
  int dirFd = AT_FDCWD;
  std::string bytes;
  const char* name = Locate(entry, openName, dirFd, bytes);
  MountTarget target;
  std::string device;
  if (!FindMount(entry, name, target, device)) return false;
  const MountEntry& mount = target.mount;
  facts = MountFacts{};
  DecodeUtf8Lossless(mount.source.empty() ? device : mount.source, facts.source);
  DecodeUtf8Lossless(mount.type, facts.fsType);
  DecodeUtf8Lossless(mount.options, facts.options);
  DecodeUtf8Lossless(mount.root, facts.root);
  DecodeUtf8Lossless(device, facts.device);
  facts.hasMountId = mount.hasId;
  facts.mountId = mount.id;
  facts.deleted = mount.deleted;
  return true;
}

LinkTarget PosixPlatform::FindLinkTarget(const std::u16string& openName, const EntryRef& entry) {
  int dirFd = AT_FDCWD;
  std::string bytes;
  const char* name = Locate(entry, openName, dirFd, bytes);
  // stat follows the link to its end and opens nothing. A full path past the
  // system's limit is taken one folder at a time, so that a too-long name
  // left after that is the target's own: a name no file can have.
  struct stat st {};
  const int got = dirFd == AT_FDCWD ? StatDeep(name, st) : fstatat(dirFd, name, &st, 0);
  if (got == 0) return LinkTarget::kExists;
  const int err = errno;
  return err == ENOENT || err == ENOTDIR || err == ELOOP || err == ENAMETOOLONG
             ? LinkTarget::kMissing
             : LinkTarget::kUnknown;
}

ReparseRead PosixPlatform::ReadReparseData(const std::u16string& openName, const EntryRef& entry,
                                           std::span<uint8_t> buffer) {
  ReparseRead result;
  int dirFd = AT_FDCWD;
  std::string bytes;
  const char* name = Locate(entry, openName, dirFd, bytes);
#ifdef __linux__
  if (NtfsOf(entry, dirFd) != nullptr) return ReadStoredReparseData(dirFd, name, buffer);
#endif
  // readlinkat neither follows the link nor opens anything, so nothing blocks.
  // Nearly every link's text fits the first room, which is neither
  // allocated nor cleared.
  char firstRoom[PATH_MAX];
  std::string more;
  char* text = firstRoom;
  size_t room = sizeof firstRoom;
  ssize_t got = 0;
  for (;;) {
    got = readlinkat(dirFd, name, text, room);
    if (got < 0 || static_cast<size_t>(got) < room || room >= 0x20000) break;
    more.resize(room * 2);  // possibly cut: try again with more room
    text = more.data();
    room = more.size();
  }
  if (got < 0 && errno == EINVAL && (entry.attributes & kAttrDirectory) != 0 &&
      ReadMountData(entry, name, buffer, result)) {
    return result;
  }
  if (got < 0) {
    const int err = errno;
    result.stage =
        err == EINVAL ? ReparseRead::Stage::kQueryFailed : ReparseRead::Stage::kOpenFailed;
    result.error = err == EINVAL ? win_error::kNotAReparsePoint : WinErrorFromErrno(err);
    return result;
  }
  if (buffer.size() < kSymlinkHeaderSize) {
    result.stage = ReparseRead::Stage::kQueryFailed;
    result.error = kInsufficientBuffer;
    return result;
  }
  const std::string_view linkText(text, static_cast<size_t>(got));
  std::u16string target;
  DecodeUtf8Lossless(linkText, target);

  // The name length is a u16 of bytes, and the data length (twelve bytes more)
  // is one too; the text is cut at whole units, never inside a surrogate pair.
  size_t units = target.size();
  const size_t maxUnits =
      std::min<size_t>((0xFFFFu - 12) / 2, (buffer.size() - kSymlinkHeaderSize) / 2);
  if (units > maxUnits) {
    units = maxUnits;
    if (units > 0 && IsHighSurrogate(target[units - 1])) --units;
  }
  const auto nameBytes = static_cast<uint32_t>(units * 2);
  PutU32(buffer, 0, kSymlinkTag);
  PutU16(buffer, 4, 12 + nameBytes);  // ReparseDataLength
  PutU16(buffer, 6, 0);               // Reserved
  PutU16(buffer, 8, 0);               // SubstituteNameOffset
  PutU16(buffer, 10, nameBytes);      // SubstituteNameLength
  PutU16(buffer, 12, 0);              // PrintNameOffset: the same text
  PutU16(buffer, 14, nameBytes);      // PrintNameLength
  PutU32(buffer, 16, linkText.starts_with('/') ? 0 : kSymlinkFlagRelative);
  for (size_t i = 0; i < units; ++i) PutU16(buffer, kSymlinkHeaderSize + 2 * i, target[i]);
  result.stage = ReparseRead::Stage::kRead;
  result.error = win_error::kSuccess;
  result.bytesReturned = static_cast<uint32_t>(kSymlinkHeaderSize) + nameBytes;
  return result;
}

}  // namespace quorrex
