// Hard-link groups: a file with more than one link, recorded as the walk
// meets it, and the report of the groups after the walk.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/platform.h"
#include "scan/scan_records.h"

namespace quorrex {

// Records one file with more than one link.
void AddHardLink(const ScanContext& scan, uint32_t linkCount, const FileId& id,
                 std::u16string_view path);

// Prints every group of recorded files, counts the groups and empties the
// registry.
void ReportHardLinkGroups(const ScanContext& scan);

}  // namespace quorrex
