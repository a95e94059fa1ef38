// A walk whose thread does not come back from a system call after a control
// event (a server that does not answer): another thread writes the report of
// what was found and ends the process; the walk's thread, should its call
// return, adds nothing to the output.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "run_fixture.h"

namespace quorrex::testing {
namespace {

// C:\t holds a and b, links of one file, found before the walk enters sub;
// in sub the listing stops at "hang" until the report is out, and what it
// lists after that (another pair of links) is never reported.
void AddStuckTree(MemoryMachine& machine) {
  machine.AddFolder(u"C:\\t");
  machine.AddFile(u"C:\\t\\a");
  machine.AddHardLink(u"C:\\t\\a", u"C:\\t\\b");
  machine.AddFolder(u"C:\\t\\sub");
  machine.AddFile(u"C:\\t\\sub\\hang");
  machine.AddFile(u"C:\\t\\sub\\later");
  machine.AddHardLink(u"C:\\t\\sub\\later", u"C:\\t\\sub\\later2");
}

TEST(StuckWalk, AnotherThreadReportsAndTheWalksThreadAddsNothingAfter) {
  for (const OutputFormat format : {OutputFormat::kText, OutputFormat::kJson}) {
    SCOPED_TRACE(format == OutputFormat::kText ? "text" : "records");
    MemoryMachine machine;
    AddStuckTree(machine);
    machine.stdoutIsConsole = false;
    // The report's last write opens the gate; the walk's thread waits for it
    // inside the listing, as inside a call that does not return.
    Gate reported;
    const std::string last = format == OutputFormat::kText ? "hard link group" : "\"type\":\"end\"";
    std::atomic<int> writesAfterReport{0};
    machine.beforeStdoutWrite = [&](std::string_view bytes) -> uint32_t {
      if (reported.IsOpen()) ++writesAfterReport;
      if (bytes.find(last) != std::string_view::npos) reported.Open();
      return 0;
    };
    std::atomic<bool> raised{false};
    machine.onEntryUnlocked = [&](const std::u16string& name) {
      if (name != u"hang" || raised.exchange(true)) return;
      machine.RaiseCtrlEvent(kCtrlCEvent);
      EXPECT_TRUE(reported.Wait()) << "nobody reported in the walk's stead";
    };
    const Outcome o = RunOn(machine, {u"C:\\t", u"-s"}, 1, format);
    EXPECT_EQ(o.code, 3);
    EXPECT_EQ(machine.processEndedWith, std::optional<int>(3));
    EXPECT_EQ(machine.standardStreamsClosed, 1);
    // (The records are turned back into text by writing them again: only the
    // text's writes are counted.)
    if (format == OutputFormat::kText) {
      EXPECT_EQ(writesAfterReport.load(), 0);
    }
    EXPECT_EQ(o.err, "");
    // What was found before the call: the group of a and b, then the summary
    // (and the last record), and nothing after it.
    EXPECT_NE(o.out.find("C:\\t\\a"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("C:\\t\\b"), std::string::npos) << o.out;
    EXPECT_EQ(o.out.find("later"), std::string::npos) << o.out;
    const std::string tail = "* 1 hard link group\r\n";
    ASSERT_GE(o.out.size(), tail.size()) << o.out;
    EXPECT_EQ(o.out.substr(o.out.size() - tail.size()), tail) << o.out;
    if (format == OutputFormat::kJson) {
      const size_t lastRecord = o.json.rfind("{\"type\":");
      ASSERT_NE(lastRecord, std::string::npos) << o.json;
      EXPECT_EQ(o.json.compare(lastRecord, 14, "{\"type\":\"end\","), 0) << o.json;
      EXPECT_NE(o.json.find("\"exit_code\":3", lastRecord), std::string::npos) << o.json;
    }
  }
}

// A walk that comes back within the grace reports itself: no other thread
// ends the process.
TEST(StuckWalk, AWalkThatComesBackReportsItself) {
  MemoryMachine machine;
  AddStuckTree(machine);
  machine.stdoutIsConsole = false;
  std::atomic<bool> raised{false};
  machine.onEntryUnlocked = [&](const std::u16string& name) {
    if (name == u"hang" && !raised.exchange(true)) machine.RaiseCtrlEvent(kCtrlCEvent);
  };
  const Outcome o = RunOn(machine, {u"C:\\t", u"-s"}, 1, OutputFormat::kText);
  EXPECT_EQ(o.code, 3);
  EXPECT_FALSE(machine.processEndedWith.has_value());
  EXPECT_EQ(machine.standardStreamsClosed, 1);
  EXPECT_NE(o.out.find("* 1 hard link group\r\n"), std::string::npos) << o.out;
}

}  // namespace
}  // namespace quorrex::testing
