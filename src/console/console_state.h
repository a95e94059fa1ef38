// Console set-up, control events and the pause before exit.
#pragma once

#include <chrono>
#include <cstdint>

#include "console/console.h"

namespace quorrex {

// Registers the control handler and sets the console input mode.
void InitConsoleState(Console& console);

// Answers one console control event: prints its message (Ctrl+C once, and
// at most one of the others), requests the stop. For a close, logoff
// or shutdown it then waits, bounded, until the run's output is complete.
// Where events are signals, the message waits, bounded, for the line being
// written to end. The job-control events take the status line off the screen
// and back. Always true.
bool ConsoleCtrlHandler(Console& console, uint32_t event);

// The message an event prints, with its line ends ("\nSIGINT received ->
// abort\n"); null for an event that prints none.
const char* ControlEventMessage(const Console& console, uint32_t event);
// The system's name of an event ("CTRL_C_EVENT", "SIGINT"); null for none.
const char* ControlEventName(const Console& console, uint32_t event);

// How long the handler of a close, logoff or shutdown event waits for the run
// to finish its output: the system ends the process once the handler
// returns, and allows it about 5 seconds for a close.
inline constexpr uint32_t kEndingEventWaitMs = 4500;
inline constexpr uint32_t kEndingEventPollMs = 50;

// How long a signal's message waits for the line being written to end; a
// line still open then is ended by the message's own line feed.
inline constexpr std::chrono::milliseconds kLineEndWait{1000};

// The run is complete once its summary begins: from here on a control
// event prints nothing and stops nothing (a close, logoff or shutdown still
// waits for the output). True when an event asked the run to stop before.
bool EndControlEvents(Console& console);

// Gives the console input mode found at start back to the console.
void RestoreConsoleState(Console& console);

// When the console window is the program's own, waits for a key; otherwise
// waits a moment. Nothing of it on POSIX.
void WaitForKeyIfOwnConsole(Console& console);

}  // namespace quorrex
