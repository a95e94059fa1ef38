// Which blocked write a control event gives up, decided without the Windows
// headers so that the same code is tested on every system.
//
// The writers mark each write to a file or pipe as it starts and ends; the
// canceller looks at the marks every tenth of a second after a control event
// and cancels the write that was already waiting at its previous look. The
// cancel reaches the writing thread, not the write: the caller holds one lock
// around each mark and around each look with its cancel, so that a write that
// ends in between cannot leave the thread's next call to be cancelled instead.
#pragma once

#include <cstdint>

namespace quorrex::win32 {

class WriteWatch {
 public:
  // A write starts on `thread` (never 0) or ends.
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

}  // namespace quorrex::win32
