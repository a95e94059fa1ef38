#include "console/output_sink.h"

#include "support/threads.h"

namespace quorrex {
namespace {

constexpr uint32_t kIoDeviceError = 1117;  // ERROR_IO_DEVICE, as EIO maps

// Follows whether a line is open after `text` (a lone carriage return, as a
// terminal takes it, leaves none); wakes whoever waits for a line end. The
// caller holds the output lock.
template <typename Text>
void Follow(OutputState& output, Text text) {
  if (text.empty()) return;
  output.midLine = text.back() != '\n' && text.back() != '\r';
  if (!output.midLine) output.lineEnded.notify_all();
}

}  // namespace

bool OutputRedirected(Console& console) {
  if (console.output.kindDecided.load(std::memory_order_acquire)) return console.output.redirected;
  std::lock_guard<std::recursive_timed_mutex> guard(console.output.lock);
  if (!console.output.kindDecided.load(std::memory_order_relaxed)) {
    console.output.redirected = !console.platform.StdoutIsConsole();
    if (console.output.redirected) console.output.buffer.reserve(kOutputFlushThreshold + 4096);
    console.output.kindDecided.store(true, std::memory_order_release);
  }
  return console.output.redirected;
}

bool OutputFailed(const Console& console) {
  return console.output.failed.load();
}

void NoteOutputFailure(Console& console, uint32_t error) {
  // The walk and any worker stop at their next entry.
  console.stop.RequestStop();
  // Whoever waits for a line end waits no more.
  console.output.lineEnded.notify_all();
  // A write given up after a control event (its reader had stopped reading)
  // is no failure of the output: the run ends as aborted, and what could not
  // be written is dropped.
  if (error == win_error::kOperationAborted) return;
  if (!console.output.failed.exchange(true)) console.output.failError = error;
}

void NoteOutputWritten(Console& console, std::u16string_view text) {
  Follow(console.output, text);
}

int WriteOutput(Console& console, std::string_view bytes) {
  std::lock_guard<std::recursive_timed_mutex> guard(console.output.lock);
  if (OutputFailed(console)) return -1;
  if (OutputRedirected(console)) {
    console.output.buffer.append(bytes);
    Follow(console.output, bytes);
    if (console.output.buffer.size() >= kOutputFlushThreshold) FlushOutput(console);
    return OutputFailed(console) ? -1 : static_cast<int>(bytes.size());
  }
  uint32_t written = 0;
  uint32_t error = 0;
  if (!console.platform.WriteStdout(bytes, written, error)) {
    NoteOutputFailure(console, error);
    return -1;
  }
  Follow(console.output, bytes);
  return static_cast<int>(written);
}

void FlushOutput(Console& console) {
  std::lock_guard<std::recursive_timed_mutex> guard(console.output.lock);
  FlushPendingOutput(console);
}

void FlushPendingOutput(Console& console) {
  std::string& pending = console.output.buffer;
  if (pending.empty()) return;
  if (!OutputFailed(console)) {
    std::string_view rest = pending;
    while (!rest.empty()) {
      uint32_t written = 0;
      uint32_t error = 0;
      const bool ok = console.platform.WriteStdout(rest, written, error);
      if (!ok || written == 0) {
        NoteOutputFailure(console, ok ? kIoDeviceError : error);  // nothing taken
        break;
      }
      rest.remove_prefix(written < rest.size() ? written : rest.size());
    }
  }
  pending.clear();  // keeps its capacity: flushing never allocates
}

bool FlushOutputWithin(Console& console, uint32_t milliseconds) {
  std::unique_lock<std::recursive_timed_mutex> guard(console.output.lock, std::defer_lock);
  if (!guard.try_lock_for(std::chrono::milliseconds(milliseconds))) return false;
  FlushPendingOutput(console);
  return true;
}

std::unique_lock<std::recursive_timed_mutex> HoldOutputAtLineEnd(Console& console,
                                                                 std::chrono::milliseconds limit) {
  OutputState& output = console.output;
  std::unique_lock<std::recursive_timed_mutex> hold(output.lock);
  output.lineEnded.wait_for(
      hold, limit, [&console] { return !console.output.midLine || OutputFailed(console); });
  return hold;
}

void StartOutputFlusher(Console& console) {
  OutputState& output = console.output;
  if (!OutputRedirected(console) || output.flusher.joinable()) return;
  // Without the thread the run goes on; output then waits for the buffer to
  // fill or for the run's end.
  StartThread(output.flusher, [&console] {
    OutputState& state = console.output;
    std::unique_lock<std::mutex> hold(state.flusherLock);
    while (!state.flusherStop) {
      state.flusherWake.wait_for(hold, std::chrono::milliseconds(kOutputFlushDelayMs));
      if (state.flusherStop) break;
      hold.unlock();
      FlushOutput(console);
      hold.lock();
    }
  });
}

void StopOutputFlusher(Console& console) {
  OutputState& output = console.output;
  StopThread(output.flusher, output.flusherLock, output.flusherWake, output.flusherStop);
}

}  // namespace quorrex
