// Runs that name the system folders of a 32-bit program on 64-bit Windows,
// and a server folder whose paths are too long for the plain form.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_fixture.h"
#include "wow64_machine.h"

namespace quorrex::testing {
namespace {

// What a completed run writes to a file: the banner, `listing` and a summary
// with `groups` hard link groups.
std::string Completed(const std::string& listing, int groups) {
  std::string summary = EmptySummary();
  const std::string none = "* 0 hard link groups\r\n";
  summary.replace(
      summary.find(none), none.size(),
      "* " + std::to_string(groups) + " hard link group" + (groups == 1 ? "" : "s") + "\r\n");
  return "Quorrex 1.0\r\n\r" + listing + summary;
}

class Wow64Test : public ::testing::Test {
 protected:
  Wow64Test() {
    machine.stdoutIsConsole = false;
    machine.AddFile(u"C:\\Windows\\SysWOW64\\kernel32.dll");
    // OpenSSH exists in the 64-bit System32 alone.
    machine.AddFile(u"C:\\Windows\\System32\\OpenSSH\\ssh.exe");
    machine.AddHardLink(u"C:\\Windows\\System32\\OpenSSH\\ssh.exe",
                        u"C:\\Windows\\System32\\OpenSSH\\scp.exe");
  }
  Wow64Machine machine;
};

TEST_F(Wow64Test, TheMachineRedirectsSystem32WhileRedirectionIsOn) {
  const struct {
    const char16_t* path;
    bool foundWhileOn;
    bool foundWhileOff;
  } cases[] = {
      {u"C:\\Windows\\System32\\OpenSSH", false, true},
      {u"\\\\?\\c:\\windows\\system32\\OpenSSH", false, true},
      {u"C:\\Windows\\System32\\kernel32.dll", true, false},  // SysWOW64's, while on
      {u"C:\\Windows\\Sysnative\\OpenSSH", true, false},
      {u"C:\\Windows\\SysWOW64\\kernel32.dll", true, true},
  };
  for (const auto& c : cases) {
    const std::u16string path = c.path;
    SCOPED_TRACE(std::string(path.begin(), path.end()));
    EXPECT_EQ(machine.GetFileAttributes(path) != kInvalidFileAttributes, c.foundWhileOn);
    machine.BeginFileSystemWork();
    EXPECT_EQ(machine.GetFileAttributes(path) != kInvalidFileAttributes, c.foundWhileOff);
    machine.EndFileSystemWork();
  }
}

TEST_F(Wow64Test, TheNativeSystem32IsWalkedWhateverNamesIt) {
  const std::string group =
      "group of 2 hard links:\r\n 1: C:\\Windows\\System32\\OpenSSH\\ssh.exe\n"
      " 2: C:\\Windows\\System32\\OpenSSH\\scp.exe\n";
  const struct {
    std::vector<std::u16string> args;
  } cases[] = {
      // A folder of the 64-bit System32 alone: a folder, not a name pattern.
      {{u"C:\\Windows\\System32\\OpenSSH", u"-s"}},
      // Its files by pattern: the folder is found.
      {{u"C:\\Windows\\System32\\OpenSSH\\*.exe"}},
      // Sysnative stands for System32, which is the name printed.
      {{u"C:\\Windows\\Sysnative\\OpenSSH"}},
      {{u"c:\\windows\\SYSNATIVE", u"-s"}},
      {{u"\\\\?\\C:\\Windows\\Sysnative\\OpenSSH\\*"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.args[0].begin(), c.args[0].end()));
    machine.out.clear();
    const Outcome o = RunOn(machine, c.args);
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.out, Completed(group, 1));
  }
}

TEST(ServerPathsTest, AScanFolderBeyondThePlainFormsLimitIsListedAsGiven) {
  MemoryMachine machine;
  machine.stdoutIsConsole = false;
  machine.AddVolume(u"\\\\server\\share\\");
  std::u16string folder = u"\\\\server\\share";
  while (folder.size() < 300) folder += u"\\a-folder-with-a-long-name";
  machine.AddFile(folder + u"\\x.dll");
  machine.AddHardLink(folder + u"\\x.dll", folder + u"\\y.dll");
  const Outcome o = RunOn(machine, {folder});
  const std::string printed(folder.begin(), folder.end());
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.out, Completed("group of 2 hard links:\r\n 1: " + printed +
                                 "\\x.dll\n 2: " + printed + "\\y.dll\n",
                             1));
}

}  // namespace
}  // namespace quorrex::testing
