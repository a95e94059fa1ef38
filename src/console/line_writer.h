// One line of output, built up in order and written whole.
//
// Program text, names and numbers are appended to the line, and the line
// ends it holds are written as its kind of line ends them, in one place. The
// narrow messages and the path lines both go out through it.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "console/console.h"

namespace quorrex {

enum class LineKind {
  // Narrow text in the system's narrow code page, through the output sink;
  // a line ends in CR LF where the system's text wants it, in LF on a
  // terminal of bytes.
  kMessage,
  // Text that carries a path: UTF-16 to a console, the OEM code page when
  // redirected; a line ends in LF alone.
  kPathLine,
};

class LineWriter {
 public:
  // Holds the output lock from here until the line is written and gone.
  LineWriter(Console& console, LineKind kind);
  ~LineWriter();
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // The program's own text; "\n" ends a line.
  LineWriter& Text(std::string_view text);
  // A name or path, as it is: converted to the narrow code page in a message.
  LineWriter& Name(std::u16string_view name);
  LineWriter& Number(uint32_t value);
  LineWriter& Number(int32_t value);

  // Writes what was appended, with its line ends, as one piece under the
  // output lock. A message returns the byte count written, -1 on failure; a
  // path line what the last write reported, 0 when nothing was written.
  int Write();

 private:
  int WriteMessage();
  int WritePathLine();
  int WriteToConsole(std::u16string_view line);

  Console& console_;
  LineKind kind_;
  std::unique_lock<std::recursive_timed_mutex> hold_;
  OutputState::LineBuffers own_;  // where the output's two sets are taken
  OutputState::LineBuffers& buffers_;
  std::string& narrow_;   // a message
  std::u16string& wide_;  // a path line
};

// Puts a CR before every LF that does not already follow a CR.
std::string ConvertLineEnds(std::string_view text);

}  // namespace quorrex
