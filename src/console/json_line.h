// One JSON Lines record: an object on one line, built field by field and
// written whole.
//
// Text is UTF-8. A name that is not valid Unicode (an unpaired surrogate
// from a Windows name, a byte that is not UTF-8 from a POSIX one) is written
// with U+FFFD where the fault is, and the name as the system holds it goes
// beside it, in base64, under the same key with "_base64" after it: the
// name's bytes on POSIX, its UTF-16LE units on Windows.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "console/console.h"

namespace quorrex {

class JsonLine {
 public:
  // `namesAreBytes`: names came from bytes (POSIX), and a lone surrogate
  // U+DC80..U+DCFF stands for the byte it holds.
  explicit JsonLine(std::string& buffer, bool namesAreBytes);

  // A record of type `type`: the object is opened and its first field set.
  JsonLine& Begin(std::string_view type);
  JsonLine& Ascii(std::string_view key, std::string_view value);
  JsonLine& Name(std::string_view key, std::u16string_view value);
  JsonLine& Names(std::string_view key, std::span<const std::u16string> values);
  JsonLine& Names(std::string_view key, std::span<const std::u16string_view> values);
  JsonLine& Number(std::string_view key, uint64_t value);
  JsonLine& Bool(std::string_view key, bool value);
  JsonLine& Null(std::string_view key);
  // Closes the object and ends the line; the buffer then holds the record.
  std::string_view End();

 private:
  void Key(std::string_view key);
  // Appends `value` as a JSON string; false when it is not valid Unicode.
  bool AppendString(std::u16string_view value);
  void AppendBase64(std::u16string_view value);
  template <typename View>
  JsonLine& NameList(std::string_view key, std::span<const View> values);

  std::string& out_;
  bool namesAreBytes_;
};

// Writes one finished record to standard output: as it is when redirected,
// as UTF-8 to a terminal of bytes and as UTF-16 to a Windows console, there
// with DEL and the C1 controls escaped (\u007f, \u0080 to \u009f), which
// a terminal could take as commands. Returns what the output sink returns.
int WriteJsonLine(Console& console, std::string_view record);

}  // namespace quorrex
