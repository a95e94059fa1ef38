// What a walk costs in system calls on each Windows release the machine
// plays, and that the walk's output does not depend on the release.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "console/console_state.h"
#include "console/output_sink.h"
#include "release_machine.h"
#include "run_fixture.h"
#include "scan/hard_link_groups.h"
#include "scan/walker.h"
#include "walk_costs.h"

namespace quorrex::testing {
namespace {

constexpr WindowsRelease kReleases[] = {WindowsRelease::kWindows7, WindowsRelease::kWindows8,
                                        WindowsRelease::kWindows10v1703,
                                        WindowsRelease::kWindows10v1709};

const char* NameOf(WindowsRelease release) {
  switch (release) {
    case WindowsRelease::kWindows7:
      return "Windows 7";
    case WindowsRelease::kWindows8:
      return "Windows 8";
    case WindowsRelease::kWindows10v1703:
      return "Windows 10 1703";
    case WindowsRelease::kWindows10v1709:
      return "Windows 10 1709";
  }
  return "?";
}

struct Walked {
  CallCounts calls;
  std::string out;
};

// A walk of `folder` with `pattern` on a fresh machine built by `build`;
// the calls counted from the walk's start.
Walked WalkOn(WindowsRelease release, const std::function<void(MemoryMachine&)>& build,
              std::u16string_view folder = u"\\\\?\\C:\\t\\", std::u16string_view pattern = u"*") {
  ReleaseMachine machine;
  machine.stdoutIsConsole = false;
  machine.release = release;
  build(machine);
  quorrex::Run run(machine);
  run.settings.recurse = true;
  run.settings.walkWorkers = TestWorkers();
  machine.ResetCalls();
  WalkFolder(run.scan, folder, pattern);
  ReportHardLinkGroups(run.scan);
  FlushOutput(run.console);
  return Walked{machine.Calls(), machine.out};
}

std::string Show(const CallCounts& c) {
  return "opens " + std::to_string(c.opens) + ", queries " + std::to_string(c.queries) +
         ", by name " + std::to_string(c.statsByName) + ", closes " + std::to_string(c.closes);
}

CallCounts Times(const CallCounts& c, size_t n) {
  return CallCounts{c.opens * n, c.queries * n, c.statsByName * n, c.closes * n};
}

CallCounts Plus(const CallCounts& a, const CallCounts& b) {
  return CallCounts{a.opens + b.opens, a.queries + b.queries, a.statsByName + b.statsByName,
                    a.closes + b.closes};
}

TEST(PlatformCalls, WhatEachEntryCostsOnEachReleaseAndFileSystem) {
  // What bench/platform_calls prints: the calls per plain file, file with
  // two links, empty plain folder and scan folder, on 10 folders of 10
  // files. A refusal costs once per volume, not per folder or file.
  struct Expected {
    CallCounts file, linked, folder, scan;
    CallCounts oncePerVolume;  // with the files
  };
  const CallCounts byName{0, 0, 1, 0};
  const CallCounts byOpen{1, 1, 0, 1};  // open, FileStandardInfo, close
  const CallCounts folder{1, 2, 0, 1};  // open, records, the query that finds no more, close
  // Open, FileStandardInfo, the open file's own identity (FileIdInfo from
  // Windows 8 on, GetFileInformationByHandle on 7: its name may have been
  // given to another file since its record was listed), close.
  const CallCounts linkedByOpen{1, 2, 0, 1};
  // Open; its identity (GetFileInformationByHandle, FileIdInfo from Windows
  // 8 on, refused by FAT); the records (the wide ones refused by FAT first);
  // the query that finds no more; close.
  const CallCounts scan8{1, 5, 0, 1};
  const Expected expected[] = {
      {byName, byName, folder, scan8, {}},               // NTFS, 1709
      {byOpen, linkedByOpen, folder, scan8, {}},         // NTFS, 1703: never asked by name
      {byOpen, linkedByOpen, folder, scan8, {}},         // NTFS, 8
      {byOpen, {1, 3, 0, 1}, folder, {1, 4, 0, 1}, {}},  // NTFS, 7
      {byOpen, {}, folder, {1, 6, 0, 1}, byName},  // FAT32, 1709: the by-name query refused once
  };
  static_assert(std::size(expected) == std::size(kWalkSettings));
  constexpr size_t kFolders = 10;
  constexpr size_t kFiles = 10;
  for (size_t i = 0; i < std::size(kWalkSettings); ++i) {
    const WalkSetting& setting = kWalkSettings[i];
    SCOPED_TRACE(setting.name);
    const WalkCosts costs = MeasureWalk(setting, kFolders, kFiles, TestWorkers());
    const Expected& e = expected[i];
    EXPECT_EQ(Show(costs.scanFolder), Show(e.scan));
    EXPECT_EQ(Show(costs.plainFolders), Show(Times(e.folder, kFolders)));
    EXPECT_EQ(Show(costs.plainFiles),
              Show(Plus(Times(e.file, kFolders * kFiles), e.oncePerVolume)));
    if (!IsFatFamily(setting.fsName)) {
      EXPECT_EQ(Show(costs.linkedFiles), Show(Times(e.linked, kFolders * kFiles)));
    }
  }
}

TEST(PlatformCalls, FallBacksCostWhatTheyReplace) {
  struct Case {
    const char* name;
    WindowsRelease release;
    std::function<void(MemoryMachine&)> build;
    std::u16string folder;
    std::u16string pattern;
    CallCounts calls;
  };
  // C:\t\a and C:\t\z on NTFS, each with three files; between them a FAT32
  // volume mounted at C:\t\fat, with three files too.
  const auto fatBetween = [](MemoryMachine& m) {
    m.AddVolume(u"F:\\", u"FAT32", 0);
    for (const char* name : {"1.txt", "2.txt", "3.txt"}) {
      m.AddFile(u"C:\\t\\a\\" + U(name));
      m.AddFile(u"F:\\" + U(name));
      m.AddFile(u"C:\\t\\z\\" + U(name));
    }
    m.AddMountPoint(u"C:\\t\\fat", u"\\??\\Volume{f1}\\", u"F:\\");
  };
  const std::vector<Case> cases = {
      {"a file system that refuses the by-name query: once per volume",
       WindowsRelease::kWindows10v1709,
       [](MemoryMachine& m) {
         m.AddVolume(u"S:\\", u"NTFS", kFsSupportsReparsePoints);
         m.RefuseStatByName(u"S:\\", win32::nt_status::kNotSupported);
         m.AddFile(u"S:\\t\\a");
         m.AddFile(u"S:\\t\\b");
         m.AddFile(u"S:\\t\\s\\c");
       },
       u"\\\\?\\S:\\t\\", u"*",
       // Two folders (the scan folder with its identity), the first file
       // asked by name in vain, then every file opened.
       CallCounts{2 + 3, 5 + 2 + 3, 1, 2 + 3}},
      {"FAT between NTFS folders: refused once, and the NTFS folders after it still asked by name",
       WindowsRelease::kWindows10v1709, fatBetween, u"\\\\?\\C:\\t\\", u"*.txt",
       // The scan folder and a: 1 open, 5 + 2 queries, 1 close, three by name.
       // The FAT root: 1 open; its identity, FileIdInfo refused, the wide
       // records refused, the older ones, no more (6 queries); 1 close; one
       // query by name refused, then each file opened. z: as a.
       CallCounts{1 + 1 + 1 + 3 + 1, 5 + 2 + 6 + 3 + 2, 3 + 1 + 3, 1 + 1 + 1 + 3 + 1}},
      {"the same on 1703: never asked by name", WindowsRelease::kWindows10v1703, fatBetween,
       u"\\\\?\\C:\\t\\", u"*.txt",
       CallCounts{1 + 1 + 1 + 9 * 1 + 1, 5 + 2 + 6 + 9 * 1 + 2, 0, 1 + 1 + 1 + 9 * 1 + 1}},
      {"records without identities: the folder asks its own", WindowsRelease::kWindows10v1709,
       [](MemoryMachine& m) {
         m.AddVolume(u"W:\\", u"NTFS", kFsSupportsReparsePoints, 9);
         m.ReportZeroIndexes(u"W:\\");
         m.AddFolder(u"W:\\t\\s");
       },
       u"\\\\?\\W:\\t\\", u"*.none", CallCounts{2, 4 + 3 + 3, 0, 2}},
      {"a folder behind a junction asks its own", WindowsRelease::kWindows10v1709,
       [](MemoryMachine& m) {
         m.AddFolder(u"C:\\real");
         m.AddJunction(u"C:\\t\\j", u"C:\\real");
       },
       u"\\\\?\\C:\\t\\", u"*.none", CallCounts{2, 4 + 3 + 3, 0, 2}},
      {"a folder whose records are refused is listed by the search and asks its own",
       WindowsRelease::kWindows10v1709,
       [](MemoryMachine& m) {
         m.AddFile(u"C:\\t\\s\\f");
         m.InjectError(Op::kDirRecords, u"C:\\t\\s", win::kAccessDenied);
       },
       u"\\\\?\\C:\\t\\", u"*",
       // s: its handle and two refused queries, closed; the search (open,
       // first entries, no more, close); its identity by a second open; the
       // file opened.
       CallCounts{1 + 1 + 1 + 1 + 1, 5 + 2 + 1 + 1 + 3 + 1, 0, 1 + 1 + 1 + 1 + 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Walked walked = WalkOn(c.release, c.build, c.folder, c.pattern);
    EXPECT_EQ(Show(walked.calls), Show(c.calls));
  }
}

TEST(PlatformCalls, TheWalkIsTheSameOnEveryRelease) {
  // Identities from the records or from the folders themselves, link counts
  // by name or by opening: the same loops, the same folders walked once, the
  // same groups.
  struct Case {
    const char* name;
    std::function<void(MemoryMachine&)> build;
    std::u16string folder;
    std::u16string pattern;
    std::string expected;
    bool wideIdsOnly = false;  // ReFS, which Windows 7 does not mount
  };
  const std::vector<Case> cases = {
      {"links back to a parent, to itself, to a sibling",
       [](MemoryMachine& m) {
         m.AddFile(u"C:\\data\\sub\\f.dll");
         m.AddHardLink(u"C:\\data\\sub\\f.dll", u"C:\\data\\g.txt");
         m.AddJunction(u"C:\\data\\sub\\back", u"C:\\data");
         m.AddJunction(u"C:\\data\\sib", u"C:\\data\\sub");
         m.AddJunction(u"C:\\data\\sub\\here", u"C:\\data\\sub");
       },
       u"\\\\?\\C:\\data\\", u"*.dll",
       "folder loops back to a parent -> skip folder back\r\n"
       "folder loops back to a parent -> skip folder here\r\n"
       "folder already walked -> skip folder sib\r\n"
       "group of 2 hard links:\r\n 1: C:\\data\\sub\\f.dll\n"},
      {"a link to a folder walked deeper down before",
       [](MemoryMachine& m) {
         m.AddFile(u"C:\\two\\a\\deep\\y.dll");
         m.AddHardLink(u"C:\\two\\a\\deep\\y.dll", u"C:\\other\\y.dll");
         m.AddJunction(u"C:\\two\\b-link", u"C:\\two\\a\\deep");
       },
       u"C:\\two", u"*.dll",
       "folder already walked -> skip folder b-link\r\n"
       "group of 2 hard links:\r\n 1: C:\\two\\a\\deep\\y.dll\n"},
      {"two links of one file, one in a folder of records and one listed by the search",
       [](MemoryMachine& m) {
         m.AddFile(u"C:\\data\\rec\\x.dll");
         m.AddHardLink(u"C:\\data\\rec\\x.dll", u"C:\\data\\old\\x.dll");
         m.InjectError(Op::kDirRecords, u"C:\\data\\old", win::kAccessDenied);
       },
       u"\\\\?\\C:\\data\\", u"*.dll",
       "group of 2 hard links:\r\n 1: C:\\data\\rec\\x.dll\n 2: C:\\data\\old\\x.dll\n"},
      {"a volume without file indexes",
       [](MemoryMachine& m) {
         m.AddVolume(u"W:\\", u"NTFS", kFsSupportsReparsePoints, 9);
         m.ReportZeroIndexes(u"W:\\");
         m.AddFile(u"W:\\p\\a\\x.dll")->linkCount = 2;
         m.AddFile(u"W:\\p\\b\\x.dll")->linkCount = 2;
         m.AddJunction(u"W:\\p\\b\\again", u"W:\\p\\a");
       },
       u"\\\\?\\W:\\p\\", u"*.dll",
       "group of 2 hard links:\r\n 1: W:\\p\\a\\x.dll\n"
       "group of 2 hard links:\r\n 1: W:\\p\\b\\x.dll\n"
       "group of 2 hard links:\r\n 1: W:\\p\\b\\again\\x.dll\n"},
      {"two volumes, one index",
       [](MemoryMachine& m) {
         m.AddVolume(u"D:\\");
         m.AddFile(u"C:\\data\\x.dll")->index = 0x42;
         m.AddMountPoint(u"C:\\data\\mnt", u"\\??\\Volume{d1}\\", u"D:\\");
         m.AddFile(u"D:\\sub\\y.dll")->index = 0x42;
         m.Find(u"C:\\data\\x.dll")->linkCount = 2;
         m.Find(u"D:\\sub\\y.dll")->linkCount = 2;
       },
       u"\\\\?\\C:\\data\\", u"*.dll",
       "group of 2 hard links:\r\n 1: C:\\data\\x.dll\n"
       "group of 2 hard links:\r\n 1: C:\\data\\mnt\\sub\\y.dll\n"},
      {"ReFS folders and files whose indexes share their lower half",
       [](MemoryMachine& m) {
         m.AddVolume(u"R:\\", u"ReFS", kFsSupportsReparsePoints, 7);
         auto a = m.AddFolder(u"R:\\refs\\a");
         auto b = m.AddFolder(u"R:\\refs\\b");
         b->index = a->index;
         b->indexUpper = 1;
         auto x = m.AddFile(u"R:\\refs\\a\\x.dll");
         m.AddHardLink(u"R:\\refs\\a\\x.dll", u"R:\\refs\\a\\x2.dll");
         auto y = m.AddFile(u"R:\\refs\\b\\y.dll");
         m.AddHardLink(u"R:\\refs\\b\\y.dll", u"R:\\refs\\b\\y2.dll");
         y->index = x->index;
         y->indexUpper = 1;
       },
       u"R:\\refs", u"*.dll",
       "group of 2 hard links:\r\n 1: R:\\refs\\a\\x.dll\n 2: R:\\refs\\a\\x2.dll\n"
       "group of 2 hard links:\r\n 1: R:\\refs\\b\\y.dll\n 2: R:\\refs\\b\\y2.dll\n",
       true},
  };
  for (const WindowsRelease release : kReleases) {
    SCOPED_TRACE(NameOf(release));
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      if (c.wideIdsOnly && release == WindowsRelease::kWindows7) continue;
      EXPECT_EQ(WalkOn(release, c.build, c.folder, c.pattern).out, c.expected);
    }
  }
}

TEST(PlatformCalls, ADeniedQueryByNameStillFindsTheLinksWithTheBackupPrivilege) {
  // The by-name query has no backup intent: where it is denied, the open
  // with backup intent (which passes once the privilege is enabled) decides.
  const Walked walked = WalkOn(
      WindowsRelease::kWindows10v1709,
      [](MemoryMachine& m) {
        m.AddFile(u"C:\\t\\locked.dll");
        m.AddHardLink(u"C:\\t\\locked.dll", u"C:\\t\\other.dll");
        m.InjectError(Op::kStatByName, u"C:\\t\\locked.dll", win_error::kAccessDenied);
      },
      u"\\\\?\\C:\\t\\", u"*.dll");
  EXPECT_EQ(walked.out, "group of 2 hard links:\r\n 1: C:\\t\\locked.dll\n 2: C:\\t\\other.dll\n");
}

}  // namespace
}  // namespace quorrex::testing
