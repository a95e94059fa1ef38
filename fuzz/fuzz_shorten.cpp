// The one-line shortening and the fitting of path lines, for any text and
// console geometry.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "console/display_text.h"
#include "console/path_line.h"
#include "memory_machine.h"
#include "run/run_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quorrex;
  if (size < 4) return 0;
  const int32_t width = static_cast<int8_t>(data[0]) * 3;
  const int16_t consoleWidth = static_cast<int16_t>(data[1]);
  const int16_t column = static_cast<int16_t>(data[2] % 200);
  std::u16string text;
  for (size_t i = 4; i + 1 < size; i += 2) {
    text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  std::u16string shortened = text;
  const int32_t length = ShortenMiddle(shortened, width);
  if (length != static_cast<int32_t>(shortened.size())) std::abort();
  if (shortened.size() > text.size()) std::abort();

  testing::MemoryMachine machine;
  machine.consoleWidth = consoleWidth;
  machine.cursorColumn = column;
  machine.stdoutIsConsole = (data[3] & 1) != 0;
  Run run(machine);
  run.console.oneLine = (data[3] & 2) != 0;
  run.console.maxColumn = machine.stdoutIsConsole ? int32_t{consoleWidth} - 1 : -1;
  const char* formats[] = {"%S\n", " %S\n", " -> %S\n"};
  const int written = PrintPathLine(run.console, formats[data[3] % 3], text);
  if (written < 0) std::abort();
  return 0;
}
