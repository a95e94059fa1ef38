// The short names printed for system error codes.
#pragma once

#include <cstdint>
#include <string>

namespace quorrex {

// The short name of a system error code, or "%u" for a code without one.
// Codes from win_error::kPosixErrnoBase to 0xFFFF beyond it carry a POSIX
// errno in their low 16 bits; they print as the errno's name (Linux
// numbering), or as "errno %u" for an errno without one.
std::string SystemErrorName(uint32_t code);

}  // namespace quorrex
