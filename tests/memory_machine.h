// An in-memory Windows machine behind the platform interface: a small
// virtual file system.
//
// Volumes (drive letters, mounted folders, server shares and volume names),
// folders and files with attributes, link counts and file indexes, reparse
// points holding raw reparse data, and errors injected per operation and
// path. The Windows program's file queries take their steps on these files
// in machine_queries.cpp; the process's side (console, standard streams,
// token) is machine_process.h. The parts that play an older Windows release,
// count the system calls or redirect a 32-bit program's system folders wrap
// this one (release_machine.h, counting_machine.h, wow64_machine.h). Whole
// runs on it are asserted byte for byte. Its file operations may be called
// from several threads at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "machine_process.h"
#include "platform/platform.h"
#include "platform/win32/volume_refusals.h"
#include "windows_release.h"

namespace quorrex::testing {

// Operations an error can be injected into.
enum class Op {
  kFullPath,
  kAttributes,
  kVolumePath,
  kVolumeInfo,
  kOpenListing,
  kIdentity,
  kLinkInfo,
  kReparseOpen,
  kReparseQuery,
  kStatByName,  // the by-name link query alone (its fallback open is kLinkInfo)
  kDirRecords,  // both kinds of directory record: the folder is listed by the search
};

class MemoryMachine : public MachineProcess {
 public:
  struct Node;
  using NodePtr = std::shared_ptr<Node>;
  struct Node {
    bool folder = false;
    uint32_t attributes = 0;
    uint64_t index = 0;
    uint64_t indexUpper = 0;  // the upper half of a 128-bit (ReFS) index
    uint32_t names = 0;       // how many folder entries name this node
    uint32_t linkCount = 0;   // reported link count; 0 means `names`
    uint64_t volumeSerial = 0;
    std::vector<uint8_t> reparseData;
    std::u16string redirect;  // where a junction or folder link leads
    // A folder whose ACL lets the account list it only with the backup
    // privilege enabled (as for an administrator: another user's profile).
    bool needsBackupPrivilege = false;
    std::vector<std::pair<std::u16string, NodePtr>> children;
  };

  // A fresh machine with drive C: (NTFS, reparse points supported), current
  // folder C:\ and a console of 80 columns on standard output.
  MemoryMachine();

  // --- Building the machine -------------------------------------------------
  // `root` is "X:\", a mounted folder "X:\dir\", a share "\\server\share\" or a
  // volume name "\\?\Volume{...}\".
  void AddVolume(const std::u16string& root, const std::u16string& fsName = u"NTFS",
                 uint32_t fsFlags = kFsSupportsReparsePoints, uint64_t serial = 0);
  // Makes `alias` (a volume name "\\?\Volume{...}\") another root of the
  // volume at `root`.
  void AddVolumeAlias(const std::u16string& alias, const std::u16string& root);
  NodePtr AddFolder(const std::u16string& path);
  NodePtr AddFile(const std::u16string& path, uint32_t attributes = kAttrArchive);
  // Another name for the file at `existing`.
  void AddHardLink(const std::u16string& existing, const std::u16string& path);
  // A reparse point holding `data`; a folder one carries the directory bit.
  NodePtr AddReparsePoint(const std::u16string& path, std::vector<uint8_t> data, bool folder);
  // A directory junction whose substitute name is "\??\" + `target`, and
  // which leads to `target` when walked through.
  NodePtr AddJunction(const std::u16string& path, const std::u16string& target);
  // A volume mount point whose substitute name is `volumeName`, leading to
  // `root` when walked through.
  NodePtr AddMountPoint(const std::u16string& path, const std::u16string& volumeName,
                        const std::u16string& root);
  // A symbolic link with substitute name `substitute`.
  NodePtr AddSymlink(const std::u16string& path, const std::u16string& substitute, bool folder);
  void Remove(const std::u16string& path);
  NodePtr Find(const std::u16string& path);

  // The volume at `root` reports index 0 for every file and folder, as some
  // redirectors and user-mode file systems do.
  void ReportZeroIndexes(const std::u16string& root, uint64_t index = 0, uint64_t indexUpper = 0);
  // The directory records of the volume at `root` number files apart from
  // their open handles (each record's ID is its file's index plus
  // kRecordIdOffset), and its "." records carry no ID, as a file system that
  // makes its record IDs up may.
  void NumberRecordsApart(const std::u16string& root);
  static constexpr uint64_t kRecordIdOffset = 0x100000000ull;
  // The file system of the volume at `root` refuses the by-name stat with
  // `status`, as file systems that lack the class do. (FAT and exFAT volumes
  // refuse it, and the wide IDs, by their names: see windows_release.h.)
  void RefuseStatByName(const std::u16string& root,
                        uint32_t status = win32::nt_status::kInvalidParameter);

  // Errors: `path` in any form the machine understands; 0 clears.
  void InjectError(Op op, const std::u16string& path, uint32_t error);
  // The listing of `folder` fails with `error` after delivering `entries`
  // entries; an error of 0 ends it there as if the folder held no more.
  void FailListingAfter(const std::u16string& folder, size_t entries,
                        uint32_t error = 64 /* ERROR_NETNAME_DELETED */);

  // --- Facts of the machine -------------------------------------------------
  // The most folder listings open at once; one more fails with
  // ERROR_TOO_MANY_OPEN_FILES. Also the budget the machine tells the walk.
  std::optional<size_t> openListingLimit;
  // The budget of open folders the machine tells the walk, where it is not
  // the limit above.
  std::optional<uint32_t> handleBudget;
  // Called with each entry a listing delivers, before it is returned, with
  // the machine locked (one call at a time).
  std::function<void(const std::u16string& name)> onEntry;
  // The same with the machine unlocked, for a hook that waits for other
  // threads.
  std::function<void(const std::u16string& name)> onEntryUnlocked;
  // Called with the mask as a listing is opened, before the machine is
  // locked, on the thread that opens it.
  std::function<void(const std::u16string& mask)> beforeListing;
  // Called next, on the same thread: a non-zero answer refuses the listing
  // with that error.
  std::function<uint32_t(const std::u16string& mask)> refuseListing;
  // Called with the mask and the error (0: opened) as the open returns.
  std::function<void(const std::u16string& mask, uint32_t error)> afterListing;
  // Called as reparse data is read, before the machine is locked.
  std::function<void()> beforeReparseRead;

  // --- What happened --------------------------------------------------------
  std::vector<std::u16string> reparseOpens;    // open names, in order
  std::vector<std::u16string> listingsOpened;  // masks, in order
  std::atomic<size_t> openListings{0};         // listings open now
  std::atomic<size_t> openedThroughParent{0};  // opens given their parent's open listing
  std::atomic<size_t> peakOpenListings{0};     // the most open at once
  std::atomic<size_t> fileSystemThreads{0};    // threads begun on file-system work
  std::vector<std::u16string> volumeQueries;   // volume information asked for
  // Calls on paths, volumes and folders made before the process asked for
  // critical errors to fail (a drive without media would have shown its box).
  std::atomic<size_t> callsWithNoDiskBox{0};

  // --- Platform: the files ---------------------------------------------------
  void BeginFileSystemWork() override { ++fileSystemThreads; }
  bool GetFullPathName(const std::u16string& path, std::u16string& full) override;
  uint32_t GetFileAttributes(const std::u16string& path) override;
  bool GetVolumePathName(const std::u16string& path, std::u16string& volume) override;
  uint32_t GetVolumeInformation(const std::u16string& volume, uint32_t& fsFlags,
                                std::u16string& fsName) override;
  std::unique_ptr<FolderListing> OpenListing(const std::u16string& mask, const EntryRef& folder,
                                             uint32_t& error) override;
  uint32_t FolderHandleBudget() override {
    if (handleBudget) return *handleBudget;
    return openListingLimit ? static_cast<uint32_t>(*openListingLimit) : 2048;
  }
  bool QueryLinkInfo(const EntryRef& file, LinkInfo& info, uint32_t& error) override;
  ReparseRead ReadReparseData(const std::u16string& openName, const EntryRef& entry,
                              std::span<uint8_t> buffer) override;
  LinkTarget FindLinkTarget(const std::u16string& openName, const EntryRef& entry) override;

 protected:
  // The system calls the Windows program makes for its file queries, as
  // this machine answers them: told here, counted by CountingMachine.
  enum class Call { kOpen, kQuery, kStatByName, kClose };
  virtual void Count(Call /*kind*/, size_t /*n*/ = 1) {}
  // The Windows release whose calls and answers the machine plays: Windows
  // 10 1709 or later, unless ReleaseMachine plays another.
  virtual WindowsRelease Release() const { return WindowsRelease::kWindows10v1709; }
  // `path` as the calling thread's file-system redirection makes it: as it
  // is, unless Wow64Machine redirects it.
  virtual std::u16string Redirected(const std::u16string& path) const { return path; }

 private:
  struct Volume {
    std::u16string root;  // canonical, ends in a backslash
    std::u16string fsName;
    uint32_t fsFlags = 0;
    uint64_t serial = 0;
    bool zeroIndexes = false;   // every file reports the index below
    bool recordsApart = false;  // see NumberRecordsApart
    uint64_t unknownIndex = 0;
    uint64_t unknownIndexUpper = 0;
    uint32_t statRefusal = 0;  // the by-name stat's status, where not the release's
    NodePtr top;
  };
  struct Resolved;
  class LinkCalls;
  bool WideIds() const { return Release() >= WindowsRelease::kWindows8; }
  VolumeAnswers AnswersOn(const Volume* volume) const;
  // The identity of an open folder as the program asks it (and the calls
  // that costs), remembering a refusal of FileIdInfo.
  FileId AskIdentity(const Resolved& resolved);
  struct Resolved {
    NodePtr node;
    Volume* volume = nullptr;
    uint32_t error = 0;
  };
  class Listing;
  std::unique_ptr<FolderListing> OpenListingLocked(const std::u16string& mask,
                                                   const EntryRef& folder, uint32_t& error);

  Volume* VolumeOf(const std::u16string& canonical, size_t& rootLength);
  Resolved Resolve(const std::u16string& path, bool followFinal, int hops = 0);
  uint32_t Injected(Op op, const std::u16string& path) const;
  FileId IdOf(const Resolved& resolved) const;
  std::pair<NodePtr, std::u16string> ParentOf(const std::u16string& path);

  std::vector<std::unique_ptr<Volume>> volumes_;
  std::vector<std::pair<std::u16string, std::u16string>> aliases_;  // alias, root
  std::map<std::pair<Op, std::u16string>, uint32_t> errors_;
  std::map<std::u16string, std::pair<size_t, uint32_t>> listingLimits_;  // entries, error
  // The walk's readers call in from several threads: every file operation,
  // and every change of the tree, holds this.
  std::recursive_mutex files_;
  uint64_t nextIndex_ = 0x10000;
  win32::VolumeRefusals refusals_;  // the program's record, for this machine
  uint64_t nextSerial_ = 0x1234ABCD;
};

// Builds UTF-16 text from ASCII/UTF-8 literals in tests.
std::u16string U(std::string_view utf8);
// A name made of a stem and a number: Numbered("d", 7) is "d7".
std::u16string Numbered(const char* stem, size_t number);

}  // namespace quorrex::testing
