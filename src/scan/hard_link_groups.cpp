#include "scan/hard_link_groups.h"

#include <vector>

#include "paths/path_forms.h"

namespace quorrex {

void AddHardLink(const ScanContext& scan, uint32_t linkCount, const FileId& id,
                 std::u16string_view path) {
  // A POSIX path prints whole: "/a?b" has a question mark third and no prefix.
  const size_t displayOffset =
      !scan.conventions.windowsPathForms ? 0 : DisplayOffset(path, DisplayRule::kQuestionMarkThird);
  const Recording recording(scan.tallies.lock);
  scan.tallies.hardLinks.Add(linkCount, id, path, static_cast<uint32_t>(displayOffset));
}

void ReportHardLinkGroups(const ScanContext& scan) {
  HardLinkRegistry& registry = scan.tallies.hardLinks;
  // Each group goes to the printer whole, once its last member is known.
  std::vector<std::u16string_view> paths;
  uint32_t linkCount = 0;
  FileId id;
  const auto flush = [&] {
    if (paths.empty()) return;
    ++scan.tallies.counters.hardLinkGroups;
    scan.printer->HardLinkGroup(linkCount, id, paths);
    paths.clear();
  };
  registry.ForEachGroup([&](uint32_t groupLinkCount, int32_t member, const HardLinkEntry& entry) {
    if (member == 1) {
      flush();
      linkCount = groupLinkCount;
      id = entry.id;
    }
    paths.push_back(entry.displayPath());
  });
  flush();
  registry.Clear();
}

}  // namespace quorrex
