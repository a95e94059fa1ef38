// What a walk costs in system calls on each Windows release the machine
// plays, and that the walk's output does not depend on the release.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "console/console_state.h"
#include "console/output_sink.h"
#include "memory_machine.h"
#include "run_fixture.h"
#include "scan/hard_link_groups.h"
#include "scan/walker.h"

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
  MemoryMachine machine;
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

CallCounts Minus(const CallCounts& a, const CallCounts& b) {
  return CallCounts{a.opens - b.opens, a.queries - b.queries, a.statsByName - b.statsByName,
                    a.closes - b.closes};
}

std::string Show(const CallCounts& c) {
  return "opens " + std::to_string(c.opens) + ", queries " + std::to_string(c.queries) +
         ", by name " + std::to_string(c.statsByName) + ", closes " + std::to_string(c.closes);
}

TEST(PlatformCalls, WhatEachEntryCosts) {
  // Each case adds one thing to a scan folder that already holds a plain
  // file (so that a system found lacking the by-name query has found it):
  // the calls it adds, by release.
  struct Costs {
    CallCounts win7, win8, win10v1703, win10v1709;
    const CallCounts& Of(WindowsRelease release) const {
      switch (release) {
        case WindowsRelease::kWindows7:
          return win7;
        case WindowsRelease::kWindows8:
          return win8;
        case WindowsRelease::kWindows10v1703:
          return win10v1703;
        default:
          return win10v1709;
      }
    }
  };
  struct Case {
    const char* name;
    std::function<void(MemoryMachine&)> add;
    Costs costs;
  };
  const CallCounts byOpen{1, 1, 0, 1};  // open, FileStandardInfo, close
  const CallCounts folder{1, 2, 0, 1};  // open, records, the query that finds no more, close
  const std::vector<Case> cases = {
      {"a plain file",
       [](MemoryMachine& m) { m.AddFile(u"C:\\t\\f2"); },
       {byOpen, byOpen, byOpen, {0, 0, 1, 0}}},
      {"a file with two links",
       [](MemoryMachine& m) {
         m.AddFile(u"C:\\t\\h");
         m.AddHardLink(u"C:\\t\\h", u"C:\\elsewhere\\h");
       },
       // Its identity: GetFileInformationByHandle before Windows 8, FileIdInfo
       // after, with the folder's volume.
       {{1, 3, 0, 1}, {1, 2, 0, 1}, {1, 2, 0, 1}, {1, 1, 1, 1}}},
      {"a plain subfolder",
       [](MemoryMachine& m) { m.AddFolder(u"C:\\t\\sub"); },
       {folder, folder, folder, folder}},
      {"a plain subfolder with a plain file",
       [](MemoryMachine& m) { m.AddFile(u"C:\\t\\sub\\f"); },
       {{2, 3, 0, 2}, {2, 3, 0, 2}, {2, 3, 0, 2}, {1, 2, 1, 1}}},
  };
  for (const WindowsRelease release : kReleases) {
    SCOPED_TRACE(NameOf(release));
    const Walked base = WalkOn(release, [](MemoryMachine& m) { m.AddFile(u"C:\\t\\f1"); });
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      const Walked with = WalkOn(release, [&](MemoryMachine& m) {
        m.AddFile(u"C:\\t\\f1");
        c.add(m);
      });
      EXPECT_EQ(Show(Minus(with.calls, base.calls)), Show(c.costs.Of(release)));
    }
  }
}

TEST(PlatformCalls, AtTheFloorAPlainFileIsOneCallAndAFolderFour) {
  // Windows 10 1709 on: 100 plain files in 10 plain subfolders of an empty
  // scan folder, against the scan folder alone.
  const auto tree = [](MemoryMachine& m) {
    m.AddFolder(u"C:\\t");
    for (size_t d = 0; d < 10; ++d) {
      for (size_t f = 0; f < 10; ++f) {
        m.AddFile(u"C:\\t\\" + Numbered("d", d) + u"\\" + Numbered("f", f));
      }
    }
  };
  const Walked empty =
      WalkOn(WindowsRelease::kWindows10v1709, [](MemoryMachine& m) { m.AddFolder(u"C:\\t"); });
  // The scan folder asks its own identity: GetFileInformationByHandle and
  // FileIdInfo.
  EXPECT_EQ(Show(empty.calls), Show(CallCounts{1, 5, 0, 1}));
  const Walked full = WalkOn(WindowsRelease::kWindows10v1709, tree);
  const CallCounts added = Minus(full.calls, empty.calls);
  EXPECT_EQ(added.statsByName, 100u);
  EXPECT_EQ(added.total() - added.statsByName, 10u * 4);
  // Where the by-name query is refused, each file is opened.
  const Walked older = WalkOn(WindowsRelease::kWindows10v1703, tree);
  const CallCounts olderAdded = Minus(older.calls, empty.calls);
  EXPECT_EQ(olderAdded.total(), 10u * 4 + 100 * 3 + 1);  // one refused query
}

TEST(PlatformCalls, FallBacksCostWhatTheyReplace) {
  struct Case {
    const char* name;
    std::function<void(MemoryMachine&)> build;
    std::u16string folder;
    std::u16string pattern;
    CallCounts calls;
  };
  const std::vector<Case> cases = {
      {"a file system that refuses the by-name query: once per folder",
       [](MemoryMachine& m) {
         m.AddVolume(u"F:\\", u"exFAT", kFsSupportsReparsePoints);
         m.RefuseStatByName(u"F:\\");
         m.AddFile(u"F:\\t\\a");
         m.AddFile(u"F:\\t\\b");
         m.AddFile(u"F:\\t\\s\\c");
       },
       u"\\\\?\\F:\\t\\", u"*",
       // Two folders (the scan folder with its identity), the first file of
       // each asked by name in vain, then every file opened.
       CallCounts{2 + 3, 5 + 2 + 3, 2, 2 + 3}},
      {"records without identities: the folder asks its own",
       [](MemoryMachine& m) {
         m.AddVolume(u"W:\\", u"NTFS", kFsSupportsReparsePoints, 9);
         m.ReportZeroIndexes(u"W:\\");
         m.AddFolder(u"W:\\t\\s");
       },
       u"\\\\?\\W:\\t\\", u"*.none", CallCounts{2, 4 + 3 + 3, 0, 2}},
      {"a folder behind a junction asks its own",
       [](MemoryMachine& m) {
         m.AddFolder(u"C:\\real");
         m.AddJunction(u"C:\\t\\j", u"C:\\real");
       },
       u"\\\\?\\C:\\t\\", u"*.none", CallCounts{2, 4 + 3 + 3, 0, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Walked walked = WalkOn(WindowsRelease::kWindows10v1709, c.build, c.folder, c.pattern);
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
