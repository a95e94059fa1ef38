// The status line: while the listing goes to a file or a character device
// that is no console (/dev/null, NUL), never a pipe, and standard error is a
// console or terminal, one line on standard error shows how far the walk has
// got, rewritten in place a few times a second.
#pragma once

#include <mutex>
#include <string>

#include "console/console.h"

namespace quorrex {

// Milliseconds between two drawings of the line; the first comes after one.
inline constexpr uint32_t kStatusLineIntervalMs = 250;

// Starts the line when standard output is redirected to a file or device
// (not a pipe) and standard error is a console; otherwise does nothing.
void StartStatusLine(Console& console);

// Erases the line and stops it for the rest of the run. Harmless when it
// never started.
void StopStatusLine(Console& console);

// Job control: the line leaves the screen before the process stops, and is
// drawn again when it is continued.
void SuspendStatusLine(Console& console);
void ResumeStatusLine(Console& console);

// Erases the line for good on the way out of a refused allocation, from any
// thread: it takes no lock that thread may hold, allocates nothing, and
// waits a moment at most for a drawing in progress.
void HaltStatusLine(Console& console);

// The text of the line for `width` columns: the counts in compact form
// ("62k folders 803k entries 23k reparse 105k multi-link"), then " | " and as
// much of the folder as fits (shortened in the middle, its control characters
// shown as "?"); where the room is short, the folders and entries alone
// before the folder. Never `width` display columns or more.
std::u16string StatusLineText(const StatusLineState& state, Platform& platform, int32_t width);

// While one of these lives the line is off the screen and is not redrawn:
// whoever writes to standard error holds one.
class StatusLinePause {
 public:
  explicit StatusLinePause(Console& console);
  StatusLinePause(const StatusLinePause&) = delete;
  StatusLinePause& operator=(const StatusLinePause&) = delete;

 private:
  std::unique_lock<std::mutex> hold_;
};

}  // namespace quorrex
