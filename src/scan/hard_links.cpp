#include "scan/hard_links.h"

namespace quorrex {

uint32_t QueryLinkInfo(Run& run, const EntryRef& file, uint32_t* indexLow, uint32_t* indexHigh,
                       uint64_t* volumeSerial) {
  (void)run, (void)file, (void)indexLow, (void)indexHigh, (void)volumeSerial;
  return 0;
}

void AddHardLink(Run& run, uint32_t linkCount, uint32_t indexLow, uint32_t indexHigh,
                 uint64_t volumeSerial, std::u16string_view path) {
  (void)run, (void)linkCount, (void)indexLow, (void)indexHigh, (void)volumeSerial, (void)path;
}

void ReportHardLinkGroups(Run& run) { run.hardLinks.Clear(); }

}  // namespace quorrex
