// The recursive folder walk.
#pragma once

#include <cstdint>
#include <string_view>

#include "support/run_state.h"

namespace quorrex {

// Lists `folder` (with or without a trailing separator) and, with the
// recursion option, every folder beneath it; hands matching reparse points to
// the reparse report and matching files with more than one link to the
// hard-link registry. Returns the number of entries handed to the report.
uint32_t WalkFolder(Run& run, std::u16string_view folder, std::u16string_view pattern,
                    int32_t depth);

}  // namespace quorrex
