#include "scan/hard_link_list.h"

namespace quorrex {

void HardLinkList::Add(uint32_t linkCount, uint32_t indexLow, uint32_t indexHigh,
                       uint64_t volumeSerial, std::u16string_view path, uint32_t displayOffset) {
  const auto entryIndex = static_cast<uint32_t>(entries_.size());
  HardLinkEntry& entry = entries_.emplace_back();
  entry.path.assign(path);
  entry.displayOffset = displayOffset <= entry.path.size() ? displayOffset : 0;
  entry.linkCount = linkCount;
  entry.fileIndexLow = indexLow;
  entry.fileIndexHigh = indexHigh;
  entry.volumeSerial = volumeSerial;

  const Key key{volumeSerial, (uint64_t{indexHigh} << 32) | indexLow};
  auto [it, inserted] = groupOf_.try_emplace(key, static_cast<uint32_t>(groups_.size()));
  if (inserted) {
    groups_.push_back(Group{entryIndex, entryIndex});
  } else {
    Group& group = groups_[it->second];
    entries_[group.last].nextInGroup = entryIndex + 1;
    group.last = entryIndex;
  }
}

void HardLinkList::Clear() {
  std::vector<HardLinkEntry>().swap(entries_);
  std::vector<Group>().swap(groups_);
  std::unordered_map<Key, uint32_t, KeyHash>().swap(groupOf_);
}

}  // namespace quorrex
