#include "scan/reparse_report.h"

#include <string>

#include "paths/path_forms.h"
#include "scan/backup_privilege.h"

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
  Printer& printer = *scan.printer;
  switch (read.stage) {
    case ReparseRead::Stage::kOpenFailed: {
      // An open cancelled after an abort says nothing of the reparse point.
      if (CancelledByAbort(scan.stop, read.error)) return;
      const Recording recording(scan.tallies.lock);
      ++scan.tallies.totals.errors;
      printer.ReparsePointNotOpened(displayPath, read.error);
      return;
    }
    case ReparseRead::Stage::kQueryFailed: {
      // So does a query cancelled after an abort.
      if (CancelledByAbort(scan.stop, read.error)) return;
      const Recording recording(scan.tallies.lock);
      printer.ReparseDataUnreadable(displayPath, read.error);
      return;  // not counted
    }
    case ReparseRead::Stage::kRead:
      break;
  }
  ReparseInfo info = DecodeReparseData(data, read.bytesReturned, printer.WantsDetail());
  // Where paths are the system's own there are no NT names: a mount point
  // is shown by its print name, the platform's printed form of the target.
  // Data an NTFS volume stores is shown as Windows shows it.
  if (!scan.conventions.windowsPathForms && !read.stored && !info.printName.empty() &&
      (info.kind == ReparseKind::kVolumeMountPoint ||
       info.kind == ReparseKind::kDirectoryJunction)) {
    info.shownTarget = info.printName;
  }
  ReparseFinding point{displayPath, info, std::nullopt, std::nullopt};
  if (printer.WantsDetail() &&
      (info.kind == ReparseKind::kSymbolicLink || info.kind == ReparseKind::kDirectoryJunction)) {
    point.target = scan.platform.FindLinkTarget(OpenName(scan.conventions, entry.path), entry);
  }
  if (printer.WantsDetail() && !scan.conventions.windowsPathForms &&
      (info.kind == ReparseKind::kVolumeMountPoint ||
       info.kind == ReparseKind::kDirectoryJunction)) {
    MountFacts facts;
    if (scan.platform.DescribeMount(OpenName(scan.conventions, entry.path), entry, facts)) {
      point.mount = std::move(facts);
    }
  }
  // The queries above may wait on a server; what is recorded is not held up.
  const Recording recording(scan.tallies.lock);
  CountReparsePoint(scan.tallies.counters, info.kind);
  printer.ReparsePoint(point);
}

}  // namespace quorrex
