// Control events and the pause before exit.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "console/console_state.h"
#include "console/message.h"
#include "console/output_sink.h"
#include "memory_machine.h"
#include "run/run_program.h"
#include "wait_until.h"

namespace quorrex::testing {
namespace {

class ConsoleStateTest : public ::testing::Test {
 protected:
  ConsoleStateTest() : run(machine) {}

  std::string Events(std::initializer_list<uint32_t> events) {
    for (uint32_t e : events) EXPECT_TRUE(ConsoleCtrlHandler(run.console, e));
    FlushOutput(run.console);
    return machine.out;
  }

  MemoryMachine machine;
  quorrex::Run run;
};

TEST_F(ConsoleStateTest, CtrlCTwicePrintsOnce) {
  EXPECT_EQ(Events({0, 0}), "\r\nCtrl+C pressed -> abort\r\n");
  EXPECT_TRUE(run.AbortRequested());
}

TEST_F(ConsoleStateTest, CtrlCThenBreakThenAnything) {
  EXPECT_EQ(Events({0, 1, 2, 0}),
            "\r\nCtrl+C pressed -> abort\r\n\r\nCtrl+Break pressed -> abort\r\n");
}

TEST_F(ConsoleStateTest, OneMessageOfTheOtherEvents) {
  EXPECT_EQ(Events({2, 0, 6}), "\r\nClose Button pressed -> abort\r\n");
}

TEST_F(ConsoleStateTest, LogoffShutdownAndUnknownCodes) {
  EXPECT_EQ(Events({5}), "\r\nUser LogOff -> abort\r\n");
  MemoryMachine m2;
  quorrex::Run r2(m2);
  ConsoleCtrlHandler(r2.console, 6);
  FlushOutput(r2.console);
  EXPECT_EQ(m2.out, "\r\nSystem Shutdown -> abort\r\n");
  MemoryMachine m3;
  quorrex::Run r3(m3);
  ConsoleCtrlHandler(r3.console, 4);
  ConsoleCtrlHandler(r3.console, 0);
  EXPECT_EQ(m3.out, "");
  EXPECT_TRUE(r3.AbortRequested());
}

TEST_F(ConsoleStateTest, AnEventHandsPendingOutputToTheSystem) {
  machine.stdoutIsConsole = false;
  PrintMessage(run.console, "listed so far\n");
  EXPECT_EQ(machine.out, "");
  ConsoleCtrlHandler(run.console, kCtrlCloseEvent);
  EXPECT_EQ(machine.out, "listed so far\r\n\r\nClose Button pressed -> abort\r\n");
}

TEST_F(ConsoleStateTest, InitRegistersTheHandlerAndSetsTheInputMode) {
  machine.stdinIsConsole = true;
  InitConsoleState(run.console);
  EXPECT_EQ(machine.stdinModesSet, (std::vector<uint32_t>{7, 0x9}));
  machine.RaiseCtrlEvent(1);
  EXPECT_EQ(machine.out, "\r\nCtrl+Break pressed -> abort\r\n");
}

TEST_F(ConsoleStateTest, PauseWithAnotherOwnerIsAShortWait) {
  WaitForKeyIfOwnConsole(run.console);
  EXPECT_EQ(machine.sleeps, std::vector<uint32_t>{100});
  EXPECT_EQ(machine.out, "");
  EXPECT_EQ(machine.inputReads, 0);
}

TEST_F(ConsoleStateTest, PauseIgnoresModifiersMiceReleasesAndEarlierKeys) {
  machine.ownsConsoleWindow = true;
  machine.stdinIsConsole = true;
  machine.input = {{kKeyEvent, 'A', true}};            // pressed during the run: flushed
  machine.inputAfterFlush = {{kKeyEvent, 0x10, true},  // Shift
                             {kKeyEvent, 0x14, true},  // Caps Lock
                             {2, 0, false},            // a mouse record
                             {kKeyEvent, 'A', false},  // the release of the key pressed before
                             {kKeyEvent, 'Z', true},   // a key press ends it
                             {kKeyEvent, 'Y', true}};
  WaitForKeyIfOwnConsole(run.console);
  EXPECT_EQ(machine.out, "Press any key to close");
  EXPECT_EQ(machine.inputReads, 5);
  EXPECT_EQ(machine.sleeps.front(), 300u);
  EXPECT_EQ(machine.sleeps.back(), 100u);
  EXPECT_EQ(machine.input.size(), 1u);
}

TEST_F(ConsoleStateTest, PauseEndsWhenInputCannotBeRead) {
  machine.ownsConsoleWindow = true;
  machine.stdinIsConsole = false;
  WaitForKeyIfOwnConsole(run.console);
  EXPECT_EQ(machine.inputReads, 1);
}

TEST_F(ConsoleStateTest, EndingEventsWaitBoundedForTheRunsOutput) {
  // The system ends the process when the handler of a close, logoff or
  // shutdown returns: it waits, at most kEndingEventWaitMs, until the run's
  // output is complete. Ctrl+C and Ctrl+Break return at once.
  const uint32_t polls = kEndingEventWaitMs / kEndingEventPollMs;
  struct Case {
    std::vector<uint32_t> events;
    bool outputDone;
    size_t sleeps;
  };
  const Case cases[] = {
      {{kCtrlCloseEvent}, false, polls},
      {{kCtrlLogoffEvent}, false, polls},
      {{kCtrlShutdownEvent}, false, polls},
      {{kCtrlCloseEvent}, true, 0},
      {{kCtrlCEvent, kCtrlBreakEvent}, false, 0},
      {{kCtrlBreakEvent, kCtrlCloseEvent}, false, polls},  // silent, yet it waits
      {{4}, false, 0},
  };
  for (const Case& c : cases) {
    MemoryMachine m;
    quorrex::Run r(m);
    if (c.outputDone) r.console.output.finished = true;
    for (uint32_t event : c.events) EXPECT_TRUE(ConsoleCtrlHandler(r.console, event));
    EXPECT_EQ(m.sleeps.size(), c.sleeps) << c.events.back();
    for (uint32_t slept : m.sleeps) EXPECT_EQ(slept, kEndingEventPollMs);
  }
}

// A machine on which a sleep lasts until the run's output is complete (the
// time that would pass meanwhile), safe to call from two threads.
class SleepingMachine : public MemoryMachine {
 public:
  explicit SleepingMachine(quorrex::Run*& run) : run_(run) {}
  void Sleep(uint32_t) override {
    if (gaveUp_) return;
    gaveUp_ = !WaitUntil([this] { return run_->console.output.finished.load(); });
  }

 private:
  quorrex::Run*& run_;
  std::atomic<bool> gaveUp_{false};
};

TEST(ConsoleStateRun, CloseDuringTheWalkReturnsOnlyAfterTheSummary) {
  quorrex::Run* running = nullptr;
  SleepingMachine machine(running);
  machine.stdoutIsConsole = false;
  for (int i = 0; i < 50; ++i) machine.AddFile(u"C:\\data\\f" + std::u16string(1, u'a' + i % 26));
  std::thread handler;
  std::atomic<bool> doneWhenReturned{false};
  quorrex::Run run(machine);
  running = &run;
  machine.onEntry = [&](const std::u16string&) {
    if (handler.joinable()) return;
    handler = std::thread([&] {
      ConsoleCtrlHandler(run.console, kCtrlCloseEvent);
      doneWhenReturned = run.console.output.finished.load();
    });
    // The walk goes on once the event has been answered.
    while (!run.AbortRequested()) std::this_thread::yield();
  };
  const int code = RunProgram(run, {u"quorrex.exe", u"C:\\data"});
  handler.join();
  EXPECT_TRUE(doneWhenReturned);
  EXPECT_EQ(code, kExitAborted);
  EXPECT_NE(machine.out.find("Close Button pressed -> abort"), std::string::npos);
  EXPECT_NE(machine.out.find("hard link groups"), std::string::npos);
}

}  // namespace
}  // namespace quorrex::testing
