// An in-memory Windows machine behind the platform interface.
//
// Volumes (drive letters, mounted folders, server shares and volume names),
// folders and files with attributes, link counts and file indexes, reparse
// points holding raw reparse data, a console with captured output, scripted
// console input, a process token, and errors injected per operation and path.
// Whole runs on it are asserted byte for byte. Its file operations may be
// called from several threads at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

class MemoryMachine : public Platform {
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
  // The file system of the volume at `root` refuses the by-name stat with
  // `status`, as file systems that lack the class do. (FAT and exFAT volumes
  // refuse it, and the wide IDs, by their names: see windows_release.h.)
  void RefuseStatByName(const std::u16string& root,
                        uint32_t status = win32::nt_status::kInvalidParameter);

  // Errors: `path` in any form the machine understands; 0 clears.
  void InjectError(Op op, const std::u16string& path, uint32_t error);
  // The listing of `folder` fails after delivering `entries` entries.
  void FailListingAfter(const std::u16string& folder, size_t entries);

  // --- Facts of the machine -------------------------------------------------
  // A 32-bit program on 64-bit Windows (WOW64). While a thread's file-system
  // redirection is on, C:\Windows\System32 is C:\Windows\SysWOW64 for it and
  // C:\Windows\Sysnative the real System32; between BeginFileSystemWork and
  // EndFileSystemWork it is off: paths are what they say, and Sysnative
  // names nothing. The machine is built with paths as they are.
  bool wow64 = false;
  WindowsRelease release = WindowsRelease::kWindows10v1709;
  std::u16string currentFolder = u"C:\\";
  std::u16string ownPath = u"C:\\tools\\quorrex.exe";
  bool versionReadable = true;
  uint32_t fileVersionMS = 0x00010000;  // 1.0
  bool stdoutIsConsole = true;
  int16_t consoleWidth = 80;
  bool stdoutFails = false;
  // Standard output fails once it would hold more than this many bytes.
  std::optional<size_t> stdoutFailsAfter;
  uint32_t stdoutError = 232;      // ERROR_NO_DATA: the reader of the pipe has gone
  uint32_t consoleWriteError = 0;  // non-zero: console writes fail with it
  bool stderrIsConsole = false;
  // Non-zero: standard error is a console of its own this many columns wide,
  // where the status line is drawn (its text goes to `err` as UTF-8).
  int16_t statusConsoleWidth = 0;
  bool stderrFails = false;
  bool ownsConsoleWindow = false;
  bool stdinIsConsole = false;
  uint32_t stdinMode = 0x1F7;
  int tokenOpenFailures = 0;  // the next this many token opens fail
  bool privilegeLookupFails = false;
  uint32_t adjustError = 0;  // last error after AdjustTokenPrivileges
  // The previous state and its length that AdjustTokenPrivileges reports.
  TokenPrivileges adjustPrevious{};
  uint32_t adjustPreviousLength = 4;
  // The most folder listings open at once; one more fails with
  // ERROR_TOO_MANY_OPEN_FILES. Also the budget the machine tells the walk.
  std::optional<size_t> openListingLimit;
  // The budget of open folders the machine tells the walk, where it is not
  // the limit above.
  std::optional<uint32_t> handleBudget;
  // Set once AdjustTokenPrivileges has enabled the backup privilege.
  bool backupPrivilegeEnabled = false;
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
  std::string out;                    // standard output; console text as UTF-8
  std::string err;                    // standard error
  std::vector<size_t> consoleWrites;  // characters of each console write
  int stdoutWrites = 0;               // successful writes to standard output
  std::vector<uint32_t> sleeps;
  std::vector<std::pair<uint32_t, uint32_t>> beeps;
  std::vector<std::u16string> reparseOpens;    // open names, in order
  std::vector<std::u16string> listingsOpened;  // masks, in order
  std::atomic<size_t> openListings{0};         // listings open now
  std::atomic<size_t> openedThroughParent{0};  // opens given their parent's open listing
  std::atomic<size_t> peakOpenListings{0};     // the most open at once
  std::atomic<size_t> fileSystemThreads{0};    // threads begun on file-system work
  std::vector<std::u16string> volumeQueries;   // volume information asked for
  // The file queries' system calls so far; ResetCalls starts again.
  CallCounts Calls() const;
  void ResetCalls();
  int hardenCalls = 0;
  int tokenOpenCalls = 0;
  int tokenOpens = 0;
  int adjustCalls = 0;
  struct AdjustCall {
    TokenPrivileges newState;
    uint32_t bufferLength = 0;
    bool wantsPrevious = false;
  };
  std::vector<AdjustCall> adjusts;  // every AdjustTokenPrivileges call, in order
  int tokenCloses = 0;
  int16_t cursorColumn = 0;
  std::deque<InputRecord> input;            // discarded by a flush
  std::deque<InputRecord> inputAfterFlush;  // arrives once flushed
  int flushes = 0;
  int inputReads = 0;
  std::vector<uint32_t> stdinModesSet;
  std::function<void(uint32_t)> ctrlHandler;

  // Delivers a console control event as the system would.
  void RaiseCtrlEvent(uint32_t event) {
    if (ctrlHandler) ctrlHandler(event);
  }

  // --- Platform ---------------------------------------------------------------
  PathStyle Style() const override { return PathStyle::kWindows; }
  void HardenLibrarySearch() override { ++hardenCalls; }
  std::u16string OwnFilePath() override { return ownPath; }
  bool ReadFileVersion(const std::u16string& file, uint32_t& fileVersion) override;
  void Sleep(uint32_t milliseconds) override { sleeps.push_back(milliseconds); }
  void Beep(uint32_t hertz, uint32_t milliseconds) override {
    beeps.emplace_back(hertz, milliseconds);
  }
  void BeginFileSystemWork() override;
  void EndFileSystemWork() override;
  FolderAlias NativeSystemFolderAlias() override;
  bool GetFullPathName(const std::u16string& path, std::u16string& full) override;
  std::u16string GetCurrentDirectory() override { return currentFolder; }
  uint32_t GetFileAttributes(const std::u16string& path) override;
  bool GetVolumePathName(const std::u16string& path, std::u16string& volume) override;
  uint32_t GetVolumeInformation(const std::u16string& volume, uint32_t& fsFlags,
                                std::u16string& fsName) override;
  std::unique_ptr<FolderListing> OpenListing(const std::u16string& mask, const EntryRef& folder,
                                             uint32_t& error) override;
  std::unique_ptr<FolderListing> OpenListingLocked(const std::u16string& mask,
                                                   const EntryRef& folder, uint32_t& error);
  uint32_t FolderHandleBudget() override {
    if (handleBudget) return *handleBudget;
    return openListingLimit ? static_cast<uint32_t>(*openListingLimit) : 2048;
  }
  bool QueryLinkInfo(const EntryRef& file, LinkInfo& info, uint32_t& error) override;
  ReparseRead ReadReparseData(const std::u16string& openName, const EntryRef& entry,
                              std::span<uint8_t> buffer) override;
  LinkTarget FindLinkTarget(const std::u16string& openName, const EntryRef& entry) override;
  bool OpenProcessToken(Handle& token) override;
  bool LookupPrivilegeValue(const char16_t* name, Luid& luid) override;
  uint32_t AdjustTokenPrivileges(Handle token, const TokenPrivileges& newState,
                                 uint32_t bufferLength, TokenPrivileges* previous,
                                 uint32_t* returnLength) override;
  void CloseHandle(Handle handle) override;
  bool StdoutIsConsole() override { return stdoutIsConsole; }
  ScreenInfo GetScreenInfo() override;
  bool WriteStdout(std::string_view bytes, uint32_t& written, uint32_t& error) override;
  bool WriteConsoleText(std::u16string_view text, uint32_t& written, uint32_t& error) override;
  bool WriteStderrConsole(std::string_view bytes, uint32_t& written, uint32_t& error) override;
  bool WriteStderr(std::string_view bytes, uint32_t& written) override;
  bool StderrIsConsole() override { return statusConsoleWidth > 0; }
  int16_t StderrConsoleWidth() override { return statusConsoleWidth; }
  bool WriteStderrText(std::u16string_view text) override;
  std::string WideToNarrow(std::u16string_view text) override;
  bool WideToOem(std::u16string_view text, std::string& out) override;
  std::u16string NarrowToWide(std::string_view text) override;
  void SetCtrlHandler(std::function<void(uint32_t)> handler) override {
    ctrlHandler = std::move(handler);
  }
  bool SetStdinMode(uint32_t mode) override;
  bool GetStdinMode(uint32_t& mode) override;
  bool OwnsConsoleWindow() override { return ownsConsoleWindow; }
  bool HasExitPause() override { return true; }
  bool FlushConsoleInput() override;
  bool ReadConsoleInput(InputRecord& record) override;

  // The reparse data of a mount point or symbolic link, as the system
  // returns it.
  static std::vector<uint8_t> MountPointData(const std::u16string& substitute,
                                             const std::u16string& print = u"");
  static std::vector<uint8_t> SymlinkData(const std::u16string& substitute,
                                          const std::u16string& print = u"", uint32_t flags = 0);

 private:
  struct Volume {
    std::u16string root;  // canonical, ends in a backslash
    std::u16string fsName;
    uint32_t fsFlags = 0;
    uint64_t serial = 0;
    bool zeroIndexes = false;  // every file reports the index below
    uint64_t unknownIndex = 0;
    uint64_t unknownIndexUpper = 0;
    uint32_t statRefusal = 0;  // the by-name stat's status, where not the release's
    NodePtr top;
  };
  struct Resolved;
  class LinkCalls;
  enum class Counted { kOpen, kQuery, kStatByName, kClose };
  void Count(Counted kind, size_t n = 1);
  bool WideIds() const { return release >= WindowsRelease::kWindows8; }
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

  // The canonical form of a path: no long-path prefix, "\\server\share" for
  // UNC, backslashes only.
  static std::u16string Canonical(const std::u16string& path);
  static std::u16string Key(const std::u16string& path);
  Volume* VolumeOf(const std::u16string& canonical, size_t& rootLength);
  Resolved Resolve(const std::u16string& path, bool followFinal, int hops = 0);
  uint32_t Injected(Op op, const std::u16string& path) const;
  // `path` as the calling thread's file-system redirection makes it.
  std::u16string Redirected(const std::u16string& path) const;
  bool RedirectionOff() const;
  FileId IdOf(const Resolved& resolved) const;
  std::pair<NodePtr, std::u16string> ParentOf(const std::u16string& path);
  void TrackColumn(std::u16string_view text);

  std::vector<std::unique_ptr<Volume>> volumes_;
  std::vector<std::pair<std::u16string, std::u16string>> aliases_;  // alias, root
  std::map<std::pair<Op, std::u16string>, uint32_t> errors_;
  std::map<std::u16string, size_t> listingLimits_;
  // The walk's readers call in from several threads: every file operation,
  // and every change of the tree, holds this.
  std::recursive_mutex files_;
  uint64_t nextIndex_ = 0x10000;
  std::atomic<size_t> calls_[4] = {};
  win32::VolumeRefusals refusals_;  // the program's record, for this machine
  uint64_t nextSerial_ = 0x1234ABCD;
};

// Builds UTF-16 text from ASCII/UTF-8 literals in tests.
std::u16string U(std::string_view utf8);
// A name made of a stem and a number: Numbered("d", 7) is "d7".
std::u16string Numbered(const char* stem, size_t number);

}  // namespace quorrex::testing
