// The allocator behind every block of run-time size, and the string copy.
//
// A refused request never reaches the caller: the process waits half a
// second, sounds a three-second tone and ends with exit status 8, printing
// nothing. `operator new` takes the same way out (InstallAllocationFailure).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorrex {

class Platform;

inline constexpr int kAllocationFailureExitCode = 8;

// Byte count of `chars` wide characters; all bits set when it does not fit
// into 32 bits, which the allocator refuses.
uint32_t WideBytes(uint64_t chars);

// A zero-filled block of `bytes` bytes; never null.
void* AllocZeroed(uint32_t bytes);
void FreeBlock(void* block);

// A new block holding a copy of `text` with its terminator; never null.
char16_t* DupString(std::u16string_view text);

// Routes refused allocations (this allocator's and operator new's) through
// `platform`'s wait and tone before the process ends.
void InstallAllocationFailure(Platform* platform);

// The way out of a refused allocation; does not return.
[[noreturn]] void AllocationRefused();

}  // namespace quorrex
