#include "console/message.h"

#include <mutex>

namespace quorrex {
namespace {

// Pending output is handed to the system once it reaches this size.
constexpr size_t kFlushThreshold = 1 << 20;

void AppendDecimal(uint32_t value, std::string& out) {
  char digits[10];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) out.push_back(digits[--n]);
}

bool WriteAll(Platform& platform, std::string_view bytes) {
  while (!bytes.empty()) {
    uint32_t written = 0;
    if (!platform.WriteStdout(bytes, written) || written == 0) return false;
    bytes.remove_prefix(written < bytes.size() ? written : bytes.size());
  }
  return true;
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

bool OutputRedirected(Run& run) {
  std::lock_guard<std::recursive_mutex> guard(run.output.lock);
  if (!run.output.kindDecided) {
    run.output.redirected = !run.platform.StdoutIsConsole();
    run.output.kindDecided = true;
  }
  return run.output.redirected;
}

int WriteOutput(Run& run, std::string_view bytes) {
  std::lock_guard<std::recursive_mutex> guard(run.output.lock);
  if (OutputRedirected(run)) {
    run.output.buffer.append(bytes);
    if (run.output.buffer.size() >= kFlushThreshold) FlushOutput(run);
    return static_cast<int>(bytes.size());
  }
  uint32_t written = 0;
  if (!run.platform.WriteStdout(bytes, written)) return -1;
  return static_cast<int>(written);
}

void FlushOutput(Run& run) {
  std::lock_guard<std::recursive_mutex> guard(run.output.lock);
  if (run.output.buffer.empty()) return;
  // A failed write (a closed pipe, a full disk) loses the pending output,
  // never the run.
  WriteAll(run.platform, run.output.buffer);
  run.output.buffer.clear();
}

int PrintMessageArgs(Run& run, std::string_view format, std::span<const FormatArg> args) {
  std::lock_guard<std::recursive_mutex> guard(run.output.lock);
  const std::string text = FormatText(run.platform, format, args);
  if (run.posix()) return WriteOutput(run, text);
  return WriteOutput(run, ConvertLineEnds(text));
}

int PrintErrorArgs(Run& run, std::string_view format, std::span<const FormatArg> args) {
  std::lock_guard<std::recursive_mutex> guard(run.output.lock);
  FlushOutput(run);
  const std::string text = FormatText(run.platform, format, args);
  uint32_t written = 0;
  uint32_t error = 0;
  if (run.platform.WriteStderrConsole(text, written, error)) return static_cast<int>(written);
  if (error == win_error::kInvalidHandle && run.platform.WriteStderr(text, written)) {
    return static_cast<int>(written);
  }
  return -1;
}

}  // namespace quorrex
