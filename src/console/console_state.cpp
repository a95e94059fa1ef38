#include "console/console_state.h"

#include <mutex>

#include "console/message.h"
#include "console/output_sink.h"
#include "console/status_line.h"

namespace quorrex {
namespace {

constexpr uint32_t kProcessedInput = 0x1;
constexpr uint32_t kLineInput = 0x2;
constexpr uint32_t kEchoInput = 0x4;
constexpr uint32_t kWindowInput = 0x8;

// A key press, not a release: the release of a key pressed before the pause
// (the Enter that started the program, a key the flush took) would end it
// before the reader has seen the summary.
bool EndsPause(const InputRecord& record) {
  return record.eventType == kKeyEvent && record.keyDown &&
         (record.virtualKeyCode < 0x10 || record.virtualKeyCode > 0x14);
}

}  // namespace

bool EndsProcess(uint32_t event) {
  return event == kCtrlCloseEvent || event == kCtrlLogoffEvent || event == kCtrlShutdownEvent;
}

// Once the handler of these events returns, the system ends the process: the
// handler holds on until the run has handed on its summary, or the time is up.
void WaitForRunOutput(Console& console) {
  for (uint32_t waited = 0; waited < kEndingEventWaitMs && !console.output.finished;
       waited += kEndingEventPollMs) {
    console.platform.Sleep(kEndingEventPollMs);
  }
}

void InitConsoleState(Console& console) {
  // The input mode belongs to the console, shared with the shell that
  // started the program: it is noted first and given back on the way out.
  uint32_t found = 0;
  console.events.stdinModeSaved = console.platform.GetStdinMode(found);
  console.events.savedStdinMode = found;
  console.platform.SetCtrlHandler(
      [&console](uint32_t event) { ConsoleCtrlHandler(console, event); });
  console.platform.SetStdinMode(kProcessedInput | kLineInput | kEchoInput);
  uint32_t mode = 0;
  if (console.platform.GetStdinMode(mode)) {
    console.platform.SetStdinMode((mode & ~(kLineInput | kEchoInput)) | kWindowInput);
  }
}

void RestoreConsoleState(Console& console) {
  if (console.events.stdinModeSaved) console.platform.SetStdinMode(console.events.savedStdinMode);
}

namespace {

// The message of a control event; null for none.
const char* MessageOf(const Console& console, uint32_t event) {
  // On POSIX the events are the signals SIGINT, SIGQUIT, SIGHUP and SIGTERM,
  // and are named so.
  const bool signals = console.conventions.signals;
  switch (event) {
    case kCtrlCEvent:
      return signals ? "\nSIGINT received -> abort\n" : "\nCtrl+C pressed -> abort\n";
    case kCtrlBreakEvent:
      return signals ? "\nSIGQUIT received -> abort\n" : "\nCtrl+Break pressed -> abort\n";
    case kCtrlCloseEvent:
      return signals ? "\nSIGHUP received -> abort\n" : "\nClose Button pressed -> abort\n";
    case kCtrlLogoffEvent:
      return "\nUser LogOff -> abort\n";
    case kCtrlShutdownEvent:
      return signals ? "\nSIGTERM received -> abort\n" : "\nSystem Shutdown -> abort\n";
    default:
      return nullptr;
  }
}

}  // namespace

bool ConsoleCtrlHandler(Console& console, uint32_t event) {
  // Job control asks for no abort: the status line leaves the screen before
  // the process stops and comes back when it is continued.
  if (event == kStopEvent) {
    SuspendStatusLine(console);
    return true;
  }
  if (event == kContinueEvent) {
    ResumeStatusLine(console);
    return true;
  }
  ControlEvents& events = console.events;
  bool ignored = false;
  {
    std::lock_guard<std::recursive_mutex> guard(events.handlerLock);
    ignored = events.ignoreFurtherEvents;
    if (!ignored) {
      // A second Ctrl+C says nothing.
      const char* message = MessageOf(console, event);
      if (console.recordsOnly || (event == kCtrlCEvent && console.stop.StopRequested())) {
        message = nullptr;
      }
      if (message != nullptr) {
        // Signals are taken by one thread of their own, which can wait for
        // the line being written to end, so that the message never splits a
        // line of the listing. The Windows handler may be called at any
        // moment and prints at once.
        std::unique_lock<std::recursive_timed_mutex> atLineEnd;
        if (console.conventions.signals) atLineEnd = HoldOutputAtLineEnd(console, kLineEndWait);
        PrintMessage(console, message);
      }
      // The system may end the process soon after a close, logoff or
      // shutdown event: what the run has printed so far goes out now.
      FlushOutput(console);
      // Under the lock, with the message: a run that printed it ends as
      // stopped, however close to its end the event came.
      if (event != kCtrlCEvent) events.ignoreFurtherEvents = true;
      uint32_t none = kNoControlEvent;
      events.stopEvent.compare_exchange_strong(none, event);
      console.stop.RequestStop();
    }
  }
  // Outside the lock: the run goes on to its summary meanwhile.
  if (!ignored && events.stopped) events.stopped();
  if (EndsProcess(event)) WaitForRunOutput(console);
  return true;
}

const char* ControlEventMessage(const Console& console, uint32_t event) {
  return MessageOf(console, event);
}

const char* ControlEventName(const Console& console, uint32_t event) {
  const bool signals = console.conventions.signals;
  switch (event) {
    case kCtrlCEvent:
      return signals ? "SIGINT" : "CTRL_C_EVENT";
    case kCtrlBreakEvent:
      return signals ? "SIGQUIT" : "CTRL_BREAK_EVENT";
    case kCtrlCloseEvent:
      return signals ? "SIGHUP" : "CTRL_CLOSE_EVENT";
    case kCtrlLogoffEvent:
      return "CTRL_LOGOFF_EVENT";
    case kCtrlShutdownEvent:
      return signals ? "SIGTERM" : "CTRL_SHUTDOWN_EVENT";
    default:
      return nullptr;
  }
}

bool EndControlEvents(Console& console) {
  std::lock_guard<std::recursive_mutex> guard(console.events.handlerLock);
  console.events.ignoreFurtherEvents = true;
  return console.stop.StopRequested();
}

void WaitForKeyIfOwnConsole(Console& console) {
  FlushOutput(console);
  Platform& platform = console.platform;
  if (!platform.HasExitPause()) return;
  if (!platform.OwnsConsoleWindow()) {
    platform.Sleep(100);
    return;
  }
  platform.Sleep(300);
  platform.FlushConsoleInput();
  if (console.recordsOnly) {
    PrintError(console, "Press any key to close");
  } else {
    PrintMessage(console, "Press any key to close");
  }
  FlushOutput(console);
  for (;;) {
    platform.Sleep(100);
    InputRecord record;
    // A console that cannot be read ends the pause rather than spin on it.
    if (!platform.ReadConsoleInput(record) || EndsPause(record)) break;
  }
  platform.Sleep(100);
}

}  // namespace quorrex
