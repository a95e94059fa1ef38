// Records for scripts: one JSON Lines record for each finding, in the order
// of the text, with every path whole.
#include <cstdio>
#include <memory>
#include <string>

#include "console/console_state.h"
#include "console/json_line.h"
#include "console/message.h"
#include "platform/error_names.h"
#include "scan/entry_rules.h"
#include "scan/printer.h"
#include "scan/reparse_names.h"
#include "scan/scan_records.h"

namespace quorrex {
namespace {

const char* KindName(ReparseKind kind) {
  switch (kind) {
    case ReparseKind::kVolumeMountPoint:
      return "volume_mount_point";
    case ReparseKind::kDirectoryJunction:
      return "junction";
    case ReparseKind::kSymbolicLink:
      return "symlink";
    case ReparseKind::kAppExecLink:
      return "app_exec_link";
    case ReparseKind::kWofCompressed:
      return "wof";
    case ReparseKind::kDeduplicated:
      return "dedup";
    case ReparseKind::kUnsupported:
      break;
  }
  return "other";
}

const char* EarlyEndName(EarlyEnd why) {
  switch (why) {
    case EarlyEnd::kNone:
      break;
    case EarlyEnd::kUsage:
      return "usage";
    case EarlyEnd::kSecondFileSpec:
      return "second_file_spec";
    case EarlyEnd::kVolumeInvalid:
      return "volume_invalid";
    case EarlyEnd::kNoReparsePoints:
      return "no_reparse_points";
    case EarlyEnd::kFolderNotFound:
      return "folder_not_found";
  }
  return "completed";
}

// "0x" and the upper-case hexadecimal digits of `high` and `low`; `high`
// only where it is not zero.
std::string Hex(uint64_t high, uint64_t low) {
  char text[40];
  if (high != 0) {
    std::snprintf(text, sizeof text, "0x%016llX%016llX", static_cast<unsigned long long>(high),
                  static_cast<unsigned long long>(low));
  } else {
    std::snprintf(text, sizeof text, "0x%016llX", static_cast<unsigned long long>(low));
  }
  return text;
}

class JsonPrinter final : public Printer {
 public:
  explicit JsonPrinter(Console& console)
      : console_(console), line_(buffer_, !console.conventions.windowsPathForms) {
    console.recordsOnly = true;
  }

  void Banner(const RunFacts& facts) override { facts_ = facts; }
  void Usage() override {}
  void ArgumentsRead() override {}

  void EndsEarly(EarlyEnd why, const RunFacts& facts, const RunEnd& end) override {
    facts_ = facts;
    early_ = why;
    argument_ = end.argument;
    fileSystem_ = end.fileSystem;
    // Standard error tells of an invalid volume in either format.
    if (why == EarlyEnd::kVolumeInvalid) PrintError(console_, "volume is invalid -> abort\n");
  }

  void WalkBegins(const RunFacts& facts) override {
    facts_ = facts;
    Start();
  }

  void ReparsePoint(const ReparseFinding& point) override {
    const ReparseInfo& info = point.info;
    line_.Begin("reparse_point")
        .Name("path", point.path)
        .Ascii("kind", KindName(info.kind))
        .Number("tag", info.tag)
        .Ascii("tag_name", ReparseTagName(info.tag));
    switch (info.kind) {
      case ReparseKind::kVolumeMountPoint:
      case ReparseKind::kDirectoryJunction:
      case ReparseKind::kSymbolicLink:
        line_.Name("target", info.shownTarget);
        if (point.mount) {
          // A mount of a system without NT names: the table's own words
          // stand in for the names its reparse data would hold.
          const MountFacts& m = *point.mount;
          line_.Name("source", m.source)
              .Name("fstype", m.fsType)
              .Name("device", m.device)
              .Name("options", m.options)
              .Name("root", m.root);
          if (m.hasMountId) {
            line_.Number("mount_id", m.mountId);
          } else {
            line_.Null("mount_id");
          }
          line_.Bool("relative", false);
          if (info.kind == ReparseKind::kDirectoryJunction) line_.Bool("deleted", m.deleted);
        } else {
          line_.Name("substitute_name", info.target)
              .Name("print_name", info.printName)
              .Bool("relative", info.relative);
        }
        if (info.kind == ReparseKind::kVolumeMountPoint) break;
        if (!point.target || *point.target == LinkTarget::kUnknown) {
          line_.Null("dangling");
        } else {
          line_.Bool("dangling", *point.target == LinkTarget::kMissing);
        }
        break;
      case ReparseKind::kAppExecLink:
        line_.Names("strings", std::span<const std::u16string>(info.strings));
        break;
      case ReparseKind::kWofCompressed:
        line_.Number("wof_version", info.wofVersion).Ascii("wof_algorithm", info.wofAlgorithmName);
        break;
      case ReparseKind::kDeduplicated:
        break;
      case ReparseKind::kUnsupported:
        line_.Bool("microsoft", info.microsoftTag);
        break;
    }
    Write();
  }

  void ReparsePointNotOpened(std::u16string_view path, uint32_t error) override {
    Error(path, error, "open_reparse_point", "skip_entry");
  }

  void ReparseDataUnreadable(std::u16string_view path, uint32_t error) override {
    line_.Begin("reparse_point")
        .Name("path", path)
        .Ascii("error", SystemErrorName(error))
        .Number("error_code", error);
    Write();
  }

  void FolderNotOpened(std::u16string_view path, std::u16string_view, uint32_t error) override {
    Error(path, error, "open_folder", "skip_folder");
  }

  void FolderListedInPart(std::u16string_view path, std::u16string_view, uint32_t error) override {
    Error(path, error, "list_folder", "skip_rest");
  }

  void FolderSkipped(SkipReason why, std::u16string_view path, std::u16string_view) override {
    line_.Begin("skipped").Name("path", path);
    switch (why) {
      case SkipReason::kTooDeep:
        line_.Ascii("reason", "too_deep").Number("max_depth", kMaxDepth);
        break;
      case SkipReason::kLoop:
        line_.Ascii("reason", "loop");
        break;
      case SkipReason::kAlreadyWalked:
        line_.Ascii("reason", "already_walked");
        break;
    }
    Write();
  }

  bool WantsDetail() const override { return true; }

  void HardLinkGroup(uint32_t linkCount, const FileId& id,
                     std::span<const std::u16string_view> paths) override {
    line_.Begin("hard_link_group")
        .Number("links", linkCount)
        .Ascii("volume", Hex(0, id.volume))
        .Ascii("file_id", Hex(id.indexUpper, id.index))
        .Names("paths", paths);
    Write();
  }

  void Summary(const ScanCounters& c, const WalkTotals& t) override {
    line_.Begin("summary")
        .Number("reparse_points", c.reparsePoints)
        .Number("mount_points", c.mountPoints)
        .Number("volume_mount_points", c.volumeMountPoints)
        .Number("junctions", c.junctions)
        .Number("symbolic_links", c.symbolicLinks)
        .Number("app_exec_links", c.appExecLinks)
        .Number("wof_files", c.wofLinks)
        .Number("dedup_files", c.dedupLinks)
        .Number("other_reparse_points", OtherReparsePoints(c))
        .Number("hard_link_groups", c.hardLinkGroups)
        .Number("folders", t.folders)
        .Number("entries", t.entries)
        .Number("errors", t.errors)
        .Number("skipped", t.skipped);
    Write();
  }

  void End(const RunEnd& end) override {
    if (!started_) Start();
    const char* event =
        end.stopEvent == kNoControlEvent ? nullptr : ControlEventName(console_, end.stopEvent);
    line_.Begin("end").Number("exit_code", static_cast<uint32_t>(end.exitCode));
    if (early_ != EarlyEnd::kNone) {
      line_.Ascii("reason", EarlyEndName(early_));
      if (early_ == EarlyEnd::kSecondFileSpec) line_.Name("argument", argument_);
      if (early_ == EarlyEnd::kNoReparsePoints) line_.Name("file_system", fileSystem_);
    } else {
      line_.Ascii("reason", event != nullptr ? "stopped" : "completed");
    }
    if (event != nullptr) {
      line_.Ascii("stopped_by", event);
    } else {
      line_.Null("stopped_by");
    }
    line_.Number("errors", end.errors);
    Write();
  }

 private:
  void Start() {
    started_ = true;
    line_.Begin("start")
        .Ascii("program", "quorrex")
        .Ascii("version",
               std::to_string(facts_.versionMajor) + "." + std::to_string(facts_.versionMinor));
    OptionalName("file_spec", facts_.fileSpec);
    OptionalName("scan_folder", facts_.scanFolder);
    OptionalName("pattern", facts_.namePattern);
    line_.Bool("recurse", facts_.recurse).Number("workers", facts_.workers);
    Write();
  }

  void OptionalName(std::string_view key, std::u16string_view value) {
    if (value.empty()) {
      line_.Null(key);
    } else {
      line_.Name(key, value);
    }
  }

  void Error(std::u16string_view path, uint32_t error, const char* operation, const char* action) {
    line_.Begin("error")
        .Name("path", path)
        .Ascii("error", SystemErrorName(error))
        .Number("error_code", error)
        .Ascii("operation", operation)
        .Ascii("action", action);
    Write();
  }

  void Write() { WriteJsonLine(console_, line_.End()); }

  Console& console_;
  std::string buffer_;
  JsonLine line_;
  RunFacts facts_;
  bool started_ = false;
  EarlyEnd early_ = EarlyEnd::kNone;
  // What the end of an early end names, kept until the last record.
  std::u16string argument_;
  std::u16string fileSystem_;
};

}  // namespace

std::unique_ptr<Printer> MakeJsonPrinter(Console& console) {
  return std::make_unique<JsonPrinter>(console);
}

}  // namespace quorrex
