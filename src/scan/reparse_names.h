// The short names printed for reparse tags and system error codes.
#pragma once

#include <cstdint>
#include <string>

namespace quorrex {

// The platform's IO_REPARSE_TAG_ name of `tag`, or "0x%08X" (upper-case
// hexadecimal digits) for a tag without one.
std::string ReparseTagName(uint32_t tag);

// The short name of a system error code, or "%u" for a code without one.
// Codes from win_error::kPosixErrnoBase to 0xFFFF beyond it carry a POSIX
// errno in their low 16 bits; they print as the errno's name (Linux
// numbering), or as "errno %u" for an errno without one.
std::string SystemErrorName(uint32_t code);

}  // namespace quorrex
