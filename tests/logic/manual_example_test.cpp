// The Windows example of the manual page, run on the in-memory machine: the
// page must show exactly this output (without the CRs), so that it cannot
// drift from what the program prints.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "memory_machine.h"
#include "run_fixture.h"

namespace quorrex::testing {
namespace {

constexpr const char* kWindowsExample =
    "Quorrex 1.0\r\n"
    "\rreparse point (directory mountpoint) C:\\Users\\me\\Documents\\old\n"
    " -> C:\\Archive\\Documents\n"
    "reparse point (volume mountpoint) C:\\Users\\me\\backup\n"
    " -> \\??\\Volume{6f2c0e1a-0000-0000-0000-100000000000}\\\n"
    "reparse point (symlink) C:\\Users\\me\\bin\\python.exe\n"
    " -> C:\\Python312\\python.exe\n"
    "group of 2 hard links:\r\n"
    " 1: C:\\Users\\me\\notes.txt\n"
    " 2: C:\\Users\\me\\Documents\\notes.txt\n"
    "\r\nsummary\r\n"
    "* 3 reparse points:\r\n"
    "  + 2 mount points:\r\n"
    "    - 1 volume mount point\r\n"
    "    - 1 directory junction point\r\n"
    "  + 1 symbolic link\r\n"
    "  + 0 app execute links\r\n"
    "  + 0 wof links\r\n"
    "  + 0 deduplication links\r\n"
    "  + 0 of other types\r\n"
    "* 1 hard link group\r\n";

TEST(ManualExample, WindowsProfileWithEveryCommonKind) {
  MemoryMachine machine;
  machine.stdoutIsConsole = false;
  machine.AddVolume(u"D:\\");
  machine.AddFolder(u"C:\\Archive\\Documents");
  machine.AddFile(u"C:\\Users\\me\\notes.txt");
  machine.AddHardLink(u"C:\\Users\\me\\notes.txt", u"C:\\Users\\me\\Documents\\notes.txt");
  machine.AddJunction(u"C:\\Users\\me\\Documents\\old", u"C:\\Archive\\Documents");
  machine.AddMountPoint(u"C:\\Users\\me\\backup",
                        u"\\??\\Volume{6f2c0e1a-0000-0000-0000-100000000000}\\", u"D:\\");
  machine.AddSymlink(u"C:\\Users\\me\\bin\\python.exe", u"C:\\Python312\\python.exe", false);

  const Outcome r = RunOn(machine, {u"C:\\Users\\me", u"-s"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, kWindowsExample);
}

#if defined(QUORREX_MANUAL) && !defined(_WIN32)
TEST(ManualExample, PageShowsTheWindowsExampleAsTheProgramPrintsIt) {
  std::ifstream in(QUORREX_MANUAL, std::ios::binary);
  ASSERT_TRUE(in) << QUORREX_MANUAL;
  std::stringstream page;
  page << in.rdbuf();
  // In roff a backslash is written \e and a minus sign \-.
  std::string roff;
  for (const char c : std::string(kWindowsExample)) {
    if (c == '\r') continue;
    if (c == '\\')
      roff += "\\e";
    else if (c == '-')
      roff += "\\-";
    else
      roff += c;
  }
  EXPECT_NE(page.str().find(roff), std::string::npos) << "the page should hold:\n" << roff;
}
#endif

}  // namespace
}  // namespace quorrex::testing
