#include "console/path_line.h"

#include "console/message.h"
#include "support/utf.h"

namespace quorrex {

int16_t ConsoleBufferWidth(Run& run) {
  return run.platform.GetScreenInfo().width;
}

int16_t CursorColumn(Run& run) {
  return run.platform.GetScreenInfo().cursorColumn;
}

namespace {

// The character at `i` and how many UTF-16 units it takes.
char32_t CharAt(std::u16string_view text, size_t i, size_t& units) {
  units = 1;
  if (PairAt(text, i)) {
    units = 2;
    return PairValue(text, i);
  }
  return text[i];
}

}  // namespace

std::u16string MaskControlCharacters(std::u16string_view text) {
  std::u16string shown(text);
  for (char16_t& c : shown) {
    // C0, DEL and C1, and the bytes 0x80 to 0x9F of a name that was not
    // UTF-8, which some terminals take for C1 controls too.
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0xDC80 && c <= 0xDC9F)) c = u'?';
  }
  return shown;
}

int64_t DisplayColumns(Run& run, std::u16string_view text) {
  int64_t columns = 0;
  size_t units = 0;
  for (size_t i = 0; i < text.size(); i += units)
    columns += run.platform.ColumnsOf(CharAt(text, i, units));
  return columns;
}

namespace {

// The middle of `text` replaced by "..." so that the whole costs at most
// `width`, where `costOf` gives what a character costs: never half a
// character, and no mark without its character. Returns the cost left.
template <typename Cost>
int32_t ShortenBy(std::u16string& text, int32_t width, Cost costOf) {
  if (width > 32768) width = 32768;
  int64_t columns = 0;
  size_t units = 0;
  for (size_t i = 0; i < text.size(); i += units) columns += costOf(CharAt(text, i, units));
  if (columns < width || width < 4) return static_cast<int32_t>(columns);
  const int32_t h = width / 2;
  // The head takes up to h - 2 columns (with the marks that go with its last
  // character), the tail up to width - h - 1, never half a character.
  size_t head = 0;
  int64_t used = 0;
  while (head < text.size()) {
    const int cost = costOf(CharAt(text, head, units));
    if (used + cost > h - 2) break;
    used += cost;
    head += units;
  }
  const int64_t headColumns = used;
  size_t tail = text.size();
  used = 0;
  while (tail > head) {
    size_t start = tail - 1;
    if (start > head && PairAt(text, start - 1)) --start;
    const int cost = costOf(CharAt(text, start, units));
    if (used + cost > width - h - 1) break;
    used += cost;
    tail = start;
  }
  // A tail does not begin with a mark that belonged to a character cut away.
  while (tail < text.size() && costOf(CharAt(text, tail, units)) == 0) {
    tail += units;
  }
  int64_t tailColumns = 0;
  for (size_t i = tail; i < text.size(); i += units) {
    tailColumns += costOf(CharAt(text, i, units));
  }
  std::u16string result = text.substr(0, head);
  result.append(u"...");
  result.append(text, tail);
  text = std::move(result);
  return static_cast<int32_t>(headColumns + 3 + tailColumns);
}

}  // namespace

int32_t ShortenMiddle(std::u16string& text, int32_t width) {
  // A console line counts UTF-16 units.
  return ShortenBy(text, width, [](char32_t c) { return c >= 0x10000 ? 2 : 1; });
}

int32_t ShortenToColumns(Run& run, std::u16string& text, int32_t width) {
  return ShortenBy(text, width, [&run](char32_t c) { return run.platform.ColumnsOf(c); });
}

namespace {

// The program's own text around a path: plain ASCII, the same in every code
// page, is widened as it stands.
void AppendFormatText(Run& run, std::string_view text, std::u16string& line) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      line.append(run.platform.NarrowToWide(text));
      return;
    }
  }
  line.append(text.begin(), text.end());
}

}  // namespace

int PrintPathLine(Run& run, std::string_view format, std::u16string_view text) {
  std::u16string fitted;
  std::u16string_view shown = text;
  const bool terminal = run.conventions.byteTerminal && !OutputRedirected(run);
  if (terminal && run.platform.MasksControlCharacters()) {
    fitted = MaskControlCharacters(text);
    shown = fitted;
  }
  const auto formatLength = static_cast<int32_t>(format.size());
  // On a console only: a redirected listing (MaxColumn -1) keeps its paths.
  if (run.options.oneLine && run.maxColumn >= 0) {
    const int32_t column = CursorColumn(run);
    // A terminal counts display columns; the Windows console UTF-16 units.
    const int64_t length =
        terminal ? DisplayColumns(run, shown) : static_cast<int64_t>(text.size());
    const int64_t total = int64_t{formatLength} + length;
    if (column + total > run.maxColumn) {
      if (fitted.empty()) fitted.assign(text);
      const int32_t width = run.maxColumn - column - formatLength + 1;
      if (terminal) {
        ShortenToColumns(run, fitted, width);
      } else {
        ShortenMiddle(fitted, width);
      }
      shown = fitted;
    }
  }

  const size_t at = format.find("%S");
  if (at == std::string_view::npos) return -1;
  // One line after another on the same thread: the buffers are kept.
  thread_local std::u16string line;
  line.clear();
  AppendFormatText(run, format.substr(0, at), line);
  line.append(shown);
  AppendFormatText(run, format.substr(at + 2), line);

  std::lock_guard<std::recursive_timed_mutex> guard(run.output.lock);
  if (!OutputRedirected(run)) {
    uint32_t written = 0;
    uint32_t error = 0;
    const std::u16string_view all(line);
    if (all.size() <= kConsoleWriteLimit) {
      if (!run.platform.WriteConsoleText(all, written, error)) {
        PrintMessage(run, "\nWriteConsoleW error %u on textlen=%i\n", error,
                     static_cast<int32_t>(all.size()));
        return 0;
      }
      NoteOutputWritten(run, all);
      return static_cast<int>(written);
    }
    if (!run.platform.WriteConsoleText(all.substr(0, kConsoleWriteLimit), written, error)) {
      return 0;
    }
    run.platform.WriteConsoleText(all.substr(kConsoleWriteLimit), written, error);
    NoteOutputWritten(run, all);
    return static_cast<int>(written);
  }

  thread_local std::string bytes;
  if (!run.platform.WideToOem(line, bytes) || bytes.empty()) return 0;
  const int written = WriteOutput(run, bytes);
  return written < 0 ? 0 : written;
}

}  // namespace quorrex
