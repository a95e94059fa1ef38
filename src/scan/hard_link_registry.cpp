#include "scan/hard_link_registry.h"

namespace quorrex {
namespace {

constexpr size_t kChunkCharacters = size_t{1} << 19;  // 1 MiB of text

size_t Hash(const FileId& id) {
  return FileIdHash{}(id);
}

}  // namespace

void HardLinkRegistry::Grow() {
  std::vector<IndexSlot> old;
  old.swap(slots_);
  slots_.resize(old.empty() ? 1024 : old.size() * 2);
  const size_t mask = slots_.size() - 1;
  for (const IndexSlot& entry : old) {
    if (entry.group == 0) continue;
    size_t at = Hash(entry.id) & mask;
    while (slots_[at].group != 0) at = (at + 1) & mask;
    slots_[at] = entry;
  }
}

void HardLinkRegistry::Add(uint32_t linkCount, const FileId& id, std::u16string_view path,
                           uint32_t displayOffset) {
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
  chunk.insert(chunk.end(), path.begin(), path.end());

  // An unknown identity tells nothing: such a file is listed as a group of
  // its own and never joins another.
  if (!IsKnownFileId(id)) {
    groups_.push_back(id);
    record.group = static_cast<uint32_t>(groups_.size() - 1);
    return;
  }
  // Keep the index at most half full.
  if ((groups_.size() + 1) * 2 > slots_.size()) Grow();
  const size_t mask = slots_.size() - 1;
  for (size_t at = Hash(id) & mask;; at = (at + 1) & mask) {
    IndexSlot& slot = slots_[at];
    if (slot.group == 0) {
      groups_.push_back(id);
      slot.id = id;
      slot.group = static_cast<uint32_t>(groups_.size());
      record.group = slot.group - 1;
      return;
    }
    if (slot.id == id) {
      record.group = slot.group - 1;
      return;
    }
  }
}

void HardLinkRegistry::Clear() {
  std::vector<std::vector<char16_t>>().swap(chunks_);
  std::vector<Record>().swap(records_);
  std::vector<FileId>().swap(groups_);
  std::vector<IndexSlot>().swap(slots_);
}

}  // namespace quorrex
