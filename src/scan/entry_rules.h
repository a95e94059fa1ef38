// What one folder entry is to the walk. The walk's own thread and the
// threads that read folders ahead ask this one function, so that what is
// read ahead is exactly what the walk would read itself.
#pragma once

#include <cstdint>
#include <string_view>

#include "paths/name_pattern.h"
#include "platform/platform.h"

namespace quorrex {

enum class EntryRole : uint8_t {
  kNone,       // "." or "..": not an entry of the folder at all
  kSilent,     // passed over without a word; only the status line counts it
  kReported,   // a matching reparse point: reported, never entered
  kFolder,     // a subfolder (or a link to one) that recursion enters
  kLinkQuery,  // a matching plain file: its link count decides
};

struct EntryRules {
  EntryRules(std::u16string_view p, bool r) : pattern(p), recurse(r), matchesAll(p == u"*") {}
  std::u16string_view pattern;
  bool recurse = false;
  bool matchesAll = false;  // "*": no name needs reading to match
};

// Classifies `entry` of `listing`. Settles whether a link leads to a folder
// when that decides the role (only for a link the walk would enter). Asked
// for every entry of the tree, so it is inline.
inline EntryRole ClassifyEntry(const EntryRules& rules, FindData& entry, FolderListing& listing) {
  if (entry.IsDotOrDotDot()) return EntryRole::kNone;
  const bool matches = rules.matchesAll || MatchNamePattern(rules.pattern, entry.Name());
  // Whether a link leads to a folder matters only for one to be entered.
  if (entry.directoryUnresolved && !matches && rules.recurse) listing.ResolveDirectory(entry);
  if (matches && (entry.attributes & kAttrReparsePoint) != 0) return EntryRole::kReported;
  if ((entry.attributes & kAttrDirectory) != 0) {
    return rules.recurse ? EntryRole::kFolder : EntryRole::kSilent;
  }
  return matches ? EntryRole::kLinkQuery : EntryRole::kSilent;
}

}  // namespace quorrex
