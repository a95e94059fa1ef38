#include "console/console_state.h"

#include <mutex>

#include "console/message.h"
#include "console/progress_line.h"

namespace quorrex {
namespace {

constexpr uint32_t kProcessedInput = 0x1;
constexpr uint32_t kLineInput = 0x2;
constexpr uint32_t kEchoInput = 0x4;
constexpr uint32_t kWindowInput = 0x8;

bool EndsPause(const InputRecord& record) {
  return record.eventType == kKeyEvent &&
         (record.virtualKeyCode < 0x10 || record.virtualKeyCode > 0x14);
}

}  // namespace

bool EndsProcess(uint32_t event) {
  return event == kCtrlCloseEvent || event == kCtrlLogoffEvent || event == kCtrlShutdownEvent;
}

// Once the handler of these events returns, the system ends the process: the
// handler holds on until the run has handed on its summary, or the time is up.
void WaitForRunOutput(Run& run) {
  for (uint32_t waited = 0; waited < kEndingEventWaitMs && !run.output.finished;
       waited += kEndingEventPollMs) {
    run.platform.Sleep(kEndingEventPollMs);
  }
}

void InitConsoleState(Run& run) {
  // The input mode belongs to the console, shared with the shell that
  // started the program: it is noted first and given back on the way out.
  uint32_t found = 0;
  run.console.stdinModeSaved = run.platform.GetStdinMode(found);
  run.console.savedStdinMode = found;
  run.platform.SetCtrlHandler([&run](uint32_t event) { ConsoleCtrlHandler(run, event); });
  run.platform.SetStdinMode(kProcessedInput | kLineInput | kEchoInput);
  uint32_t mode = 0;
  if (run.platform.GetStdinMode(mode)) {
    run.platform.SetStdinMode((mode & ~(kLineInput | kEchoInput)) | kWindowInput);
  }
}

void RestoreConsoleState(Run& run) {
  if (run.console.stdinModeSaved) run.platform.SetStdinMode(run.console.savedStdinMode);
}

namespace {

// The message of a control event; null for none.
const char* MessageOf(const Run& run, uint32_t event) {
  // On POSIX the events are the signals SIGINT, SIGQUIT, SIGHUP and SIGTERM,
  // and are named so.
  const bool signals = run.conventions.signals;
  switch (event) {
    case kCtrlCEvent:
      if (run.console.abortRequested) return nullptr;
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

bool ConsoleCtrlHandler(Run& run, uint32_t event) {
  // Job control asks for no abort: the status line leaves the screen before
  // the process stops and comes back when it is continued.
  if (event == kStopEvent) {
    SuspendProgressLine(run);
    return true;
  }
  if (event == kContinueEvent) {
    ResumeProgressLine(run);
    return true;
  }
  ConsoleState& state = run.console;
  bool ignored = false;
  {
    std::lock_guard<std::recursive_mutex> guard(state.handlerLock);
    ignored = state.ignoreFurtherEvents;
    if (!ignored) {
      if (const char* message = MessageOf(run, event)) {
        // Signals are taken by one thread of their own, which can wait for
        // the line being written to end, so that the message never splits a
        // line of the listing. The Windows handler may be called at any
        // moment and prints at once.
        std::unique_lock<std::recursive_timed_mutex> atLineEnd;
        if (run.conventions.signals) atLineEnd = HoldOutputAtLineEnd(run, kLineEndWait);
        PrintMessage(run, message);
      }
      // The system may end the process soon after a close, logoff or
      // shutdown event: what the run has printed so far goes out now.
      FlushOutput(run);
    }
  }
  if (!ignored) {
    if (event != kCtrlCEvent) state.ignoreFurtherEvents = true;
    state.abortRequested = true;
  }
  // Outside the lock: the run goes on to its summary meanwhile.
  if (EndsProcess(event)) WaitForRunOutput(run);
  return true;
}

void WaitForKeyIfOwnConsole(Run& run) {
  FlushOutput(run);
  Platform& platform = run.platform;
  if (!platform.HasExitPause()) return;
  if (!platform.OwnsConsoleWindow()) {
    platform.Sleep(100);
    return;
  }
  platform.Sleep(300);
  platform.FlushConsoleInput();
  PrintMessage(run, "Press any key to close");
  FlushOutput(run);
  for (;;) {
    platform.Sleep(100);
    InputRecord record;
    // A console that cannot be read ends the pause rather than spin on it.
    if (!platform.ReadConsoleInput(record) || EndsPause(record)) break;
  }
  platform.Sleep(100);
}

}  // namespace quorrex
