#include "run/run_program.h"

#include <optional>

#include "console/console_state.h"
#include "console/display_text.h"
#include "console/message.h"
#include "console/output_sink.h"
#include "console/path_line.h"
#include "console/status_line.h"
#include "paths/path_forms.h"
#include "paths/target.h"
#include "platform/error_names.h"
#include "scan/hard_link_groups.h"
#include "scan/walker.h"
#include "support/memory.h"
#include "support/threads.h"
#include "support/utf.h"

namespace quorrex {
namespace {

// The first two parts of the program's own version.
struct VersionInfo {
  uint16_t major = 0;
  uint16_t minor = 0;
};

char16_t Lower(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? c + (u'a' - u'A') : c;
}

// Sets the option `arg` names; false when it names none.
bool TakeOption(Run& run, const std::u16string& arg) {
  if (arg.size() != 2 || arg[0] != u'-') return false;
  switch (Lower(arg[1])) {
    case u'r':
    case u's':
      run.settings.recurse = true;
      return true;
    case u'1':
    case u'l':
      run.console.oneLine = true;
      return true;
    default:
      return false;
  }
}

// Whether a failed write only tells that the reader of standard output went
// away (`head` has read its lines, a pager was quit): a pipe closed at its
// far end, on Windows ERROR_NO_DATA or ERROR_BROKEN_PIPE.
bool ReaderWentAway(uint32_t error) {
  constexpr uint32_t kBrokenPipe = 109;
  constexpr uint32_t kNoData = 232;
  constexpr uint32_t kPosixBrokenPipe = win_error::kPosixErrnoBase | 32;  // EPIPE
  return error == kBrokenPipe || error == kNoData || error == kPosixBrokenPipe;
}

// What RunProgram's steps return when another thread has taken the report
// over: the run's own thread then prints nothing more.
constexpr int kTakenOver = -1;

// Moves the run to `next`, doing `printing` on the way under the lock of the
// tallies; false when another thread has taken the report over.
template <typename Printing>
bool Advance(Run& run, RunPhase next, Printing&& printing) {
  std::lock_guard<std::mutex> hold(run.tallies.lock);
  if (run.takeover.phase == RunPhase::kTakenOver) return false;
  run.takeover.phase = next;
  printing();
  run.takeover.phaseChanged.notify_all();
  return true;
}

bool Advance(Run& run, RunPhase next) {
  return Advance(run, next, [] {});
}

// The run's own thread, once another has taken the report over: it waits
// for the end, which in a process comes when that thread ends the process.
int WaitForTakeover(Run& run) {
  std::unique_lock<std::mutex> hold(run.takeover.endLock);
  run.takeover.ended.wait(hold, [&run] { return run.takeover.done; });
  return run.takeover.code;
}

// The end of every way out: the printer's last word, pending output, then
// the exit pause. A run whose output could not be written ends with 4, and
// says so on standard error unless its reader simply went away; one whose
// writes were given up after a control event ends as stopped. A stopped run
// lets go of its standard streams once all is written, since a thread still
// inside a call that does not return would hold them open.
int FinishRun(Run& run, int code) {
  Console& console = run.console;
  if (!OutputFailed(console)) {
    RunEnd end;
    end.exitCode = code;
    end.stopEvent = console.events.stopEvent.load();
    end.errors = run.tallies.totals.errors;
    run.printer->End(end);
  }
  StopOutputFlusher(console);
  StopStatusLine(console);
  FlushOutput(console);
  if (OutputGivenUp(console)) {
    // A reader that stopped reading after a control event: the run was
    // stopped, and its output ends where the reader stopped taking it.
    code = kExitAborted;
  } else if (OutputFailed(console)) {
    if (!ReaderWentAway(console.output.failError)) {
      PrintError(console, "output failed (%s) -> abort\n",
                 SystemErrorName(console.output.failError));
    }
    code = kExitOutputFailed;
  }
  console.output.finished = true;
  WaitForKeyIfOwnConsole(console);
  FlushOutput(console);
  SetAllocationRescue(nullptr, nullptr);
  RestoreConsoleState(console);
  if (code == kExitAborted) run.platform.CloseStandardStreams();
  return code;
}

// Every way out of the run's own thread ends here.
// The watch for a takeover, once the run has ended without needing it or
// the takeover has ended it: no later event starts one, and the thread is
// joined (it returns as soon as it sees the phase), so that a run kept
// alive, as a test keeps one whose reader is stuck, holds no finished
// thread.
void EndTakeoverWatch(Run& run) {
  ReportTakeover& takeover = run.takeover;
  std::lock_guard<std::mutex> hold(takeover.startLock);
  takeover.started = true;
  if (takeover.thread.joinable()) takeover.thread.join();
}

int EndRun(Run& run, int code) {
  if (code == kTakenOver || !Advance(run, RunPhase::kReporting)) {
    const int taken = WaitForTakeover(run);
    EndTakeoverWatch(run);
    return taken;
  }
  const int ended = FinishRun(run, code);
  EndTakeoverWatch(run);
  return ended;
}

// A refused allocation erases the status line and writes out what the run
// holds before the process ends.
void RescueOutput(void* context) {
  Console& console = *static_cast<Console*>(context);
  HaltStatusLine(console);
  FlushOutputWithin(console, 500);
}

// The first two parts of the file version of the program's own file; 0.0
// when it cannot be read.
VersionInfo OwnVersion(Platform& platform) {
  VersionInfo version;
  uint32_t fileVersionMS = 0;
  if (platform.ReadFileVersion(platform.OwnFilePath(), fileVersionMS)) {
    version.major = static_cast<uint16_t>(fileVersionMS >> 16);
    version.minor = static_cast<uint16_t>(fileVersionMS & 0xFFFF);
  }
  return version;
}

// What the run was asked to do, as far as it has got.
RunFacts Facts(const Run& run) {
  RunFacts facts;
  facts.versionMajor = run.version.major;
  facts.versionMinor = run.version.minor;
  facts.fileSpec = run.fileSpec;
  facts.scanFolder = run.target.scanFolder;
  facts.namePattern = run.target.namePattern;
  facts.recurse = run.settings.recurse;
  facts.workers = WalkWorkers(run.settings);
  return facts;
}

// Tells the printer why the run ends before its walk; returns `code`, or
// kTakenOver.
int EndEarly(Run& run, EarlyEnd why, int code, const RunEnd& end = {}) {
  if (!Advance(run, RunPhase::kReporting)) return kTakenOver;
  run.printer->EndsEarly(why, Facts(run), end);
  return code;
}

// The volume and folder checks; 0 when the walk may start, else the exit code.
// A check that failed after a control event (a server that did not answer,
// its call given up) says nothing of the volume: the run ends as stopped, and
// the walk never starts.
int CheckVolumeAndFolder(Run& run) {
  Platform& platform = run.platform;
  const std::u16string& scanFolder = run.target.scanFolder;
  std::u16string volume;
  if (!platform.GetVolumePathName(scanFolder, volume)) {
    if (run.AbortRequested()) return 0;
    return EndEarly(run, EarlyEnd::kVolumeInvalid, kExitNoVolume);
  }
  uint32_t fsFlags = 0;
  std::u16string fsName;
  uint32_t error = platform.GetVolumeInformation(volume, fsFlags, fsName);
  // A volume path that stops short of its root is asked again at the root of
  // whatever form it has (`C:\`, `\\?\C:\`, a share, a volume name).
  const size_t root = RootLength(volume);
  if (error == win_error::kDirNotRoot && root != 0 && root < volume.size()) {
    volume.resize(root);
    error = platform.GetVolumeInformation(volume, fsFlags, fsName);
  }
  if (error != 0 && CancelledByAbort(run.console.stop, error)) return 0;
  if (error != 0) return EndEarly(run, EarlyEnd::kVolumeInvalid, kExitVolumeUnusable);
  if ((fsFlags & kFsSupportsReparsePoints) == 0) {
    RunEnd end;
    end.fileSystem = fsName;
    return EndEarly(run, EarlyEnd::kNoReparsePoints, kExitVolumeUnusable, end);
  }
  {
    const Recording recording(run.tallies.lock);
    run.tallies.hardLinks.Clear();
  }
  const uint32_t attributes = platform.GetFileAttributes(scanFolder);
  if (attributes == kInvalidFileAttributes || (attributes & kAttrDirectory) == 0) {
    if (run.AbortRequested()) return 0;
    return EndEarly(run, EarlyEnd::kFolderNotFound, kExitFolderNotFound);
  }
  return 0;
}

// The file specification's normalisation and split, the checks, the walk
// and the group report; 0 when the walk ran, else the exit code.
int Scan(Run& run) {
  Console& console = run.console;
  const std::optional<NormalisedSpec> spec =
      NormaliseTarget(run.platform, run.conventions, run.fileSpec);
  if (!spec) return EndEarly(run, EarlyEnd::kFolderNotFound, kExitFolderNotFound);
  {
    const Recording recording(run.tallies.lock);
    run.target = SplitTarget(run.platform, run.conventions, *spec).value_or(Target{});
  }
  if (!Advance(run, RunPhase::kChecking)) return kTakenOver;
  if (const int code = CheckVolumeAndFolder(run); code != 0) return code;

  if (!Advance(run, RunPhase::kWalking, [&run] { run.printer->WalkBegins(Facts(run)); })) {
    return kTakenOver;
  }
  if (run.AbortRequested()) return 0;  // stopped during the checks
  StartStatusLine(console);
  WalkFolder(run.scan, run.target.scanFolder, run.target.namePattern);
  if (!Advance(run, RunPhase::kReporting)) return kTakenOver;
  // Output that failed ends the run here: no group report, no summary.
  if (!OutputFailed(console)) ReportHardLinkGroups(run.scan);
  return 0;
}

// A setting's value as standard error shows it: on a terminal with its
// control characters masked, as a name's are, so that a value cannot send
// the terminal commands.
std::string ShownSetting(Console& console, const std::string& value) {
  Platform& platform = console.platform;
  if (!console.conventions.byteTerminal || !platform.MasksControlCharacters() ||
      !platform.StderrIsConsole()) {
    return value;
  }
  return EncodeUtf8Lossless(MaskControlCharacters(DecodeUtf8Lossless(value)));
}

// After a control event: when the run's own thread has not reached its
// report within the grace (it is inside a system call that does not return:
// a server that does not answer, a call the system cannot cancel), this
// thread reports what was found in its stead and ends the process. Holding
// the tallies' lock it reads them whole, and the walk's thread, should its
// call return, records and prints nothing more; standard output takes only
// this thread's writes.
void TakeOver(Run& run) {
  ReportTakeover& takeover = run.takeover;
  std::unique_lock<std::mutex> hold(run.tallies.lock);
  takeover.phaseChanged.wait_for(hold, kTakeoverGrace,
                                 [&takeover] { return takeover.phase >= RunPhase::kReporting; });
  if (takeover.phase >= RunPhase::kReporting) return;
  const RunPhase at = takeover.phase;
  takeover.phase = RunPhase::kTakenOver;
  Console& console = run.console;
  TakeOutputForThisThread(console, kLineEndWait);
  EndControlEvents(console);
  if (!OutputFailed(console)) {
    if (at == RunPhase::kChecking) run.printer->WalkBegins(Facts(run));
    if (at == RunPhase::kWalking) ReportHardLinkGroups(run.scan);
    if (at != RunPhase::kStarting) {
      run.printer->Summary(run.tallies.counters, run.tallies.totals);
    }
  }
  const int code = FinishRun(run, kExitAborted);
  run.platform.EndProcessNow(code);
  hold.unlock();
  {
    std::lock_guard<std::mutex> ending(takeover.endLock);
    takeover.done = true;
    takeover.code = code;
  }
  takeover.ended.notify_all();
}

// At the first control event that stops the run, the watch for a takeover.
void WatchForTakeover(Run& run) {
  ReportTakeover& takeover = run.takeover;
  std::lock_guard<std::mutex> hold(takeover.startLock);
  if (takeover.started) return;
  takeover.started = true;
  // Without the thread the run ends as before, when its walk comes back.
  StartThread(takeover.thread, [&run] { TakeOver(run); });
}

}  // namespace

void InstallAllocationFailure(Platform& platform) {
  InstallAllocationFailure(
      [](void* context) {
        auto* system = static_cast<Platform*>(context);
        system->Sleep(500);
        system->Beep(1000, 3000);
      },
      &platform);
}

int RunProgram(Run& run, const std::vector<std::u16string>& args) {
  Console& console = run.console;
  run.platform.HardenLibrarySearch();
  run.platform.FailCriticalErrors();
  SetAllocationRescue(RescueOutput, &console);
  console.maxColumn = int32_t{ConsoleBufferWidth(run.platform)} - 1;
  console.events.stopped = [&run] { WatchForTakeover(run); };
  InitConsoleState(console);
  if (!run.unknownFormat.empty()) {
    PrintError(console, "QUORREX_FORMAT=%s is not a format (text, json): the text is printed\n",
               ShownSetting(console, run.unknownFormat));
  }
  if (!run.unknownWorkers.empty()) {
    PrintError(console,
               "QUORREX_WORKERS=%s is not a number from 1 to 64: the processor count is used\n",
               ShownSetting(console, run.unknownWorkers));
  }
  const VersionInfo version = OwnVersion(run.platform);
  run.version = {version.major, version.minor};
  run.printer->Banner(Facts(run));
  StartOutputFlusher(console);

  if (args.size() <= 1) {
    run.printer->Usage();
    return EndRun(run, EndEarly(run, EarlyEnd::kUsage, kExitUsage));
  }
  run.printer->ArgumentsRead();

  for (size_t i = 1; i < args.size(); ++i) {
    if (TakeOption(run, args[i])) continue;
    if (!run.fileSpec.empty()) {
      RunEnd end;
      end.argument = args[i];
      return EndRun(run, EndEarly(run, EarlyEnd::kSecondFileSpec, kExitSecondFileSpec, end));
    }
    run.fileSpec = args[i];
  }

  // From the normalisation to the group report, the file system is asked
  // with redirection off: a 32-bit program on 64-bit Windows then sees the
  // native System32 wherever the user names it, in the folder-or-pattern
  // test and the volume and folder checks as in the walk.
  run.platform.BeginFileSystemWork();
  const int code = Scan(run);
  run.platform.EndFileSystemWork();
  if (code != 0) return EndRun(run, code);
  // Once the summary begins a control event is ignored: nothing follows the
  // summary's last line. One before it has printed its message and ends the
  // run as stopped. The report is this thread's from here on.
  const bool stopped = EndControlEvents(console);
  if (!OutputFailed(console)) run.printer->Summary(run.tallies.counters, run.tallies.totals);
  return EndRun(run, stopped ? kExitAborted : kExitCompleted);
}

}  // namespace quorrex
