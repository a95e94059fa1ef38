#include "console/path_line.h"

#include "console/message.h"

namespace quorrex {

int16_t ConsoleBufferWidth(Run& run) {
  return run.platform.GetScreenInfo().width;
}

int16_t CursorColumn(Run& run) {
  return run.platform.GetScreenInfo().cursorColumn;
}

int32_t ShortenMiddle(std::u16string& text, int32_t width) {
  if (width > 32768) width = 32768;
  const auto len = static_cast<int32_t>(text.size());
  if (len < width || width < 4) return len;
  const int32_t h = width / 2;
  const int32_t tail = width - h - 1;
  std::u16string result;
  result.reserve(static_cast<size_t>(width));
  result.append(text, 0, static_cast<size_t>(h - 2));
  result.append(u"...");
  result.append(text, static_cast<size_t>(len - tail), static_cast<size_t>(tail));
  text = std::move(result);
  return width;
}

int PrintPathLine(Run& run, std::string_view format, std::u16string_view text) {
  std::u16string fitted;
  std::u16string_view shown = text;
  const auto formatLength = static_cast<int32_t>(format.size());
  // On a console only: a redirected listing (MaxColumn -1) keeps its paths.
  if (run.options.oneLine && run.maxColumn >= 0) {
    const int32_t column = CursorColumn(run);
    const int64_t total = int64_t{formatLength} + static_cast<int64_t>(text.size());
    if (column + total > run.maxColumn) {
      fitted.assign(text);
      ShortenMiddle(fitted, run.maxColumn - column - formatLength + 1);
      shown = fitted;
    }
  }

  const std::u16string wideFormat = run.platform.NarrowToWide(format);
  const size_t at = wideFormat.find(u"%S");
  if (at == std::u16string::npos) return -1;
  std::u16string line;
  line.reserve(wideFormat.size() + shown.size());
  line.append(wideFormat, 0, at);
  line.append(shown);
  line.append(wideFormat, at + 2);

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
      return static_cast<int>(written);
    }
    if (!run.platform.WriteConsoleText(all.substr(0, kConsoleWriteLimit), written, error)) {
      return 0;
    }
    run.platform.WriteConsoleText(all.substr(kConsoleWriteLimit), written, error);
    return static_cast<int>(written);
  }

  std::string bytes;
  if (!run.platform.WideToOem(line, bytes) || bytes.empty()) return 0;
  const int written = WriteOutput(run, bytes);
  return written < 0 ? 0 : written;
}

}  // namespace quorrex
