// The report of one reparse point: the read of its reparse data, and the
// block of lines that tells its kind and target.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "platform/platform.h"
#include "scan/reparse_data.h"
#include "scan/scan_records.h"

namespace quorrex {

// Reads the reparse point `entry` (its full path as the walk built it) and
// prints its block. The first inspection of a run enables the backup
// privilege; one that cannot open the process token leaves that to the next.
// A point that cannot be opened gets an error line; one whose data cannot be
// read is passed over without a word. Counts what it prints.
void InspectReparsePoint(const ScanContext& scan, const EntryRef& entry);

// The same for a point whose data was read already, ahead of the walk: `read`
// is what that read gave and `data` its bytes.
void ReportReparsePoint(const ScanContext& scan, const EntryRef& entry, const ReparseRead& read,
                        std::span<const uint8_t> data);

}  // namespace quorrex
