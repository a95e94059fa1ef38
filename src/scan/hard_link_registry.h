// The registry of files with more than one link, recorded during the walk.
//
// Files group by their identity: the volume serial number together with the
// whole file index (128 bits where the file system has them), so that files of two volumes whose
// indexes coincide never pass for links of one another. The report comes in the order of the first
// member of each group, and the members of a group in the order they were
// recorded. Recording is amortised constant time: all paths share one text
// buffer, and groups are found through an open-addressing index. Time and
// memory grow in proportion to the recorded files.
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
  FileId id;                   // the group's identity

  std::u16string_view displayPath() const { return path.substr(displayOffset); }
};

class HardLinkRegistry {
 public:
  // Records one file; its display path is `path` from `displayOffset` on. A
  // file whose index is 0 (unknown) makes a group of its own.
  void Add(uint32_t linkCount, const FileId& id, std::u16string_view path, uint32_t displayOffset);

  // Calls `member(groupHeaderLinkCount, memberNumber, entry)` for every entry,
  // group by group; returns the number of groups.
  template <typename Fn>
  uint32_t ForEachGroup(Fn&& member) const {
    // The members of each group, in the order they were recorded: counted,
    // then placed, in two passes over the records.
    std::vector<uint32_t> start(groups_.size() + 1, 0);
    for (const Record& r : records_) ++start[r.group + 1];
    for (size_t g = 0; g < groups_.size(); ++g) start[g + 1] += start[g];
    std::vector<uint32_t> order(records_.size());
    {
      std::vector<uint32_t> next(start.begin(), start.end() - 1);
      for (uint32_t i = 0; i < records_.size(); ++i) order[next[records_[i].group]++] = i;
    }
    for (size_t g = 0; g < groups_.size(); ++g) {
      const uint32_t count = records_[order[start[g]]].linkCount;
      int32_t number = 1;
      for (uint32_t k = start[g]; k < start[g + 1]; ++k) {
        const Record& r = records_[order[k]];
        HardLinkEntry entry;
        entry.path = std::u16string_view(chunks_[r.chunk].data() + r.offset, r.length);
        entry.displayOffset = r.displayOffset;
        entry.id = groups_[g];
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
    uint32_t group;  // index into groups_
  };
  // A slot of the index holds the identity itself, so that finding a group
  // touches one place in memory, not two.
  struct IndexSlot {
    FileId id;
    uint32_t group = 0;  // index + 1 into groups_; 0 is empty
  };

  void Grow();

  // Paths live in chunks that are filled and never moved, so recording a
  // path never copies the ones before it. Recording writes only at the ends
  // of these vectors and one index slot; the members are gathered by group
  // when the report asks for them.
  std::vector<std::vector<char16_t>> chunks_;
  std::vector<Record> records_;
  std::vector<FileId> groups_;  // in the order of their first members
  std::vector<IndexSlot> slots_;
};

}  // namespace quorrex
