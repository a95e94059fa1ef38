#include "console/output_sink.h"

#include "run/run_state.h"
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

bool OutputRedirected(Run& run) {
  if (run.output.kindDecided.load(std::memory_order_acquire)) return run.output.redirected;
  std::lock_guard<std::recursive_timed_mutex> guard(run.output.lock);
  if (!run.output.kindDecided.load(std::memory_order_relaxed)) {
    run.output.redirected = !run.platform.StdoutIsConsole();
    if (run.output.redirected) run.output.buffer.reserve(kOutputFlushThreshold + 4096);
    run.output.kindDecided.store(true, std::memory_order_release);
  }
  return run.output.redirected;
}

bool OutputFailed(const Run& run) {
  return run.output.failed.load();
}

void NoteOutputFailure(Run& run, uint32_t error) {
  // The walk and any worker stop at their next entry.
  run.console.abortRequested = true;
  // Whoever waits for a line end waits no more.
  run.output.lineEnded.notify_all();
  // A write given up after a control event (its reader had stopped reading)
  // is no failure of the output: the run ends as aborted, and what could not
  // be written is dropped.
  if (error == win_error::kOperationAborted) return;
  if (!run.output.failed.exchange(true)) run.output.failError = error;
}

void NoteOutputWritten(Run& run, std::u16string_view text) {
  Follow(run.output, text);
}

int WriteOutput(Run& run, std::string_view bytes) {
  std::lock_guard<std::recursive_timed_mutex> guard(run.output.lock);
  if (OutputFailed(run)) return -1;
  if (OutputRedirected(run)) {
    run.output.buffer.append(bytes);
    Follow(run.output, bytes);
    if (run.output.buffer.size() >= kOutputFlushThreshold) FlushOutput(run);
    return OutputFailed(run) ? -1 : static_cast<int>(bytes.size());
  }
  uint32_t written = 0;
  uint32_t error = 0;
  if (!run.platform.WriteStdout(bytes, written, error)) {
    NoteOutputFailure(run, error);
    return -1;
  }
  Follow(run.output, bytes);
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

std::unique_lock<std::recursive_timed_mutex> HoldOutputAtLineEnd(Run& run,
                                                                 std::chrono::milliseconds limit) {
  OutputState& output = run.output;
  std::unique_lock<std::recursive_timed_mutex> hold(output.lock);
  output.lineEnded.wait_for(hold, limit,
                            [&run] { return !run.output.midLine || OutputFailed(run); });
  return hold;
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
      state.flusherWake.wait_for(hold, std::chrono::milliseconds(kOutputFlushDelayMs));
      if (state.flusherStop) break;
      hold.unlock();
      FlushOutput(run);
      hold.lock();
    }
  });
}

void StopOutputFlusher(Run& run) {
  OutputState& output = run.output;
  StopThread(output.flusher, output.flusherLock, output.flusherWake, output.flusherStop);
}

}  // namespace quorrex
