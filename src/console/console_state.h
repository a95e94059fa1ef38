// Console set-up, control events and the pause before exit.
#pragma once

#include <cstdint>

#include "support/run_state.h"

namespace quorrex {

// Registers the control handler and sets the console input mode.
void InitConsoleState(Run& run);

// Answers one console control event: prints its message (Ctrl+C once, and
// at most one of the others), records the abort request. Always true.
bool ConsoleCtrlHandler(Run& run, uint32_t event);

// When the console window is the program's own, waits for a key; otherwise
// waits a moment. Nothing of it on POSIX.
void WaitForKeyIfOwnConsole(Run& run);

}  // namespace quorrex
