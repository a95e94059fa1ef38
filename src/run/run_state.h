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
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "console/output_sink.h"
#include "console/progress_state.h"
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

// The console control handler's record.
struct ConsoleState {
  std::recursive_mutex handlerLock;
  std::atomic<bool> ignoreFurtherEvents{false};
  std::atomic<bool> abortRequested{false};
  // The console input mode found at start, given back on the way out.
  bool stdinModeSaved = false;
  uint32_t savedStdinMode = 0;
};

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
  // The locks of the run, and what each guards, in the order a thread that
  // holds more than one takes them:
  // - console.handlerLock: the choice and printing of a control event's
  //   message, one event at a time;
  // - output.lock: the output sink's buffer and state, and the order of all
  //   that reaches standard output (and standard error, through PrintError);
  // - progress.lock: the status line's drawing state and the terminal line
  //   it occupies on standard error;
  // - progress.folderLock: the folder the status line names.
  // output.flusherLock guards the flusher's stop flag and is held alone. The
  // atomic counters and flags of the three records need no lock.
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
