// Starting a thread without the exception a refusal throws.
#pragma once

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

}  // namespace quorrex
