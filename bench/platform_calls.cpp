// Prints the system calls the Windows program makes per plain file, file
// with two links, plain folder and scan folder of a walk, on each Windows
// release and on FAT32, as the in-memory machine counts them: the by-name
// link query (Windows 10 1709 on) and the open it falls back to elsewhere.
//
//   platform_calls [folders] [files per folder]     default: 100 10
//
// The machine takes the link query's own steps (src/platform/win32/
// link_query.cpp); the listings and identities are modelled on what
// win32_files.cpp asks. No real Windows is involved. The tests assert the
// same counts (tests/logic/platform_calls_test.cpp).
#include <cstdio>
#include <cstdlib>

#include "walk_costs.h"

namespace {

using quorrex::testing::CallCounts;

void Line(const char* what, const CallCounts& calls, size_t n) {
  const auto per = [n](size_t count) {
    return n == 0 ? 0.0 : static_cast<double>(count) / static_cast<double>(n);
  };
  std::printf("  %-22s %6.2f   (open %.2f, query %.2f, by name %.2f, close %.2f)\n", what,
              per(calls.total()), per(calls.opens), per(calls.queries), per(calls.statsByName),
              per(calls.closes));
}

}  // namespace

int main(int argc, char** argv) {
  const size_t folders = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
  const size_t files = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 10;
  std::printf("system calls per entry of a walk (in-memory machine; %zu folders of %zu files)\n",
              folders, files);
  for (const auto& setting : quorrex::testing::kWalkSettings) {
    const auto costs = quorrex::testing::MeasureWalk(setting, folders, files, 1);
    std::printf("%s\n", setting.name);
    Line("plain file", costs.plainFiles, folders * files);
    if (!quorrex::testing::IsFatFamily(setting.fsName)) {
      Line("file with two links", costs.linkedFiles, folders * files);
    }
    Line("plain folder (empty)", costs.plainFolders, folders);
    Line("scan folder (empty)", costs.scanFolder, 1);
  }
  return 0;
}
