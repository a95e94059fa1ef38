// Messages, path lines, shortening and the output buffer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "console/display_text.h"
#include "console/line_writer.h"
#include "console/message.h"
#include "console/output_sink.h"
#include "console/path_line.h"
#include "memory_machine.h"
#include "run/run_state.h"

namespace quorrex::testing {
namespace {

TEST(Messages, LineEndsBecomeCrLfOnce) {
  EXPECT_EQ(ConvertLineEnds("a\nb\n"), "a\r\nb\r\n");
  EXPECT_EQ(ConvertLineEnds("a\r\nb"), "a\r\nb");
  EXPECT_EQ(ConvertLineEnds("\n\n"), "\r\n\r\n");
  EXPECT_EQ(ConvertLineEnds("\n\r"), "\r\n\r");
  EXPECT_EQ(ConvertLineEnds("x\ry"), "x\ry");
  EXPECT_EQ(ConvertLineEnds("\r"), "\r");
}

TEST(Messages, FormatsEveryDirectiveAndNeverCuts) {
  MemoryMachine machine;
  machine.stdoutIsConsole = false;
  quorrex::Run run(machine);
  PrintMessage(run.console, "%u|%i|%i|%s|%S|%%|%x\n", 4294967295u, -2147483647 - 1, 7, "n",
               u"w\u00E9\u4E2D");
  // A value ending in CR is followed by no second CR: the formatted text counts.
  PrintMessage(run.console, "%S\n", u"ends in cr\r");
  const std::u16string longArg(5000, u'p');
  PrintMessage(run.console, "invalid parameter %S\n", longArg);
  FlushOutput(run.console);
  EXPECT_EQ(machine.out,
            "4294967295|-2147483648|7|n|w\xE9?|%|%x\r\nends in cr\r\ninvalid parameter " +
                std::string(5000, 'p') + "\r\n");
}

TEST(Messages, PromptHasNoLineEndAndErrorsKeepBareLf) {
  MemoryMachine machine;
  quorrex::Run run(machine);
  PrintMessage(run.console, "Press any key to close");
  PrintError(run.console, "volume is invalid -> abort\n");
  EXPECT_EQ(machine.out, "Press any key to close");
  EXPECT_EQ(machine.err, "volume is invalid -> abort\n");
}

TEST(Messages, RedirectedOutputIsBufferedAndFlushedBeforeStandardError) {
  MemoryMachine machine;
  machine.stdoutIsConsole = false;
  quorrex::Run run(machine);
  PrintMessage(run.console, "first\n");
  EXPECT_EQ(machine.out, "");
  PrintError(run.console, "e\n");
  EXPECT_EQ(machine.out, "first\r\n");
  // A failing standard output loses the text, never the run.
  machine.stdoutFails = true;
  PrintMessage(run.console, "lost\n");
  FlushOutput(run.console);
  EXPECT_EQ(machine.out, "first\r\n");
}

// Every kind of line ends its lines its own way, to a console and redirected
// alike: a message in CR LF, a path line in LF; a CR LF already there stays.
// A writer that waits to start on a line of its own is woken by the write
// that ends the open line, however many wait; writes while nobody waits
// wake nobody and lose nothing.
TEST(Messages, WritersWaitingForALineEndAreWokenByIt) {
  MemoryMachine machine;
  machine.stdoutIsConsole = false;
  quorrex::Run run(machine);
  PrintMessage(run.console, "a line\n");
  PrintMessage(run.console, "half a line");
  constexpr int kWaiters = 2;
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      // Far longer than any run of the tests: only the line's end returns it.
      const auto hold = HoldOutputAtLineEnd(run.console, std::chrono::hours(24));
      if (!run.console.output.midLine) ++woken;
    });
  }
  // Every waiter is inside its wait before the line ends.
  for (;;) {
    {
      std::lock_guard<std::recursive_timed_mutex> hold(run.console.output.lock);
      if (run.console.output.lineEndWaiters == kWaiters) break;
    }
    std::this_thread::yield();
  }
  PrintMessage(run.console, " and its end\n");
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(woken.load(), kWaiters);
  EXPECT_EQ(run.console.output.lineEndWaiters, 0);
  FlushOutput(run.console);
  EXPECT_EQ(machine.out, "a line\r\nhalf a line and its end\r\n");
}

TEST(LineWriter, EachKindEndsItsLinesItsOwnWay) {
  struct Case {
    LineKind kind;
    bool console;
    std::string expected;
  };
  const Case cases[] = {
      {LineKind::kMessage, true, "a C:\\d 7 -3\r\nb\r\nc\r\n"},
      {LineKind::kMessage, false, "a C:\\d 7 -3\r\nb\r\nc\r\n"},
      {LineKind::kPathLine, true, "a C:\\d 7 -3\nb\nc\r\n"},
      {LineKind::kPathLine, false, "a C:\\d 7 -3\nb\nc\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << (c.kind == LineKind::kMessage ? "message" : "path line")
                                      << (c.console ? " to a console" : " redirected"));
    MemoryMachine machine;
    machine.stdoutIsConsole = c.console;
    quorrex::Run run(machine);
    LineWriter line(run.console, c.kind);
    line.Text("a ").Name(u"C:\\d").Text(" ").Number(7u).Text(" ").Number(int32_t{-3});
    line.Text("\nb\nc\r\n");
    EXPECT_GT(line.Write(), 0);
    FlushOutput(run.console);
    EXPECT_EQ(machine.out, c.expected);
  }
}

TEST(ShortenMiddle, TableOfWidths) {
  const std::u16string letters = u"abcdefghijklmnopqrstuvwxyz";
  const std::pair<int32_t, std::u16string> table[] = {
      {4, u"...z"},        {5, u"...yz"},        {6, u"a...yz"},
      {10, u"abc...wxyz"}, {11, u"abc...vwxyz"}, {26, u"abcdefghijk...opqrstuvwxyz"},
      {27, letters},       {3, letters},  // too narrow: left whole
      {-7, letters},                      // likewise
  };
  for (const auto& [width, expected] : table) {
    std::u16string text = letters;
    EXPECT_EQ(ShortenMiddle(text, width), static_cast<int32_t>(expected.size())) << width;
    EXPECT_EQ(text, expected) << width;
  }
  std::u16string huge(40000, u'x');
  EXPECT_EQ(ShortenMiddle(huge, 50000), 32768);
  // A character of two units where the head ends is left out whole, not cut
  // in half.
  std::u16string pair = u"ab\U0001F600cdefghij";
  EXPECT_EQ(ShortenMiddle(pair, 10), 9);
  EXPECT_EQ(pair, u"ab...ghij");
}

class PathLineTest : public ::testing::Test {
 protected:
  PathLineTest() : run(machine) {
    run.console.oneLine = true;
    run.console.maxColumn = 79;
  }
  MemoryMachine machine;
  quorrex::Run run;
};

TEST_F(PathLineTest, FittingToAnEightyColumnConsole) {
  std::u16string target;
  for (int i = 0; i < 100; ++i) target.push_back(static_cast<char16_t>(u'0' + i % 10));
  PrintPathLine(run.console, " -> %S\n", target);
  const std::string expected = " -> " + std::string(target.begin(), target.begin() + 34) + "..." +
                               std::string(target.end() - 36, target.end()) + "\n";
  EXPECT_EQ(machine.out, expected);
  EXPECT_EQ(target.size(), 100u);  // the caller's text is untouched

  machine.out.clear();
  PrintMessage(run.console, "reparse point (symlink)");
  const std::u16string path(60, u'p');
  PrintPathLine(run.console, " %S\n", path);
  EXPECT_EQ(machine.out, "reparse point (symlink) " + std::string(24, 'p') + "..." +
                             std::string(26, 'p') + "\n");

  // Exactly at the last column: whole; one more character: shortened.
  machine.out.clear();
  PrintPathLine(run.console, " -> %S\n", std::u16string(72, u'a'));
  EXPECT_EQ(machine.out, " -> " + std::string(72, 'a') + "\n");
  machine.out.clear();
  PrintPathLine(run.console, " -> %S\n", std::u16string(73, u'a'));
  EXPECT_EQ(machine.out, " -> " + std::string(34, 'a') + "..." + std::string(36, 'a') + "\n");
}

TEST_F(PathLineTest, RedirectedOutputKeepsWholePathsInOemBytes) {
  machine.stdoutIsConsole = false;
  run.console.maxColumn = -1;
  const std::u16string path = u"C:\\caf\u00E9\\" + std::u16string(200, u'x') + u"\u4E2D";
  PrintPathLine(run.console, "%S\n", path);
  FlushOutput(run.console);
  EXPECT_EQ(machine.out, "C:\\caf\x82\\" + std::string(200, 'x') + "?\n");
  EXPECT_EQ(machine.out.find('\0'), std::string::npos);
}

TEST_F(PathLineTest, ConsoleWritesAreSplitAfter25000Characters) {
  run.console.oneLine = false;
  PrintPathLine(run.console, "%S\n", std::u16string(24999, u'a'));
  PrintPathLine(run.console, "%S\n", std::u16string(25000, u'a'));
  EXPECT_EQ(machine.consoleWrites, (std::vector<size_t>{25000, 25000, 1}));
  // A character outside the basic plane is never split between two writes.
  machine.consoleWrites.clear();
  PrintPathLine(run.console, "%S\n", std::u16string(24999, u'a') + u"\U0001F600b");
  EXPECT_EQ(machine.consoleWrites, (std::vector<size_t>{24999, 4}));
}

TEST_F(PathLineTest, FailuresAndFormatsWithoutThePlaceholder) {
  EXPECT_EQ(PrintPathLine(run.console, "%s\n", u"x"), -1);
  EXPECT_EQ(machine.out, "");
  machine.consoleWriteError = win::kInvalidHandle;
  EXPECT_EQ(PrintPathLine(run.console, "%S\n", u"x"), 0);
  EXPECT_EQ(machine.out, "\r\nWriteConsoleW error 6 on textlen=2\r\n");
}

}  // namespace
}  // namespace quorrex::testing
