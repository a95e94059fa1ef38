// Runs the whole program in-process on an in-memory machine.
#pragma once

#include <string>
#include <vector>

#include "memory_volume.h"
#include "run/run_program.h"

namespace quorrex::testing {

struct Outcome {
  int code = -1;
  std::string out;
  std::string err;
};

// One fresh run with `args` after the program's own name, its walk on
// `workers` threads.
inline Outcome RunOn(MemoryVolume& machine, const std::vector<std::u16string>& args,
                     uint32_t workers = 1) {
  std::vector<std::u16string> argv{u"quorrex.exe"};
  argv.insert(argv.end(), args.begin(), args.end());
  Run run(machine);
  run.walkWorkers = workers;
  Outcome outcome;
  outcome.code = RunProgram(run, argv);
  outcome.out = machine.out;
  outcome.err = machine.err;
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
