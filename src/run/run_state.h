// The records that live for one run of the program, put together.
//
// Each layer owns its records: the console its output, status line, control
// events and stop; the scan its settings, tallies and reparse reader; the
// paths the target made from the file specification. The run composes them,
// hands the scan its context, and owns the exit code. The program makes one
// `Run` for its process; the tests make a fresh one for every run they start
// in-process.
#pragma once

#include <memory>
#include <string>

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
