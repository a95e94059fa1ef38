#include "console/console_state.h"

#include <mutex>

#include "console/message.h"

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

void InitConsoleState(Run& run) {
  run.platform.SetCtrlHandler([&run](uint32_t event) { ConsoleCtrlHandler(run, event); });
  run.platform.SetStdinMode(kProcessedInput | kLineInput | kEchoInput);
  uint32_t mode = 0;
  if (run.platform.GetStdinMode(mode)) {
    run.platform.SetStdinMode((mode & ~(kLineInput | kEchoInput)) | kWindowInput);
  }
}

bool ConsoleCtrlHandler(Run& run, uint32_t event) {
  // On POSIX the events are the signals SIGINT, SIGQUIT, SIGHUP and SIGTERM,
  // and are named so.
  ConsoleState& state = run.console;
  {
    std::lock_guard<std::recursive_mutex> guard(state.handlerLock);
    if (state.ignoreFurtherEvents) return true;
    switch (event) {
      case kCtrlCEvent:
        if (!state.abortRequested)
          PrintMessage(
              run, run.posix() ? "\nSIGINT received -> abort\n" : "\nCtrl+C pressed -> abort\n");
        break;
      case kCtrlBreakEvent:
        PrintMessage(
            run, run.posix() ? "\nSIGQUIT received -> abort\n" : "\nCtrl+Break pressed -> abort\n");
        break;
      case kCtrlCloseEvent:
        PrintMessage(run, run.posix() ? "\nSIGHUP received -> abort\n"
                                      : "\nClose Button pressed -> abort\n");
        break;
      case kCtrlLogoffEvent:
        PrintMessage(run, "\nUser LogOff -> abort\n");
        break;
      case kCtrlShutdownEvent:
        PrintMessage(
            run, run.posix() ? "\nSIGTERM received -> abort\n" : "\nSystem Shutdown -> abort\n");
        break;
      default:
        break;
    }
    // The system may end the process soon after a close, logoff or shutdown
    // event: what the run has printed so far goes out now.
    FlushOutput(run);
  }
  if (event != kCtrlCEvent) state.ignoreFurtherEvents = true;
  state.abortRequested = true;
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
