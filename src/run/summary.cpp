#include "run/summary.h"

#include "console/message.h"

namespace quorrex {
namespace {

const char* Plural(uint32_t count) {
  return count == 1 ? "" : "s";
}

}  // namespace

void PrintSummary(Run& run) {
  const ScanCounters& c = run.counters;
  const uint32_t others = c.reparsePoints - c.mountPoints - c.symbolicLinks - c.appExecLinks -
                          c.wofLinks - c.dedupLinks;
  PrintMessage(run, "\nsummary\n");
  PrintMessage(run, "* %u reparse point%s:\n", c.reparsePoints, Plural(c.reparsePoints));
  PrintMessage(run, "  + %u mount point%s:\n", c.mountPoints, Plural(c.mountPoints));
  PrintMessage(run, "    - %u volume mount point%s\n", c.volumeMountPoints,
               Plural(c.volumeMountPoints));
  PrintMessage(run, "    - %u directory junction point%s\n", c.junctions, Plural(c.junctions));
  PrintMessage(run, "  + %u symbolic link%s\n", c.symbolicLinks, Plural(c.symbolicLinks));
  PrintMessage(run, "  + %u app execute link%s\n", c.appExecLinks, Plural(c.appExecLinks));
  PrintMessage(run, "  + %u wof link%s\n", c.wofLinks, Plural(c.wofLinks));
  PrintMessage(run, "  + %u deduplication link%s\n", c.dedupLinks, Plural(c.dedupLinks));
  PrintMessage(run, "  + %u of other types\n", others);
  PrintMessage(run, "* %u hard link group%s\n", c.hardLinkGroups, Plural(c.hardLinkGroups));
}

}  // namespace quorrex
