// The whole run, from start-up to the exit code.
#pragma once

#include <string>
#include <vector>

#include "run/run_state.h"

namespace quorrex {

// A refused allocation ends the process after `platform`'s wait of half a
// second and a three-second tone.
void InstallAllocationFailure(Platform& platform);

// Runs the program on `run` with the argument vector `args` (element 0 is the
// program itself) and returns the exit code.
int RunProgram(Run& run, const std::vector<std::u16string>& args);

}  // namespace quorrex
