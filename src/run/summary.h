// The summary block that ends a completed listing.
#pragma once

#include "console/console.h"
#include "scan/scan_records.h"

namespace quorrex {

void PrintSummary(Console& console, const ScanCounters& counters);

}  // namespace quorrex
