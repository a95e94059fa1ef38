// The text of the status line for a given width: the counts always, the
// folder as far as it fits and never a control character of it, never as
// wide as the console.
#include <gtest/gtest.h>

#include <string>

#include "console/display_text.h"
#include "console/path_line.h"
#include "console/status_line.h"
#include "memory_machine.h"
#include "run/run_state.h"
#include "scan/walker.h"

namespace quorrex::testing {
namespace {

// A terminal that counts two columns for a CJK ideograph.
class TerminalMachine : public MemoryMachine {
 public:
  int ColumnsOf(char32_t c) override { return c >= 0x4E00 && c <= 0x9FFF ? 2 : 1; }
};

struct TextCase {
  const char* name;
  uint64_t folders, entries, reparsePoints, candidates;
  std::u16string folder;
  int32_t width;
  std::u16string expected;
};

TEST(StatusLineText, CountsThenTheFolderAsFarAsItFits) {
  const std::u16string counts = u"3 folders 40 entries 2 reparse 5 multi-link";
  const std::u16string walked = u"3 folders 40 entries";
  const TextCase cases[] = {
      {"wide console: the whole folder", 3, 40, 2, 5, u"C:\\data\\sub", 120,
       counts + u" | C:\\data\\sub"},
      {"the long-path prefix of a drive path is not shown", 3, 40, 2, 5, u"\\\\?\\C:\\data\\sub",
       120, counts + u" | C:\\data\\sub"},
      {"a long UNC form stays whole", 3, 40, 2, 5, u"\\\\?\\UNC\\srv\\share", 120,
       counts + u" | \\\\?\\UNC\\srv\\share"},
      {"a long folder is shortened in the middle to the last column but one", 3, 40, 2, 5,
       u"/srv/a-rather-long-folder-name/and/deeper/still/leaf", 70,
       counts + u" | /srv/a-ra.../still/leaf"},
      {"control characters of a name show as '?'", 3, 40, 2, 5,
       u"/srv/x\x1b]2;PWNED\x07\x1b[41m\x9b\x7f", 120, counts + u" | /srv/x?]2;PWNED??[41m??"},
      {"wide characters are fitted by the columns they take", 3, 40, 2, 5,
       u"/srv/" + std::u16string(30, u'\u4E2D'), 70,
       counts + u" | /srv/\u4E2D\u4E2D..." + std::u16string(5, u'\u4E2D')},
      {"no room beside all four counts: the walk's two and the folder", 3, 40, 2, 5, u"/srv/data",
       55, walked + u" | /srv/data"},
      {"no room for a folder at all: the counts alone", 3, 40, 2, 5, u"/srv/data", 32, walked},
      {"narrower than the counts: cut, never wrapped", 3, 40, 2, 5, u"/srv", 15, u"3 folders 40 e"},
      {"one of each takes the singular", 1, 1, 1, 1, u"", 120,
       u"1 folder 1 entry 1 reparse 1 multi-link"},
      {"nothing yet", 0, 0, 0, 0, u"", 120, u"0 folders 0 entries 0 reparse 0 multi-link"},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.name);
    TerminalMachine machine;
    quorrex::Run run(machine);
    run.console.statusLine.enabled = true;
    run.console.statusLine.folders = c.folders;
    run.console.statusLine.entries = c.entries;
    run.console.statusLine.reparsePoints = c.reparsePoints;
    run.console.statusLine.linkCandidates = c.candidates;
    if (!c.folder.empty()) run.console.statusLine.EnterFolder(c.folder);
    run.console.statusLine.folders = c.folders;  // EnterFolder counts one
    const std::u16string text = StatusLineText(run.console.statusLine, run.platform, c.width);
    EXPECT_EQ(text, c.expected);
    EXPECT_LT(DisplayColumns(run.platform, text), c.width);
  }
}

TEST(StatusLineText, CountsTakeFourCharactersAtMostRoundedDown) {
  const struct {
    uint64_t count;
    const char16_t* shown;
  } cases[] = {
      {0, u"0"},
      {9999, u"9999"},
      {10000, u"10k"},
      {114854, u"114k"},
      {999999, u"999k"},
      {1000000, u"1.0M"},
      {9999999, u"9.9M"},
      {10000000, u"10M"},
      {999999999, u"999M"},
      {1000000000, u"1.0G"},
      {12345678901, u"12G"},
  };
  for (const auto& c : cases) {
    MemoryMachine machine;
    StatusLineState line;
    line.enabled = true;
    line.entries = c.count;
    EXPECT_EQ(StatusLineText(line, machine, 200),
              u"0 folders " + std::u16string(c.shown) + u" entries 0 reparse 0 multi-link")
        << c.count;
  }
}

TEST(StatusLineText, TheWalkFeedsTheCountsOnlyWhileTheLineIsOn) {
  for (const bool on : {false, true}) {
    MemoryMachine machine;
    machine.AddFile(u"C:\\data\\a.txt");
    machine.AddFile(u"C:\\data\\sub\\b.txt");
    machine.AddHardLink(u"C:\\data\\a.txt", u"C:\\data\\sub\\c.txt");
    machine.AddSymlink(u"C:\\data\\ln", u"a.txt", false);
    quorrex::Run run(machine);
    run.settings.recurse = true;
    run.console.statusLine.enabled = on;
    WalkFolder(run.scan, u"\\\\?\\C:\\data", u"*");
    const StatusLineState& p = run.console.statusLine;
    EXPECT_EQ(p.folders.load(), on ? 2u : 0u);
    EXPECT_EQ(p.entries.load(), on ? 5u : 0u);  // a.txt, sub, ln; b.txt, c.txt
    EXPECT_EQ(p.reparsePoints.load(), on ? 1u : 0u);
    EXPECT_EQ(p.linkCandidates.load(), on ? 2u : 0u);
  }
}

}  // namespace
}  // namespace quorrex::testing
