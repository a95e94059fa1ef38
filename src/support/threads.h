// Starting a thread without the exception a refusal throws.
#pragma once

#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace quorrex {

// Starts `body` on a new thread into `thread`; false, with `thread` left
// empty, when the system refuses one (too many threads, a tight memory or
// process limit). The caller goes on without it or ends the run.
template <typename Body>
bool StartThread(std::thread& thread, Body&& body) {
  try {
    thread = std::thread(std::forward<Body>(body));
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

// Stops a thread that waits on `wake` for `stop`: sets it under `lock`, wakes
// the thread and joins it. Nothing when the thread never started.
template <typename Mutex, typename Wake>
void StopThread(std::thread& thread, Mutex& lock, Wake& wake, bool& stop) {
  if (!thread.joinable()) return;
  {
    std::lock_guard<Mutex> hold(lock);
    stop = true;
  }
  wake.notify_all();
  thread.join();
}

}  // namespace quorrex
