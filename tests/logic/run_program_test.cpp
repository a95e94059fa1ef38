// Every way out of a run, byte for byte.
#include <gtest/gtest.h>

#include "run_fixture.h"

namespace quorrex::testing {
namespace {

class RunProgramTest : public ::testing::Test {
 protected:
  RunProgramTest() {
    machine.stdoutIsConsole = false;
    machine.AddFolder(u"C:\\data");
  }
  MemoryMachine machine;
};

TEST_F(RunProgramTest, NoArgumentPrintsBannerAndUsage) {
  const Outcome o = RunOn(machine, {});
  EXPECT_EQ(o.code, 1);
  EXPECT_EQ(o.out,
            "Quorrex 1.0 lists reparse points, symbolic links and hard links\r\n"
            "Usage:\r\nQuorrex FileSpec [-s]\r\n-s  recurse subdirs\r\n"
            "-1  print file names into one line by shortening\r\n\r\n");
  EXPECT_TRUE(machine.listingsOpened.empty());
  EXPECT_EQ(machine.sleeps, std::vector<uint32_t>{100});  // the exit pause, not its own window
}

TEST_F(RunProgramTest, TheConsoleInputModeIsGivenBackOnEveryWayOut) {
  // The mode belongs to the console shared with the shell: after the pause,
  // it is what the run found.
  const std::vector<std::vector<std::u16string>> ways = {
      {}, {u"C:\\data"}, {u"C:\\data", u"D:\\x"}, {u"C:\\nowhere"}};
  for (const bool own : {false, true}) {
    for (const auto& args : ways) {
      MemoryMachine m;
      m.stdoutIsConsole = false;
      m.stdinIsConsole = true;
      m.ownsConsoleWindow = own;
      m.inputAfterFlush = {{kKeyEvent, 'A', true}};
      m.stdinMode = 0x1E7;
      m.AddFolder(u"C:\\data");
      RunOn(m, args);
      ASSERT_FALSE(m.stdinModesSet.empty());
      EXPECT_EQ(m.stdinModesSet.back(), 0x1E7u);
      EXPECT_EQ(m.stdinMode, 0x1E7u);
      EXPECT_EQ(m.inputReads, own ? 1 : 0);
    }
  }
}

TEST_F(RunProgramTest, BannerShowsTheFirstTwoVersionPartsOrZero) {
  machine.fileVersionMS = 0x0003000C;
  EXPECT_EQ(RunOn(machine, {}).out.substr(0, 13), "Quorrex 3.12 ");
  MemoryMachine unversioned;
  unversioned.versionReadable = false;
  EXPECT_EQ(RunOn(unversioned, {}).out.substr(0, 12), "Quorrex 0.0 ");
}

TEST_F(RunProgramTest, CompletedRunOfAnEmptyFolder) {
  const Outcome o = RunOn(machine, {u"C:\\data"});
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.out, "Quorrex 1.0\r\n\r" + EmptySummary());
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(machine.hardenCalls, 1);
  EXPECT_TRUE(machine.criticalErrorsFail);
  EXPECT_EQ(machine.callsWithNoDiskBox, 0u);
}

TEST_F(RunProgramTest, SecondFileSpecEndsWithCodeTwo) {
  for (const auto& args : std::vector<std::vector<std::u16string>>{
           {u"C:\\data", u"D:\\other"},
           {u"C:\\data", u"-x"},   // a two-character non-option is a file spec
           {u"C:\\data", u"--s"},  // as is an option with two minus signs
           {u"C:\\data", u"/s"},
           {u"C:\\data", u"-sx"},  // longer than two characters: a file spec
           {u"C:\\data", u"-1.txt"}}) {
    MemoryMachine m;
    m.stdoutIsConsole = false;
    const Outcome o = RunOn(m, args);
    EXPECT_EQ(o.code, 2);
    EXPECT_EQ(o.out, "Quorrex 1.0\r\ninvalid parameter " +
                         std::string(args[1].begin(), args[1].end()) + "\r\n");
    EXPECT_EQ(m.sleeps, std::vector<uint32_t>{100});
  }
}

TEST_F(RunProgramTest, OptionsInAnyCaseAndPlaceAndAnEmptyFirstArgument) {
  machine.AddFolder(u"C:\\data\\sub");
  machine.AddFile(u"C:\\data\\sub\\a.txt");
  machine.AddHardLink(u"C:\\data\\sub\\a.txt", u"C:\\data\\sub\\b.txt");
  // -S after the file spec turns recursion on; the empty argument is taken
  // as a file spec without filling it, so the next one is still accepted.
  const Outcome o = RunOn(machine, {u"", u"C:\\data", u"-S"});
  EXPECT_EQ(o.code, 0);
  EXPECT_NE(o.out.find("* 1 hard link group\r\n"), std::string::npos) << o.out;
}

TEST_F(RunProgramTest, EachOptionSetsItsFlag) {
  struct Case {
    std::vector<std::u16string> args;
    bool recurse, oneLine;
  };
  const Case cases[] = {
      {{u"C:\\data", u"-s"}, true, false},
      {{u"C:\\data", u"-S"}, true, false},
      {{u"C:\\data", u"-r"}, true, false},
      {{u"C:\\data", u"-R"}, true, false},
      {{u"C:\\data", u"-1"}, false, true},
      {{u"C:\\data", u"-l"}, false, true},
      {{u"C:\\data", u"-L"}, false, true},
      {{u"-l", u"C:\\data", u"-r"}, true, true},
      {{u"C:\\data"}, false, false},
      // A name beginning with '-' is a file spec, not the option it starts like.
      {{u"-1.txt"}, false, false},
      {{u"-sx"}, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.args[0].begin(), c.args[0].end()) + " " +
                 std::string(c.args.back().begin(), c.args.back().end()));
    MemoryMachine m;
    m.stdoutIsConsole = false;
    m.currentFolder = u"C:\\data";
    m.AddFile(u"C:\\data\\-1.txt");
    std::vector<std::u16string> argv{u"quorrex.exe"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    quorrex::Run run(m);
    EXPECT_EQ(RunProgram(run, argv), 0);
    EXPECT_EQ(run.settings.recurse, c.recurse);
    EXPECT_EQ(run.console.oneLine, c.oneLine);
  }
}

TEST_F(RunProgramTest, OptionsAloneScanTheCurrentFolder) {
  machine.currentFolder = u"C:\\data";
  machine.AddFile(u"C:\\data\\x.txt");
  const Outcome o = RunOn(machine, {u"-s"});
  EXPECT_EQ(o.code, 0);
  ASSERT_FALSE(machine.listingsOpened.empty());
  EXPECT_EQ(machine.listingsOpened[0], u"\\\\?\\C:\\data\\*");
}

TEST_F(RunProgramTest, VolumeFailuresGoToStandardError) {
  machine.InjectError(Op::kVolumePath, u"\\\\?\\C:\\data\\", win::kPathNotFound);
  Outcome o = RunOn(machine, {u"C:\\data"});
  EXPECT_EQ(o.code, 5);
  EXPECT_EQ(o.out, "Quorrex 1.0\r\n");
  EXPECT_EQ(o.err, "volume is invalid -> abort\n");

  MemoryMachine m;
  m.stdoutIsConsole = false;
  m.AddFolder(u"C:\\data");
  m.InjectError(Op::kVolumeInfo, u"\\\\?\\C:\\", win::kNotReady);
  o = RunOn(m, {u"C:\\data"});
  EXPECT_EQ(o.code, 7);
  EXPECT_EQ(o.err, "volume is invalid -> abort\n");
}

TEST_F(RunProgramTest, DirNotRootAtTheRootItselfIsNotRetried) {
  MemoryMachine m;
  m.stdoutIsConsole = false;
  m.AddVolume(u"\\\\srv\\data\\", u"NTFS");
  m.AddFolder(u"\\\\srv\\data\\x");
  m.InjectError(Op::kVolumeInfo, u"\\\\srv\\data\\", win_error::kDirNotRoot);
  Outcome o = RunOn(m, {u"\\\\srv\\data\\x"});
  EXPECT_EQ(m.volumeQueries, (std::vector<std::u16string>{u"\\\\srv\\data\\"}));
  EXPECT_EQ(o.code, 7);
  EXPECT_EQ(o.err, "volume is invalid -> abort\n");

  // Any other error is not retried.
  MemoryMachine other;
  other.stdoutIsConsole = false;
  other.AddFolder(u"C:\\data");
  other.InjectError(Op::kVolumeInfo, u"\\\\?\\C:\\", win_error::kAccessDenied);
  EXPECT_EQ(RunOn(other, {u"C:\\data"}).code, 7);
  EXPECT_EQ(other.volumeQueries.size(), 1u);
}

// A system whose volume path stops short of the root, so that the volume
// query answers ERROR_DIR_NOT_ROOT.
class VolumePathShortOfTheRoot : public MemoryMachine {
 public:
  std::u16string volumePath = u"C:\\data\\";
  bool GetVolumePathName(const std::u16string&, std::u16string& volume) override {
    volume = volumePath;
    return true;
  }
};

TEST_F(RunProgramTest, DirNotRootRetryThatSucceedsGoesOn) {
  VolumePathShortOfTheRoot m;
  m.stdoutIsConsole = false;
  m.AddFolder(u"C:\\data");
  const Outcome o = RunOn(m, {u"C:\\data"});
  EXPECT_EQ(m.volumeQueries, (std::vector<std::u16string>{u"C:\\data\\", u"C:\\"}));
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.out, "Quorrex 1.0\r\n\r" + EmptySummary());
  EXPECT_EQ(o.err, "");
}

TEST_F(RunProgramTest, DirNotRootRetryAsksTheRootOfEachPathForm) {
  // The retry keeps the form of the volume path: the long form of a drive,
  // a share in long form, a volume name.
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"\\\\?\\C:\\data\\", u"\\\\?\\C:\\"},
      {u"\\\\?\\UNC\\srv\\share\\data\\", u"\\\\?\\UNC\\srv\\share\\"},
      {u"\\\\?\\Volume{5}\\data\\", u"\\\\?\\Volume{5}\\"},
  };
  for (const auto& [volumePath, root] : cases) {
    VolumePathShortOfTheRoot m;
    m.stdoutIsConsole = false;
    m.volumePath = volumePath;
    m.InjectError(Op::kVolumeInfo, volumePath, win_error::kDirNotRoot);
    m.AddFolder(u"C:\\data");
    RunOn(m, {u"C:\\data"});
    EXPECT_EQ(m.volumeQueries, (std::vector<std::u16string>{volumePath, root}));
  }
}

TEST_F(RunProgramTest, FileSystemWithoutReparsePoints) {
  MemoryMachine m;
  m.stdoutIsConsole = false;
  m.AddVolume(u"E:\\", u"FAT32", 0);
  m.AddFolder(u"E:\\photos");
  const Outcome o = RunOn(m, {u"E:\\photos"});
  EXPECT_EQ(o.code, 7);
  EXPECT_EQ(o.out,
            "Quorrex 1.0\r\nThe FAT32 file system does not support reparse points -> abort\r\n");
  EXPECT_EQ(o.err, "");
}

TEST_F(RunProgramTest, MissingFolderEndsWithCodeEleven) {
  const Outcome o = RunOn(machine, {u"C:\\nowhere\\*.txt"});
  EXPECT_EQ(o.code, 11);
  EXPECT_EQ(o.out, "Quorrex 1.0\r\nfolder not found -> abort\r\n");
}

TEST_F(RunProgramTest, StandardErrorOnAConsoleAndRedirectedOutputWidth) {
  machine.stderrIsConsole = true;
  machine.InjectError(Op::kVolumePath, u"\\\\?\\C:\\data\\", win::kPathNotFound);
  EXPECT_EQ(RunOn(machine, {u"C:\\data"}).err, "volume is invalid -> abort\n");

  MemoryMachine m;
  m.stdoutIsConsole = false;
  quorrex::Run run(m);
  RunProgram(run, {u"q", u"C:\\"});
  EXPECT_EQ(run.console.maxColumn, -1);
}

TEST_F(RunProgramTest, AbortStopsTheWalkAndEndsWithCodeThree) {
  for (int i = 0; i < 50; ++i) {
    machine.AddFile(u"C:\\data\\f" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) +
                    static_cast<char16_t>(u'0' + i / 26));
  }
  int seen = 0;
  machine.onEntry = [&](const std::u16string&) {
    if (++seen == 10) machine.RaiseCtrlEvent(kCtrlCEvent);
  };
  const Outcome o = RunOn(machine, {u"C:\\data"});
  EXPECT_EQ(o.code, 3);
  EXPECT_NE(o.out.find("\r\nCtrl+C pressed -> abort\r\n"), std::string::npos);
  EXPECT_NE(o.out.find("\r\nsummary\r\n"), std::string::npos);
  EXPECT_LT(seen, 15);
}

}  // namespace
}  // namespace quorrex::testing
