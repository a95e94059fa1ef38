// The way out of a refused allocation.
//
// Every block of run-time size comes from `operator new`. A refused request
// never reaches the caller: the process writes out the output it holds,
// waits half a second, sounds a three-second tone and ends with exit status
// 8, printing nothing more.
#pragma once

namespace quorrex {

inline constexpr int kAllocationFailureExitCode = 8;

// Routes refused allocations of `operator new` through `farewell(context)`
// (the wait and the tone) before the process ends; null: straight to the end.
void InstallAllocationFailure(void (*farewell)(void* context), void* context);

// Called first on the way out of a refused allocation, to hand pending output
// to the system; it must not allocate. Null clears it.
void SetAllocationRescue(void (*rescue)(void* context), void* context);

// The way out of a refused allocation; does not return.
[[noreturn]] void AllocationRefused();

}  // namespace quorrex
