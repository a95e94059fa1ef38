// The registry of files with more than one link, recorded during the walk.
//
// Files group by their identity: the volume serial number together with the
// whole file index (128 bits where the file system has them), so that files of two volumes whose
// indexes coincide never pass for links of one another. The report comes in the order of the first
// member of each group, and the members of a group in the order they were
// recorded. Recording is amortised constant time: all paths share one text
// buffer, and groups are found through an open-addressing index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace quorrex {

// One recorded file, as the report sees it.
struct HardLinkEntry {
  std::u16string_view path;    // the full path as the walk built it
  uint32_t displayOffset = 0;  // where the printed form starts
  uint32_t linkCount = 0;
  uint32_t fileIndexHigh = 0;
  uint32_t fileIndexLow = 0;
  uint64_t volumeSerial = 0;
  uint64_t fileIndexUpper = 0;  // the upper half of a 128-bit index

  std::u16string_view displayPath() const { return path.substr(displayOffset); }
};

class HardLinkList {
 public:
  // Records one file; its display path is `path` from `displayOffset` on.
  void Add(uint32_t linkCount, const FileId& id, std::u16string_view path, uint32_t displayOffset);

  // Calls `member(groupHeaderLinkCount, memberNumber, entry)` for every entry,
  // group by group; returns the number of groups.
  template <typename Fn>
  uint32_t ForEachGroup(Fn&& member) const {
    for (const Group& group : groups_) {
      const uint32_t count = records_[group.first].linkCount;
      int32_t number = 1;
      for (uint32_t i = group.first + 1; i != 0; i = records_[i - 1].nextInGroup) {
        const Record& r = records_[i - 1];
        HardLinkEntry entry;
        entry.path = std::u16string_view(chunks_[r.chunk].data() + r.offset, r.length);
        entry.displayOffset = r.displayOffset;
        entry.linkCount = r.linkCount;
        entry.fileIndexHigh = static_cast<uint32_t>(group.index >> 32);
        entry.fileIndexLow = static_cast<uint32_t>(group.index);
        entry.volumeSerial = group.volume;
        entry.fileIndexUpper = group.indexUpper;
        member(count, number++, static_cast<const HardLinkEntry&>(entry));
      }
    }
    return static_cast<uint32_t>(groups_.size());
  }

  size_t size() const { return records_.size(); }
  bool empty() const { return records_.empty(); }
  void Clear();

 private:
  struct Record {
    uint32_t chunk;          // the text chunk that holds the path
    uint32_t offset;         // of the path in its chunk
    uint32_t length;         // of the path
    uint32_t displayOffset;  // where the printed form starts
    uint32_t linkCount;
    uint32_t nextInGroup;  // index + 1 of the group's next member; 0 ends
  };
  struct Group {
    uint64_t volume;
    uint64_t index;
    uint64_t indexUpper;
    uint32_t first;  // record index of the first member
    uint32_t last;   // record index of the latest member
  };

  // The slot of the group with this identity, or of the empty slot where it
  // belongs.
  size_t Slot(const FileId& id) const;
  void Grow();

  // Paths live in chunks that are filled and never moved, so recording a
  // path never copies the ones before it.
  std::vector<std::vector<char16_t>> chunks_;
  std::vector<Record> records_;
  std::vector<Group> groups_;
  std::vector<uint32_t> slots_;  // group index + 1; 0 is empty
};

}  // namespace quorrex
