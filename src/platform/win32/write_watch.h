// Which blocked write or file-system call a control event gives up, decided
// without the Windows headers so that the same code is tested on every
// system.
//
// The writers mark each write to a file or pipe as it starts and ends, and
// each thread of the walk its file-system calls, each in a watch of its own;
// the canceller looks at the marks every tenth of a second after a control
// event, until output has finished, and cancels the call that was already
// waiting at its previous look. The cancel reaches the calling thread, not the
// call: the caller holds the watch's lock around each mark and around each
// look with its cancel, so that a call that ends in between cannot leave the
// thread's next call to be cancelled instead.
#pragma once

#include <cstdint>
#include <functional>

namespace quorrex::win32 {

class WriteWatch {
 public:
  // A write (or call) starts on `thread` (never 0) or ends.
  void Started(uint32_t thread) {
    thread_ = thread;
    ++number_;
  }
  void Ended() { thread_ = 0; }

  // One look of the canceller: the thread whose write to cancel now, or 0.
  uint32_t Look();

 private:
  uint32_t thread_ = 0;  // the writing thread, 0 between writes
  uint32_t number_ = 0;  // counts the writes started
  uint32_t seen_ = 0;    // the write that was waiting at the previous look
  bool seenWaiting_ = false;
};

// The watches of one thread: its writes to a file or pipe, and its
// file-system calls, each marked by that thread alone. Every thread that
// writes has its own, so that one thread's marks never overwrite another's:
// the main thread erasing the status line while the control handler's
// message is blocked in its write must not unmark the handler's write.
struct ThreadWatches {
  uint32_t thread = 0;
  WriteWatch writes;
  WriteWatch calls;
  // One look at both (each needs its look every round): the thread to
  // cancel now, or 0.
  uint32_t Look() {
    const uint32_t write = writes.Look();
    const uint32_t call = calls.Look();
    return write != 0 ? write : call;
  }
};

// The canceller's steps, given to it so that its rounds run the same on the
// in-memory clock of the tests.
struct CancellerSteps {
  std::function<void(uint32_t milliseconds)> sleep;
  // One look at every watch, cancelling what is blocked.
  std::function<void()> round;
  // Whether output has finished: the watch may end.
  std::function<bool()> finished;
};

// Writes get half a second after a control event; then a round every tenth
// of a second until output has finished, however late a write first blocks.
inline constexpr uint32_t kWriteGraceMs = 500;
inline constexpr uint32_t kCancelCheckMs = 100;

void WatchUntilFinished(const CancellerSteps& steps);

}  // namespace quorrex::win32
