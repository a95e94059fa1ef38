#include "run/summary.h"

#include "console/message.h"

namespace quorrex {
namespace {

const char* Plural(uint32_t count) {
  return count == 1 ? "" : "s";
}

}  // namespace

void PrintSummary(Console& console, const ScanCounters& counters) {
  const ScanCounters& c = counters;
  const uint32_t others = c.reparsePoints - c.mountPoints - c.symbolicLinks - c.appExecLinks -
                          c.wofLinks - c.dedupLinks;
  PrintMessage(console, "\nsummary\n");
  PrintMessage(console, "* %u reparse point%s:\n", c.reparsePoints, Plural(c.reparsePoints));
  PrintMessage(console, "  + %u mount point%s:\n", c.mountPoints, Plural(c.mountPoints));
  PrintMessage(console, "    - %u volume mount point%s\n", c.volumeMountPoints,
               Plural(c.volumeMountPoints));
  PrintMessage(console, "    - %u directory junction point%s\n", c.junctions, Plural(c.junctions));
  PrintMessage(console, "  + %u symbolic link%s\n", c.symbolicLinks, Plural(c.symbolicLinks));
  PrintMessage(console, "  + %u app execute link%s\n", c.appExecLinks, Plural(c.appExecLinks));
  PrintMessage(console, "  + %u wof link%s\n", c.wofLinks, Plural(c.wofLinks));
  PrintMessage(console, "  + %u deduplication link%s\n", c.dedupLinks, Plural(c.dedupLinks));
  PrintMessage(console, "  + %u of other types\n", others);
  PrintMessage(console, "* %u hard link group%s\n", c.hardLinkGroups, Plural(c.hardLinkGroups));
}

}  // namespace quorrex
