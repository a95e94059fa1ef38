#include "run/run_program.h"

#include "console/console_state.h"
#include "console/message.h"
#include "console/path_line.h"
#include "console/progress_line.h"
#include "paths/path_forms.h"
#include "paths/target.h"
#include "run/summary.h"
#include "scan/error_names.h"
#include "scan/hard_links.h"
#include "scan/reparse_names.h"
#include "scan/walker.h"
#include "support/memory.h"
#include "run/startup.h"

namespace quorrex {
namespace {

constexpr const char* kUsage[] = {
    " lists reparse points, symbolic links and hard links\n",
    "Usage:\n",
    "Quorrex FileSpec [-s]\n",
    "-s  recurse subdirs\n",
    "-1  print file names into one line by shortening\n",
    "\n",
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
      run.options.recurse = true;
      return true;
    case u'1':
    case u'l':
      run.options.oneLine = true;
      return true;
    default:
      return false;
  }
}

// Every way out ends here: pending output, then the exit pause. A run whose
// output could not be written says so on standard error and ends with 4.
int Finish(Run& run, int code) {
  StopOutputFlusher(run);
  StopProgressLine(run);
  FlushOutput(run);
  if (OutputFailed(run)) {
    PrintError(run, "output failed (%s) -> abort\n", SystemErrorName(run.output.failError));
    code = kExitOutputFailed;
  }
  run.output.finished = true;
  WaitForKeyIfOwnConsole(run);
  FlushOutput(run);
  SetAllocationRescue(nullptr, nullptr);
  RestoreConsoleState(run);
  return code;
}

// A refused allocation erases the status line and writes out what the run
// holds before the process ends.
void RescueOutput(void* context) {
  Run& run = *static_cast<Run*>(context);
  HaltProgressLine(run);
  FlushOutputWithin(run, 500);
}

// The volume and folder checks; 0 when the walk may start, else the exit code.
int CheckVolumeAndFolder(Run& run) {
  Platform& platform = run.platform;
  std::u16string volume;
  if (!platform.GetVolumePathName(run.scanFolder, volume)) {
    PrintError(run, "volume is invalid -> abort\n");
    return kExitNoVolume;
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
  if (error != 0) {
    PrintError(run, "volume is invalid -> abort\n");
    return kExitVolumeUnusable;
  }
  if ((fsFlags & kFsSupportsReparsePoints) == 0) {
    PrintMessage(run, "The %S file system does not support reparse points -> abort\n", fsName);
    return kExitVolumeUnusable;
  }
  run.hardLinks.Clear();
  const uint32_t attributes = platform.GetFileAttributes(run.scanFolder);
  if (attributes == kInvalidFileAttributes || (attributes & kAttrDirectory) == 0) {
    PrintMessage(run, "folder not found -> abort\n");
    return kExitFolderNotFound;
  }
  return 0;
}

// The file specification's normalisation and split, the checks, the walk
// and the group report; 0 when the walk ran, else the exit code.
int Scan(Run& run) {
  if (!NormaliseTarget(run)) {
    PrintMessage(run, "folder not found -> abort\n");
    return kExitFolderNotFound;
  }
  SplitTarget(run, run.fileSpec);
  if (const int code = CheckVolumeAndFolder(run); code != 0) return code;

  // The lone carriage return only means something on a terminal.
  if (!run.conventions.byteTerminal || !OutputRedirected(run)) PrintMessage(run, "\r");
  StartProgressLine(run);
  WalkFolder(run, run.scanFolder, run.namePattern);
  // Output that failed ends the run here: no group report, no summary.
  if (!OutputFailed(run)) ReportHardLinkGroups(run);
  return 0;
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
  HardenDllSearch(run);
  SetAllocationRescue(RescueOutput, &run);
  run.maxColumn = int32_t{ConsoleBufferWidth(run)} - 1;
  InitConsoleState(run);
  ReadOwnVersion(run, run.platform.OwnFilePath());
  PrintMessage(run, "Quorrex %u.%u", uint32_t{run.version.major}, uint32_t{run.version.minor});
  StartOutputFlusher(run);

  if (args.size() <= 1) {
    for (const char* text : kUsage) PrintMessage(run, text);
    return Finish(run, kExitUsage);
  }
  PrintMessage(run, "\n");

  for (size_t i = 1; i < args.size(); ++i) {
    if (TakeOption(run, args[i])) continue;
    if (!run.fileSpec.empty()) {
      PrintMessage(run, "invalid parameter %S\n", args[i]);
      return Finish(run, kExitSecondFileSpec);
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
  if (code != 0) return Finish(run, code);
  if (!OutputFailed(run)) PrintSummary(run);
  return Finish(run, run.AbortRequested() ? kExitAborted : kExitCompleted);
}

}  // namespace quorrex
