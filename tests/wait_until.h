// Waiting in a test for something the code under test does on another
// thread: the wait ends when it has happened, never after a set time.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace quorrex::testing {

// The limit of every such wait: far beyond what any run here takes, it only
// turns a hang into a failure.
inline constexpr std::chrono::seconds kHangLimit{120};

// Waits until `done` holds, giving the processor to the other threads
// meanwhile; false when it has not within `limit`.
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::steady_clock::duration limit = kHangLimit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::yield();
  }
  return true;
}

}  // namespace quorrex::testing
