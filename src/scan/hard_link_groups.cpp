#include "scan/hard_link_groups.h"

#include "console/message.h"
#include "console/path_line.h"
#include "paths/path_forms.h"

namespace quorrex {

void AddHardLink(const ScanContext& scan, uint32_t linkCount, const FileId& id,
                 std::u16string_view path) {
  // A POSIX path prints whole: "/a?b" has a question mark third and no prefix.
  const size_t displayOffset =
      !scan.conventions.windowsPathForms ? 0 : DisplayOffset(path, DisplayRule::kQuestionMarkThird);
  scan.tallies.hardLinks.Add(linkCount, id, path, static_cast<uint32_t>(displayOffset));
}

void ReportHardLinkGroups(const ScanContext& scan) {
  HardLinkRegistry& registry = scan.tallies.hardLinks;
  registry.ForEachGroup(
      [&scan](uint32_t groupLinkCount, int32_t member, const HardLinkEntry& entry) {
        if (member == 1) {
          ++scan.tallies.counters.hardLinkGroups;
          PrintMessage(scan.console, "group of %u hard links:\n", groupLinkCount);
        }
        PrintMessage(scan.console, " %i: ", member);
        PrintPathLine(scan.console, "%S\n", entry.displayPath());
      });
  registry.Clear();
}

}  // namespace quorrex
