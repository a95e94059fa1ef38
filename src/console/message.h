// The writers of narrow messages: PrintMessage to standard output, PrintError
// to standard error, and the output buffer behind standard output.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "run/run_state.h"

namespace quorrex {

// One argument of a message: "%u", "%i", "%s" or "%S".
struct FormatArg {
  enum class Kind { kUnsigned, kSigned, kNarrow, kWide };
  Kind kind;
  uint32_t u = 0;
  int32_t i = 0;
  std::string_view narrow;
  std::u16string_view wide;

  FormatArg(uint32_t v) : kind(Kind::kUnsigned), u(v) {}  // NOLINT(google-explicit-constructor)
  FormatArg(int32_t v) : kind(Kind::kSigned), i(v) {}     // NOLINT(google-explicit-constructor)
  FormatArg(const char* s) : kind(Kind::kNarrow), narrow(s) {}         // NOLINT
  FormatArg(std::string_view s) : kind(Kind::kNarrow), narrow(s) {}    // NOLINT
  FormatArg(const std::string& s) : kind(Kind::kNarrow), narrow(s) {}  // NOLINT
  FormatArg(std::u16string_view s) : kind(Kind::kWide), wide(s) {}     // NOLINT
  FormatArg(const std::u16string& s) : kind(Kind::kWide), wide(s) {}   // NOLINT
  FormatArg(const char16_t* s) : kind(Kind::kWide), wide(s) {}         // NOLINT
};

// Formats `format` with the four directives above and "%%"; any other "%"
// stays as it is. "%S" converts through the platform's narrow code page. The
// text is never cut, however long.
std::string FormatText(Platform& platform, std::string_view format,
                       std::span<const FormatArg> args);

// Puts a CR before every LF that does not already follow a CR.
std::string ConvertLineEnds(std::string_view text);

int PrintMessageArgs(Run& run, std::string_view format, std::span<const FormatArg> args);
int PrintErrorArgs(Run& run, std::string_view format, std::span<const FormatArg> args);

// Writes a formatted message to standard output (line ends as CR LF on
// Windows, LF on POSIX). Returns the byte count written, -1 on failure.
template <typename... Args>
int PrintMessage(Run& run, std::string_view format, const Args&... args) {
  const std::array<FormatArg, sizeof...(Args)> list{FormatArg(args)...};
  return PrintMessageArgs(run, format, list);
}

// Writes a formatted message to standard error, its line ends unchanged.
template <typename... Args>
int PrintError(Run& run, std::string_view format, const Args&... args) {
  const std::array<FormatArg, sizeof...(Args)> list{FormatArg(args)...};
  return PrintErrorArgs(run, format, list);
}

// Standard output: raw bytes through the run's buffer. Returns the count
// written, -1 on failure. After a failed write nothing more is written, and
// the run's abort flag is set so that the walk stops.
int WriteOutput(Run& run, std::string_view bytes);
// Whether standard output is redirected (decided at the first output).
bool OutputRedirected(Run& run);
// Whether a write to standard output has failed; `run.output.failError` says why.
bool OutputFailed(const Run& run);
// Records a failed write to standard output (see WriteOutput).
void NoteOutputFailure(Run& run, uint32_t error);
// Hands every pending byte to the system.
void FlushOutput(Run& run);
// The same for a caller that already holds the output lock; allocates nothing.
void FlushPendingOutput(Run& run);
// FlushOutput, unless another thread holds the output for longer than
// `milliseconds`; false then, and nothing is written.
bool FlushOutputWithin(Run& run, uint32_t milliseconds);
// Starts and stops the thread that hands redirected output to the system
// within about 100 ms of its being written; without it (the system refused
// the thread) output waits for a full buffer or the run's end.
void StartOutputFlusher(Run& run);
void StopOutputFlusher(Run& run);

}  // namespace quorrex
