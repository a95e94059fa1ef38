#include "console/path_line.h"

#include <charconv>
#include <string>

#include "console/display_text.h"
#include "console/line_writer.h"
#include "console/output_sink.h"

namespace quorrex {

int16_t ConsoleBufferWidth(Platform& platform) {
  return platform.GetScreenInfo().width;
}

int16_t CursorColumn(Platform& platform) {
  return platform.GetScreenInfo().cursorColumn;
}

namespace {

// `text` as the line shows it: its control characters masked on a terminal
// that needs it, and with the one-line option its middle cut out so that the
// line, `formatLength` characters of the program's own text around it, ends
// at the console's last column. Returns `text` itself when it stays as it
// is, else what `fitted` holds.
std::u16string_view FitPath(Console& console, std::u16string_view text, int32_t formatLength,
                            std::u16string& fitted) {
  std::u16string_view shown = text;
  const bool terminal = console.conventions.byteTerminal && !OutputRedirected(console);
  if (terminal && console.platform.MasksControlCharacters()) {
    fitted = MaskControlCharacters(text);
    shown = fitted;
  }
  // On a console only: a redirected listing (maxColumn -1) keeps its paths.
  if (!console.oneLine || console.maxColumn < 0) return shown;
  const int32_t column = CursorColumn(console.platform);
  // A terminal counts display columns; the Windows console UTF-16 units.
  const int64_t length =
      terminal ? DisplayColumns(console.platform, shown) : static_cast<int64_t>(text.size());
  if (column + int64_t{formatLength} + length <= console.maxColumn) return shown;
  if (fitted.empty()) fitted.assign(text);
  const int32_t width = console.maxColumn - column - formatLength + 1;
  if (terminal) {
    ShortenToColumns(console.platform, fitted, width);
  } else {
    ShortenMiddle(fitted, width);
  }
  return fitted;
}

}  // namespace

int PrintPathLine(Console& console, std::string_view format, std::u16string_view text) {
  std::u16string fitted;
  const std::u16string_view shown =
      FitPath(console, text, static_cast<int32_t>(format.size()), fitted);
  const size_t at = format.find("%S");
  if (at == std::string_view::npos) return -1;
  LineWriter line(console, LineKind::kPathLine);
  line.Text(format.substr(0, at)).Name(shown).Text(format.substr(at + 2));
  return line.Write();
}

int PrintMemberLine(Console& console, int32_t number, std::u16string_view text) {
  // The number is ASCII in every code page and on every console, so it may
  // go with the path; the fitting counts it as the program's own text, where
  // the cursor stood before it.
  char prefix[16] = " ";
  const auto end = std::to_chars(prefix + 1, prefix + sizeof prefix - 2, number).ptr;
  end[0] = ':';
  end[1] = ' ';
  const std::string_view head(prefix, static_cast<size_t>(end + 2 - prefix));
  std::u16string fitted;
  const std::u16string_view shown =
      FitPath(console, text, static_cast<int32_t>(head.size() + 3), fitted);
  LineWriter line(console, LineKind::kPathLine);
  line.Text(head).Name(shown).Text("\n");
  return line.Write();
}

}  // namespace quorrex
