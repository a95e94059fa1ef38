#include "support/memory.h"

#include <cstdlib>
#include <new>

namespace quorrex {
namespace {

void (*g_farewell)(void*) = nullptr;
void* g_farewellContext = nullptr;
void (*g_rescue)(void*) = nullptr;
void* g_rescueContext = nullptr;

void NewHandler() {
  AllocationRefused();
}

}  // namespace

void InstallAllocationFailure(void (*farewell)(void* context), void* context) {
  g_farewell = farewell;
  g_farewellContext = context;
  std::set_new_handler(farewell != nullptr ? NewHandler : nullptr);
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
  if (g_farewell != nullptr) g_farewell(g_farewellContext);
  std::_Exit(kAllocationFailureExitCode);
}

}  // namespace quorrex
