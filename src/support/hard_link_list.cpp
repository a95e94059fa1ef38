#include "support/hard_link_list.h"

namespace quorrex {
namespace {

constexpr size_t kChunkCharacters = size_t{1} << 19;  // 1 MiB of text

size_t Hash(const FileId& id) {
  uint64_t h = id.index * 0x9E3779B97F4A7C15ull ^ (id.volume + 0x632BE59BD9B4E019ull) ^
               (id.indexUpper * 0xD6E8FEB86659FD93ull);
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ull;
  return static_cast<size_t>(h ^ (h >> 32));
}

}  // namespace

size_t HardLinkList::Slot(const FileId& id) const {
  const size_t mask = slots_.size() - 1;
  for (size_t slot = Hash(id) & mask;; slot = (slot + 1) & mask) {
    const uint32_t entry = slots_[slot];
    if (entry == 0) return slot;
    const Group& group = groups_[entry - 1];
    if (group.index == id.index && group.volume == id.volume && group.indexUpper == id.indexUpper) {
      return slot;
    }
  }
}

void HardLinkList::Grow() {
  std::vector<uint32_t> old;
  old.swap(slots_);
  slots_.assign(old.empty() ? 1024 : old.size() * 2, 0);
  for (uint32_t entry : old) {
    if (entry != 0) {
      const Group& group = groups_[entry - 1];
      slots_[Slot(FileId{group.volume, group.index, group.indexUpper})] = entry;
    }
  }
}

void HardLinkList::Add(uint32_t linkCount, const FileId& id, std::u16string_view path,
                       uint32_t displayOffset) {
  const auto recordIndex = static_cast<uint32_t>(records_.size());
  if (chunks_.empty() || chunks_.back().capacity() - chunks_.back().size() < path.size()) {
    chunks_.emplace_back().reserve(path.size() > kChunkCharacters ? path.size() : kChunkCharacters);
  }
  std::vector<char16_t>& chunk = chunks_.back();
  Record& record = records_.emplace_back();
  record.chunk = static_cast<uint32_t>(chunks_.size() - 1);
  record.offset = static_cast<uint32_t>(chunk.size());
  record.length = static_cast<uint32_t>(path.size());
  record.displayOffset = displayOffset <= path.size() ? displayOffset : 0;
  record.linkCount = linkCount;
  record.nextInGroup = 0;
  chunk.insert(chunk.end(), path.begin(), path.end());

  // Keep the index at most half full.
  if ((groups_.size() + 1) * 2 > slots_.size()) Grow();
  const size_t slot = Slot(id);
  if (slots_[slot] == 0) {
    groups_.push_back(Group{id.volume, id.index, id.indexUpper, recordIndex, recordIndex});
    slots_[slot] = static_cast<uint32_t>(groups_.size());
  } else {
    Group& group = groups_[slots_[slot] - 1];
    records_[group.last].nextInGroup = recordIndex + 1;
    group.last = recordIndex;
  }
}

void HardLinkList::Clear() {
  std::vector<std::vector<char16_t>>().swap(chunks_);
  std::vector<Record>().swap(records_);
  std::vector<Group>().swap(groups_);
  std::vector<uint32_t>().swap(slots_);
}

}  // namespace quorrex
