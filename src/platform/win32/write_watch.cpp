#include "platform/win32/write_watch.h"

namespace quorrex::win32 {

uint32_t WriteWatch::Look() {
  const bool waiting = thread_ != 0;
  // Only the same write, still waiting a whole interval later: one that
  // started since then may be going through at its own pace.
  const bool blocked = waiting && seenWaiting_ && seen_ == number_;
  seen_ = number_;
  seenWaiting_ = waiting;
  return blocked ? thread_ : 0;
}

void WatchUntilFinished(const CancellerSteps& steps) {
  steps.sleep(kWriteGraceMs);
  while (!steps.finished()) {
    steps.round();
    steps.sleep(kCancelCheckMs);
  }
}

}  // namespace quorrex::win32
