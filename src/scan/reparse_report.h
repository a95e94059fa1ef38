// The report of one reparse point: the backup privilege, the read of its
// reparse data, and the block of lines that tells its kind and target.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "platform/platform.h"
#include "run/run_state.h"
#include "scan/reparse_data.h"

namespace quorrex {

// Reads the reparse point `entry` (its full path as the walk built it) and
// prints its block. The first inspection of a run enables the backup
// privilege; one that cannot open the process token leaves that to the next.
// A point that cannot be opened gets an error line; one whose data cannot be
// read is passed over without a word. Counts what it prints.
void InspectReparsePoint(Run& run, const EntryRef& entry);

// The same for a point whose data was read already, ahead of the walk: `read`
// is what that read gave and `data` its bytes.
void ReportReparsePoint(Run& run, const EntryRef& entry, const ReparseRead& read,
                        std::span<const uint8_t> data);

// Enables the privilege `luid` on the open `token`, keeping its other
// attribute bits: the first adjustment switches it off and reports its
// previous state, the second sets that state back with the enabled bit added.
void EnableBackupPrivilege(Run& run, Handle token, const Luid& luid);

// Prints the block of one reparse point whose printed path is `displayPath`
// and counts it in the run's counters.
void PrintReparseReport(Run& run, std::u16string_view displayPath, const ReparseInfo& info);

}  // namespace quorrex
