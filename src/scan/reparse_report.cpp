#include "scan/reparse_report.h"

#include <string>

#include "console/message.h"
#include "console/path_line.h"
#include "paths/path_forms.h"
#include "scan/error_names.h"
#include "scan/reparse_names.h"

namespace quorrex {
namespace {

constexpr char16_t kBackupPrivilege[] = u"SeBackupPrivilege";
constexpr std::u16string_view kLongPathPrefix = u"\\\\?\\";

// Once per run: the first successful open of the process token tries to
// enable the backup privilege, so that folders the account may not list can
// still be read for their reparse data. Nothing of it is reported.
void EnsureBackupPrivilege(Run& run) {
  if (run.tokenOpened) return;
  Handle token = 0;
  if (!run.platform.OpenProcessToken(token)) return;  // the next inspection tries again
  run.tokenOpened = true;
  Luid luid;
  if (run.platform.LookupPrivilegeValue(kBackupPrivilege, luid)) {
    EnableBackupPrivilege(run, token, luid);
  }
  run.platform.CloseHandle(token);
  run.privilegeSettled.store(true, std::memory_order_release);
}

// The name the point is opened under: a path that is already in long form, a
// server path or a bare device path as it is, any other Windows path behind
// the long-path prefix. A POSIX path is its own name.
std::u16string OpenName(const Run& run, std::u16string_view path) {
  if (!run.conventions.windowsPathForms || HasLongPathPrefix(path) || IsUncLike(path) ||
      IsBareDevicePath(path)) {
    return std::u16string(path);
  }
  std::u16string name;
  name.reserve(kLongPathPrefix.size() + path.size());
  name.append(kLongPathPrefix);
  name.append(path);
  return name;
}

// The block of a point that leads to one target: its label and path, then
// the target on a line of its own.
void PrintTargetBlock(Run& run, const char* label, std::u16string_view displayPath,
                      std::u16string_view target) {
  PrintMessage(run, label);
  PrintPathLine(run, " %S\n", displayPath);
  PrintPathLine(run, " -> %S\n", target);
}

}  // namespace

void EnableBackupPrivilege(Run& run, Handle token, const Luid& luid) {
  TokenPrivileges newState;
  newState.privilegeCount = 1;
  newState.luid = luid;
  newState.attributes = 0;
  TokenPrivileges previous;
  uint32_t previousLength = kTokenPrivilegesSize;
  if (run.platform.AdjustTokenPrivileges(token, newState, kTokenPrivilegesSize, &previous,
                                         &previousLength) != win_error::kSuccess) {
    return;  // the account does not hold the privilege
  }
  // When the first call changed nothing the previous state comes back without
  // an entry; the privilege is then set to the enabled bit alone.
  previous.privilegeCount = 1;
  previous.luid = luid;
  previous.attributes |= kSePrivilegeEnabled;
  run.platform.AdjustTokenPrivileges(token, previous, previousLength, nullptr, nullptr);
}

void InspectReparsePoint(Run& run, const EntryRef& entry) {
  EnsureBackupPrivilege(run);
  const std::u16string openName = OpenName(run, entry.path);
  if (run.reparseBuffer.size() != kReparseBufferSize) run.reparseBuffer.resize(kReparseBufferSize);
  const ReparseRead read = run.platform.ReadReparseData(openName, entry, run.reparseBuffer);
  ReportReparsePoint(run, entry, read, run.reparseBuffer);
}

void ReportReparsePoint(Run& run, const EntryRef& entry, const ReparseRead& read,
                        std::span<const uint8_t> data) {
  EnsureBackupPrivilege(run);
  const std::u16string_view displayPath = !run.conventions.windowsPathForms
                                              ? entry.path
                                              : DisplayForm(entry.path, DisplayRule::kReparse);
  switch (read.stage) {
    case ReparseRead::Stage::kOpenFailed:
      PrintMessage(run, "error %s opening reparse point ", SystemErrorName(read.error));
      PrintPathLine(run, "%S\n", displayPath);
      return;
    case ReparseRead::Stage::kQueryFailed:
      return;  // neither printed nor counted
    case ReparseRead::Stage::kRead:
      break;
  }
  ReparseInfo info = DecodeReparseData(data, read.bytesReturned);
  // Where paths are the system's own there are no NT names: a mount point
  // is shown by its print name, the platform's printed form of the target.
  if (!run.conventions.windowsPathForms && !info.printName.empty() &&
      (info.kind == ReparseKind::kVolumeMountPoint ||
       info.kind == ReparseKind::kDirectoryJunction)) {
    info.shownTarget = info.printName;
  }
  PrintReparseReport(run, displayPath, info);
}

void PrintReparseReport(Run& run, std::u16string_view displayPath, const ReparseInfo& info) {
  ScanCounters& counters = run.counters;
  ++counters.reparsePoints;
  PrintMessage(run, "reparse point");
  switch (info.kind) {
    case ReparseKind::kVolumeMountPoint:
      PrintTargetBlock(run, " (volume mountpoint)", displayPath, info.shownTarget);
      ++counters.volumeMountPoints;
      ++counters.mountPoints;
      break;
    case ReparseKind::kDirectoryJunction:
      PrintTargetBlock(run, " (directory mountpoint)", displayPath, info.shownTarget);
      ++counters.junctions;
      ++counters.mountPoints;
      break;
    case ReparseKind::kSymbolicLink:
      PrintTargetBlock(run, " (symlink)", displayPath, info.shownTarget);
      ++counters.symbolicLinks;
      break;
    case ReparseKind::kAppExecLink:
      PrintMessage(run, " (app exec link)");
      PrintPathLine(run, " %S\n", displayPath);
      for (const std::u16string& text : info.strings) PrintPathLine(run, " -> %S\n", text);
      ++counters.appExecLinks;
      break;
    case ReparseKind::kWofCompressed:
      PrintMessage(run, " (wof compressed)");
      PrintPathLine(run, " %S\n", displayPath);
      PrintMessage(run, " -> version=%i algorithm=%s", static_cast<int32_t>(info.wofVersion),
                   info.wofAlgorithmName);
      PrintMessage(run, "\n");
      ++counters.wofLinks;
      break;
    case ReparseKind::kDeduplicated:
      PrintMessage(run, " (deduplicated)");
      PrintPathLine(run, " %S\n", displayPath);
      ++counters.dedupLinks;
      break;
    case ReparseKind::kUnsupported:
      PrintMessage(run, " unsupported %stype %s\n", info.microsoftTag ? "Microsoft " : "",
                   ReparseTagName(info.tag));
      break;
  }
}

}  // namespace quorrex
