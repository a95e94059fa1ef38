// The one seam between Quorrex's logic and the operating system.
//
// Everything the logic asks of the system goes through `Platform`: folder
// listings, link counts, reparse data, volumes, the console and the process.
// The interface speaks in Windows terms (attribute bits, error codes, UTF-16
// text) whatever the system underneath; `win32/` implements it with the Win32
// API, `posix/` with POSIX calls, and the tests put an in-memory Windows volume
// behind it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "support/utf.h"

namespace quorrex {

// File attribute bits, as the Windows enumeration reports them.
inline constexpr uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;
inline constexpr uint32_t kAttrDirectory = 0x10;
inline constexpr uint32_t kAttrArchive = 0x20;
inline constexpr uint32_t kAttrNormal = 0x80;
inline constexpr uint32_t kAttrReparsePoint = 0x400;

// File-system flag of a volume that can hold reparse points.
inline constexpr uint32_t kFsSupportsReparsePoints = 0x80;

// Windows system error codes the logic tests for by value.
namespace win_error {
inline constexpr uint32_t kSuccess = 0;
inline constexpr uint32_t kFileNotFound = 2;
inline constexpr uint32_t kPathNotFound = 3;
inline constexpr uint32_t kAccessDenied = 5;
inline constexpr uint32_t kInvalidHandle = 6;
inline constexpr uint32_t kSharingViolation = 32;
inline constexpr uint32_t kInvalidName = 123;
inline constexpr uint32_t kDirNotRoot = 144;
inline constexpr uint32_t kFilenameExcedRange = 206;
inline constexpr uint32_t kOperationAborted = 995;
inline constexpr uint32_t kNotAReparsePoint = 4390;
inline constexpr uint32_t kTooManyOpenFiles = 4;
inline constexpr uint32_t kNotEnoughMemory = 8;
inline constexpr uint32_t kOutOfMemory = 14;
inline constexpr uint32_t kNoSystemResources = 1450;
// Codes from 0xE0000000 up carry a POSIX errno with no Windows equivalent
// (the low 16 bits); the error names print them by their errno name.
inline constexpr uint32_t kPosixErrnoBase = 0xE0000000u;
inline constexpr uint32_t kPosixTooManyFilesInSystem = kPosixErrnoBase | 23;  // ENFILE
inline constexpr uint32_t kPosixTooManyOpenFiles = kPosixErrnoBase | 24;      // EMFILE
}  // namespace win_error

// Whether an error tells of a shortage of the process or the system
// (descriptors, memory) that a later try could overcome, rather than of the
// file or folder itself.
inline bool IsShortage(uint32_t error) {
  switch (error) {
    case win_error::kTooManyOpenFiles:
    case win_error::kNotEnoughMemory:
    case win_error::kOutOfMemory:
    case win_error::kNoSystemResources:
    case win_error::kPosixTooManyFilesInSystem:
    case win_error::kPosixTooManyOpenFiles:
      return true;
    default:
      return false;
  }
}

// How the running system writes paths.
enum class PathStyle {
  kWindows,  // drive letters, backslashes, the \\?\ long-path form
  kPosix,    // one tree, forward slashes, no long-path form
};

// What the logic must know of the running system's conventions, one value
// for the run, so that no logic asks which system it runs on.
struct SystemConventions {
  char16_t separator = u'\\';
  // Drive letters, server shares, device paths and the \\?\ long-path form
  // exist, and printed paths leave the long-path prefix out. Elsewhere a
  // path is its own printed form and its own name to open.
  bool windowsPathForms = true;
  // Reading reparse data may need the backup privilege, which only the walk
  // enables; elsewhere a link's data is read wherever it is listed.
  bool linkDataNeedsPrivilege = true;
  // A console is a terminal of bytes (UTF-8 text, control characters shown
  // as "?", line ends as LF) rather than a console of UTF-16 characters.
  bool byteTerminal = false;
  // Control events are signals and are named as such.
  bool signals = false;
};

inline SystemConventions ConventionsOf(PathStyle style) {
  if (style == PathStyle::kWindows) return SystemConventions{};
  return SystemConventions{u'/', false, false, true, true};
}

// One entry of a folder listing: the attribute bits and the long name.
struct FindData {
  uint32_t attributes = 0;
  // The long name; where the listing gave bytes, decoded only when asked
  // for (Name()): most entries of a walk are passed over by their bytes.
  std::u16string name;
  bool nameDecoded = true;
  // Set on a link when the listing left open whether it leads to a folder;
  // FolderListing::ResolveDirectory settles the directory bit.
  bool directoryUnresolved = false;
  // Where the system names files in bytes (POSIX): the name as the listing
  // gave it, with a NUL just past the view, valid until the listing's next
  // entry. Operations on the entry use these bytes as they are, so a name is
  // never encoded again for its system call. Empty elsewhere.
  std::string_view bytes = {};
  // The entry's file index as its folder's records gave it, in the form the
  // entry's own open would give (see FolderListing::Identity); the volume is
  // the listed folder's. Set only where the listing has it; an index of 0
  // is none.
  bool indexListed = false;
  uint64_t index = 0;
  uint64_t indexUpper = 0;

  const std::u16string& Name() {
    if (!nameDecoded) {
      name.clear();
      DecodeUtf8Lossless(bytes, name);
      nameDecoded = true;
    }
    return name;
  }
  // "." or "..", by whichever form the listing gave.
  bool IsDotOrDotDot() const {
    if (!nameDecoded) return bytes == "." || bytes == "..";
    return name == u"." || name == u"..";
  }
};

// The identity of a file: its volume and its index on that volume. Indexes
// are 128 bits wide on file systems such as ReFS; `indexUpper` holds the upper
// half there and is 0 wherever the system's index is 64 bits.
struct FileId {
  uint64_t volume = 0;
  uint64_t index = 0;
  uint64_t indexUpper = 0;
  friend bool operator==(const FileId&, const FileId&) = default;
};

// Whether an identity names one file. Index 0 is none (some redirectors and
// user-mode file systems give it to every file), and so is an index of all
// ones, 64 or 128 bits wide: the file system could not give one. An unknown
// identity never matches another.
inline bool IsKnownFileId(const FileId& id) {
  constexpr uint64_t kAllOnes = ~uint64_t{0};
  if (id.index == 0 && id.indexUpper == 0) return false;
  return !(id.index == kAllOnes && (id.indexUpper == 0 || id.indexUpper == kAllOnes));
}

// Spreads all three fields over the bits of the hash, so that indexes that
// differ only in their upper half, or only in their volume, part too.
struct FileIdHash {
  size_t operator()(const FileId& id) const {
    uint64_t h = id.index * 0x9E3779B97F4A7C15ull ^ (id.volume + 0x632BE59BD9B4E019ull) ^
                 (id.indexUpper * 0xD6E8FEB86659FD93ull);
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    return static_cast<size_t>(h ^ (h >> 32));
  }
};

// What the link query of one file gives.
struct LinkInfo {
  uint32_t links = 0;
  FileId id;
};

// An open folder listing. Entries come out in the system's order, "." and
// ".." included where the system reports them.
class FolderListing {
 public:
  virtual ~FolderListing() = default;
  // The next entry; false at the end of the listing or on any failure.
  virtual bool Next(FindData& entry) = 0;
  // Once Next has returned false: 0 when the folder had no more entries,
  // else the error that cut the listing short (a share that dropped, a disk
  // that failed), so that a partial listing is not taken for a whole one.
  virtual uint32_t EndError() const = 0;
  // The identity of the listed folder (after following any link that led to
  // it); false when it cannot be had.
  virtual bool Identity(FileId& id) = 0;
  // Adds the directory bit to an entry of this listing whose link leads to a
  // folder, and clears `directoryUnresolved`.
  virtual void ResolveDirectory(FindData& entry) { entry.directoryUnresolved = false; }
  // Whether this folder, opened through its parent's listing as a plain
  // subfolder, is a mount point that listing did not show: a mount made
  // after the system's mount table was read. Only a POSIX system has one.
  virtual bool MountedSinceListed() const { return false; }
};

// Names a file or folder for an operation: its full path as the walker built
// it, and, when it was met in a listing, that listing and the entry's name, so
// that a platform may resolve it relative to the open folder. Where the
// listing gave bytes, the parent and the bytes alone may name it: `path` and
// `name` are then empty.
struct EntryRef {
  std::u16string_view path;
  FolderListing* parent = nullptr;
  std::u16string_view name;
  // The attribute bits the listing reported for the entry. A folder listed
  // without the reparse point bit is opened without following a link, so one
  // swapped for a link since the listing fails to open.
  uint32_t attributes = kInvalidFileAttributes;
  // The name's bytes from the listing (FindData::bytes), NUL after the view;
  // empty when the platform is to encode `name` itself.
  std::string_view nameBytes = {};
  // The identity the entry's record in its folder's listing gave (a plain
  // subfolder or a file, on the folder's volume); null when the platform is
  // to ask the entry itself. The listing of such a folder gives it as its
  // Identity, once it has found the folder it opened to be that one.
  const FileId* listedIdentity = nullptr;
};

// The outcome of reading one reparse point's data.
struct ReparseRead {
  enum class Stage { kOpenFailed, kQueryFailed, kRead };
  Stage stage = Stage::kOpenFailed;
  uint32_t error = 0;          // the open's or query's error code
  uint32_t bytesReturned = 0;  // valid when stage is kRead
  // The data as the volume stores it (NTFS on a system whose own paths are
  // not Windows paths), not made up by the platform from a link or a mount.
  bool stored = false;
};

// Whether a link leads to something.
enum class LinkTarget {
  kExists,
  kMissing,  // nothing at the end of it, a loop of links, or a name too long to be one
  kUnknown,  // the system would not say (no access, a server away)
};

// What the system's mount table says of a mount point, where it has one
// (POSIX): its source, file-system type, mount ID and options as the table
// gives them, and the folder of its file system it shows (`root`: "/" for
// the whole of it); `deleted` when that folder no longer exists.
struct MountFacts {
  std::u16string source;
  std::u16string fsType;
  std::u16string options;
  std::u16string root;
  std::u16string device;  // "major:minor"
  bool hasMountId = false;
  uint64_t mountId = 0;
  bool deleted = false;
};

// Token privileges in the published one-entry layout.
struct Luid {
  uint32_t lowPart = 0;
  int32_t highPart = 0;
};
struct TokenPrivileges {
  uint32_t privilegeCount = 0;
  Luid luid;
  uint32_t attributes = 0;
};
inline constexpr uint32_t kSePrivilegeEnabled = 0x00000002;
inline constexpr uint32_t kTokenPrivilegesSize = 16;

// The console screen buffer facts the path lines need.
struct ScreenInfo {
  int16_t width = 0;
  int16_t cursorColumn = 0;
};

// One console input record, reduced to what the exit pause reads.
struct InputRecord {
  uint16_t eventType = 0;  // 1 is a key event
  uint16_t virtualKeyCode = 0;
  bool keyDown = false;
};
inline constexpr uint16_t kKeyEvent = 1;

// Console control event codes.
inline constexpr uint32_t kCtrlCEvent = 0;
inline constexpr uint32_t kCtrlBreakEvent = 1;
inline constexpr uint32_t kCtrlCloseEvent = 2;
inline constexpr uint32_t kCtrlLogoffEvent = 5;
inline constexpr uint32_t kCtrlShutdownEvent = 6;
// Job control, delivered through the same handler where the system has it
// (POSIX: SIGTSTP, SIGCONT). Neither requests an abort. The process stops
// once the handler of kStopEvent returns; kContinueEvent follows when it is
// continued.
inline constexpr uint32_t kStopEvent = 0x10000;
inline constexpr uint32_t kContinueEvent = 0x10001;

using Handle = std::uintptr_t;

// A folder name that stands for another one: the alias and the folder it
// names, both full paths without a trailing backslash. Empty when there is
// none.
struct FolderAlias {
  std::u16string alias;
  std::u16string folder;
};

class Platform {
 public:
  virtual ~Platform() = default;

  virtual PathStyle Style() const = 0;
  virtual SystemConventions Conventions() const { return ConventionsOf(Style()); }

  // --- Process -----------------------------------------------------------
  // Narrows the dynamic-library search to the system directory.
  virtual void HardenLibrarySearch() = 0;
  // Has a drive without media (a card reader or DVD drive reached through a
  // mount point, or given as the target) fail its calls rather than bring up
  // the system's "No Disk" box, which would hold the walk until answered.
  virtual void FailCriticalErrors() {}
  // The program's own file path.
  virtual std::u16string OwnFilePath() = 0;
  // The most significant double word of the file version of `file`
  // (major << 16 | minor); false when it cannot be read.
  virtual bool ReadFileVersion(const std::u16string& file, uint32_t& fileVersionMS) = 0;
  virtual void Sleep(uint32_t milliseconds) = 0;
  virtual void Beep(uint32_t hertz, uint32_t milliseconds) = 0;
  // Bracket the file-system work of the calling thread (the walk and the
  // group report, or one walk worker). Between the two the thread loads no
  // library; a platform may keep per-thread state for the file system here.
  virtual void BeginFileSystemWork() {}
  virtual void EndFileSystemWork() {}
  // The native system folder's alias that no longer resolves on the calling
  // thread: a 32-bit program on 64-bit Windows reaches the 64-bit System32
  // as `%windir%\Sysnative` while redirection is on, and as System32 itself
  // while it is off, where the alias names nothing. Given only while this
  // thread's redirection is off; empty elsewhere.
  virtual FolderAlias NativeSystemFolderAlias() { return {}; }

  // --- Paths and volumes -------------------------------------------------
  // The full path of `path`; false (and `full` untouched) on failure, which
  // includes an empty `path`.
  virtual bool GetFullPathName(const std::u16string& path, std::u16string& full) = 0;
  virtual std::u16string GetCurrentDirectory() = 0;
  // The attribute bits, or kInvalidFileAttributes.
  virtual uint32_t GetFileAttributes(const std::u16string& path) = 0;
  // The root of the volume that holds `path`; false on failure.
  virtual bool GetVolumePathName(const std::u16string& path, std::u16string& volume) = 0;
  // The file-system flags and name of the volume at `volume`; returns 0 on
  // success or the error code.
  virtual uint32_t GetVolumeInformation(const std::u16string& volume, uint32_t& fsFlags,
                                        std::u16string& fsName) = 0;

  // --- Folders and files -------------------------------------------------
  // Starts a listing of `folder`, whose search mask is `mask` (the folder and
  // "*"). Null with the error code in `error` on failure.
  virtual std::unique_ptr<FolderListing> OpenListing(const std::u16string& mask,
                                                     const EntryRef& folder, uint32_t& error) = 0;
  // How many folders the walk may hold open at once: what the process may
  // open, less what it has open already and a margin for the files the
  // platform opens on its own.
  virtual uint32_t FolderHandleBudget() { return 2048; }
  // Bytes of address space the process may still map; the most a uint64_t
  // holds when nothing limits it.
  virtual uint64_t AddressSpaceLeft() { return ~uint64_t{0}; }
  // Link count and identity of a file, without opening its data. False with
  // the error code on failure.
  virtual bool QueryLinkInfo(const EntryRef& file, LinkInfo& info, uint32_t& error) = 0;
  // Opens the reparse point itself (never what it points to) under
  // `openName`, reads its reparse data into `buffer` and closes it.
  virtual ReparseRead ReadReparseData(const std::u16string& openName, const EntryRef& entry,
                                      std::span<uint8_t> buffer) = 0;
  // Whether what the link `entry` (opened under `openName`) leads to exists,
  // followed to its end as the system follows it: opened for no access at
  // all and closed again, or asked without opening where the system can.
  virtual LinkTarget FindLinkTarget(const std::u16string& openName, const EntryRef& entry) {
    (void)openName;
    (void)entry;
    return LinkTarget::kUnknown;
  }

  // What the mount table says of the mount point `entry` (opened under
  // `openName`); false where there is no table (Windows: the reparse data
  // tells all there is).
  virtual bool DescribeMount(const std::u16string& openName, const EntryRef& entry,
                             MountFacts& facts) {
    (void)openName;
    (void)entry;
    (void)facts;
    return false;
  }

  // --- Privileges ----------------------------------------------------------
  virtual bool OpenProcessToken(Handle& token) = 0;
  virtual bool LookupPrivilegeValue(const char16_t* name, Luid& luid) = 0;
  // Returns the system's last error code after the call (0 is success).
  virtual uint32_t AdjustTokenPrivileges(Handle token, const TokenPrivileges& newState,
                                         uint32_t bufferLength, TokenPrivileges* previous,
                                         uint32_t* returnLength) = 0;
  virtual void CloseHandle(Handle handle) = 0;

  // --- Console output ----------------------------------------------------
  // Whether standard output is a character device (a console or terminal).
  virtual bool StdoutIsConsole() = 0;
  // Whether standard output is a pipe or socket: another program reads it,
  // and may be drawing on the same terminal (a pager).
  virtual bool StdoutIsPipe() { return false; }
  // Width and cursor column of standard output's screen buffer; zero when
  // standard output is not a console.
  virtual ScreenInfo GetScreenInfo() = 0;
  // Writes bytes to standard output as they are; false on failure, with the
  // system's error code in `error` (kOperationAborted when a write that could
  // not go on was given up after a control event).
  virtual bool WriteStdout(std::string_view bytes, uint32_t& written, uint32_t& error) = 0;
  // Writes UTF-16 text to the console of standard output.
  virtual bool WriteConsoleText(std::u16string_view text, uint32_t& written, uint32_t& error) = 0;
  // Writes bytes to standard error as to a console; on failure `error` tells
  // why (kInvalidHandle when standard error is no console).
  virtual bool WriteStderrConsole(std::string_view bytes, uint32_t& written, uint32_t& error) = 0;
  // Writes bytes to standard error as to a file.
  virtual bool WriteStderr(std::string_view bytes, uint32_t& written) = 0;
  // Terminal columns that one character takes on standard output's console.
  // The Windows console counts UTF-16 units; a terminal counts display
  // columns (two for wide characters, none for combining marks).
  virtual int ColumnsOf(char32_t c) { return c > 0xFFFF ? 2 : 1; }
  // Whether path lines on the console show control characters as "?".
  virtual bool MasksControlCharacters() { return false; }
  // Whether standard error is a console or terminal of its own kind (the
  // status line goes there only then).
  virtual bool StderrIsConsole() { return false; }
  // The column count of standard error's console window; 0 when unknown.
  virtual int16_t StderrConsoleWidth() { return 0; }
  // Writes the status line's UTF-16 text to the console of standard error
  // at once, unbuffered. Where the system can, it never waits: a terminal
  // that takes nothing now (stopped with Ctrl+S, gone) gets what it takes.
  virtual bool WriteStderrText(std::u16string_view /*text*/) { return false; }
  // The same for bytes, allocating nothing (the status line's erasure).
  virtual bool WriteStderrNow(std::string_view bytes) {
    uint32_t written = 0;
    return WriteStderr(bytes, written);
  }
  // Converts to the process's narrow code page (UTF-8 on POSIX, where a name's
  // original bytes come back out unchanged).
  virtual std::string WideToNarrow(std::u16string_view text) = 0;
  // Converts to the OEM code page for redirected path lines; false when the
  // conversion yields nothing.
  virtual bool WideToOem(std::u16string_view text, std::string& out) = 0;
  virtual std::u16string NarrowToWide(std::string_view text) = 0;

  // --- Console input and control events ------------------------------------
  // Registers the handler of console control events for the rest of the run;
  // an empty function unregisters it.
  virtual void SetCtrlHandler(std::function<void(uint32_t)> handler) = 0;
  virtual bool SetStdinMode(uint32_t mode) = 0;
  virtual bool GetStdinMode(uint32_t& mode) = 0;
  // Whether the console window was opened for this process alone.
  virtual bool OwnsConsoleWindow() = 0;
  // Whether the run ends with the console pause (a short wait when the window
  // is not the program's own). POSIX programs never own their terminal.
  virtual bool HasExitPause() = 0;
  virtual bool FlushConsoleInput() = 0;
  // Reads one input record, waiting for it; false when the read fails.
  virtual bool ReadConsoleInput(InputRecord& record) = 0;

  // --- The way out ---------------------------------------------------------
  // Lets go of standard output and error once everything is written, so that
  // their readers see the end although the process has not ended: a thread
  // inside a file-system call that never returns keeps the process, and with
  // it every stream it holds, from ending.
  virtual void CloseStandardStreams() {}
  // Ends the process now with `code`, whatever its other threads are doing;
  // returns only where there is no process to end (an in-memory machine).
  virtual void EndProcessNow(int /*code*/) {}
};

}  // namespace quorrex
