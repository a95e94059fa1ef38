#include "scan/reparse_report.h"

#include <string>

#include "console/message.h"
#include "console/path_line.h"
#include "paths/path_forms.h"
#include "platform/error_names.h"
#include "scan/backup_privilege.h"
#include "scan/reparse_names.h"

namespace quorrex {
namespace {

constexpr std::u16string_view kLongPathPrefix = u"\\\\?\\";

// The name the point is opened under: a path that is already in long form, a
// server path or a bare device path as it is, any other Windows path behind
// the long-path prefix. A POSIX path is its own name.
std::u16string OpenName(const SystemConventions& conventions, std::u16string_view path) {
  if (!conventions.windowsPathForms || HasLongPathPrefix(path) || IsUncLike(path) ||
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
void PrintTargetBlock(Console& console, const char* label, std::u16string_view displayPath,
                      std::u16string_view target) {
  PrintMessage(console, label);
  PrintPathLine(console, " %S\n", displayPath);
  PrintPathLine(console, " -> %S\n", target);
}

}  // namespace

void InspectReparsePoint(const ScanContext& scan, const EntryRef& entry) {
  EnsureBackupPrivilege(scan.platform, scan.reparseReader);
  const std::u16string openName = OpenName(scan.conventions, entry.path);
  std::vector<uint8_t>& buffer = scan.reparseReader.buffer;
  if (buffer.size() != kReparseBufferSize) buffer.resize(kReparseBufferSize);
  const ReparseRead read = scan.platform.ReadReparseData(openName, entry, buffer);
  ReportReparsePoint(scan, entry, read, buffer);
}

void ReportReparsePoint(const ScanContext& scan, const EntryRef& entry, const ReparseRead& read,
                        std::span<const uint8_t> data) {
  EnsureBackupPrivilege(scan.platform, scan.reparseReader);
  const std::u16string_view displayPath =
      !scan.conventions.windowsPathForms ? entry.path
                                         : DisplayForm(entry.path, DisplayRule::kLongDrivePath);
  switch (read.stage) {
    case ReparseRead::Stage::kOpenFailed:
      // An open cancelled after an abort says nothing of the reparse point.
      if (CancelledByAbort(scan.stop, read.error)) return;
      PrintMessage(scan.console, "error %s opening reparse point ", SystemErrorName(read.error));
      PrintPathLine(scan.console, "%S\n", displayPath);
      return;
    case ReparseRead::Stage::kQueryFailed:
      return;  // neither printed nor counted
    case ReparseRead::Stage::kRead:
      break;
  }
  ReparseInfo info = DecodeReparseData(data, read.bytesReturned);
  // Where paths are the system's own there are no NT names: a mount point
  // is shown by its print name, the platform's printed form of the target.
  if (!scan.conventions.windowsPathForms && !info.printName.empty() &&
      (info.kind == ReparseKind::kVolumeMountPoint ||
       info.kind == ReparseKind::kDirectoryJunction)) {
    info.shownTarget = info.printName;
  }
  PrintReparseReport(scan.console, scan.tallies.counters, displayPath, info);
}

void PrintReparseReport(Console& console, ScanCounters& counters, std::u16string_view displayPath,
                        const ReparseInfo& info) {
  ++counters.reparsePoints;
  PrintMessage(console, "reparse point");
  switch (info.kind) {
    case ReparseKind::kVolumeMountPoint:
      PrintTargetBlock(console, " (volume mountpoint)", displayPath, info.shownTarget);
      ++counters.volumeMountPoints;
      ++counters.mountPoints;
      break;
    case ReparseKind::kDirectoryJunction:
      PrintTargetBlock(console, " (directory mountpoint)", displayPath, info.shownTarget);
      ++counters.junctions;
      ++counters.mountPoints;
      break;
    case ReparseKind::kSymbolicLink:
      PrintTargetBlock(console, " (symlink)", displayPath, info.shownTarget);
      ++counters.symbolicLinks;
      break;
    case ReparseKind::kAppExecLink:
      PrintMessage(console, " (app exec link)");
      PrintPathLine(console, " %S\n", displayPath);
      for (const std::u16string& text : info.strings) PrintPathLine(console, " -> %S\n", text);
      ++counters.appExecLinks;
      break;
    case ReparseKind::kWofCompressed:
      PrintMessage(console, " (wof compressed)");
      PrintPathLine(console, " %S\n", displayPath);
      PrintMessage(console, " -> version=%i algorithm=%s", static_cast<int32_t>(info.wofVersion),
                   info.wofAlgorithmName);
      PrintMessage(console, "\n");
      ++counters.wofLinks;
      break;
    case ReparseKind::kDeduplicated:
      PrintMessage(console, " (deduplicated)");
      PrintPathLine(console, " %S\n", displayPath);
      ++counters.dedupLinks;
      break;
    case ReparseKind::kUnsupported:
      PrintMessage(console, " unsupported %stype %s\n", info.microsoftTag ? "Microsoft " : "",
                   ReparseTagName(info.tag));
      break;
  }
}

}  // namespace quorrex
