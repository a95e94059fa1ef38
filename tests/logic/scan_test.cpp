// The walk, the reparse point blocks and the hard-link groups, byte for byte
// as they reach a redirected standard output.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>

#include <string>
#include <vector>

#include "console/console_state.h"
#include "console/message.h"
#include "console/output_sink.h"
#include "memory_machine.h"
#include "reparse_bytes.h"
#include "run_fixture.h"
#include "scan/hard_link_groups.h"
#include "scan/reparse_report.h"
#include "scan/walker.h"

namespace quorrex::testing {
namespace {

using namespace std::literals;

class Scan : public ::testing::Test {
 protected:
  Scan() { machine.stdoutIsConsole = false; }

  // The walk and the group report after it, as written to a file.
  std::string Walk(std::u16string_view folder, std::u16string_view pattern, bool recurse) {
    run.settings.recurse = recurse;
    run.settings.walkWorkers = TestWorkers();
    WalkFolder(run.scan, folder, pattern);
    ReportHardLinkGroups(run.scan);
    FlushOutput(run.console);
    return machine.out;
  }

  MemoryMachine machine;
  quorrex::Run run{machine};
};

TEST_F(Scan, DirectoryJunctionIsReportedAndNotEntered) {
  machine.AddFile(u"C:\\target\\inner\\f.txt");
  machine.AddJunction(u"C:\\data\\link", u"C:\\target");

  EXPECT_EQ(Walk(u"\\\\?\\C:\\data\\", u"*", true),
            "reparse point (directory mountpoint) C:\\data\\link\n -> C:\\target\n");
  EXPECT_EQ(machine.reparseOpens, std::vector<std::u16string>{u"\\\\?\\C:\\data\\link"});
  EXPECT_EQ(machine.listingsOpened, std::vector<std::u16string>{u"\\\\?\\C:\\data\\*"});
  EXPECT_EQ(run.tallies.counters.reparsePoints, 1u);
  EXPECT_EQ(run.tallies.counters.mountPoints, 1u);
  EXPECT_EQ(run.tallies.counters.junctions, 1u);
  EXPECT_EQ(run.tallies.counters.volumeMountPoints, 0u);
}

TEST_F(Scan, EveryKindPrintsItsBlockAndCounts) {
  machine.AddVolume(u"D:\\");
  machine.AddMountPoint(u"C:\\data\\vol", u"\\??\\Volume{d1}\\", u"D:\\");
  machine.AddJunction(u"C:\\data\\jn", u"C:\\target");
  machine.AddSymlink(u"C:\\data\\ln.txt", u"..\\x.txt", false);
  std::vector<uint8_t> app{3, 0, 0, 0};
  const std::vector<uint8_t> strings = Utf16Bytes(u"Pkg\0App\0C:\\x.exe\0"sv);
  app.insert(app.end(), strings.begin(), strings.end());
  machine.AddReparsePoint(u"C:\\data\\app", RawReparseData(0x8000001B, app), false);
  machine.AddReparsePoint(
      u"C:\\data\\wof.bin",
      RawReparseData(0x80000017, {1, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}), false);
  machine.AddReparsePoint(u"C:\\data\\dedup.bin", RawReparseData(0x80000013, {}), false);
  machine.AddReparsePoint(u"C:\\data\\cloud", RawReparseData(0x9000701A, {}), false);
  machine.AddReparsePoint(u"C:\\data\\odd", RawReparseData(0x00001234, {}), false);

  EXPECT_EQ(Walk(u"\\\\?\\C:\\data\\", u"*", false),
            "reparse point (volume mountpoint) C:\\data\\vol\n -> \\??\\Volume{d1}\\\n"
            "reparse point (directory mountpoint) C:\\data\\jn\n -> C:\\target\n"
            "reparse point (symlink) C:\\data\\ln.txt\n -> ..\\x.txt\n"
            "reparse point (app exec link) C:\\data\\app\n -> Pkg\n -> App\n -> C:\\x.exe\n"
            "reparse point (wof compressed) C:\\data\\wof.bin\n -> version=1 algorithm=LZX\r\n"
            "reparse point (deduplicated) C:\\data\\dedup.bin\n"
            "reparse point unsupported Microsoft type IO_REPARSE_TAG_CLOUD_7\r\n"
            "reparse point unsupported type 0x00001234\r\n");
  const ScanCounters& c = run.tallies.counters;
  EXPECT_EQ(c.reparsePoints, 8u);
  EXPECT_EQ(c.mountPoints, 2u);
  EXPECT_EQ(c.volumeMountPoints, 1u);
  EXPECT_EQ(c.junctions, 1u);
  EXPECT_EQ(c.symbolicLinks, 1u);
  EXPECT_EQ(c.appExecLinks, 1u);
  EXPECT_EQ(c.wofLinks, 1u);
  EXPECT_EQ(c.dedupLinks, 1u);
}

// A tag with no payload: a deduplicated file, or one of a tag not decoded.
std::vector<uint8_t> Bare(uint32_t tag) {
  return RawReparseData(tag, {});
}

std::vector<uint8_t> Wof() {
  return RawReparseData(0x80000017, {1, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0});
}

std::vector<uint8_t> AppExec() {
  std::vector<uint8_t> app{3, 0, 0, 0};
  const std::vector<uint8_t> strings = Utf16Bytes(u"Pkg\0App\0C:\\x.exe\0"sv);
  app.insert(app.end(), strings.begin(), strings.end());
  return RawReparseData(0x8000001B, app);
}

// The summary block of whole runs, as counts other than 0 and 1 print it.
TEST(Summary, CountsWhatTheRunFound) {
  struct Case {
    const char* name;
    std::function<void(MemoryMachine&)> build;
    std::string summary;  // from its "summary" line on, without the CRs
  };
  const Case cases[] = {
      {"one junction: the singular forms",
       [](MemoryMachine& m) { m.AddJunction(u"C:\\data\\jn", u"C:\\target"); },
       "* 1 reparse point:\n  + 1 mount point:\n    - 0 volume mount points\n"
       "    - 1 directory junction point\n  + 0 symbolic links\n  + 0 app execute links\n"
       "  + 0 wof links\n  + 0 deduplication links\n  + 0 of other types\n"
       "* 0 hard link groups\n"},
      {"a volume mount point and a junction",
       [](MemoryMachine& m) {
         m.AddVolume(u"D:\\");
         m.AddMountPoint(u"C:\\data\\vol", u"\\??\\Volume{d1}\\", u"D:\\");
         m.AddJunction(u"C:\\data\\jn", u"C:\\target");
       },
       "* 2 reparse points:\n  + 2 mount points:\n    - 1 volume mount point\n"
       "    - 1 directory junction point\n  + 0 symbolic links\n  + 0 app execute links\n"
       "  + 0 wof links\n  + 0 deduplication links\n  + 0 of other types\n"
       "* 0 hard link groups\n"},
      {"only tags that are not decoded",
       [](MemoryMachine& m) {
         m.AddReparsePoint(u"C:\\data\\cloud", Bare(0x9000701A), false);
         m.AddReparsePoint(u"C:\\data\\odd", Bare(0x00001234), false);
         m.AddReparsePoint(u"C:\\data\\hsm", Bare(0xC0000004), true);
       },
       "* 3 reparse points:\n  + 0 mount points:\n    - 0 volume mount points\n"
       "    - 0 directory junction points\n  + 0 symbolic links\n  + 0 app execute links\n"
       "  + 0 wof links\n  + 0 deduplication links\n  + 3 of other types\n"
       "* 0 hard link groups\n"},
      {"every kind but mount points, each count different",
       [](MemoryMachine& m) {
         m.AddSymlink(u"C:\\data\\ln", u"t", false);
         m.AddReparsePoint(u"C:\\data\\app1", AppExec(), false);
         m.AddReparsePoint(u"C:\\data\\app2", AppExec(), false);
         for (const char16_t* name : {u"w1", u"w2", u"w3"}) {
           m.AddReparsePoint(u"C:\\data\\" + std::u16string(name), Wof(), false);
         }
         for (const char16_t* name : {u"d1", u"d2", u"d3", u"d4"}) {
           m.AddReparsePoint(u"C:\\data\\" + std::u16string(name), Bare(0x80000013), false);
         }
         m.AddReparsePoint(u"C:\\data\\odd", Bare(0x00001234), false);
         m.AddFile(u"C:\\data\\a");
         m.AddHardLink(u"C:\\data\\a", u"C:\\data\\a2");
         m.AddHardLink(u"C:\\data\\a", u"C:\\data\\a3");
         m.AddFile(u"C:\\data\\b");
         m.AddHardLink(u"C:\\data\\b", u"C:\\data\\b2");
       },
       "* 11 reparse points:\n  + 0 mount points:\n    - 0 volume mount points\n"
       "    - 0 directory junction points\n  + 1 symbolic link\n  + 2 app execute links\n"
       "  + 3 wof links\n  + 4 deduplication links\n  + 1 of other types\n"
       "* 2 hard link groups\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryMachine m;
    m.stdoutIsConsole = false;
    m.AddFolder(u"C:\\data");
    c.build(m);
    const Outcome o = RunOn(m, {u"C:\\data"});
    ASSERT_EQ(o.code, 0);
    std::string summary = o.out.substr(o.out.find("\r\nsummary\r\n") + 11);
    std::erase(summary, '\r');
    EXPECT_EQ(summary, c.summary);
  }
}

// The Windows example of the README, run whole; the README shows this
// output (without the CRs) after its command line.
TEST(Summary, ReadmeWindowsExample) {
  MemoryMachine m;
  m.stdoutIsConsole = false;
  m.AddVolume(u"E:\\");
  m.AddFolder(u"C:\\Users\\me");
  std::vector<uint8_t> app{4, 0, 0, 0};
  const std::vector<uint8_t> strings = Utf16Bytes(
      u"Microsoft.DesktopAppInstaller_8wekyb3d8bbwe\0"
      u"Microsoft.DesktopAppInstaller_8wekyb3d8bbwe!winget\0"
      u"C:\\Program Files\\WindowsApps\\Microsoft.DesktopAppInstaller_1.21.3482.0_x64__"
      u"8wekyb3d8bbwe\\winget.exe\0"
      u"0\0"sv);
  app.insert(app.end(), strings.begin(), strings.end());
  m.AddReparsePoint(u"C:\\Users\\me\\AppData\\Local\\Microsoft\\WindowsApps\\winget.exe",
                    RawReparseData(0x8000001B, app), false);
  m.AddJunction(u"C:\\Users\\me\\Application Data", u"C:\\Users\\me\\AppData\\Roaming");
  m.AddMountPoint(u"C:\\Users\\me\\Backup", u"\\??\\Volume{6f2c0e1a-0000-0000-0000-100000000000}\\",
                  u"E:\\");
  m.AddFile(u"C:\\Users\\me\\Documents\\notes.txt");
  m.AddJunction(u"C:\\Users\\me\\Documents\\old", u"C:\\Archive\\Documents");
  m.AddSymlink(u"C:\\Users\\me\\Documents\\todo.txt", u"notes.txt", false);
  m.AddReparsePoint(u"C:\\Users\\me\\Tools\\putty.exe", Wof(), false);
  m.AddHardLink(u"C:\\Users\\me\\Documents\\notes.txt", u"C:\\Users\\me\\Tools\\notes.txt");

  const Outcome o = RunOn(m, {u"C:\\Users\\me", u"-s"});
  std::string out = o.out;
  std::erase(out, '\r');
  const std::string expected =
      "Quorrex 1.0\n"
      "reparse point (app exec link) "
      "C:\\Users\\me\\AppData\\Local\\Microsoft\\WindowsApps\\winget.exe\n"
      " -> Microsoft.DesktopAppInstaller_8wekyb3d8bbwe\n"
      " -> Microsoft.DesktopAppInstaller_8wekyb3d8bbwe!winget\n"
      " -> C:\\Program Files\\WindowsApps\\"
      "Microsoft.DesktopAppInstaller_1.21.3482.0_x64__8wekyb3d8bbwe\\winget.exe\n"
      " -> 0\n"
      "reparse point (directory mountpoint) C:\\Users\\me\\Application Data\n"
      " -> C:\\Users\\me\\AppData\\Roaming\n"
      "reparse point (volume mountpoint) C:\\Users\\me\\Backup\n"
      " -> \\??\\Volume{6f2c0e1a-0000-0000-0000-100000000000}\\\n"
      "reparse point (directory mountpoint) C:\\Users\\me\\Documents\\old\n"
      " -> C:\\Archive\\Documents\n"
      "reparse point (symlink) C:\\Users\\me\\Documents\\todo.txt\n"
      " -> notes.txt\n"
      "reparse point (wof compressed) C:\\Users\\me\\Tools\\putty.exe\n"
      " -> version=1 algorithm=XPRESS4K\n"
      "group of 2 hard links:\n"
      " 1: C:\\Users\\me\\Documents\\notes.txt\n"
      " 2: C:\\Users\\me\\Tools\\notes.txt\n"
      "\nsummary\n"
      "* 6 reparse points:\n"
      "  + 3 mount points:\n"
      "    - 1 volume mount point\n"
      "    - 2 directory junction points\n"
      "  + 1 symbolic link\n"
      "  + 1 app execute link\n"
      "  + 1 wof link\n"
      "  + 0 deduplication links\n"
      "  + 0 of other types\n"
      "* 1 hard link group\n";
  EXPECT_EQ(out, expected);
#if defined(QUORREX_README) && !defined(_WIN32)
  std::ifstream in(QUORREX_README, std::ios::binary);
  ASSERT_TRUE(in) << QUORREX_README;
  std::stringstream readme;
  readme << in.rdbuf();
  EXPECT_NE(readme.str().find("C:\\>quorrex C:\\Users\\me -s\n" + expected + "```\n"),
            std::string::npos)
      << "the README should show:\n"
      << expected;
#endif
}

TEST_F(Scan, PointsThatCannotBeReadAreNotCounted) {
  machine.AddSymlink(u"C:\\data\\a", u"t", false);
  machine.AddSymlink(u"C:\\data\\b", u"t", false);
  machine.AddSymlink(u"C:\\data\\c", u"t", false);
  machine.InjectError(Op::kReparseOpen, u"C:\\data\\a", win::kAccessDenied);
  machine.InjectError(Op::kReparseOpen, u"C:\\data\\b", win::kSharingViolation);
  machine.InjectError(Op::kReparseQuery, u"C:\\data\\c", win::kInvalidFunction);

  EXPECT_EQ(Walk(u"\\\\?\\C:\\data\\", u"*", false),
            "error ACCESS_DENIED opening reparse point C:\\data\\a\n"
            "error SHARING_VIOLATION opening reparse point C:\\data\\b\n");
  EXPECT_EQ(run.tallies.counters.reparsePoints, 0u);
  EXPECT_EQ(run.tallies.counters.symbolicLinks, 0u);
}

TEST_F(Scan, OpenNameAndPrintedPathFollowThePathForm) {
  machine.AddVolume(u"\\\\server\\share\\");
  machine.AddVolume(u"\\\\?\\Volume{v1}\\");
  struct Case {
    std::u16string path, opened;
    std::string printed;
  };
  const Case cases[] = {
      {u"\\\\?\\C:\\d\\x", u"\\\\?\\C:\\d\\x", "C:\\d\\x"},
      {u"C:\\d\\y", u"\\\\?\\C:\\d\\y", "C:\\d\\y"},
      {u"\\\\server\\share\\x", u"\\\\server\\share\\x", "\\\\server\\share\\x"},
      {u"\\\\?\\UNC\\server\\share\\y", u"\\\\?\\UNC\\server\\share\\y",
       "\\\\?\\UNC\\server\\share\\y"},
      {u"\\\\?\\Volume{v1}\\x", u"\\\\?\\Volume{v1}\\x", "\\\\?\\Volume{v1}\\x"},
  };
  for (const Case& c : cases) {
    machine.AddSymlink(c.path, u"t", false);
    machine.out.clear();
    machine.reparseOpens.clear();
    InspectReparsePoint(run.scan, EntryRef{c.path, nullptr, {}});
    FlushOutput(run.console);
    EXPECT_EQ(machine.reparseOpens, std::vector<std::u16string>{c.opened});
    EXPECT_EQ(machine.out, "reparse point (symlink) " + c.printed + "\n -> t\n");
  }
}

TEST_F(Scan, TokenIsOpenedOnceAndRetriedWhileItFails) {
  machine.AddFile(u"C:\\data\\plain.txt");
  Walk(u"\\\\?\\C:\\data\\", u"*", false);
  EXPECT_EQ(machine.tokenOpenCalls, 0);

  for (char16_t c = u'a'; c <= u'e'; ++c) {
    machine.AddSymlink(std::u16string(u"C:\\data\\") + c, u"t", false);
  }
  machine.tokenOpenFailures = 2;
  machine.adjustPrevious = {1, {17, 0}, 0x1};  // enabled by default, as it was
  machine.adjustPreviousLength = 16;
  Walk(u"\\\\?\\C:\\data\\", u"*", false);
  EXPECT_EQ(run.tallies.counters.symbolicLinks, 5u);
  EXPECT_EQ(machine.tokenOpenCalls, 3);
  EXPECT_EQ(machine.tokenOpens, 1);
  EXPECT_EQ(machine.tokenCloses, 1);
  // Switched off and reported, then switched on with its other bits kept.
  ASSERT_EQ(machine.adjusts.size(), 2u);
  EXPECT_EQ(machine.adjusts[0].newState.privilegeCount, 1u);
  EXPECT_EQ(machine.adjusts[0].newState.luid.lowPart, 17u);
  EXPECT_EQ(machine.adjusts[0].newState.attributes, 0u);
  EXPECT_EQ(machine.adjusts[0].bufferLength, 16u);
  EXPECT_TRUE(machine.adjusts[0].wantsPrevious);
  EXPECT_EQ(machine.adjusts[1].newState.luid.lowPart, 17u);
  EXPECT_EQ(machine.adjusts[1].newState.attributes, 0x3u);
  EXPECT_EQ(machine.adjusts[1].bufferLength, 16u);
  EXPECT_FALSE(machine.adjusts[1].wantsPrevious);
}

TEST_F(Scan, PrivilegeThatCannotBeHadIsLeftAlone) {
  machine.AddSymlink(u"C:\\data\\a", u"t", false);
  machine.AddSymlink(u"C:\\data\\b", u"t", false);
  machine.adjustError = win::kNotAllAssigned;
  Walk(u"\\\\?\\C:\\data\\", u"*", false);
  EXPECT_EQ(machine.adjustCalls, 1);
  EXPECT_EQ(machine.tokenOpenCalls, 1);
  EXPECT_EQ(machine.tokenCloses, 1);
  EXPECT_EQ(run.tallies.counters.symbolicLinks, 2u);
}

// The pattern picks entries in every folder; folders are entered whatever
// their names, matching reparse points never.
class PatternTree : public Scan {
 protected:
  PatternTree() {
    machine.AddFile(u"C:\\target\\t.dll");
    machine.AddFile(u"C:\\data\\a.dll");
    machine.AddJunction(u"C:\\data\\jn.dll", u"C:\\target");
    machine.AddJunction(u"C:\\data\\lnk", u"C:\\target");
    machine.AddFolder(u"C:\\data\\sub");
    machine.AddFolder(u"C:\\data\\folder.dll");
    machine.AddHardLink(u"C:\\data\\a.dll", u"C:\\data\\sub\\b.dll");
    machine.AddHardLink(u"C:\\data\\a.dll", u"C:\\other\\c.dll");  // outside the scan
    machine.AddFile(u"C:\\data\\sub\\readme.txt");
    machine.AddHardLink(u"C:\\data\\sub\\readme.txt", u"C:\\data\\sub\\readme2.txt");
    machine.AddSymlink(u"C:\\data\\sub\\sym.dll", u"\\??\\C:\\data\\a.dll", false);
    machine.AddHardLink(u"C:\\target\\t.dll", u"C:\\data\\sub\\t2.dll");
    machine.AddFile(u"C:\\data\\folder.dll\\inner.dll");
  }
};

TEST_F(PatternTree, WithoutRecursion) {
  EXPECT_EQ(Walk(u"\\\\?\\C:\\data\\", u"*.dll", false),
            "reparse point (directory mountpoint) C:\\data\\jn.dll\n -> C:\\target\n"
            "group of 3 hard links:\r\n 1: C:\\data\\a.dll\n");
  EXPECT_EQ(run.tallies.counters.hardLinkGroups, 1u);
  EXPECT_EQ(machine.listingsOpened.size(), 1u);
}

TEST_F(PatternTree, WithRecursion) {
  EXPECT_EQ(Walk(u"\\\\?\\C:\\data\\", u"*.dll", true),
            "reparse point (directory mountpoint) C:\\data\\jn.dll\n -> C:\\target\n"
            "reparse point (symlink) C:\\data\\sub\\sym.dll\n -> C:\\data\\a.dll\n"
            "group of 3 hard links:\r\n 1: C:\\data\\a.dll\n 2: C:\\data\\sub\\b.dll\n"
            "group of 2 hard links:\r\n 1: C:\\data\\lnk\\t.dll\n 2: C:\\data\\sub\\t2.dll\n");
  EXPECT_EQ(run.tallies.counters.hardLinkGroups, 2u);
  EXPECT_EQ(run.tallies.counters.reparsePoints, 2u);
  EXPECT_TRUE(run.tallies.hardLinks.empty());
}

TEST_F(Scan, ReFsIndexesThatShareTheirLowerHalfStayApart) {
  // ReFS: 128-bit indexes. Two unrelated files whose lower 64 bits coincide
  // are two groups, not one group of four.
  machine.AddVolume(u"R:\\", u"ReFS", kFsSupportsReparsePoints, 7);
  auto a = machine.AddFile(u"R:\\a");
  machine.AddHardLink(u"R:\\a", u"R:\\a2");
  auto b = machine.AddFile(u"R:\\b");
  machine.AddHardLink(u"R:\\b", u"R:\\b2");
  b->index = a->index;
  b->indexUpper = 1;
  EXPECT_EQ(Walk(u"\\\\?\\R:\\", u"*", false),
            "group of 2 hard links:\r\n 1: R:\\a\n 2: R:\\a2\n"
            "group of 2 hard links:\r\n 1: R:\\b\n 2: R:\\b2\n");
}

TEST(UnknownIdentities, SkipNoFolderAndGroupNothing) {
  // Some redirectors and user-mode file systems report index 0 for every
  // file and folder, and a file system that cannot give an ID reports all
  // ones, 64 or 128 bits wide: no two of them are known to be one.
  constexpr uint64_t kOnes = ~uint64_t{0};
  const std::pair<uint64_t, uint64_t> unknown[] = {{0, 0}, {kOnes, 0}, {kOnes, kOnes}};
  for (const auto& [index, upper] : unknown) {
    SCOPED_TRACE(std::to_string(index) + ":" + std::to_string(upper));
    MemoryMachine machine;
    machine.stdoutIsConsole = false;
    machine.AddVolume(u"W:\\", u"NTFS", kFsSupportsReparsePoints, 9);
    machine.ReportZeroIndexes(u"W:\\", index, upper);
    machine.AddFile(u"W:\\p\\a\\x.dll")->linkCount = 2;
    machine.AddFile(u"W:\\p\\b\\y.dll")->linkCount = 2;
    machine.AddFile(u"W:\\p\\a\\z.dll");
    machine.AddHardLink(u"W:\\p\\a\\z.dll", u"W:\\p\\b\\z.dll");
    const Outcome o = RunOn(machine, {u"\\\\?\\W:\\p\\*.dll", u"-s"});
    EXPECT_EQ(o.out.find("skip folder"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("group of 2 hard links:\r\n 1: W:\\p\\a\\x.dll\n"
                         "group of 2 hard links:\r\n 1: W:\\p\\a\\z.dll\n"
                         "group of 2 hard links:\r\n 1: W:\\p\\b\\y.dll\n"
                         "group of 2 hard links:\r\n 1: W:\\p\\b\\z.dll\n"),
              std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find("* 4 hard link groups"), std::string::npos);
  }
}

TEST_F(Scan, FolderNestedTooDeepIsSkippedAtDepth1024) {
  std::u16string deep = u"C:\\deep";
  for (int i = 0; i < 1100; ++i) deep += u"\\d";
  machine.AddFolder(deep);
  EXPECT_EQ(Walk(u"\\\\?\\C:\\deep\\", u"*", true),
            "path nested too deep (max 1024) -> skip folder d\r\n");
  EXPECT_EQ(machine.listingsOpened.size(), 1025u);
}

TEST_F(Scan, FolderThatCannotBeListed) {
  machine.AddVolume(u"\\\\server\\share\\");
  machine.AddFolder(u"C:\\data\\locked");
  machine.AddFolder(u"\\\\server\\share\\dir\\locked");
  machine.InjectError(Op::kOpenListing, u"C:\\data\\locked", win::kAccessDenied);
  machine.InjectError(Op::kOpenListing, u"\\\\server\\share\\dir\\locked", win::kNotReady);
  machine.InjectError(Op::kOpenListing, u"C:\\gone", win::kPathNotFound);
  Walk(u"\\\\?\\C:\\data\\", u"*", true);
  Walk(u"\\\\server\\share\\dir\\", u"*", true);
  Walk(u"\\\\?\\C:\\gone\\", u"*", true);
  EXPECT_EQ(machine.out,
            "error ACCESS_DENIED opening 'C:\\data\\locked\\*'\r\n"
            "error NOT_READY opening '\\\\server\\share\\dir\\locked\\*'\r\n"
            "error PATH_NOT_FOUND opening 'C:\\gone\\*'\r\n");
}

TEST_F(Scan, ListingThatFailsPartWayEndsThatFolderOnly) {
  machine.AddSymlink(u"C:\\data\\sub\\one", u"t", false);
  machine.AddSymlink(u"C:\\data\\sub\\two", u"t", false);
  machine.AddSymlink(u"C:\\data\\three", u"t", false);
  machine.FailListingAfter(u"C:\\data\\sub", 3);  // ".", ".." and "one"
  Walk(u"\\\\?\\C:\\data\\", u"*", true);
  EXPECT_EQ(machine.reparseOpens,
            (std::vector<std::u16string>{u"\\\\?\\C:\\data\\sub\\one", u"\\\\?\\C:\\data\\three"}));
}

TEST_F(Scan, FilesOfTwoVolumesWithOneIndexAreNoGroup) {
  machine.AddVolume(u"D:\\");
  machine.AddFile(u"C:\\data\\x.dll")->index = 0x42;
  machine.AddMountPoint(u"C:\\data\\mnt", u"\\??\\Volume{d1}\\", u"D:\\");
  machine.AddFile(u"D:\\y.dll")->index = 0x42;
  machine.Find(u"C:\\data\\x.dll")->linkCount = 2;
  machine.Find(u"D:\\y.dll")->linkCount = 2;
  EXPECT_EQ(Walk(u"\\\\?\\C:\\data\\", u"*.dll", true),
            "group of 2 hard links:\r\n 1: C:\\data\\x.dll\n"
            "group of 2 hard links:\r\n 1: C:\\data\\mnt\\y.dll\n");
  EXPECT_EQ(run.tallies.counters.hardLinkGroups, 2u);
}

TEST_F(Scan, LinkBackToAParentIsNotEnteredAgain) {
  // Should a revisit rule ever fail, the walk is stopped rather than left to
  // run through the exponential tree (and the output then differs).
  InitConsoleState(run.console);
  int entries = 0;
  machine.onEntry = [&](const std::u16string&) {
    if (++entries == 100000) machine.RaiseCtrlEvent(kCtrlCEvent);
  };
  machine.AddFile(u"C:\\data\\sub\\f.dll");
  machine.AddHardLink(u"C:\\data\\sub\\f.dll", u"C:\\data\\g.txt");
  machine.AddJunction(u"C:\\data\\sub\\back", u"C:\\data");
  machine.AddJunction(u"C:\\data\\sib", u"C:\\data\\sub");
  machine.AddJunction(u"C:\\data\\sub\\here", u"C:\\data\\sub");
  EXPECT_EQ(Walk(u"\\\\?\\C:\\data\\", u"*.dll", true),
            "folder loops back to a parent -> skip folder back\r\n"
            "folder loops back to a parent -> skip folder here\r\n"
            "folder already walked -> skip folder sib\r\n"
            "group of 2 hard links:\r\n 1: C:\\data\\sub\\f.dll\n");

  // The depth rule comes first: the same links in a folder at the deepest
  // level listed.
  std::u16string deep = u"C:\\deep";
  for (int32_t depth = 1; depth < kMaxDepth; ++depth) deep += u"\\d";
  deep += u"\\sub";
  machine.AddFolder(deep);
  machine.AddJunction(deep + u"\\back", u"C:\\deep");
  machine.AddJunction(deep + u"\\here", deep);
  machine.out.clear();
  Walk(u"\\\\?\\C:\\deep", u"none", true);
  EXPECT_EQ(machine.out,
            "path nested too deep (max 1024) -> skip folder back\r\n"
            "path nested too deep (max 1024) -> skip folder here\r\n");
}

TEST_F(Scan, EachFolderIsWalkedOnce) {
  InitConsoleState(run.console);
  int entries = 0;
  machine.onEntry = [&](const std::u16string&) {
    if (++entries == 100000) machine.RaiseCtrlEvent(kCtrlCEvent);
  };
  struct Case {
    const char* name;
    std::function<void()> build;
    const char16_t* folder;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"nine folders, each linked to all the others",
       [&] {
         for (int i = 0; i < 9; ++i) {
           for (int j = 0; j < 9; ++j) {
             if (i == j) continue;
             machine.AddJunction(
                 U(std::string("C:\\nine\\f") + std::to_string(i) + "\\to" + std::to_string(j)),
                 U(std::string("C:\\nine\\f") + std::to_string(j)));
           }
         }
       },
       u"C:\\nine",
       [] {
         // f0 is entered; its link to f1 walks f1, whose link back to f0
         // loops, and so on down the chain f0 -> f1 -> ... -> f8; on the way
         // back up every further link finds its folder walked.
         std::string out;
         std::function<void(int)> walk = [&](int depth) {
           for (int j = 0; j < 9; ++j) {
             const std::string to = std::string("skip folder to") + std::to_string(j) + "\r\n";
             if (j < depth) out += "folder loops back to a parent -> " + to;
             if (j == depth + 1) walk(j);
             if (j > depth + 1) out += "folder already walked -> " + to;
           }
         };
         walk(0);
         for (int i = 1; i < 9; ++i) {
           out +=
               std::string("folder already walked -> skip folder f") + std::to_string(i) + "\r\n";
         }
         return out;
       }()},
      {"a link above the scan folder",
       [&] {
         machine.AddFile(u"C:\\top\\x.dll")->linkCount = 2;
         machine.AddJunction(u"C:\\top\\scan\\up", u"C:\\top");
       },
       u"C:\\top\\scan",
       "folder loops back to a parent -> skip folder scan\r\n"
       "group of 2 hard links:\r\n 1: C:\\top\\scan\\up\\x.dll\n"},
      {"one file reached through a link and through its folder",
       [&] {
         machine.AddFile(u"C:\\two\\real\\y.dll");
         machine.AddHardLink(u"C:\\two\\real\\y.dll", u"C:\\other\\y.dll");
         machine.AddJunction(u"C:\\two\\a-link", u"C:\\two\\real");
       },
       u"C:\\two",
       "folder already walked -> skip folder a-link\r\n"
       "group of 2 hard links:\r\n 1: C:\\two\\real\\y.dll\n"},
      {"a link to the folder it stands in",
       [&] { machine.AddJunction(u"C:\\self\\here", u"C:\\self"); }, u"C:\\self",
       "folder loops back to a parent -> skip folder here\r\n"},
      {"two ReFS folders whose indexes share their lower half",
       [&] {
         machine.AddVolume(u"R:\\", u"ReFS", kFsSupportsReparsePoints, 7);
         auto a = machine.AddFolder(u"R:\\refs\\a");
         auto b = machine.AddFolder(u"R:\\refs\\b");
         b->index = a->index;
         b->indexUpper = 1;
         machine.AddFile(u"R:\\refs\\a\\x.dll")->linkCount = 2;
         machine.AddFile(u"R:\\refs\\b\\y.dll")->linkCount = 2;
       },
       u"R:\\refs",
       "group of 2 hard links:\r\n 1: R:\\refs\\a\\x.dll\n"
       "group of 2 hard links:\r\n 1: R:\\refs\\b\\y.dll\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    machine.out.clear();
    c.build();
    EXPECT_EQ(Walk(c.folder, u"*.dll", true), c.expected);
    EXPECT_FALSE(run.AbortRequested());
  }
}

TEST_F(Scan, CtrlCStopsTheWalkBeforeTheNextEntry) {
  InitConsoleState(run.console);
  machine.AddSymlink(u"C:\\data\\one", u"t", false);
  machine.AddSymlink(u"C:\\data\\sub\\two", u"t", false);
  machine.AddFile(u"C:\\data\\sub\\stop");
  machine.AddSymlink(u"C:\\data\\sub\\three", u"t", false);
  machine.AddSymlink(u"C:\\data\\later\\four", u"t", false);
  machine.onEntry = [this](const std::u16string& name) {
    if (name == u"stop") machine.RaiseCtrlEvent(kCtrlCEvent);
  };
  Walk(u"\\\\?\\C:\\data\\", u"*", true);
  EXPECT_TRUE(run.AbortRequested());
  // A folder is listed whole before its entries are handled: the request
  // came while `sub` was listed, before `two` was handled. A reader may list
  // `sub` before the walk has handled `one`, so `one` is only certain to be
  // read by a lone walk.
  const std::vector<std::u16string> one = {u"\\\\?\\C:\\data\\one"};
  if (TestWorkers() == 1) {
    EXPECT_EQ(machine.reparseOpens, one);
    EXPECT_EQ(machine.listingsOpened.size(), 2u);
  } else if (!machine.reparseOpens.empty()) {
    EXPECT_EQ(machine.reparseOpens, one);
  }
}

// A POSIX system: paths joined with "/", opened and printed whole.
class PosixMachine : public MemoryMachine {
 public:
  PathStyle Style() const override { return PathStyle::kPosix; }
};

TEST(PosixScan, PathsPrintWhole) {
  PosixMachine machine;
  machine.stdoutIsConsole = false;
  machine.AddVolume(u"\\");
  machine.AddSymlink(u"\\srv\\ln", u"../x", false);
  machine.AddFile(u"\\srv\\d\\f");
  machine.AddHardLink(u"\\srv\\d\\f", u"\\srv\\g");
  quorrex::Run run(machine);
  run.settings.recurse = true;
  WalkFolder(run.scan, u"/srv", u"*");
  AddHardLink(run.scan, 2, FileId{1, 9}, u"/a?b");
  // Counts of every width.
  AddHardLink(run.scan, 10, FileId{1, 10}, u"/ten");
  AddHardLink(run.scan, 4294967295u, FileId{1, 11}, u"/most");
  ReportHardLinkGroups(run.scan);
  FlushOutput(run.console);
  EXPECT_EQ(machine.out,
            "reparse point (symlink) /srv/ln\n -> ../x\n"
            "group of 2 hard links:\n 1: /srv/d/f\n 2: /srv/g\n"
            "group of 2 hard links:\n 1: /a?b\n"
            "group of 10 hard links:\n 1: /ten\n"
            "group of 4294967295 hard links:\n 1: /most\n");
  EXPECT_EQ(machine.reparseOpens, std::vector<std::u16string>{u"/srv/ln"});
  EXPECT_EQ(machine.listingsOpened, (std::vector<std::u16string>{u"/srv/*", u"/srv/d/*"}));
}

// A mount point is shown by its substitute name on Windows, whatever its
// print name; where paths are the system's own, by its print name, which
// the POSIX platform fills with the volume's source and type.
TEST(PosixScan, MountPointsShowTheirPrintNameOnlyThere) {
  struct Case {
    std::u16string substitute, print;
    const char* kind;
    const char* windows;
    const char* posix;
  };
  const Case cases[] = {
      {u"\\??\\Volume{0:40}\\", u"scratch (tmpfs)", "volume", "\\??\\Volume{0:40}\\",
       "scratch (tmpfs)"},
      {u"\\??\\/srv/real", u"/srv/real", "directory", "/srv/real", "/srv/real"},
      {u"\\??\\C:\\t", u"elsewhere", "directory", "C:\\t", "elsewhere"},
      {u"\\??\\Volume{x}\\", u"", "volume", "\\??\\Volume{x}\\", "\\??\\Volume{x}\\"},
  };
  for (const Case& c : cases) {
    MemoryMachine windows;
    PosixMachine posix;
    for (MemoryMachine* machine : {&windows, static_cast<MemoryMachine*>(&posix)}) {
      const bool onPosix = machine == &posix;
      machine->stdoutIsConsole = false;
      if (onPosix) machine->AddVolume(u"\\");
      machine->AddReparsePoint(onPosix ? u"\\srv\\m" : u"C:\\srv\\m",
                               MountPointData(c.substitute, c.print), true);
      quorrex::Run run(*machine);
      WalkFolder(run.scan, onPosix ? u"/srv" : u"C:\\srv", u"*");
      FlushOutput(run.console);
      EXPECT_EQ(machine->out, "reparse point ("s + c.kind + " mountpoint) " +
                                  (onPosix ? "/srv/m" : "C:\\srv\\m") + "\n -> " +
                                  (onPosix ? c.posix : c.windows) + "\n");
    }
  }
}

}  // namespace
}  // namespace quorrex::testing
