#include "console/output_sink.h"

#include "support/threads.h"

namespace quorrex {
namespace {

constexpr uint32_t kIoDeviceError = 1117;  // ERROR_IO_DEVICE, as EIO maps

// The next piece of `rest` to hand to the system: at most kOutputPieceBytes,
// ending after the last line end within them where there is one. A write
// given up between two pieces then leaves its reader whole lines; only a
// line longer than a piece can be cut.
size_t NextPiece(std::string_view rest) {
  if (rest.size() <= kOutputPieceBytes) return rest.size();
  const size_t lineEnd = rest.substr(0, kOutputPieceBytes).find_last_of('\n');
  return lineEnd == std::string_view::npos ? kOutputPieceBytes : lineEnd + 1;
}

// Follows whether a line is open after `text` (a lone carriage return, as a
// terminal takes it, leaves none); wakes whoever waits for a line end. The
// caller holds the output lock.
template <typename Text>
void Follow(OutputState& output, Text text) {
  if (text.empty()) return;
  output.midLine = text.back() != '\n' && text.back() != '\r';
  if (!output.midLine && output.lineEndWaiters > 0) output.lineEnded.notify_all();
}

// See below.
void FlushEndedLines(Console& console);

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

bool OutputGivenUp(const Console& console) {
  return OutputFailed(console) && CancelledByAbort(console.stop, console.output.failError);
}

void NoteOutputFailure(Console& console, uint32_t error) {
  // The walk and any worker stop at their next entry.
  console.stop.RequestStop();
  // Whoever waits for a line end waits no more.
  console.output.lineEnded.notify_all();
  // A write given up after a control event (its reader had stopped reading)
  // ends the output too: nothing more is written, so nothing is spliced onto
  // what the reader got. The run then ends as stopped (see
  // OutputGivenUp), not as failed.
  if (!console.output.failed.exchange(true)) console.output.failError = error;
}

void NoteOutputWritten(Console& console, std::u16string_view text) {
  Follow(console.output, text);
}

void TakeOutputForThisThread(Console& console, std::chrono::milliseconds limit) {
  const std::unique_lock<std::recursive_timed_mutex> hold = HoldOutputAtLineEnd(console, limit);
  console.output.soleWriter = std::this_thread::get_id();
  console.output.soleWriterSet = true;
}

bool OutputRefusedHere(const Console& console) {
  return console.output.soleWriterSet && console.output.soleWriter != std::this_thread::get_id();
}

int WriteOutput(Console& console, std::string_view bytes) {
  std::lock_guard<std::recursive_timed_mutex> guard(console.output.lock);
  return WriteOutputHeld(console, bytes);
}

int WriteOutputHeld(Console& console, std::string_view bytes) {
  if (OutputFailed(console) || OutputRefusedHere(console)) return -1;
  if (OutputRedirected(console)) {
    console.output.buffer.append(bytes);
    Follow(console.output, bytes);
    if (console.output.buffer.size() >= kOutputFlushThreshold) FlushEndedLines(console);
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

namespace {

// Hands `pending` to the system in pieces; returns how many bytes went (all
// of them unless the output failed).
size_t WritePieces(Console& console, std::string_view pending) {
  std::string_view rest = pending;
  while (!rest.empty() && !OutputFailed(console)) {
    const std::string_view piece = rest.substr(0, NextPiece(rest));
    uint32_t written = 0;
    uint32_t error = 0;
    const bool ok = console.platform.WriteStdout(piece, written, error);
    if (!ok || written == 0) {
      NoteOutputFailure(console, ok ? kIoDeviceError : error);  // nothing taken
      break;
    }
    rest.remove_prefix(written < piece.size() ? written : piece.size());
  }
  return pending.size() - rest.size();
}

// Hands on the pending lines that have ended, and keeps a line still being
// written for the next time: its end comes with the next piece of the walk,
// and a write given up in between would leave the reader half a line. A
// line longer than a piece goes as it is. The caller holds the output lock.
void FlushEndedLines(Console& console) {
  std::string& pending = console.output.buffer;
  if (pending.empty()) return;
  if (OutputFailed(console)) {
    pending.clear();
    return;
  }
  const size_t lineEnd = pending.find_last_of("\n\r");
  const size_t keep = lineEnd == std::string::npos ? pending.size() : pending.size() - lineEnd - 1;
  if (keep == 0 || keep >= kOutputPieceBytes) {
    FlushPendingOutput(console);
    return;
  }
  WritePieces(console, std::string_view(pending).substr(0, pending.size() - keep));
  if (OutputFailed(console)) {
    pending.clear();
    return;
  }
  pending.erase(0, pending.size() - keep);  // keeps its capacity
}

}  // namespace

void FlushPendingOutput(Console& console) {
  std::string& pending = console.output.buffer;
  if (pending.empty()) return;
  if (!OutputFailed(console)) WritePieces(console, pending);
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
  ++output.lineEndWaiters;
  output.lineEnded.wait_for(
      hold, limit, [&console] { return !console.output.midLine || OutputFailed(console); });
  --output.lineEndWaiters;
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
      {
        std::lock_guard<std::recursive_timed_mutex> guard(console.output.lock);
        FlushEndedLines(console);
      }
      hold.lock();
    }
  });
}

void StopOutputFlusher(Console& console) {
  OutputState& output = console.output;
  StopThread(output.flusher, output.flusherLock, output.flusherWake, output.flusherStop);
}

}  // namespace quorrex
