#include "console/message.h"

#include <mutex>
#include <vector>

#include "console/path_line.h"
#include "console/progress_line.h"

namespace quorrex {
namespace {

void AppendDecimal(uint32_t value, std::string& out) {
  char digits[10];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) out.push_back(digits[--n]);
}

}  // namespace

std::string FormatText(Platform& platform, std::string_view format,
                       std::span<const FormatArg> args) {
  std::string out;
  out.reserve(format.size() + 32);
  size_t next = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    const char c = format[i];
    if (c != '%' || i + 1 >= format.size()) {
      out.push_back(c);
      continue;
    }
    const char d = format[i + 1];
    if (d == '%') {
      out.push_back('%');
      ++i;
      continue;
    }
    if (d != 'u' && d != 'i' && d != 's' && d != 'S') {
      out.push_back(c);
      continue;
    }
    ++i;
    if (next >= args.size()) continue;
    const FormatArg& arg = args[next++];
    switch (d) {
      case 'u':
        AppendDecimal(arg.kind == FormatArg::Kind::kSigned ? static_cast<uint32_t>(arg.i) : arg.u,
                      out);
        break;
      case 'i': {
        const int32_t v =
            arg.kind == FormatArg::Kind::kUnsigned ? static_cast<int32_t>(arg.u) : arg.i;
        if (v < 0) out.push_back('-');
        AppendDecimal(v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v), out);
        break;
      }
      case 's':
        if (arg.kind == FormatArg::Kind::kWide) {
          out += platform.WideToNarrow(arg.wide);
        } else {
          out.append(arg.narrow);
        }
        break;
      default:  // 'S'
        if (arg.kind == FormatArg::Kind::kNarrow) {
          out.append(arg.narrow);
        } else {
          out += platform.WideToNarrow(arg.wide);
        }
        break;
    }
  }
  return out;
}

std::string ConvertLineEnds(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out.push_back('\r');
    out.push_back(text[i]);
  }
  return out;
}

namespace {

// `text` formatted with its names (wide arguments) as a terminal must show
// them: every control character as "?", so that a name can neither move the
// cursor nor set the window's title or the colours.
std::string FormatForTerminal(Run& run, std::string_view format, std::span<const FormatArg> args) {
  std::vector<std::u16string> masked;
  std::vector<FormatArg> shown(args.begin(), args.end());
  masked.reserve(args.size());
  for (FormatArg& arg : shown) {
    if (arg.kind != FormatArg::Kind::kWide) continue;
    masked.push_back(MaskControlCharacters(arg.wide));
    arg.wide = masked.back();
  }
  return FormatText(run.platform, format, shown);
}

}  // namespace

int PrintMessageArgs(Run& run, std::string_view format, std::span<const FormatArg> args) {
  std::lock_guard<std::recursive_timed_mutex> guard(run.output.lock);
  if (run.conventions.byteTerminal && !OutputRedirected(run) &&
      run.platform.MasksControlCharacters()) {
    return WriteOutput(run, FormatForTerminal(run, format, args));
  }
  const std::string text = FormatText(run.platform, format, args);
  if (run.conventions.byteTerminal) return WriteOutput(run, text);
  return WriteOutput(run, ConvertLineEnds(text));
}

int PrintErrorArgs(Run& run, std::string_view format, std::span<const FormatArg> args) {
  std::lock_guard<std::recursive_timed_mutex> guard(run.output.lock);
  const ProgressLinePause pause(run);  // the status line leaves the screen first
  FlushOutput(run);
  const std::string text = run.conventions.byteTerminal && run.platform.MasksControlCharacters() &&
                                   run.platform.StderrIsConsole()
                               ? FormatForTerminal(run, format, args)
                               : FormatText(run.platform, format, args);
  uint32_t written = 0;
  uint32_t error = 0;
  if (run.platform.WriteStderrConsole(text, written, error)) return static_cast<int>(written);
  if (error == win_error::kInvalidHandle && run.platform.WriteStderr(text, written)) {
    return static_cast<int>(written);
  }
  return -1;
}

}  // namespace quorrex
