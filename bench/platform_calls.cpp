// Prints the system calls the Windows program makes per plain file and per
// plain folder of a walk, on each Windows release, as the in-memory machine
// counts them: the by-name link query (Windows 10 1709 on) and the open it
// falls back to elsewhere.
//
//   platform_calls [folders] [files per folder]     default: 100 10
//
// The machine takes the link query's own steps (src/platform/win32/
// link_query.cpp); the listings and identities are modelled on what
// win32_files.cpp asks. No real Windows is involved.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "memory_machine.h"
#include "run/run_state.h"
#include "scan/walker.h"

namespace {

using quorrex::testing::CallCounts;
using quorrex::testing::MemoryMachine;
using quorrex::testing::Numbered;
using quorrex::testing::WindowsRelease;

// The calls of one walk of C:\t with every file matching.
CallCounts Walk(WindowsRelease release, size_t folders, size_t files, bool linked) {
  MemoryMachine machine;
  machine.stdoutIsConsole = false;
  machine.release = release;
  machine.AddFolder(u"C:\\t");
  for (size_t d = 0; d < folders; ++d) {
    const std::u16string folder = u"C:\\t\\" + Numbered("d", d);
    machine.AddFolder(folder);
    for (size_t f = 0; f < files; ++f) {
      const std::u16string file = folder + u"\\" + Numbered("f", f);
      machine.AddFile(file);
      if (linked) machine.AddHardLink(file, u"C:\\other\\" + Numbered("d", d) + Numbered("f", f));
    }
  }
  quorrex::Run run(machine);
  run.settings.recurse = true;
  run.settings.walkWorkers = 1;
  machine.ResetCalls();
  quorrex::WalkFolder(run.scan, u"\\\\?\\C:\\t\\", u"*");
  return machine.Calls();
}

double Per(size_t a, size_t b, size_t n) {
  return n == 0 ? 0.0 : (static_cast<double>(a) - static_cast<double>(b)) / static_cast<double>(n);
}

void Line(const char* what, const CallCounts& with, const CallCounts& without, size_t n) {
  std::printf("  %-26s %6.2f   (open %.2f, query %.2f, by name %.2f, close %.2f)\n", what,
              Per(with.total(), without.total(), n), Per(with.opens, without.opens, n),
              Per(with.queries, without.queries, n), Per(with.statsByName, without.statsByName, n),
              Per(with.closes, without.closes, n));
}

}  // namespace

int main(int argc, char** argv) {
  const size_t folders = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
  const size_t files = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 10;
  struct Release {
    WindowsRelease release;
    const char* name;
  };
  const Release releases[] = {
      {WindowsRelease::kWindows10v1709, "Windows 10 1709 and later (by-name query)"},
      {WindowsRelease::kWindows10v1703, "Windows 10 1703 (query refused once, then opens)"},
      {WindowsRelease::kWindows8, "Windows 8 to 10 1607 (opens)"},
      {WindowsRelease::kWindows7, "Windows 7 (opens, 64-bit IDs)"},
  };
  std::printf("system calls per entry of a walk (in-memory machine; %zu folders of %zu files)\n",
              folders, files);
  for (const Release& r : releases) {
    const CallCounts scanOnly = Walk(r.release, 0, 0, false);
    const CallCounts emptyFolders = Walk(r.release, folders, 0, false);
    const CallCounts plain = Walk(r.release, folders, files, false);
    const CallCounts linked = Walk(r.release, folders, files, true);
    std::printf("%s\n", r.name);
    Line("plain file", plain, emptyFolders, folders * files);
    Line("file with two links", linked, emptyFolders, folders * files);
    Line("plain folder (empty)", emptyFolders, scanOnly, folders);
    Line("scan folder (empty)", scanOnly, CallCounts{}, 1);
  }
  return 0;
}
