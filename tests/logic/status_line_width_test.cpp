// The status line at the terminal's width: what the folder gets of it, and
// what stays on the screen when the terminal narrows under a run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/status_line.h"
#include "memory_machine.h"
#include "run/run_state.h"

namespace quorrex::testing {
namespace {

// A POSIX system: the console is a byte terminal.
class PosixMachine : public MemoryMachine {
 public:
  PathStyle Style() const override { return PathStyle::kPosix; }
};

// A terminal that neither reflows nor scrolls back: each row keeps what was
// written on it, cut at the width when the width shrinks; writing past the
// last column goes on at the start of the next row.
class Screen {
 public:
  void Resize(size_t width) {
    width_ = width;
    for (std::string& row : rows_) {
      if (row.size() > width_) row.resize(width_);
    }
  }
  void Write(const std::string& bytes) {
    for (const char c : bytes) {
      if (c == '\r') {
        column_ = 0;
        continue;
      }
      // As a byte terminal does: a character after one in the last column
      // goes to the next row.
      if (column_ == width_) {
        column_ = 0;
        ++row_;
      }
      if (rows_.size() <= row_) rows_.resize(row_ + 1);
      std::string& row = rows_[row_];
      if (row.size() <= column_) row.resize(column_ + 1, ' ');
      row[column_++] = c;
    }
  }
  // What is left on the screen, the trailing spaces of each row dropped.
  std::string Text() const {
    std::string text;
    for (std::string row : rows_) {
      row.erase(row.find_last_not_of(' ') + 1);
      text += row + "|";
    }
    return text;
  }
  size_t row() const { return row_; }

 private:
  std::vector<std::string> rows_;
  size_t width_ = 80;
  size_t row_ = 0;
  size_t column_ = 0;
};

// Draws the line at each width in turn, then erases it as the run's end
// does, following every byte on the screen.
Screen DrawAtWidths(const std::vector<int16_t>& widths, const std::u16string& folder,
                    uint64_t entries) {
  PosixMachine machine;
  quorrex::Run run(machine);
  StatusLineState& line = run.console.statusLine;
  line.enabled = true;
  line.entries = entries;
  line.ListingFolder(folder);
  Screen screen;
  for (const int16_t width : widths) {
    machine.statusConsoleWidth = width;
    screen.Resize(static_cast<size_t>(width));
    ResumeStatusLine(run.console);  // one drawing
    screen.Write(machine.err);
    machine.err.clear();
  }
  SuspendStatusLine(run.console);  // the erasure
  screen.Write(machine.err);
  return screen;
}

// A run that starts wide and narrows twice leaves nothing behind, and every
// drawing stays on its one row; so does one that only widens.
TEST(StatusLineWidth, NarrowingTerminalKeepsOneRowAndLeavesNothing) {
  const std::u16string folder = u"/srv/" + std::u16string(150, u'f');
  const struct {
    const char* name;
    std::vector<int16_t> widths;
  } cases[] = {
      {"200, 60, 30", {200, 60, 30}},
      {"200, 30", {200, 30}},
      {"30, 200, 30", {30, 200, 30}},
      {"60, 200", {60, 200}},
  };
  for (const auto& c : cases) {
    const Screen screen = DrawAtWidths(c.widths, folder, 547409);
    EXPECT_EQ(screen.Text(), "|") << c.name;
    EXPECT_EQ(screen.row(), 0u) << c.name;
  }
}

// A shorter line drawn after a longer one covers all of it.
TEST(StatusLineWidth, ShorterDrawingCoversTheLongerOne) {
  MemoryMachine machine;
  quorrex::Run run(machine);
  StatusLineState& line = run.console.statusLine;
  line.enabled = true;
  machine.statusConsoleWidth = 120;
  Screen screen;
  screen.Resize(120);
  line.ListingFolder(u"/a/rather/long/folder/name");
  ResumeStatusLine(run.console);
  line.ListingFolder(u"/b");
  ResumeStatusLine(run.console);
  screen.Write(machine.err);
  EXPECT_EQ(screen.Text(), "0 folders 0 entries 0 reparse 0 multi-link | /b|");
}

// The folder gets what the counts leave: whole when it fits exactly, cut in
// the middle when one column short; below 10 columns it goes beside the
// folders and entries alone.
TEST(StatusLineWidth, FolderFitsTheRoomLeft) {
  MemoryMachine machine;
  StatusLineState line;
  line.enabled = true;
  const std::u16string counts = u"0 folders 0 entries 0 reparse 0 multi-link";
  const std::u16string walked = u"0 folders 0 entries";
  // The counts, " | ", the folder, and the last column left free.
  const auto widthFor = [&](int room) { return static_cast<int32_t>(counts.size()) + 4 + room; };
  const struct {
    const char16_t* folder;
    int room;
    bool allCounts;
    const char16_t* shown;
  } cases[] = {
      {u"/srv/abcde", 10, true, u"/srv/abcde"},   // exactly the room
      {u"/srv/abcdef", 10, true, u"/sr...cdef"},  // one column more
      {u"/srv/abcde", 11, true, u"/srv/abcde"},
      {u"/srv/abcde", 9, false, u"/srv/abcde"},  // under the narrowest folder
      {u"/srv/abcdefghijk", 10, true, u"/sr...hijk"},
  };
  for (const auto& c : cases) {
    line.ListingFolder(c.folder);
    const std::u16string text = StatusLineText(line, machine, widthFor(c.room));
    EXPECT_EQ(text, (c.allCounts ? counts : walked) + u" | " + c.shown)
        << c.room << " " << std::string(text.begin(), text.end());
    EXPECT_LT(static_cast<int32_t>(text.size()), widthFor(c.room));
  }
}

// What a terminal of 40, 80 or 200 columns shows of one drawing: the folder
// at every width, with counts as a large tree gives them and up to ten
// million.
TEST(StatusLineWidth, TheFolderShowsAtFortyEightyAndTwoHundredColumns) {
  const std::u16string folder = u"/usr/share/doc/some-package/examples/deeper";
  const struct {
    int16_t width;
    uint64_t folders, entries, reparsePoints, candidates;
    const char* row;
  } cases[] = {
      {200, 9036, 114854, 3467, 13801,
       "9036 folders 114k entries 3467 reparse 13k multi-link | "
       "/usr/share/doc/some-package/examples/deeper|"},
      {80, 9036, 114854, 3467, 13801,
       "9036 folders 114k entries 3467 reparse 13k multi-link | /usr/shar...ples/deeper|"},
      {40, 9036, 114854, 3467, 13801, "9036 folders 114k entries | /us...eeper|"},
      {80, 9999999, 10000000, 9999999, 10000000,
       "9.9M folders 10M entries 9.9M reparse 10M multi-link | /usr/share...ples/deeper|"},
      {40, 9999999, 10000000, 9999999, 10000000, "9.9M folders 10M entries | /usr...eeper|"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.width);
    PosixMachine machine;
    quorrex::Run run(machine);
    StatusLineState& line = run.console.statusLine;
    line.enabled = true;
    line.folders = c.folders;
    line.entries = c.entries;
    line.reparsePoints = c.reparsePoints;
    line.linkCandidates = c.candidates;
    line.ListingFolder(folder);
    machine.statusConsoleWidth = c.width;
    Screen screen;
    screen.Resize(static_cast<size_t>(c.width));
    ResumeStatusLine(run.console);
    screen.Write(machine.err);
    EXPECT_EQ(screen.Text(), c.row);
    EXPECT_EQ(screen.row(), 0u);
  }
}

}  // namespace
}  // namespace quorrex::testing
