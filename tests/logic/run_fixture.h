// Runs the whole program in-process on an in-memory machine.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json_records.h"
#include "memory_machine.h"
#include "run/run_program.h"

namespace quorrex::testing {

struct Outcome {
  int code = -1;
  std::string out;
  std::string err;
  std::string json;  // the records, when the run printed them
};

// A point that one thread waits at until another opens it. The deadline
// only turns a hang into a failure: Wait() says whether the gate opened.
class Gate {
 public:
  void Open() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      open_ = true;
    }
    opened_.notify_all();
  }
  bool IsOpen() {
    std::lock_guard<std::mutex> hold(lock_);
    return open_;
  }
  bool Wait(std::chrono::seconds deadline = std::chrono::seconds(30)) {
    std::unique_lock<std::mutex> hold(lock_);
    return opened_.wait_for(hold, deadline, [this] { return open_; });
  }

 private:
  std::mutex lock_;
  std::condition_variable opened_;
  bool open_ = false;
};

// The walk's thread count for whole runs that do not name one: 1, or what
// QUORREX_TEST_WORKERS says (the suite runs once more with 4, and expects
// the same bytes).
inline uint32_t TestWorkers() {
  const char* text = std::getenv("QUORREX_TEST_WORKERS");
  const int workers = text != nullptr ? std::atoi(text) : 0;
  return workers > 0 ? static_cast<uint32_t>(workers) : 1;
}

// The format whole runs print in: the text, or the records for scripts when
// QUORREX_TEST_FORMAT=json (the suite runs once more so, and expects the
// text's bytes from the records turned back into text).
inline OutputFormat TestFormat() {
  const char* text = std::getenv("QUORREX_TEST_FORMAT");
  return text != nullptr && std::string_view(text) == "json" ? OutputFormat::kJson
                                                             : OutputFormat::kText;
}

// One fresh run with `args` after the program's own name, its walk on
// `workers` threads (0: TestWorkers()), printing in TestFormat(). A run that
// printed records has them in `json`, and in `out` the text they stand for.
inline Outcome RunOn(MemoryMachine& machine, const std::vector<std::u16string>& args,
                     uint32_t workers = 0, std::optional<OutputFormat> format = std::nullopt) {
  std::vector<std::u16string> argv{u"quorrex.exe"};
  argv.insert(argv.end(), args.begin(), args.end());
  Run run(machine);
  run.settings.walkWorkers = workers != 0 ? workers : TestWorkers();
  run.UseFormat(format.value_or(TestFormat()));
  Outcome outcome;
  outcome.code = RunProgram(run, argv);
  outcome.out = machine.out;
  outcome.err = machine.err;
  // Records cut short (the output failed, or was given up after a control
  // event) stand for no whole text.
  if (run.format == OutputFormat::kJson &&
      machine.out.find("{\"type\":\"end\"") != std::string::npos) {
    outcome.json = machine.out;
    machine.out.clear();
    Console console(machine);
    console.oneLine = run.console.oneLine;
    console.maxColumn = run.console.maxColumn;
    PrintRecordsAsText(console, outcome.json);
    FlushOutput(console);
    outcome.out = machine.out;
  }
  return outcome;
}

// The summary block of a run with nothing found, as written to a file.
inline std::string EmptySummary() {
  return "\r\nsummary\r\n* 0 reparse points:\r\n  + 0 mount points:\r\n"
         "    - 0 volume mount points\r\n    - 0 directory junction points\r\n"
         "  + 0 symbolic links\r\n  + 0 app execute links\r\n  + 0 wof links\r\n"
         "  + 0 deduplication links\r\n  + 0 of other types\r\n* 0 hard link groups\r\n";
}

}  // namespace quorrex::testing
