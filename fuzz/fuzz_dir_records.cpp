// Reads an arbitrary batch of directory records, as a folder handle's query
// would fill it, and checks what the listing relies on: every entry given out
// lies whole within the batch, the reading moves forward and ends.
//
// Input: the batch itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "platform/win32/dir_records.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using quorrex::win32::DirRecord;
  using quorrex::win32::kDirRecordName;
  const std::span<const uint8_t> batch(data, size);
  quorrex::FindData entry;
  size_t offset = 0;
  for (;;) {
    const size_t at = offset;
    const DirRecord result = quorrex::win32::NextDirRecord(batch, offset, entry);
    if (result != DirRecord::kEntry) {
      Require(offset == at);  // the end or a cut moves nothing
      break;
    }
    Require(offset > at && offset <= size);
    // The name is the record's own units, inside the batch.
    Require(at + kDirRecordName + 2 * entry.name.size() <= size);
    for (size_t i = 0; i < entry.name.size(); ++i) {
      const size_t unit = at + kDirRecordName + 2 * i;
      Require(entry.name[i] == static_cast<char16_t>(data[unit] | data[unit + 1] << 8));
    }
    Require(!entry.directoryUnresolved && entry.bytes.empty());
  }
  return 0;
}
