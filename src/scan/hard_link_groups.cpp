#include "scan/hard_link_groups.h"

#include <vector>

#include "paths/path_forms.h"

namespace quorrex {

void AddHardLink(const ScanContext& scan, uint32_t linkCount, const FileId& id,
                 std::u16string_view path) {
  scan.tallies.hardLinks.Add(linkCount, id, path, scan.separator());
}

void ReportHardLinkGroups(const ScanContext& scan) {
  HardLinkRegistry& registry = scan.tallies.hardLinks;
  // A POSIX path prints whole: "/a?b" has a question mark third and no prefix.
  const bool windowsForms = scan.conventions.windowsPathForms;
  std::vector<std::u16string_view> shown;
  registry.ForEachGroup(
      [&](uint32_t linkCount, const FileId& id, std::span<const std::u16string_view> paths) {
        shown.clear();
        for (const std::u16string_view path : paths) {
          shown.push_back(windowsForms ? DisplayForm(path, DisplayRule::kQuestionMarkThird) : path);
        }
        ++scan.tallies.counters.hardLinkGroups;
        scan.printer->HardLinkGroup(linkCount, id, shown);
      });
  registry.Clear();
}

}  // namespace quorrex
