// The status line on standard error, the output sink's hand-on of
// redirected output, and where a signal's message lands in the listing.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "console/console_state.h"
#include "console/message.h"
#include "console/output_sink.h"
#include "console/path_line.h"
#include "console/status_line.h"
#include "memory_machine.h"
#include "run/run_state.h"
#include "scan/walker.h"
#include "wait_until.h"

namespace quorrex::testing {
namespace {

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
  const std::string counts = "0 folders 0 entries 0 reparse 0 multi-link";
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

TEST(StatusLine, IsDrawnOnlyWhereNoOtherProgramReadsTheListing) {
  const struct {
    const char* name;
    bool stdoutIsConsole;
    bool stdoutIsPipe;
    int16_t stderrWidth;  // 0: standard error is no console
    bool drawn;
  } cases[] = {
      {"listing to a file or a device such as /dev/null", false, false, 100, true},
      {"listing to a pipe (a pager may be drawing)", false, true, 100, false},
      {"listing on the console itself", true, false, 100, false},
      {"standard error redirected too", false, false, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryMachine machine;
    machine.stdoutIsConsole = c.stdoutIsConsole;
    machine.stdoutIsPipe = c.stdoutIsPipe;
    machine.statusConsoleWidth = c.stderrWidth;
    quorrex::Run run(machine);
    InitConsoleState(run.console);
    StartStatusLine(run.console);
    EXPECT_EQ(run.console.statusLine.enabled.load(), c.drawn);
    machine.RaiseCtrlEvent(kContinueEvent);  // drawn at once, where it is on
    StopStatusLine(run.console);
    EXPECT_EQ(machine.err.find(" multi-link") != std::string::npos, c.drawn) << machine.err;
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
      WaitUntil([&] { return run.console.statusLine.Folder() == u"C:\\data\\huge\\"; });
      named = run.console.statusLine.Folder();
      counted = run.console.statusLine.entries.load();
    };
    WalkFolder(run.scan, u"C:\\data", u"*");
    EXPECT_EQ(named, u"C:\\data\\huge\\");
    EXPECT_GE(counted, 1500u);  // counted in batches as they are listed
    EXPECT_EQ(run.console.statusLine.entries.load(), 3003u);
  }
}

TEST(StatusLine, EachDrawingNamesOneWholeFolderWhileSeveralThreadsNameThem) {
  // The walk names the folders it enters and the readers those they list,
  // each on its own thread, while the line is drawn (at once, on each
  // continue): every drawing names one of them whole.
  MemoryMachine machine;
  machine.stdoutIsConsole = false;
  machine.statusConsoleWidth = 200;
  quorrex::Run run(machine);
  InitConsoleState(run.console);
  StartStatusLine(run.console);
  std::vector<std::u16string> folders;
  for (char16_t t = 0; t < 4; ++t) {
    folders.push_back(u"C:\\data\\" + std::u16string(20 + 9 * t, static_cast<char16_t>(u'a' + t)) +
                      u"\\");
  }
  // The line is drawn only once every thread has named its folder, and each
  // keeps naming until the drawings are done: however the threads are
  // scheduled, the drawings fall among the namings.
  std::atomic<size_t> naming{0};
  std::atomic<bool> drawn{false};
  std::vector<std::thread> namers;
  for (size_t t = 0; t < folders.size(); ++t) {
    namers.emplace_back([&, t] {
      for (int i = 0; i < 2000 || !drawn.load(); ++i) {
        if (t == 0) {
          run.console.statusLine.EnterFolder(folders[t]);
        } else {
          run.console.statusLine.ListingFolder(folders[t]);
        }
        if (i == 0) naming.fetch_add(1);
      }
    });
  }
  EXPECT_TRUE(WaitUntil([&] { return naming.load() == folders.size(); }));
  for (int i = 0; i < 300; ++i) machine.RaiseCtrlEvent(kContinueEvent);
  drawn = true;
  for (std::thread& namer : namers) namer.join();
  StopStatusLine(run.console);
  size_t named = 0;
  std::stringstream drawings(machine.err);
  for (std::string drawing; std::getline(drawings, drawing, '\r');) {
    drawing.erase(drawing.find_last_not_of(' ') + 1);
    const size_t at = drawing.find("C:\\");
    if (at == std::string::npos) continue;
    ++named;
    const std::u16string folder(drawing.begin() + static_cast<std::ptrdiff_t>(at), drawing.end());
    EXPECT_NE(std::find(folders.begin(), folders.end(), folder), folders.end()) << drawing;
  }
  EXPECT_GT(named, 0u);
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

TEST(RedirectedOutput, ReachesItsReaderWithoutAnotherWrite) {
  MemoryMachine machine;
  machine.stdoutIsConsole = false;
  quorrex::Run run(machine);
  StartOutputFlusher(run.console);
  // Each line goes out with nothing after it to fill the buffer: the
  // flusher alone hands it on.
  std::string expected;
  for (const char* line : {"first", "second", "third"}) {
    PrintMessage(run.console, (std::string(line) + "\n").c_str());
    expected += std::string(line) + "\r\n";
    EXPECT_TRUE(WaitUntil([&] {
      std::lock_guard<std::recursive_timed_mutex> hold(run.console.output.lock);
      return machine.out == expected;
    })) << machine.out;
  }
  StopOutputFlusher(run.console);
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
    std::thread signal([&machine] { machine.RaiseCtrlEvent(kCtrlCEvent); });
    if (!c.posix) signal.join();  // printed before the line goes on
    if (c.posix && c.lineEnds) {
      // The handler has the event in hand (and, a moment later, waits for
      // the line's end) before the line goes on.
      EXPECT_TRUE(WaitUntil([&run] {
        if (!run.console.events.handlerLock.try_lock()) return true;
        run.console.events.handlerLock.unlock();
        return false;
      }));
    }
    if (c.lineEnds) PrintPathLine(run.console, " %S\n", c.posix ? u"/d/l" : u"C:\\d\\l");
    if (signal.joinable()) signal.join();
    FlushOutput(run.console);
    EXPECT_EQ(machine.out, c.out);
    EXPECT_TRUE(run.AbortRequested());
  }
}

}  // namespace
}  // namespace quorrex::testing
