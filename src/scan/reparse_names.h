// The short names printed for reparse tags.
#pragma once

#include <cstdint>
#include <string>

namespace quorrex {

// The platform's IO_REPARSE_TAG_ name of `tag`, or "0x%08X" (upper-case
// hexadecimal digits) for a tag without one.
std::string ReparseTagName(uint32_t tag);

}  // namespace quorrex
