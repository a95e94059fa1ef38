#include "support/memory.h"

#include <cstdlib>
#include <new>

#include "platform/platform.h"

namespace quorrex {
namespace {

Platform* g_failurePlatform = nullptr;

void NewHandler() {
  AllocationRefused();
}

}  // namespace

void InstallAllocationFailure(Platform* platform) {
  g_failurePlatform = platform;
  std::set_new_handler(platform != nullptr ? NewHandler : nullptr);
}

void AllocationRefused() {
  if (g_failurePlatform != nullptr) {
    g_failurePlatform->Sleep(500);
    g_failurePlatform->Beep(1000, 3000);
  }
  std::_Exit(kAllocationFailureExitCode);
}

}  // namespace quorrex
