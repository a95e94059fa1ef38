// The writers of narrow messages: PrintMessage to standard output (through
// the output sink), PrintError to standard error.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "console/console.h"
#include "console/line_writer.h"

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

int PrintMessageArgs(Console& console, std::string_view format, std::span<const FormatArg> args);
int PrintErrorArgs(Console& console, std::string_view format, std::span<const FormatArg> args);

// Writes a formatted message to standard output (line ends as CR LF on
// Windows, LF on POSIX). Returns the byte count written, -1 on failure.
template <typename... Args>
int PrintMessage(Console& console, std::string_view format, const Args&... args) {
  const std::array<FormatArg, sizeof...(Args)> list{FormatArg(args)...};
  return PrintMessageArgs(console, format, list);
}

// Writes a formatted message to standard error, its line ends unchanged.
template <typename... Args>
int PrintError(Console& console, std::string_view format, const Args&... args) {
  const std::array<FormatArg, sizeof...(Args)> list{FormatArg(args)...};
  return PrintErrorArgs(console, format, list);
}

}  // namespace quorrex
