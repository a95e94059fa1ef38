// The status line on standard error, the output sink's hand-on of
// redirected output, and where a signal's message lands in the listing.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "console/console_state.h"
#include "console/message.h"
#include "console/output_sink.h"
#include "console/path_line.h"
#include "console/status_line.h"
#include "memory_machine.h"
#include "run/run_state.h"
#include "scan/walker.h"

namespace quorrex::testing {
namespace {

using Clock = std::chrono::steady_clock;

// A POSIX system: control events are signals, the console a byte terminal.
class PosixMachine : public MemoryMachine {
 public:
  PathStyle Style() const override { return PathStyle::kPosix; }
};

// Removes the drawings the line's own thread added while a case ran: with
// no walk going on they repeat the drawing before them.
std::string WithoutRepeats(std::string text, const std::string& drawing) {
  for (size_t at; (at = text.find(drawing + drawing)) != std::string::npos;) {
    text.erase(at, drawing.size());
  }
  return text;
}

TEST(StatusLine, LeavesTheScreenBeforeStandardErrorIsWrittenAndWhenTheProcessStops) {
  const std::string counts = "0 folders, 0 entries, 0 reparse points, 0 hard-link candidates";
  const std::string drawn = "\r" + counts + "\r";
  // Built by appending: g++ 12 at -O3 warns wrongly about "\r" + std::string(n, ' ').
  std::string erased = "\r";
  erased.append(counts.size(), ' ');
  erased += '\r';
  struct Case {
    const char* name;
    void (*act)(MemoryMachine&, quorrex::Run&);
    std::string err;  // after the first drawing, the line's end included
    bool aborted;
  };
  const Case cases[] = {
      {"a message on standard error",
       [](MemoryMachine&, quorrex::Run& r) { PrintError(r.console, "boom\n"); }, erased + "boom\n",
       false},
      {"a stop, then a continue",
       [](MemoryMachine& m, quorrex::Run&) {
         m.RaiseCtrlEvent(kStopEvent);
         m.RaiseCtrlEvent(kContinueEvent);
       },
       erased + drawn + erased, false},
      {"the line's end", [](MemoryMachine&, quorrex::Run& r) { StopStatusLine(r.console); }, erased,
       false},
      {"a refused allocation: erased, and never drawn again",
       [](MemoryMachine& m, quorrex::Run& r) {
         HaltStatusLine(r.console);
         m.RaiseCtrlEvent(kContinueEvent);
       },
       erased, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryMachine machine;
    machine.stdoutIsConsole = false;
    machine.statusConsoleWidth = 100;
    quorrex::Run run(machine);
    InitConsoleState(run.console);
    StartStatusLine(run.console);
    machine.RaiseCtrlEvent(kContinueEvent);  // drawn at once
    c.act(machine, run);
    StopStatusLine(run.console);
    EXPECT_EQ(WithoutRepeats(machine.err, drawn), drawn + c.err);
    EXPECT_EQ(run.AbortRequested(), c.aborted);
  }
}

TEST(StatusLine, NamesTheFolderBeingListedAndCountsItsEntriesAsTheyCome) {
  // A folder of 3000 files listed slowly: well into its listing, the line
  // names it, not the folder the walk was in before, and counts what has
  // been listed of it, whoever lists it.
  for (uint32_t workers : {1u, 4u}) {
    SCOPED_TRACE(workers);
    MemoryMachine machine;
    machine.stdoutIsConsole = false;
    machine.AddFile(u"C:\\data\\a\\small.txt");
    for (size_t i = 0; i < 3000; ++i) machine.AddFile(u"C:\\data\\huge\\" + Numbered("f", i));
    quorrex::Run run(machine);
    run.settings.walkWorkers = workers;
    run.settings.recurse = true;
    run.console.statusLine.enabled = true;
    std::u16string named;
    uint64_t counted = 0;
    machine.onEntryUnlocked = [&](const std::u16string& name) {
      if (name != u"f2000") return;
      // A reader may be there before the walk waits for it.
      const auto until = Clock::now() + std::chrono::seconds(5);
      while (run.console.statusLine.Folder() != u"C:\\data\\huge\\" && Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      named = run.console.statusLine.Folder();
      counted = run.console.statusLine.entries.load();
    };
    WalkFolder(run.scan, u"C:\\data", u"*");
    EXPECT_EQ(named, u"C:\\data\\huge\\");
    EXPECT_GE(counted, 1500u);  // counted in batches as they are listed
    EXPECT_EQ(run.console.statusLine.entries.load(), 3003u);
  }
}

TEST(RedirectedOutput, AFullBufferGoesOutAtOnce) {
  const std::pair<size_t, bool> cases[] = {{65535, false}, {65536, true}, {70000, true}};
  for (const auto& [size, handedOn] : cases) {
    SCOPED_TRACE(size);
    MemoryMachine machine;
    machine.stdoutIsConsole = false;
    quorrex::Run run(machine);  // no flusher thread: only a full buffer goes out
    WriteOutput(run.console, std::string(size, 'x'));
    EXPECT_EQ(machine.out.size(), handedOn ? size : 0u);
  }
}

TEST(RedirectedOutput, ReachesItsReaderWithinATenthOfASecond) {
  MemoryMachine machine;
  machine.stdoutIsConsole = false;
  quorrex::Run run(machine);
  StartOutputFlusher(run.console);
  // The quickest of three, so that a busy machine does not fail it.
  auto quickest = std::chrono::milliseconds::max();
  for (int i = 0; i < 3; ++i) {
    const size_t before = machine.out.size();
    PrintMessage(run.console, "line\n");
    const auto start = Clock::now();
    for (;;) {
      {
        std::lock_guard<std::recursive_timed_mutex> hold(run.console.output.lock);
        if (machine.out.size() > before) break;
      }
      if (Clock::now() - start > std::chrono::seconds(3)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    quickest = std::min(
        quickest, std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start));
  }
  StopOutputFlusher(run.console);
  EXPECT_LT(quickest.count(), 400);
}

TEST(SignalMessage, WaitsForTheLineBeingWrittenToEnd) {
  struct Case {
    const char* name;
    bool posix;
    bool lineEnds;  // the walk's thread ends its line meanwhile
    std::string out;
  };
  const Case cases[] = {
      {"POSIX: after the line", true, true,
       "reparse point (symlink) /d/l\n\nSIGINT received -> abort\n"},
      {"POSIX: a line left open is ended by the message, after a while", true, false,
       "reparse point (symlink)\nSIGINT received -> abort\n"},
      // The Windows handler may be called at any moment and prints at once.
      {"Windows: at once", false, true,
       "reparse point (symlink)\r\nCtrl+C pressed -> abort\r\n C:\\d\\l\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PosixMachine posix;
    MemoryMachine windows;
    MemoryMachine& machine = c.posix ? posix : windows;
    machine.stdoutIsConsole = false;
    quorrex::Run run(machine);
    InitConsoleState(run.console);
    PrintMessage(run.console, "reparse point (symlink)");
    const auto start = Clock::now();
    std::thread signal([&machine] { machine.RaiseCtrlEvent(kCtrlCEvent); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (c.lineEnds) PrintPathLine(run.console, " %S\n", c.posix ? u"/d/l" : u"C:\\d\\l");
    signal.join();
    FlushOutput(run.console);
    EXPECT_EQ(machine.out, c.out);
    EXPECT_TRUE(run.AbortRequested());
    if (!c.lineEnds) {
      EXPECT_GE(Clock::now() - start, kLineEndWait);
    }
  }
}

}  // namespace
}  // namespace quorrex::testing
