#include "console/message.h"

#include <chrono>
#include <mutex>
#include <vector>

#include "console/path_line.h"
#include "console/progress_line.h"
#include "support/threads.h"

namespace quorrex {
namespace {

// Pending output is handed to the system once it reaches this size, and at
// the latest this long after it was written.
constexpr size_t kFlushThreshold = 64 * 1024;
constexpr uint32_t kFlushDelayMs = 100;
constexpr uint32_t kIoDeviceError = 1117;  // ERROR_IO_DEVICE, as EIO maps

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

bool OutputRedirected(Run& run) {
  std::lock_guard<std::recursive_timed_mutex> guard(run.output.lock);
  if (!run.output.kindDecided) {
    run.output.redirected = !run.platform.StdoutIsConsole();
    run.output.kindDecided = true;
    if (run.output.redirected) run.output.buffer.reserve(kFlushThreshold + 4096);
  }
  return run.output.redirected;
}

bool OutputFailed(const Run& run) {
  return run.output.failed.load();
}

void NoteOutputFailure(Run& run, uint32_t error) {
  // The walk and any worker stop at their next entry.
  run.console.abortRequested = true;
  // A write given up after a control event (its reader had stopped reading)
  // is no failure of the output: the run ends as aborted, and what could not
  // be written is dropped.
  if (error == win_error::kOperationAborted) return;
  if (!run.output.failed.exchange(true)) run.output.failError = error;
}

int WriteOutput(Run& run, std::string_view bytes) {
  std::lock_guard<std::recursive_timed_mutex> guard(run.output.lock);
  if (OutputFailed(run)) return -1;
  if (OutputRedirected(run)) {
    run.output.buffer.append(bytes);
    if (run.output.buffer.size() >= kFlushThreshold) FlushOutput(run);
    return OutputFailed(run) ? -1 : static_cast<int>(bytes.size());
  }
  uint32_t written = 0;
  uint32_t error = 0;
  if (!run.platform.WriteStdout(bytes, written, error)) {
    NoteOutputFailure(run, error);
    return -1;
  }
  return static_cast<int>(written);
}

void FlushOutput(Run& run) {
  std::lock_guard<std::recursive_timed_mutex> guard(run.output.lock);
  FlushPendingOutput(run);
}

void FlushPendingOutput(Run& run) {
  std::string& pending = run.output.buffer;
  if (pending.empty()) return;
  if (!OutputFailed(run)) {
    std::string_view rest = pending;
    while (!rest.empty()) {
      uint32_t written = 0;
      uint32_t error = 0;
      const bool ok = run.platform.WriteStdout(rest, written, error);
      if (!ok || written == 0) {
        NoteOutputFailure(run, ok ? kIoDeviceError : error);  // nothing taken
        break;
      }
      rest.remove_prefix(written < rest.size() ? written : rest.size());
    }
  }
  pending.clear();  // keeps its capacity: flushing never allocates
}

bool FlushOutputWithin(Run& run, uint32_t milliseconds) {
  std::unique_lock<std::recursive_timed_mutex> guard(run.output.lock, std::defer_lock);
  if (!guard.try_lock_for(std::chrono::milliseconds(milliseconds))) return false;
  FlushPendingOutput(run);
  return true;
}

void StartOutputFlusher(Run& run) {
  OutputState& output = run.output;
  if (!OutputRedirected(run) || output.flusher.joinable()) return;
  // Without the thread the run goes on; output then waits for the buffer to
  // fill or for the run's end.
  StartThread(output.flusher, [&run] {
    OutputState& state = run.output;
    std::unique_lock<std::mutex> hold(state.flusherLock);
    while (!state.flusherStop) {
      state.flusherWake.wait_for(hold, std::chrono::milliseconds(kFlushDelayMs));
      if (state.flusherStop) break;
      hold.unlock();
      FlushOutput(run);
      hold.lock();
    }
  });
}

void StopOutputFlusher(Run& run) {
  OutputState& output = run.output;
  if (!output.flusher.joinable()) return;
  {
    std::lock_guard<std::mutex> hold(output.flusherLock);
    output.flusherStop = true;
  }
  output.flusherWake.notify_all();
  output.flusher.join();
}

int PrintMessageArgs(Run& run, std::string_view format, std::span<const FormatArg> args) {
  std::lock_guard<std::recursive_timed_mutex> guard(run.output.lock);
  if (run.conventions.byteTerminal && !OutputRedirected(run) &&
      run.platform.MasksControlCharacters()) {
    // A name in a message reaches the terminal with its control characters
    // shown as "?", as in a path line.
    std::vector<std::u16string> masked;
    std::vector<FormatArg> shown(args.begin(), args.end());
    masked.reserve(args.size());
    for (FormatArg& arg : shown) {
      if (arg.kind != FormatArg::Kind::kWide) continue;
      masked.push_back(MaskControlCharacters(arg.wide));
      arg.wide = masked.back();
    }
    return WriteOutput(run, FormatText(run.platform, format, shown));
  }
  const std::string text = FormatText(run.platform, format, args);
  if (run.conventions.byteTerminal) return WriteOutput(run, text);
  return WriteOutput(run, ConvertLineEnds(text));
}

int PrintErrorArgs(Run& run, std::string_view format, std::span<const FormatArg> args) {
  std::lock_guard<std::recursive_timed_mutex> guard(run.output.lock);
  const ProgressLinePause pause(run);  // the status line leaves the screen first
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
