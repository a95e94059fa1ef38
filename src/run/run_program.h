// The whole run, from start-up to the exit code.
#pragma once

#include <string>
#include <vector>

#include "support/run_state.h"

namespace quorrex {

// Runs the program on `run` with the argument vector `args` (element 0 is the
// program itself) and returns the exit code.
int RunProgram(Run& run, const std::vector<std::u16string>& args);

}  // namespace quorrex
