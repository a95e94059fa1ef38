// Link queries during the walk, and the report of hard-link groups after it.
#pragma once

#include <cstdint>
#include <string_view>

#include "run/run_state.h"

namespace quorrex {

// Records one file with more than one link.
void AddHardLink(Run& run, uint32_t linkCount, const FileId& id, std::u16string_view path);

// Prints every group of recorded files, counts the groups and empties the
// registry.
void ReportHardLinkGroups(Run& run);

}  // namespace quorrex
