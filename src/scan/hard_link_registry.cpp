#include "scan/hard_link_registry.h"

#include <algorithm>
#include <cstring>

#include "support/memory.h"

namespace quorrex {
namespace {

constexpr size_t kLongestNumber = 10;  // of a 64-bit number, seven bits a byte

// 64 bits on every system: the low ones place an identity in the index,
// the high ones tell most others apart there without a look at the group.
uint64_t Hash(const FileId& id) {
  uint64_t h = id.index * 0x9E3779B97F4A7C15ull ^ (id.volume + 0x632BE59BD9B4E019ull) ^
               (id.indexUpper * 0xD6E8FEB86659FD93ull);
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ull;
  return h ^ (h >> 32);
}

uint32_t Tag(uint64_t hash) {
  return static_cast<uint32_t>(hash >> 32);
}

uint8_t* PutNumber(uint8_t* at, uint64_t value) {
  while (value >= 0x80) {
    *at++ = static_cast<uint8_t>(value | 0x80);
    value >>= 7;
  }
  *at++ = static_cast<uint8_t>(value);
  return at;
}

const uint8_t* GetNumber(const uint8_t* at, uint64_t& value) {
  value = 0;
  for (int shift = 0;; shift += 7) {
    const uint8_t byte = *at++;
    value |= static_cast<uint64_t>(byte & 0x7F) << shift;
    if (byte < 0x80) return at;
  }
}

bool FitsOneByte(std::u16string_view name) {
  char16_t all = 0;
  for (const char16_t c : name) all |= c;
  return all <= 0xFF;
}

size_t NameBytes(std::u16string_view name, bool narrow) {
  return kLongestNumber + name.size() * (narrow ? 1 : 2);
}

uint8_t* PutName(uint8_t* at, std::u16string_view name, bool narrow) {
  at = PutNumber(at, (uint64_t{name.size()} << 1) | (narrow ? 0 : 1));
  if (narrow) {
    for (const char16_t c : name) *at++ = static_cast<uint8_t>(c);
  } else {
    std::memcpy(at, name.data(), name.size() * sizeof(char16_t));
    at += name.size() * sizeof(char16_t);
  }
  return at;
}

// The header of a name that is another's: no name written is empty and
// wide, so (0 << 1 | 1) is free to say "the name at this distance back".
constexpr uint64_t kSameName = 1;

size_t NumberBytes(uint64_t value) {
  size_t bytes = 1;
  for (; value >= 0x80; value >>= 7) ++bytes;
  return bytes;
}

// Whether the name written at `at` (not a reference) is `name`.
bool SameName(const uint8_t* at, std::u16string_view name, bool narrow) {
  uint64_t header = 0;
  at = GetNumber(at, header);
  if (header != ((uint64_t{name.size()} << 1) | (narrow ? 0 : 1))) return false;
  if (!narrow) return std::memcmp(at, name.data(), name.size() * sizeof(char16_t)) == 0;
  for (const char16_t c : name) {
    if (*at++ != c) return false;
  }
  return true;
}

void AppendName(const uint8_t* at, std::u16string& out) {
  uint64_t header = 0;
  at = GetNumber(at, header);
  const auto units = static_cast<size_t>(header >> 1);
  const size_t start = out.size();
  out.resize(start + units);
  char16_t* to = out.data() + start;
  if ((header & 1) == 0) {
    for (size_t i = 0; i < units; ++i) to[i] = at[i];
  } else {
    std::memcpy(to, at, units * sizeof(char16_t));
  }
}

}  // namespace

uint8_t* HardLinkRegistry::Reserve(size_t bytes, uint64_t& position) {
  // An item never spans two chunks; the end of a chunk too short for it is
  // left unused. Chunks are left uninitialised: their pages are taken as the
  // items fill them. Position 0 is never an item's: a distance of 0 names
  // none.
  if (chunks_.empty()) {
    chunks_.emplace_back(new uint8_t[kChunkBytes]);
    used_ = 1;
  }
  size_t offset = static_cast<size_t>(used_ % kChunkBytes);
  if (kChunkBytes - offset < bytes) {
    used_ += kChunkBytes - offset;
    chunks_.emplace_back(new uint8_t[kChunkBytes]);
    offset = 0;
  }
  position = used_;
  return chunks_.back().get() + offset;
}

uint64_t HardLinkRegistry::WriteNode(uint64_t parent, std::u16string_view name) {
  const bool narrow = FitsOneByte(name);
  uint64_t position = 0;
  uint8_t* start = Reserve(kLongestNumber + NameBytes(name, narrow), position);
  uint8_t* at = PutNumber(start, parent == 0 ? 0 : position - parent);
  at = PutName(at, name, narrow);
  used_ += static_cast<uint64_t>(at - start);
  return position;
}

uint64_t HardLinkRegistry::FolderNode(std::u16string_view folder, char16_t separator) {
  // Most files are recorded from the folder of the one before.
  const size_t shorter = std::min(folder.size(), folder_.size());
  if (folder.size() == folder_.size() &&
      std::memcmp(folder.data(), folder_.data(), shorter * sizeof(char16_t)) == 0) {
    return chain_.empty() ? 0 : chain_.back().node;
  }
  // Back to the deepest folder the two have in common, then down through
  // the new one's folders, a node each.
  size_t common = 0;
  while (common + 4 <= shorter &&
         std::memcmp(folder.data() + common, folder_.data() + common, 4 * sizeof(char16_t)) == 0) {
    common += 4;
  }
  while (common < shorter && folder[common] == folder_[common]) ++common;
  while (!chain_.empty() && chain_.back().end > common) chain_.pop_back();
  size_t at = chain_.empty() ? 0 : chain_.back().end;
  uint64_t node = chain_.empty() ? 0 : chain_.back().node;
  folder_.assign(folder);
  while (at < folder.size()) {
    size_t end = folder.find(separator, at);
    end = end == std::u16string_view::npos ? folder.size() : end + 1;
    end = std::min(end, at + kLongestPiece);
    node = WriteNode(node, folder.substr(at, end - at));
    chain_.push_back(Folder{node, end});
    at = end;
  }
  return node;
}

void HardLinkRegistry::GrowIndex() {
  std::vector<IndexSlot> old;
  old.swap(slots_);
  slots_.resize(old.empty() ? 1024 : old.size() * 2);
  const size_t mask = slots_.size() - 1;
  for (const IndexSlot& entry : old) {
    if (entry.group == 0) continue;
    size_t at = static_cast<size_t>(Hash(GroupAt(entry.group - 1).id)) & mask;
    while (slots_[at].group != 0) at = (at + 1) & mask;
    slots_[at] = entry;
  }
}

uint64_t HardLinkRegistry::NewGroup(const FileId& id) {
  // The index numbers groups in 32 bits; a registry that would hold more is
  // refused as memory is.
  if (groupCount_ >= 0xFFFFFFFEu) AllocationRefused();
  if (groupCount_ % kGroupsPerChunk == 0) groups_.emplace_back(new Group[kGroupsPerChunk]);
  Group& group = GroupAt(groupCount_);
  group.id = id;
  group.last = 0;
  return groupCount_++;
}

void HardLinkRegistry::Add(uint32_t linkCount, const FileId& id, std::u16string_view path,
                           char16_t separator) {
  const size_t cut = path.rfind(separator);
  const size_t nameStart = cut == std::u16string_view::npos ? 0 : cut + 1;
  uint64_t folder = FolderNode(path.substr(0, nameStart), separator);
  std::u16string_view name = path.substr(nameStart);
  while (name.size() > kLongestPiece) {
    folder = WriteNode(folder, name.substr(0, kLongestPiece));
    name.remove_prefix(kLongestPiece);
  }

  // An unknown identity tells nothing: such a file is listed as a group of
  // its own and never joins another.
  uint64_t g = 0;
  if (!IsKnownFileId(id)) {
    g = NewGroup(id);
  } else {
    // Keep the index at most half full.
    if ((groupCount_ + 1) * 2 > slots_.size()) GrowIndex();
    const uint64_t hash = Hash(id);
    const uint32_t tag = Tag(hash);
    const size_t mask = slots_.size() - 1;
    for (size_t at = static_cast<size_t>(hash) & mask;; at = (at + 1) & mask) {
      IndexSlot& slot = slots_[at];
      if (slot.group == 0) {
        g = NewGroup(id);
        slot.tag = tag;
        slot.group = static_cast<uint32_t>(g + 1);
        break;
      }
      if (slot.tag == tag && GroupAt(slot.group - 1).id == id) {
        g = slot.group - 1;
        break;
      }
    }
  }

  Group& group = GroupAt(g);
  const bool narrow = FitsOneByte(name);
  // The member before in the group most often has the same name, in another
  // folder (a snapshot of the same tree): this one then names that name
  // where it is written, when that is shorter than writing it again.
  const uint64_t same = group.last == 0 ? 0 : NameOfMember(group.last);
  uint64_t position = 0;
  uint8_t* start = Reserve(3 * kLongestNumber + NameBytes(name, narrow), position);
  uint8_t* at = PutNumber(start, group.last == 0 ? 0 : position - group.last);
  if (group.last == 0) at = PutNumber(at, linkCount);
  at = PutNumber(at, folder == 0 ? 0 : position - folder);
  const size_t written =
      NumberBytes((uint64_t{name.size()} << 1) | (narrow ? 0 : 1)) + name.size() * (narrow ? 1 : 2);
  if (same != 0 && 1 + NumberBytes(position - same) < written && SameName(At(same), name, narrow)) {
    at = PutNumber(PutNumber(at, kSameName), position - same);
  } else {
    at = PutName(at, name, narrow);
  }
  used_ += static_cast<uint64_t>(at - start);
  group.last = position;
  ++members_;
}

const uint8_t* HardLinkRegistry::LiteralName(uint64_t position, const uint8_t* name) const {
  uint64_t header = 0;
  const uint8_t* after = GetNumber(name, header);
  if (header != kSameName) return name;
  uint64_t back = 0;
  GetNumber(after, back);
  return At(position - back);
}

uint64_t HardLinkRegistry::NameOfMember(uint64_t position) const {
  const uint8_t* item = At(position);
  uint64_t value = 0;
  const uint8_t* at = GetNumber(item, value);
  if (value == 0) at = GetNumber(at, value);  // the first member's link count
  at = GetNumber(at, value);
  uint64_t header = 0;
  const uint8_t* after = GetNumber(at, header);
  if (header != kSameName) return position + static_cast<uint64_t>(at - item);
  GetNumber(after, value);
  return position - value;
}

void HardLinkRegistry::AppendFolderPath(uint64_t node, GroupPaths& paths) const {
  // The paths of the folders met lately: the members of the groups that
  // follow one another lie mostly in the same folders, and a folder missing
  // is built from its nearest ancestor there.
  if (paths.cache.empty()) paths.cache.resize(GroupPaths::kCachedFolders);
  const auto slot = [&](uint64_t at) -> GroupPaths::CachedFolder& {
    return paths
        .cache[static_cast<size_t>((at * 0x9E3779B97F4A7C15ull) >> (64 - GroupPaths::kCacheBits))];
  };
  GroupPaths::CachedFolder& wanted = slot(node);
  if (wanted.node != node) {
    // The folder's nodes, innermost first, up to one whose path is known.
    paths.nodes.clear();
    const std::u16string* known = nullptr;
    for (uint64_t at = node; at != 0;) {
      const GroupPaths::CachedFolder& cached = slot(at);
      if (cached.node == at) {
        known = &cached.text;
        break;
      }
      paths.nodes.push_back(at);
      uint64_t back = 0;
      GetNumber(At(at), back);
      at = back == 0 ? 0 : at - back;
    }
    paths.folderText.clear();
    if (known != nullptr) paths.folderText.append(*known);
    for (size_t i = paths.nodes.size(); i-- > 0;) {
      uint64_t back = 0;
      AppendName(GetNumber(At(paths.nodes[i]), back), paths.folderText);
    }
    wanted.node = node;
    wanted.text.assign(paths.folderText);
  }
  paths.text.append(wanted.text);
}

uint32_t HardLinkRegistry::BuildGroup(const Group& group, GroupPaths& paths) const {
  // The members are chained from the latest back to the first.
  paths.members.clear();
  for (uint64_t at = group.last;;) {
    paths.members.push_back(at);
    uint64_t back = 0;
    GetNumber(At(at), back);
    if (back == 0) break;
    at -= back;
  }
  paths.text.clear();
  paths.ends.clear();
  uint64_t linkCount = 0;
  for (size_t i = paths.members.size(); i-- > 0;) {
    const uint64_t position = paths.members[i];
    uint64_t value = 0;
    const uint8_t* at = GetNumber(At(position), value);
    if (value == 0) at = GetNumber(at, linkCount);
    at = GetNumber(at, value);
    if (value != 0) AppendFolderPath(position - value, paths);
    AppendName(LiteralName(position, at), paths.text);
    paths.ends.push_back(paths.text.size());
  }
  paths.views.clear();
  size_t begin = 0;
  for (const size_t end : paths.ends) {
    paths.views.push_back(std::u16string_view(paths.text).substr(begin, end - begin));
    begin = end;
  }
  return static_cast<uint32_t>(linkCount);
}

void HardLinkRegistry::Clear() {
  std::vector<std::unique_ptr<uint8_t[]>>().swap(chunks_);
  used_ = 0;
  std::vector<std::unique_ptr<Group[]>>().swap(groups_);
  groupCount_ = 0;
  members_ = 0;
  std::vector<IndexSlot>().swap(slots_);
  std::u16string().swap(folder_);
  std::vector<Folder>().swap(chain_);
}

size_t HardLinkRegistry::BytesHeld() const {
  return static_cast<size_t>(used_ + groupCount_ * sizeof(Group)) +
         slots_.size() * sizeof(IndexSlot);
}

}  // namespace quorrex
