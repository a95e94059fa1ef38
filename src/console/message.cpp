#include "console/message.h"

#include <mutex>
#include <vector>

#include "console/display_text.h"
#include "console/output_sink.h"
#include "console/status_line.h"

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

namespace {

// `text` formatted with its names (wide arguments) as a terminal must show
// them: every control character as "?", so that a name can neither move the
// cursor nor set the window's title or the colours.
std::string FormatForTerminal(Platform& platform, std::string_view format,
                              std::span<const FormatArg> args) {
  std::vector<std::u16string> masked;
  std::vector<FormatArg> shown(args.begin(), args.end());
  masked.reserve(args.size());
  for (FormatArg& arg : shown) {
    if (arg.kind != FormatArg::Kind::kWide) continue;
    masked.push_back(MaskControlCharacters(arg.wide));
    arg.wide = masked.back();
  }
  return FormatText(platform, format, shown);
}

}  // namespace

int PrintMessageArgs(Console& console, std::string_view format, std::span<const FormatArg> args) {
  LineWriter line(console, LineKind::kMessage);  // under the output lock from here
  if (console.conventions.byteTerminal && !OutputRedirected(console) &&
      console.platform.MasksControlCharacters()) {
    line.Text(FormatForTerminal(console.platform, format, args));
  } else {
    line.Text(FormatText(console.platform, format, args));
  }
  return line.Write();
}

int PrintErrorArgs(Console& console, std::string_view format, std::span<const FormatArg> args) {
  std::lock_guard<std::recursive_timed_mutex> guard(console.output.lock);
  if (OutputRefusedHere(console)) return -1;
  const StatusLinePause pause(console);  // the status line leaves the screen first
  FlushOutput(console);
  Platform& platform = console.platform;
  const std::string text = console.conventions.byteTerminal && platform.MasksControlCharacters() &&
                                   platform.StderrIsConsole()
                               ? FormatForTerminal(platform, format, args)
                               : FormatText(platform, format, args);
  uint32_t written = 0;
  uint32_t error = 0;
  if (platform.WriteStderrConsole(text, written, error)) return static_cast<int>(written);
  if (error == win_error::kInvalidHandle && platform.WriteStderr(text, written)) {
    return static_cast<int>(written);
  }
  return -1;
}

}  // namespace quorrex
