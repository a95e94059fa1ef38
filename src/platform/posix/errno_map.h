// Windows error codes for POSIX errno values.
#pragma once

#include <cstdint>

namespace quorrex {

// The Windows system error code that says what `err` says, where one does;
// any other errno comes back as win_error::kPosixErrnoBase | its Linux number,
// which the error names print as the errno's own name ("EOVERFLOW").
uint32_t WinErrorFromErrno(int err);

}  // namespace quorrex
