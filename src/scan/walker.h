// The recursive folder walk.
#pragma once

#include <cstdint>
#include <string_view>

#include "scan/entry_rules.h"
#include "scan/scan_records.h"

namespace quorrex {

// Lists `folder` (with or without a trailing separator) and, with the
// recursion option, every folder beneath it; hands matching reparse points to
// the reparse report and matching files with more than one link to the
// hard-link registry.
void WalkFolder(ScanContext& scan, std::u16string_view folder, std::u16string_view pattern);

// The threads the walk asks for: the setting, or its own choice from the
// processor count.
uint32_t WalkWorkers(const ScanSettings& settings);

// The number of walk workers that the setting `text` (the environment
// variable QUORREX_WORKERS, null when it is not set) asks for: a whole number
// from 1 to 64, or 0 (the walk's own choice) for anything else. `known`
// tells whether the setting was such a number or not set at all.
uint32_t WalkWorkersSetting(const char* text, bool& known);
inline uint32_t WalkWorkersSetting(const char* text) {
  bool known = true;
  return WalkWorkersSetting(text, known);
}

}  // namespace quorrex
