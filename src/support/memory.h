// The way out of a refused allocation.
//
// Every block of run-time size comes from `operator new`. A refused request
// never reaches the caller: the process writes out the output it holds,
// waits half a second, sounds a three-second tone and ends with exit status
// 8, printing nothing more.
#pragma once

namespace quorrex {

class Platform;

inline constexpr int kAllocationFailureExitCode = 8;

// Routes refused allocations of `operator new` through `platform`'s wait and
// tone before the process ends.
void InstallAllocationFailure(Platform* platform);

// Called first on the way out of a refused allocation, to hand pending output
// to the system; it must not allocate. Null clears it.
void SetAllocationRescue(void (*rescue)(void* context), void* context);

// The way out of a refused allocation; does not return.
[[noreturn]] void AllocationRefused();

}  // namespace quorrex
