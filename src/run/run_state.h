// The records that live for one run of the program, put together.
//
// Each layer owns its records: the console its output, status line, control
// events and stop; the scan its settings, tallies and reparse reader; the
// paths the target made from the file specification. The run composes them,
// hands the scan its context, and owns the exit code. The program makes one
// `Run` for its process; the tests make a fresh one for every run they start
// in-process.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "console/console.h"
#include "paths/target.h"
#include "platform/platform.h"
#include "scan/printer.h"
#include "scan/scan_records.h"

namespace quorrex {

// Exit codes of the run.
inline constexpr int kExitCompleted = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitSecondFileSpec = 2;
inline constexpr int kExitAborted = 3;
inline constexpr int kExitOutputFailed = 4;
inline constexpr int kExitNoVolume = 5;
inline constexpr int kExitVolumeUnusable = 7;
inline constexpr int kExitFolderNotFound = 11;

// How far the run has got, as the report's writer sees it (guarded by
// `Run::tallies.lock`). A run stopped by a control event whose walk does not
// come back within the grace (its thread is inside a system call that never
// returns) is taken over: another thread writes what was found and ends the
// process.
enum class RunPhase {
  kStarting,   // before the file specification is split
  kChecking,   // the volume and folder checks
  kWalking,    // from the walk's first line on
  kReporting,  // the run's own thread reports
  kTakenOver,  // another thread reports: the run's own prints nothing more
};

// After a control event, how long the run's own thread has to reach its
// report before another takes it over: past the readers' patience and the
// cancelling of blocked calls where the system has it.
inline constexpr std::chrono::milliseconds kTakeoverGrace{1500};

struct ReportTakeover {
  ReportTakeover() = default;
  ReportTakeover(const ReportTakeover&) = delete;
  ReportTakeover& operator=(const ReportTakeover&) = delete;
  ~ReportTakeover() {
    if (thread.joinable()) thread.join();
  }

  RunPhase phase = RunPhase::kStarting;  // under Run::tallies.lock
  std::condition_variable phaseChanged;  // with Run::tallies.lock
  // The watching thread, started at the first control event.
  std::mutex startLock;
  bool started = false;
  std::thread thread;
  // Set once a takeover has ended the run (where the process lives on).
  std::mutex endLock;
  std::condition_variable ended;
  bool done = false;
  int code = 0;
};

struct Run {
  explicit Run(Platform& p)
      : platform(p),
        console(p),
        conventions(console.conventions),
        printer(MakeTextPrinter(console)),
        scan{p,       console.conventions, settings,     tallies,      reparseReader,
             console, console.statusLine,  console.stop, printer.get()} {}
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  Platform& platform;
  Console console;
  // How the running system writes and opens paths.
  const SystemConventions& conventions;
  // The text, or the records for scripts (UseFormat).
  OutputFormat format = OutputFormat::kText;
  std::unique_ptr<Printer> printer;
  // A QUORREX_FORMAT value the program does not know, told on standard error.
  std::string unknownFormat;
  // A QUORREX_WORKERS value that is no thread count, told the same way.
  std::string unknownWorkers;
  ScanSettings settings;
  Tallies tallies;
  ReparseReaderState reparseReader;
  ScanContext scan;
  // The program's own version, as its file gives it.
  struct {
    uint32_t major = 0;
    uint32_t minor = 0;
  } version;
  // The file specification as given, and the folder and pattern it names.
  std::u16string fileSpec;
  Target target;
  ReportTakeover takeover;

  // Prints in `format` from here on; chosen before the run starts.
  void UseFormat(OutputFormat chosen) {
    format = chosen;
    printer = MakePrinter(chosen, console);
    scan.printer = printer.get();
  }

  bool AbortRequested() const { return console.stop.StopRequested(); }
  char16_t separator() const { return conventions.separator; }
};

}  // namespace quorrex
