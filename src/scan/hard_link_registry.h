// The registry of files with more than one link, recorded during the walk.
//
// Files group by their identity: the volume serial number together with the
// whole file index (128 bits where the file system has them), so that files of two volumes whose
// indexes coincide never pass for links of one another. The report comes in the order of the first
// member of each group, and the members of a group in the order they were
// recorded. Recording is amortised constant time and groups are found
// through an open-addressing index; time and memory grow in proportion to
// the recorded files.
//
// A recorded file costs its own name, not its path: each folder that files
// are recorded from is a node (its parent's node and its own name), shared
// by all of them, and a full path is built again only when the report asks
// for it. Names are kept one byte a character when every character fits in
// one, else as UTF-16. A name is written once per group while the members
// that follow have it too: a backup tree of daily snapshots, every file
// linked into each of them under the same name, costs a few bytes a file
// per snapshot beyond the first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace quorrex {

class HardLinkRegistry {
 public:
  // Records one file by its full path, whose folders `separator` parts. A
  // file whose identity is unknown makes a group of its own.
  void Add(uint32_t linkCount, const FileId& id, std::u16string_view path, char16_t separator);

  // Calls `group(linkCount, id, paths)` for every group, in the order of
  // their first members: the link count recorded with the first member, and
  // the full paths of the members in the order they were recorded (valid
  // for the call only). Returns the number of groups.
  template <typename Fn>
  uint32_t ForEachGroup(Fn&& group) const {
    GroupPaths paths;
    for (uint64_t g = 0; g < groupCount_; ++g) {
      const uint32_t linkCount = BuildGroup(GroupAt(g), paths);
      group(linkCount, GroupAt(g).id, std::span<const std::u16string_view>(paths.views));
    }
    return static_cast<uint32_t>(groupCount_);
  }

  size_t size() const { return members_; }
  bool empty() const { return members_ == 0; }
  void Clear();

  // The bytes the records hold, for the benchmarks.
  size_t BytesHeld() const;

 private:
  // The records are items in a stream of bytes, each addressed by its
  // position: a folder node, or a member (one recorded name). Positions only
  // grow, so every item names the earlier ones it refers to by the distance
  // back to them.
  //   node:   distance to its parent (0: none), name
  //   member: distance to the previous member of its group (0: the first,
  //           then its link count), distance to its folder (0: none), name
  //   name:   (units << 1 | wide), then one byte a unit, or two when wide;
  //           or, for a member's name written before, 1 (no name is empty
  //           and wide) and the distance back to where it is written
  struct Group {
    FileId id;
    uint64_t last;  // position of the group's latest member
  };
  struct IndexSlot {
    uint32_t tag;    // high bits of the identity's hash
    uint32_t group;  // index + 1 into the groups; 0 is empty
  };
  struct Folder {
    uint64_t node;  // its node's position
    size_t end;     // where its name ends in `folder_`
  };
  struct GroupPaths {
    std::vector<uint64_t> members;
    std::vector<uint64_t> nodes;
    std::vector<size_t> ends;
    std::u16string text;
    std::vector<std::u16string_view> views;
    struct CachedFolder {
      uint64_t node = 0;
      std::u16string text;
    };
    static constexpr int kCacheBits = 9;
    static constexpr size_t kCachedFolders = size_t{1} << kCacheBits;
    std::vector<CachedFolder> cache;  // by node
    std::u16string folderText;
  };

  static constexpr size_t kChunkBytes = size_t{1} << 20;
  static constexpr size_t kGroupsPerChunk = 4096;
  // The longest name an item holds; a longer one is split over nodes.
  static constexpr size_t kLongestPiece = 4096;

  const Group& GroupAt(uint64_t g) const {
    return groups_[static_cast<size_t>(g / kGroupsPerChunk)]
                  [static_cast<size_t>(g % kGroupsPerChunk)];
  }
  Group& GroupAt(uint64_t g) {
    return groups_[static_cast<size_t>(g / kGroupsPerChunk)]
                  [static_cast<size_t>(g % kGroupsPerChunk)];
  }
  uint64_t FolderNode(std::u16string_view folder, char16_t separator);
  uint64_t WriteNode(uint64_t parent, std::u16string_view name);
  uint8_t* Reserve(size_t bytes, uint64_t& position);
  const uint8_t* At(uint64_t position) const {
    return chunks_[static_cast<size_t>(position / kChunkBytes)].get() +
           static_cast<size_t>(position % kChunkBytes);
  }
  // Where the name of the member at `position` is written; `name` is where
  // the member's own name item starts.
  uint64_t NameOfMember(uint64_t position) const;
  const uint8_t* LiteralName(uint64_t position, const uint8_t* name) const;
  uint64_t NewGroup(const FileId& id);
  void GrowIndex();
  // Fills `paths` with the members of `group`; returns its link count.
  uint32_t BuildGroup(const Group& group, GroupPaths& paths) const;
  void AppendFolderPath(uint64_t node, GroupPaths& paths) const;

  std::vector<std::unique_ptr<uint8_t[]>> chunks_;
  uint64_t used_ = 0;                             // the stream's end
  std::vector<std::unique_ptr<Group[]>> groups_;  // in the order of their first members
  uint64_t groupCount_ = 0;
  size_t members_ = 0;
  std::vector<IndexSlot> slots_;
  // The folder of the latest record, as text and as its chain of nodes: the
  // walk records a folder's files one after another, and its subfolders'
  // between them.
  std::u16string folder_;
  std::vector<Folder> chain_;
};

}  // namespace quorrex
