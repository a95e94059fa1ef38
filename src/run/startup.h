// The start-up environment: the library search path and the program's own
// version.
#pragma once

#include <string>

#include "run/run_state.h"

namespace quorrex {

// Takes the current folder out of the library search, where the system
// allows it.
void HardenDllSearch(Run& run);

// Fills `run.version` with the first two parts of the file version of
// `ownPath`; false (and 0.0 kept) when it cannot be read.
bool ReadOwnVersion(Run& run, const std::u16string& ownPath);

}  // namespace quorrex
