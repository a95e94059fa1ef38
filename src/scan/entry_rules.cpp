#include "scan/entry_rules.h"

#include "paths/name_pattern.h"

namespace quorrex {

EntryRole ClassifyEntry(const EntryRules& rules, FindData& entry, FolderListing& listing) {
  const std::u16string& name = entry.name;
  if (name == u"." || name == u"..") return EntryRole::kNone;
  const bool matches = MatchNamePattern(rules.pattern, name);
  // Whether a link leads to a folder matters only for one to be entered.
  if (entry.directoryUnresolved && !matches && rules.recurse) listing.ResolveDirectory(entry);
  if (matches && (entry.attributes & kAttrReparsePoint) != 0) return EntryRole::kReported;
  if ((entry.attributes & kAttrDirectory) != 0) {
    return rules.recurse ? EntryRole::kFolder : EntryRole::kSilent;
  }
  return matches ? EntryRole::kLinkQuery : EntryRole::kSilent;
}

}  // namespace quorrex
