#include "scan/hard_links.h"

#include "console/message.h"
#include "console/path_line.h"
#include "paths/path_forms.h"

namespace quorrex {

void AddHardLink(Run& run, uint32_t linkCount, const FileId& id, std::u16string_view path) {
  // A POSIX path prints whole: "/a?b" has a question mark third and no prefix.
  const size_t displayOffset =
      !run.conventions.windowsPathForms ? 0 : DisplayOffset(path, DisplayRule::kHardLink);
  run.hardLinks.Add(linkCount, id, path, static_cast<uint32_t>(displayOffset));
}

void ReportHardLinkGroups(Run& run) {
  run.hardLinks.ForEachGroup(
      [&run](uint32_t groupLinkCount, int32_t member, const HardLinkEntry& entry) {
        if (member == 1) {
          ++run.counters.hardLinkGroups;
          PrintMessage(run, "group of %u hard links:\n", groupLinkCount);
        }
        PrintMessage(run, " %i: ", member);
        PrintPathLine(run, "%S\n", entry.displayPath());
      });
  run.hardLinks.Clear();
}

}  // namespace quorrex
