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
  EXPECT_EQ(screen.Text(), "0 folders, 0 entries, 0 reparse points, 0 hard-link candidates  /b|");
}

// The folder gets what the counts leave: whole when it fits exactly, cut in
// the middle when one column short, and left out below 12 columns.
TEST(StatusLineWidth, FolderFitsTheRoomLeft) {
  MemoryMachine machine;
  StatusLineState line;
  line.enabled = true;
  const std::u16string counts = u"0 folders, 0 entries, 0 reparse points, 0 hard-link candidates";
  // The counts, two spaces, the folder, and the last column left free.
  const auto widthFor = [&](int room) { return static_cast<int32_t>(counts.size()) + 3 + room; };
  const struct {
    const char16_t* folder;
    int room;
    const char16_t* shown;  // null: left out
  } cases[] = {
      {u"/srv/abcdefg", 12, u"/srv/abcdefg"},   // exactly the room
      {u"/srv/abcdefgh", 12, u"/srv...defgh"},  // one column more
      {u"/srv/abcdefg", 13, u"/srv/abcdefg"},
      {u"/srv/abcdefg", 11, nullptr},  // under the narrowest folder
      {u"/srv/abcdefghijk", 12, u"/srv...ghijk"},
  };
  for (const auto& c : cases) {
    line.ListingFolder(c.folder);
    const std::u16string text = StatusLineText(line, machine, widthFor(c.room));
    EXPECT_EQ(text, c.shown == nullptr ? counts : counts + u"  " + c.shown)
        << c.room << " " << std::string(text.begin(), text.end());
    EXPECT_LT(static_cast<int32_t>(text.size()), widthFor(c.room));
  }
}

}  // namespace
}  // namespace quorrex::testing
