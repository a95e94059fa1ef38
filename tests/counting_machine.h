// The in-memory machine counting the system calls the Windows program's
// file queries make on it, by kind (CallCounts, windows_release.h).
#pragma once

#include <atomic>
#include <cstddef>

#include "memory_machine.h"

namespace quorrex::testing {

class CountingMachine : public MemoryMachine {
 public:
  // The calls so far; ResetCalls starts again.
  CallCounts Calls() const {
    return CallCounts{Load(Call::kOpen), Load(Call::kQuery), Load(Call::kStatByName),
                      Load(Call::kClose)};
  }
  void ResetCalls() {
    for (auto& count : calls_) count = 0;
  }

 protected:
  void Count(Call kind, size_t n = 1) override {
    calls_[static_cast<size_t>(kind)].fetch_add(n, std::memory_order_relaxed);
  }

 private:
  size_t Load(Call kind) const { return calls_[static_cast<size_t>(kind)].load(); }
  std::atomic<size_t> calls_[4] = {};
};

}  // namespace quorrex::testing
