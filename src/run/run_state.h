// The records that live for one run of the program.
//
// A run owns every process-wide record, split by who writes it: the
// settings, fixed once the command line is read; the tallies, written by the
// walk and the reports on the walk's thread; and the records of the output,
// the console and the status line, each with its own lock. The program
// makes one `Run` for its process; the tests make a fresh one for every run
// they start in-process.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "scan/hard_link_registry.h"

namespace quorrex {

struct ScanOptions {
  bool recurse = false;
  bool oneLine = false;
};

struct ScanCounters {
  uint32_t reparsePoints = 0;
  uint32_t mountPoints = 0;
  uint32_t volumeMountPoints = 0;
  uint32_t junctions = 0;
  uint32_t symbolicLinks = 0;
  uint32_t appExecLinks = 0;
  uint32_t wofLinks = 0;
  uint32_t dedupLinks = 0;
  uint32_t hardLinkGroups = 0;
};

struct VersionInfo {
  uint16_t major = 0;
  uint16_t minor = 0;
};

// Output written to standard output goes through here. When standard output
// is not a console it collects in a buffer that a flusher thread hands to the
// system within about 100 ms; a lock keeps messages of the threads whole.
struct OutputState {
  OutputState() = default;
  OutputState(const OutputState&) = delete;
  OutputState& operator=(const OutputState&) = delete;
  ~OutputState() {
    {
      std::lock_guard<std::mutex> hold(flusherLock);
      flusherStop = true;
    }
    flusherWake.notify_all();
    if (flusher.joinable()) flusher.join();
  }

  std::recursive_timed_mutex lock;
  bool kindDecided = false;
  bool redirected = false;  // standard output is not a console
  std::string buffer;       // pending bytes while redirected
  // A write failed (a closed pipe, a full disk): nothing more is written and
  // the run ends with exit code 4. `failError` is the system's error code.
  std::atomic<bool> failed{false};
  uint32_t failError = 0;
  // Everything the run prints, its summary included, has gone to the system.
  std::atomic<bool> finished{false};

  std::thread flusher;
  std::mutex flusherLock;
  std::condition_variable flusherWake;
  bool flusherStop = false;
};

// The console control handler's record.
struct ConsoleState {
  std::recursive_mutex handlerLock;
  std::atomic<bool> ignoreFurtherEvents{false};
  std::atomic<bool> abortRequested{false};
  // The console input mode found at start, given back on the way out.
  bool stdinModeSaved = false;
  uint32_t savedStdinMode = 0;
};

// The status line on standard error (console/progress_line): what the walk
// has seen so far, fed by the walk while the line is on, and the record of
// the thread that draws it.
struct ProgressState {
  ProgressState() = default;
  ProgressState(const ProgressState&) = delete;
  ProgressState& operator=(const ProgressState&) = delete;
  ~ProgressState() {
    if (!thread.joinable()) return;
    {
      std::lock_guard<std::mutex> hold(lock);
      stop = true;
    }
    wake.notify_all();
    thread.join();
  }

  void EnterFolder(std::u16string_view path) {
    if (!enabled.load(std::memory_order_relaxed)) return;
    folders.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard<std::mutex> hold(folderLock);
    folder.assign(path);
  }
  void CountEntry() { Count(entries); }
  void CountEntries(uint64_t n) {
    if (enabled.load(std::memory_order_relaxed)) entries.fetch_add(n, std::memory_order_relaxed);
  }
  void CountReparsePoint() { Count(reparsePoints); }
  void CountLinkCandidate() { Count(linkCandidates); }
  std::u16string Folder() {
    std::lock_guard<std::mutex> hold(folderLock);
    return folder;
  }

  std::atomic<bool> enabled{false};
  std::atomic<uint64_t> folders{0};
  std::atomic<uint64_t> entries{0};
  std::atomic<uint64_t> reparsePoints{0};
  std::atomic<uint64_t> linkCandidates{0};
  std::mutex folderLock;
  std::u16string folder;  // the folder entered last

  // Drawing: `lock` is held while the line is drawn or erased, and by
  // whoever keeps it off the screen to write to standard error.
  std::mutex lock;
  std::condition_variable wake;
  bool stop = false;
  size_t shownLength = 0;  // characters of the line on the screen; 0: none
  std::thread thread;

 private:
  void Count(std::atomic<uint64_t>& counter) {
    if (enabled.load(std::memory_order_relaxed)) counter.fetch_add(1, std::memory_order_relaxed);
  }
};

inline constexpr uint32_t kReparseBufferSize = 131072;
inline constexpr int32_t kMaxDepth = 1024;
// The most threads that walk by default, the printing thread among them.
inline constexpr uint32_t kMaxWalkWorkers = 8;

// Exit codes of the run.
inline constexpr int kExitCompleted = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitSecondFileSpec = 2;
inline constexpr int kExitAborted = 3;
inline constexpr int kExitOutputFailed = 4;
inline constexpr int kExitNoVolume = 5;
inline constexpr int kExitVolumeUnusable = 7;
inline constexpr int kExitFolderNotFound = 11;

// Fixed once the command line is read; read from any thread after that.
struct Settings {
  explicit Settings(const SystemConventions& system) : conventions(system) {}

  // How the running system writes and opens paths.
  const SystemConventions conventions;
  ScanOptions options;
  int32_t maxColumn = -1;
  VersionInfo version;
  // Threads that read folders for the walk, the printing thread among them:
  // 1 walks on one thread, 0 lets the walk choose from the processor count
  // (the program's default).
  uint32_t walkWorkers = 1;
  // The file specification and what it becomes.
  std::u16string fileSpec;
  std::u16string scanFolder;
  std::u16string namePattern;
  // The file spec named a folder and NormaliseTarget appended the pattern "*".
  bool patternAppended = false;

  char16_t separator() const { return conventions.separator; }
};

// What the run found: written on the walk's thread only.
struct Tallies {
  ScanCounters counters;
  HardLinkRegistry hardLinks;
};

struct Run : Settings, Tallies {
  explicit Run(Platform& p) : Settings(p.Conventions()), platform(p) {}
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  Platform& platform;
  OutputState output;
  ConsoleState console;
  ProgressState progress;
  // The walk's reparse report: the token step happens once, and the buffer
  // (kReparseBufferSize bytes once in use) serves every point.
  bool tokenOpened = false;
  std::vector<uint8_t> reparseBuffer;
  // The walk has tried to enable the backup privilege (at its first reparse
  // point): folders read ahead before that, in which something was denied,
  // are read again.
  std::atomic<bool> privilegeSettled{false};

  bool AbortRequested() const { return console.abortRequested.load(std::memory_order_relaxed); }
};

}  // namespace quorrex
