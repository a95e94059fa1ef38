#include "support/memory.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/platform.h"

namespace quorrex {
namespace {

Platform* g_failurePlatform = nullptr;

void NewHandler() {
  AllocationRefused();
}

}  // namespace

uint32_t WideBytes(uint64_t chars) {
  const uint64_t bytes = chars * 2;
  return (chars > 0x7FFFFFFFu) ? 0xFFFFFFFFu : static_cast<uint32_t>(bytes);
}

void* AllocZeroed(uint32_t bytes) {
  // All bits set is the overflow marker of WideBytes: refuse it outright
  // rather than hand out a block shorter than the caller meant.
  void* block = bytes == 0xFFFFFFFFu ? nullptr : std::calloc(bytes == 0 ? 1 : bytes, 1);
  if (block == nullptr) AllocationRefused();
  return block;
}

void FreeBlock(void* block) {
  std::free(block);
}

char16_t* DupString(std::u16string_view text) {
  auto* copy = static_cast<char16_t*>(AllocZeroed(WideBytes(uint64_t{text.size()} + 1)));
  if (!text.empty()) std::memcpy(copy, text.data(), text.size() * sizeof(char16_t));
  return copy;
}

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
