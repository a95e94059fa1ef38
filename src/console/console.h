// The console's records: what is written to standard output and how, the
// status line, the control events, and the stop they ask for.
//
// The locks of the console, and what each guards, in the order a thread that
// holds more than one takes them:
// - events.handlerLock: the choice and printing of a control event's
//   message, one event at a time;
// - output.lock: the output sink's buffer and state, and the order of all
//   that reaches standard output (and standard error, through PrintError);
// - statusLine.lock: the status line's drawing state and the terminal line
//   it occupies on standard error;
// - statusLine.folderLock: the folder the status line names.
// output.flusherLock guards the flusher's stop flag and is held alone. The
// atomic counters and flags of the records need no lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "console/status_line_state.h"
#include "platform/platform.h"
#include "support/threads.h"

namespace quorrex {

// The request to stop: made by a control event or a failed write to standard
// output, asked by whoever does the long work (the walk) before each step.
class StopSource {
 public:
  bool StopRequested() const { return requested_.load(std::memory_order_relaxed); }
  void RequestStop() { requested_.store(true); }

 private:
  std::atomic<bool> requested_{false};
};

// No control event has stopped the run.
inline constexpr uint32_t kNoControlEvent = ~uint32_t{0};

// Whether a failure is only the system giving up a call for the stop: after
// an abort, calls still waiting (on a server that does not answer) are
// cancelled, and fail with ERROR_OPERATION_ABORTED.
inline bool CancelledByAbort(const StopSource& stop, uint32_t error) {
  return error == win_error::kOperationAborted && stop.StopRequested();
}

// The control handler's record.
struct ControlEvents {
  std::recursive_mutex handlerLock;
  std::atomic<bool> ignoreFurtherEvents{false};
  // The first event that asked the run to stop, or kNoControlEvent.
  std::atomic<uint32_t> stopEvent{kNoControlEvent};
  // Called once an event has asked the run to stop, on the thread that took
  // the event; set before the handler is registered.
  std::function<void()> stopped;
  // The console input mode found at start, given back on the way out.
  bool stdinModeSaved = false;
  uint32_t savedStdinMode = 0;
};

// Pending output is handed to the system once it reaches this size, and at
// the latest this long after it was written.
inline constexpr size_t kOutputFlushThreshold = 64 * 1024;
inline constexpr uint32_t kOutputFlushDelayMs = 100;
// Redirected output goes to the system in writes of at most this many bytes,
// each ending at a line end where a line ends within them (what a pipe takes
// whole in one write, PIPE_BUF on Linux).
inline constexpr size_t kOutputPieceBytes = 4096;

// The output sink's record (console/output_sink).
struct OutputState {
  OutputState() = default;
  OutputState(const OutputState&) = delete;
  OutputState& operator=(const OutputState&) = delete;
  ~OutputState() { StopThread(flusher, flusherLock, flusherWake, flusherStop); }

  // Guards every field up to `flusher` and the order of what reaches
  // standard output, so that each message of each thread stays whole.
  // Recursive: a writer holding it calls the others (a message writes, a
  // write flushes, a path line writes its error message), and the way out
  // of a refused allocation flushes from whatever thread was refused, which
  // may hold it already. Timed: that way out must not wait for ever on a
  // thread blocked in a write.
  std::recursive_timed_mutex lock;
  // The buffers lines are made in, reused from line to line so that a line
  // costs no allocation; guarded by `lock`. A line written while another is
  // being made on the same thread (an error told about a path line) takes
  // the second set.
  struct LineBuffers {
    std::string narrow;
    std::u16string wide;
    std::string bytes;
  };
  LineBuffers lineBuffers[2];
  int linesInMaking = 0;
  // Decided once, under the lock; read without it once decided (every path
  // line asks).
  std::atomic<bool> kindDecided{false};
  bool redirected = false;  // standard output is not a console
  std::string buffer;       // pending bytes while redirected
  // The last byte written (or buffered) ended no line: a line is open.
  bool midLine = false;
  // Notified whenever a write ends a line, for a writer that waits to start
  // on a line of its own; `lineEndWaiters` (under the lock) counts those
  // waiting, so that a line with nobody waiting for its end notifies nobody.
  std::condition_variable_any lineEnded;
  int lineEndWaiters = 0;
  // A write failed (a closed pipe, a full disk) or was given up after a
  // control event: nothing more is written, and the run ends with exit code
  // 4 (3 for a write given up). `failError` is the system's error code.
  std::atomic<bool> failed{false};
  uint32_t failError = 0;
  // Everything the run prints, its summary included, has gone to the system.
  std::atomic<bool> finished{false};
  // Once set, only `soleWriter` writes: the thread that took the report over
  // from one left inside a system call, which must add nothing after it.
  bool soleWriterSet = false;
  std::thread::id soleWriter;

  // The flusher thread; `flusherLock` guards `flusherStop`.
  std::thread flusher;
  std::mutex flusherLock;
  std::condition_variable flusherWake;
  bool flusherStop = false;
};

// Everything the writers of standard and error output, the status line and
// the control handler work on.
struct Console {
  explicit Console(Platform& p) : platform(p), conventions(p.Conventions()) {}
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  Platform& platform;
  // How the running system writes text and names its events.
  const SystemConventions conventions;
  // Path lines are shortened to end at `maxColumn`, the last usable column
  // of the console (-1 when standard output is not one).
  bool oneLine = false;
  int32_t maxColumn = -1;
  // Standard output carries records for scripts and nothing else: a control
  // event's message is left out (the last record names the event), and the
  // exit pause asks for its key on standard error.
  bool recordsOnly = false;

  OutputState output;
  StatusLineState statusLine;
  ControlEvents events;
  StopSource stop;
};

}  // namespace quorrex
