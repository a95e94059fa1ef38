#include "support/memory.h"

#include <cstdlib>
#include <new>

#include "platform/platform.h"

namespace quorrex {
namespace {

Platform* g_failurePlatform = nullptr;
void (*g_rescue)(void*) = nullptr;
void* g_rescueContext = nullptr;

void NewHandler() {
  AllocationRefused();
}

}  // namespace

void InstallAllocationFailure(Platform* platform) {
  g_failurePlatform = platform;
  std::set_new_handler(platform != nullptr ? NewHandler : nullptr);
}

void SetAllocationRescue(void (*rescue)(void* context), void* context) {
  g_rescue = rescue;
  g_rescueContext = context;
}

void AllocationRefused() {
  if (g_rescue != nullptr) {
    void (*rescue)(void*) = g_rescue;
    g_rescue = nullptr;  // a refusal inside the rescue goes straight on
    rescue(g_rescueContext);
  }
  if (g_failurePlatform != nullptr) {
    g_failurePlatform->Sleep(500);
    g_failurePlatform->Beep(1000, 3000);
  }
  std::_Exit(kAllocationFailureExitCode);
}

}  // namespace quorrex
