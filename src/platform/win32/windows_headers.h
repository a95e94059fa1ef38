// The Windows headers, tamed for code that also sees the platform interface.
//
// With UNICODE defined, <windows.h> turns names such as GetFullPathName into
// macros; the interface has methods of those names, so the macros are taken
// back out and the Win32 calls are always written with their W suffix.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#undef GetCurrentDirectory
#undef GetFileAttributes
#undef GetFullPathName
#undef GetVolumeInformation
#undef GetVolumePathName
#undef LookupPrivilegeValue
#undef ReadConsoleInput

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Win32 wide text must be UTF-16 units");
