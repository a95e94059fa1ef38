// What a walk costs in system calls per kind of entry, on a Windows release
// and a file system the in-memory machine plays: printed by
// bench/platform_calls and asserted by the tests, from the same walks.
#pragma once

#include <cstddef>
#include <string>

#include "release_machine.h"
#include "run/run_state.h"
#include "scan/walker.h"

namespace quorrex::testing {

// A release with the file system its walk is on.
struct WalkSetting {
  WindowsRelease release;
  const char16_t* fsName;
  const char* name;
};

inline constexpr WalkSetting kWalkSettings[] = {
    {WindowsRelease::kWindows10v1709, u"NTFS", "NTFS, Windows 10 1709 and later (by-name query)"},
    {WindowsRelease::kWindows10v1703, u"NTFS", "NTFS, Windows 10 1703 (opens)"},
    {WindowsRelease::kWindows8, u"NTFS", "NTFS, Windows 8 to 10 1607 (opens)"},
    {WindowsRelease::kWindows7, u"NTFS", "NTFS, Windows 7 (opens, 64-bit IDs)"},
    {WindowsRelease::kWindows10v1709, u"FAT32", "FAT32, Windows 10 1709 and later"},
};

inline CallCounts Minus(const CallCounts& a, const CallCounts& b) {
  return CallCounts{a.opens - b.opens, a.queries - b.queries, a.statsByName - b.statsByName,
                    a.closes - b.closes};
}

// The calls of one walk of X:\t, on a volume of the setting's file system,
// holding `folders` plain subfolders of `files` plain files each (every
// file with a second link outside the walk where `linked`).
inline CallCounts WalkCalls(const WalkSetting& setting, size_t folders, size_t files, bool linked,
                            uint32_t workers) {
  ReleaseMachine machine;
  machine.stdoutIsConsole = false;
  machine.release = setting.release;
  machine.AddVolume(u"X:\\", setting.fsName, 0);
  machine.AddFolder(u"X:\\t");
  for (size_t d = 0; d < folders; ++d) {
    const std::u16string folder = u"X:\\t\\" + Numbered("d", d);
    machine.AddFolder(folder);
    for (size_t f = 0; f < files; ++f) {
      const std::u16string file = folder + u"\\" + Numbered("f", f);
      machine.AddFile(file);
      if (linked) machine.AddHardLink(file, u"X:\\other\\" + Numbered("d", d) + Numbered("f", f));
    }
  }
  Run run(machine);
  run.settings.recurse = true;
  run.settings.walkWorkers = workers;
  machine.ResetCalls();
  WalkFolder(run.scan, u"\\\\?\\X:\\t\\", u"*");
  return machine.Calls();
}

// The calls each kind of entry adds, in all: `folders` plain folders and
// `folders` x `files` files of each kind.
struct WalkCosts {
  CallCounts scanFolder;    // the scan folder alone
  CallCounts plainFolders;  // empty plain subfolders
  CallCounts plainFiles;
  CallCounts linkedFiles;  // files with two links
};

inline WalkCosts MeasureWalk(const WalkSetting& setting, size_t folders, size_t files,
                             uint32_t workers) {
  const CallCounts scanOnly = WalkCalls(setting, 0, 0, false, workers);
  const CallCounts emptyFolders = WalkCalls(setting, folders, 0, false, workers);
  WalkCosts costs;
  costs.scanFolder = scanOnly;
  costs.plainFolders = Minus(emptyFolders, scanOnly);
  costs.plainFiles = Minus(WalkCalls(setting, folders, files, false, workers), emptyFolders);
  costs.linkedFiles = Minus(WalkCalls(setting, folders, files, true, workers), emptyFolders);
  return costs;
}

}  // namespace quorrex::testing
