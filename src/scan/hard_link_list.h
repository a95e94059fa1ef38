// The registry of files with more than one link, recorded during the walk.
//
// Files group by their identity: the volume serial number together with the
// file index, so that files of two volumes whose indexes coincide never pass
// for links of one another. Appending and grouping are linear in the number of
// recorded files; the order of the report is that of the first member of each
// group, and the members of a group come in the order they were recorded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quorrex {

struct HardLinkEntry {
  std::u16string path;         // the full path as the walk built it
  uint32_t displayOffset = 0;  // where the printed form starts
  uint32_t linkCount = 0;
  uint32_t fileIndexHigh = 0;
  uint32_t fileIndexLow = 0;
  uint64_t volumeSerial = 0;
  uint32_t nextInGroup = 0;  // index + 1 of the group's next member; 0 ends

  std::u16string_view displayPath() const {
    return std::u16string_view(path).substr(displayOffset);
  }
};

class HardLinkList {
 public:
  // Records one file; its display path is `path` from `displayOffset` on.
  void Add(uint32_t linkCount, uint32_t indexLow, uint32_t indexHigh, uint64_t volumeSerial,
           std::u16string_view path, uint32_t displayOffset);

  // Calls `member(groupHeaderLinkCount, memberNumber, entry)` for every entry,
  // group by group; returns the number of groups.
  template <typename Fn>
  uint32_t ForEachGroup(Fn&& member) const {
    for (const Group& group : groups_) {
      const uint32_t count = entries_[group.first].linkCount;
      int32_t number = 1;
      for (uint32_t i = group.first + 1; i != 0; i = entries_[i - 1].nextInGroup) {
        member(count, number++, entries_[i - 1]);
      }
    }
    return static_cast<uint32_t>(groups_.size());
  }

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  void Clear();

 private:
  struct Key {
    uint64_t volume;
    uint64_t index;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    size_t operator()(const Key& k) const {
      uint64_t h = k.index * 0x9E3779B97F4A7C15ull ^ (k.volume + 0x632BE59BD9B4E019ull);
      return static_cast<size_t>(h ^ (h >> 32));
    }
  };
  struct Group {
    uint32_t first;  // entry index of the first member
    uint32_t last;   // entry index of the latest member
  };

  std::vector<HardLinkEntry> entries_;
  std::vector<Group> groups_;
  std::unordered_map<Key, uint32_t, KeyHash> groupOf_;
};

}  // namespace quorrex
