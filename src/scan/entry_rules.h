// What one folder entry is to the walk, and what its listing must keep of
// it. The walk's own thread and the threads that list folders ahead of it
// ask these same rules, so that what is listed ahead is exactly what the
// walk would list itself.
#pragma once

#include <cstdint>
#include <string_view>

#include "paths/name_pattern.h"
#include "platform/platform.h"

namespace quorrex {

// The deepest level the walk enters: the scan folder is level 0.
inline constexpr int32_t kMaxDepth = 1024;

enum class EntryRole : uint8_t {
  kNone,        // "." or "..": not an entry of the folder at all
  kPassedOver,  // passed over without a word; only the status line counts it
  kReported,    // a matching reparse point: reported, never entered
  kFolder,      // a subfolder (or a link to one) that recursion enters
  kLinkQuery,   // a matching plain file: its link count decides
};

// What the listing of a folder does with one entry.
struct EntryPlan {
  EntryRole role = EntryRole::kNone;
  // A reported link whose data is read while its folder is listed.
  bool readLink = false;
  // The walk opens the entry itself (a folder behind a link, a link whose
  // data is not read while listing): the name's bytes are kept for it, and
  // the folder's listing stays open for it.
  bool walkOpens = false;
  // A plain subfolder the walk may enter: it gets a folder record of its
  // own, to be listed ahead of the walk or by it.
  bool subfolder = false;
};

struct EntryRules {
  EntryRules(std::u16string_view p, bool r, bool linksWhileListing)
      : pattern(p), recurse(r), matchesAll(p == u"*"), readsLinksWhileListing(linksWhileListing) {}
  std::u16string_view pattern;
  bool recurse = false;
  bool matchesAll = false;  // "*": no name needs reading to match
  // A link's data needs no privilege to read (POSIX): it is read wherever
  // the link is listed.
  bool readsLinksWhileListing = false;

  // Whether the walk enters a subfolder met in a folder at `depth`.
  static bool EntersBelow(int32_t depth) { return depth < kMaxDepth; }
  // Whether a file asked for its link count is recorded.
  static bool KeepsLinks(const LinkInfo& link) { return link.links > 1; }

  // Classifies `entry` of `listing`. Settles whether a link leads to a
  // folder when that decides the role (only for a link the walk would
  // enter). Asked for every entry of the tree, so it is inline.
  EntryRole Classify(FindData& entry, FolderListing& listing) const {
    if (entry.IsDotOrDotDot()) return EntryRole::kNone;
    const bool matches = matchesAll || MatchNamePattern(pattern, entry.Name());
    // Whether a link leads to a folder matters only for one to be entered.
    if (entry.directoryUnresolved && !matches && recurse) listing.ResolveDirectory(entry);
    if (matches && (entry.attributes & kAttrReparsePoint) != 0) return EntryRole::kReported;
    if ((entry.attributes & kAttrDirectory) != 0) {
      return recurse ? EntryRole::kFolder : EntryRole::kPassedOver;
    }
    return matches ? EntryRole::kLinkQuery : EntryRole::kPassedOver;
  }

  // What the listing of a folder at `depth` keeps of `entry`.
  EntryPlan Plan(FindData& entry, FolderListing& listing, int32_t depth) const {
    EntryPlan plan;
    plan.role = Classify(entry, listing);
    const bool link = (entry.attributes & kAttrReparsePoint) != 0;
    if (plan.role == EntryRole::kReported) {
      plan.readLink = readsLinksWhileListing;
      plan.walkOpens = !readsLinksWhileListing;
    } else if (plan.role == EntryRole::kFolder && EntersBelow(depth)) {
      // A folder behind a link is opened by the walk when it gets there, as
      // it is the likelier to be a folder walked already.
      plan.walkOpens = link;
      plan.subfolder = !link;
    }
    return plan;
  }
};

}  // namespace quorrex
