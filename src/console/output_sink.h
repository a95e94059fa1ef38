// The sink behind standard output: every byte the run writes there passes
// through it. On a console it goes out at once; redirected, it collects in a
// buffer that is handed to the system when it fills, within about 100 ms of
// being written (the flusher thread), and at the run's end. The first
// failed write ends the output for good.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "support/threads.h"

namespace quorrex {

struct Run;

// Pending output is handed to the system once it reaches this size, and at
// the latest this long after it was written.
inline constexpr size_t kOutputFlushThreshold = 64 * 1024;
inline constexpr uint32_t kOutputFlushDelayMs = 100;

struct OutputState {
  OutputState() = default;
  OutputState(const OutputState&) = delete;
  OutputState& operator=(const OutputState&) = delete;
  ~OutputState() { StopThread(flusher, flusherLock, flusherWake, flusherStop); }

  // Guards every field up to `flusher` and the order of what reaches
  // standard output, so that each message of each thread stays whole.
  // Recursive: a writer holding it calls the others (a message writes, a
  // write flushes, a path line prints its error message), and the way out of
  // a refused allocation flushes from whatever thread was refused, which may
  // hold it already. Timed: that way out must not wait for ever on a thread
  // blocked in a write.
  std::recursive_timed_mutex lock;
  // Decided once, under the lock; read without it once decided (every path
  // line asks).
  std::atomic<bool> kindDecided{false};
  bool redirected = false;  // standard output is not a console
  std::string buffer;       // pending bytes while redirected
  // The last byte written (or buffered) ended no line: a line is open.
  bool midLine = false;
  // Notified whenever a write ends a line, for a writer that waits to start
  // on a line of its own.
  std::condition_variable_any lineEnded;
  // A write failed (a closed pipe, a full disk): nothing more is written and
  // the run ends with exit code 4. `failError` is the system's error code.
  std::atomic<bool> failed{false};
  uint32_t failError = 0;
  // Everything the run prints, its summary included, has gone to the system.
  std::atomic<bool> finished{false};

  // The flusher thread; `flusherLock` guards `flusherStop`.
  std::thread flusher;
  std::mutex flusherLock;
  std::condition_variable flusherWake;
  bool flusherStop = false;
};

// Standard output: raw bytes through the run's buffer. Returns the count
// written, -1 on failure. After a failed write nothing more is written, and
// the run's abort flag is set so that the walk stops.
int WriteOutput(Run& run, std::string_view bytes);
// Notes that `text` reached standard output by another way than WriteOutput
// (UTF-16 to a console); the caller holds the output lock.
void NoteOutputWritten(Run& run, std::u16string_view text);
// Whether standard output is redirected (decided at the first output).
bool OutputRedirected(Run& run);
// Whether a write to standard output has failed; `run.output.failError` says why.
bool OutputFailed(const Run& run);
// Records a failed write to standard output (see WriteOutput).
void NoteOutputFailure(Run& run, uint32_t error);
// Hands every pending byte to the system.
void FlushOutput(Run& run);
// The same for a caller that already holds the output lock; allocates nothing.
void FlushPendingOutput(Run& run);
// FlushOutput, unless another thread holds the output for longer than
// `milliseconds`; false then, and nothing is written.
bool FlushOutputWithin(Run& run, uint32_t milliseconds);
// Takes the output lock, and waits, for at most `limit`, until no line is
// open on standard output (or the output has failed). Returns the held
// lock; whatever the holder writes then starts a line of its own, unless the
// time ran out first.
std::unique_lock<std::recursive_timed_mutex> HoldOutputAtLineEnd(Run& run,
                                                                 std::chrono::milliseconds limit);
// Starts and stops the thread that hands redirected output to the system
// within about 100 ms of its being written; without it (the system refused
// the thread) output waits for a full buffer or the run's end.
void StartOutputFlusher(Run& run);
void StopOutputFlusher(Run& run);

}  // namespace quorrex
