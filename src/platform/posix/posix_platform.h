// The POSIX implementation of the platform interface.
//
// Windows notions map as follows: a symbolic link is a reparse point whose
// data is a synthesised symbolic-link reparse buffer; a folder that is a
// mount point is a folder reparse point whose data is a synthesised mount
// point buffer (a volume for a file system mounted there, a junction for a
// bind mount of a folder visible elsewhere); names are bytes decoded
// losslessly to UTF-16; errno values become Windows error codes; signals are
// console control events; the privilege step and console input do nothing.
//
// Control events: the first handler blocks SIGINT, SIGQUIT, SIGHUP and SIGTERM
// in the calling thread (before any other thread exists, so every thread
// inherits the mask) and starts one thread that takes them with sigwait and
// calls the handler there. With the handler unregistered, a signal that
// arrives does what it does by default (it ends the process). SIGTSTP and
// SIGCONT are taken the same way (unless the program was started with
// SIGTSTP ignored) and become the job-control events: the handler of a stop
// runs before the process stops with the default action.
//
// A terminal that reports 0 columns (a pseudo-terminal whose size was never
// set) is taken to be as wide as COLUMNS says, else 80 columns.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/mounts.h"

namespace quorrex {

// What is known of an NTFS volume served by ntfs-3g, settled once per volume.
// Its entries are then taken as NTFS stores them: the attributes and the
// reparse data from its extended attributes ("system.ntfs_attrib",
// "system.ntfs_reparse_data"), not from what the links it shows say.
struct NtfsVolume {
  // st_nlink is the record's count of names, a separate DOS name among them
  // (the mount was made without posix_nlink); Windows counts links only.
  bool namesCounted = true;
};

// The attributes of the entry `name` of the open folder `dirFd` on an
// ntfs-3g volume; false where it does not answer them.
bool NtfsAttributes(int dirFd, const char* name, uint32_t& attributes);

// A listing of one open folder. Its descriptor stays open until it is
// destroyed, so entries it produced are resolved relative to it.
// The type of the entry `name` of the open folder `dirFd` as its listing
// gave it (a DT_ value); one given as DT_UNKNOWN is asked of the entry
// itself, a link taken as a link, never as what it leads to.
unsigned char EntryType(int dirFd, const char* name, unsigned char listed);

// The record buffers of listings that ended, kept for the next ones, so
// that a folder's listing takes no allocation for them. Its few slots are
// taken and filled without a lock: the walk's readers share them and wait
// for nobody. A buffer given back when every slot is full is freed.
class ListingBuffers {
 public:
  ListingBuffers() = default;
  ListingBuffers(const ListingBuffers&) = delete;
  ListingBuffers& operator=(const ListingBuffers&) = delete;
  ~ListingBuffers() {
    for (std::atomic<char*>& slot : slots_) delete[] slot.load();
  }

  // A spare buffer, or none.
  std::unique_ptr<char[]> Take() {
    for (std::atomic<char*>& slot : slots_) {
      if (slot.load(std::memory_order_relaxed) == nullptr) continue;
      if (char* spare = slot.exchange(nullptr, std::memory_order_acquire)) {
        return std::unique_ptr<char[]>(spare);
      }
    }
    return nullptr;
  }
  void GiveBack(std::unique_ptr<char[]> buffer) {
    for (std::atomic<char*>& slot : slots_) {
      char* empty = nullptr;
      if (slot.compare_exchange_strong(empty, buffer.get(), std::memory_order_release,
                                       std::memory_order_relaxed)) {
        buffer.release();
        return;
      }
    }
  }

 private:
  static constexpr size_t kSlots = 4;
  std::atomic<char*> slots_[kSlots] = {};
};

class PosixListing final : public FolderListing {
 public:
  // `mounts` names what its mount points lead to; with none, no subfolder is
  // taken for one. `buffers`, when given, lends the listing its record
  // buffer and takes it back when the listing ends; it outlives the listing.
  explicit PosixListing(int fd, const MountTable* mounts = nullptr,
                        ListingBuffers* buffers = nullptr);
  ~PosixListing() override;
  PosixListing(const PosixListing&) = delete;
  PosixListing& operator=(const PosixListing&) = delete;

  bool Next(FindData& entry) override;
  uint32_t EndError() const override { return endError_; }
  bool Identity(FileId& id) override;
  void ResolveDirectory(FindData& entry) override;
  int fd() const { return fd_; }
  // The NTFS volume this folder is on, when it is one (null otherwise).
  const NtfsVolume* ntfs() const { return ntfs_; }
  void SetNtfs(const NtfsVolume* volume) { ntfs_ = volume; }
  // What the subfolder `name` of this folder leads to when it is a mount
  // point (its device is the mount's, "major:minor"); false when it is not.
  // `inTable` tells whether the table this folder was listed with has it.
  bool MountAt(const char* name, MountTarget& target, std::string& device, bool& inTable);
  bool MountedSinceListed() const override { return mountedSinceListed_; }
  void SetMountedSinceListed() { mountedSinceListed_ = true; }
  // The device of this folder, asked once (the fstat its identity takes).
  bool Device(dev_t& device) {
    if (!KnowOwnIdentity()) return false;
    device = device_;
    return true;
  }
  // The device of this folder where it is known already; asks nothing, so
  // that the threads that open its subfolders may share it.
  bool KnownDevice(dev_t& device) const {
    if (!identityKnown_) return false;
    device = device_;
    return true;
  }

 private:
  // The entry's attributes from its type; a link's directory bit is left to
  // ResolveDirectory, so that a link the walk reports costs no extra call.
  void SetAttributes(FindData& entry, const char* name, unsigned char type);
  // Settles, once, how this folder's mount points are told: by the mount ID
  // of this folder against each subfolder's, or, where the system gives no
  // IDs, by a device change.
  void LookForMounts();
  // What is known of the mount a subfolder is on; `name` has a NUL just
  // past its bytes.
  struct ChildMount {
    bool mountPoint = false;
    bool byId = false;  // `id` is its mount ID; else it was told by its device
    uint64_t id = 0;
  };
  ChildMount MountOf(std::string_view name);
  bool KnowOwnIdentity();

  int fd_;
  const NtfsVolume* ntfs_ = nullptr;
  bool done_ = false;
  uint32_t endError_ = 0;  // what cut the listing short; 0 at its end
  const MountTable* mounts_;
  bool looked_ = false;
  bool identityKnown_ = false;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  bool mountIdKnown_ = false;
  uint64_t mountId_ = 0;
  bool mountedSinceListed_ = false;
#ifdef __linux__
  bool Refill();
  // Ends the listing: its buffer goes back to `buffers_`.
  void Finish();
  ListingBuffers* buffers_;
  std::unique_ptr<char[]> buffer_;  // getdents64 records, one large read at a time
  size_t filled_ = 0;
  size_t pos_ = 0;
#else
  void* dir_ = nullptr;  // DIR*, over a duplicate of fd_
#endif
};

class PosixPlatform final : public Platform {
 public:
  PosixPlatform();

  PathStyle Style() const override { return PathStyle::kPosix; }

  void HardenLibrarySearch() override {}
  std::u16string OwnFilePath() override;
  bool ReadFileVersion(const std::u16string& file, uint32_t& fileVersionMS) override;
  void Sleep(uint32_t milliseconds) override;
  void Beep(uint32_t hertz, uint32_t milliseconds) override;

  bool GetFullPathName(const std::u16string& path, std::u16string& full) override;
  std::u16string GetCurrentDirectory() override;
  uint32_t GetFileAttributes(const std::u16string& path) override;
  bool GetVolumePathName(const std::u16string& path, std::u16string& volume) override;
  uint32_t GetVolumeInformation(const std::u16string& volume, uint32_t& fsFlags,
                                std::u16string& fsName) override;

  std::unique_ptr<FolderListing> OpenListing(const std::u16string& mask, const EntryRef& folder,
                                             uint32_t& error) override;
  uint32_t FolderHandleBudget() override;
  uint64_t AddressSpaceLeft() override;
  bool QueryLinkInfo(const EntryRef& file, LinkInfo& info, uint32_t& error) override;
  LinkTarget FindLinkTarget(const std::u16string& openName, const EntryRef& entry) override;
  bool DescribeMount(const std::u16string& openName, const EntryRef& entry,
                     MountFacts& facts) override;
  ReparseRead ReadReparseData(const std::u16string& openName, const EntryRef& entry,
                              std::span<uint8_t> buffer) override;

  bool OpenProcessToken(Handle& token) override;
  bool LookupPrivilegeValue(const char16_t* name, Luid& luid) override;
  uint32_t AdjustTokenPrivileges(Handle token, const TokenPrivileges& newState,
                                 uint32_t bufferLength, TokenPrivileges* previous,
                                 uint32_t* returnLength) override;
  void CloseHandle(Handle) override {}

  bool StdoutIsConsole() override;
  bool StdoutIsPipe() override;
  ScreenInfo GetScreenInfo() override;
  bool WriteStdout(std::string_view bytes, uint32_t& written, uint32_t& error) override;
  void CloseStandardStreams() override;
  void EndProcessNow(int code) override;
  bool WriteConsoleText(std::u16string_view text, uint32_t& written, uint32_t& error) override;
  bool WriteStderrConsole(std::string_view bytes, uint32_t& written, uint32_t& error) override;
  bool WriteStderr(std::string_view bytes, uint32_t& written) override;
  int ColumnsOf(char32_t c) override;
  bool MasksControlCharacters() override { return true; }
  bool StderrIsConsole() override;
  int16_t StderrConsoleWidth() override;
  bool WriteStderrText(std::u16string_view text) override;
  bool WriteStderrNow(std::string_view bytes) override;
  std::string WideToNarrow(std::u16string_view text) override;
  bool WideToOem(std::u16string_view text, std::string& out) override;
  std::u16string NarrowToWide(std::string_view text) override;

  void SetCtrlHandler(std::function<void(uint32_t)> handler) override;
  bool SetStdinMode(uint32_t) override { return false; }
  bool GetStdinMode(uint32_t&) override { return false; }
  bool OwnsConsoleWindow() override { return false; }
  bool HasExitPause() override { return false; }
  bool FlushConsoleInput() override { return true; }
  bool ReadConsoleInput(InputRecord&) override { return false; }

 private:
  // Writes all of `bytes` to standard output and follows the cursor column;
  // the errno of a failed write, else 0.
  int WriteToStdout(std::string_view bytes, size_t& written);
  // Moves the column past `reached`, what the last write put on standard
  // output.
  void FollowColumn(std::string_view reached);
  // The mount table, read at the first listing, and read again for each
  // device a mount made since then was found on (NoteLateMount); the tables
  // read before stay as they were for the listings that hold them.
  const MountTable& Mounts();
  // Notes that a mount is on `device` that the table read last may lack;
  // the table is read again the first time a device is noted.
  void NoteLateMount(uint64_t device);
  // Whether a mount was noted on `device`.
  bool IsLateMount(uint64_t device);
  // Whether the plain subfolder `child`, just opened through `parent`, is on
  // a mount its parent's listing did not show; marks it so when it is.
  void CheckMountedSinceListed(PosixListing& parent, PosixListing& child);
  // What the mount on the folder `name` of the open folder `dirFd` leads to
  // when the table read last does not say at once: that table by the
  // folder's mount ID, else its device and type.
  bool LateMountAt(int dirFd, const char* name, bool knownMount, MountTarget& target,
                   std::string& device);
  // Writes the mount point data of the folder `entry`, named `name` for an
  // *at() call, when it is a mount point; false when it is not.
  bool ReadMountData(const EntryRef& entry, const char* name, std::span<uint8_t> buffer,
                     ReparseRead& result);
  // What the mount on the folder `entry`, named `name` for an *at() call,
  // leads to, and its device; false when it is no mount point.
  bool FindMount(const EntryRef& entry, const char* name, MountTarget& target, std::string& device);

  // The NTFS volume the open folder `fd` is on, when it is one; each device
  // is asked once per run.
  const NtfsVolume* NtfsVolumeOf(int fd);

  ListingBuffers listingBuffers_;
  std::mutex ntfsLock_;
  std::unordered_map<uint64_t, std::unique_ptr<NtfsVolume>> ntfsVolumes_;  // null: not NTFS
  std::once_flag mountsRead_;
  MountTable mounts_;
  std::atomic<const MountTable*> table_{nullptr};  // the one read last
  std::mutex lateLock_;
  std::vector<std::unique_ptr<MountTable>> laterTables_;
  std::unordered_set<uint64_t> lateDevices_;
  std::atomic<bool> anyLate_{false};
  // Whether standard output can wait for its reader (a pipe, socket or
  // terminal): asked at the first write, as what it is does not change.
  // -1 until then.
  std::atomic<int> stdoutMayBlock_{-1};
  // The terminal of standard error opened once more, for writes that never
  // wait; -1 when it could not be (standard error's own is used then, and
  // written only when it takes bytes at once).
  std::once_flag stderrNowOpened_;
  int stderrNow_ = -1;
  std::mutex stdoutLock_;
  int column_ = 0;  // columns since the last line end on standard output
};

// Writes all of `bytes` to `fd`, retrying interrupted and partial writes; the
// errno of a failed write, else 0.
int WriteAllTo(int fd, std::string_view bytes, size_t& written);

}  // namespace quorrex
