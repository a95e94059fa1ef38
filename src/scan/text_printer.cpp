// The text a person reads: the listing as the console shows it.
#include <memory>
#include <mutex>
#include <string>

#include "console/line_writer.h"
#include "console/message.h"
#include "console/output_sink.h"
#include "console/path_line.h"
#include "platform/error_names.h"
#include "scan/entry_rules.h"
#include "scan/printer.h"
#include "scan/reparse_names.h"
#include "scan/scan_records.h"

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

const char* Plural(uint32_t count) {
  return count == 1 ? "" : "s";
}

class TextPrinter final : public Printer {
 public:
  explicit TextPrinter(Console& console) : console_(console) {}

  void Banner(const RunFacts& facts) override {
    PrintMessage(console_, "Quorrex %u.%u", facts.versionMajor, facts.versionMinor);
  }

  void Usage() override {
    for (const char* text : kUsage) PrintMessage(console_, text);
  }

  void ArgumentsRead() override { PrintMessage(console_, "\n"); }

  void EndsEarly(EarlyEnd why, const RunFacts&, const RunEnd& end) override {
    switch (why) {
      case EarlyEnd::kNone:
      case EarlyEnd::kUsage:
        break;
      case EarlyEnd::kSecondFileSpec:
        PrintMessage(console_, "invalid parameter %S\n", end.argument);
        break;
      case EarlyEnd::kVolumeInvalid:
        PrintError(console_, "volume is invalid -> abort\n");
        break;
      case EarlyEnd::kNoReparsePoints:
        PrintMessage(console_, "The %S file system does not support reparse points -> abort\n",
                     end.fileSystem);
        break;
      case EarlyEnd::kFolderNotFound:
        PrintMessage(console_, "folder not found -> abort\n");
        break;
    }
  }

  void WalkBegins(const RunFacts&) override {
    // The lone carriage return only means something on a terminal.
    if (!console_.conventions.byteTerminal || !OutputRedirected(console_)) {
      PrintMessage(console_, "\r");
    }
  }

  // A record of several lines is written under the output lock as a whole:
  // a control event's message, or a write given up, falls between records.
  void ReparsePoint(const ReparseFinding& point) override {
    const std::lock_guard whole(console_.output.lock);
    const ReparseInfo& info = point.info;
    // The kinds with a target (nearly all points) write their label with
    // the path, in one line; the others after it.
    switch (info.kind) {
      case ReparseKind::kVolumeMountPoint:
        TargetBlock("reparse point (volume mountpoint) %S\n", point.path, info.shownTarget);
        return;
      case ReparseKind::kDirectoryJunction:
        TargetBlock("reparse point (directory mountpoint) %S\n", point.path, info.shownTarget);
        return;
      case ReparseKind::kSymbolicLink:
        TargetBlock("reparse point (symlink) %S\n", point.path, info.shownTarget);
        return;
      default:
        break;
    }
    PrintMessage(console_, "reparse point");
    switch (info.kind) {
      case ReparseKind::kVolumeMountPoint:
      case ReparseKind::kDirectoryJunction:
      case ReparseKind::kSymbolicLink:
        break;
      case ReparseKind::kAppExecLink:
        PrintMessage(console_, " (app exec link)");
        PrintPathLine(console_, " %S\n", point.path);
        for (const std::u16string& text : info.strings) PrintPathLine(console_, " -> %S\n", text);
        break;
      case ReparseKind::kWofCompressed:
        PrintMessage(console_, " (wof compressed)");
        PrintPathLine(console_, " %S\n", point.path);
        PrintMessage(console_, " -> version=%i algorithm=%s", static_cast<int32_t>(info.wofVersion),
                     info.wofAlgorithmName);
        PrintMessage(console_, "\n");
        break;
      case ReparseKind::kDeduplicated:
        PrintMessage(console_, " (deduplicated)");
        PrintPathLine(console_, " %S\n", point.path);
        break;
      case ReparseKind::kUnsupported:
        PrintMessage(console_, " unsupported %stype %s\n", info.microsoftTag ? "Microsoft " : "",
                     ReparseTagName(info.tag));
        break;
    }
  }

  void ReparsePointNotOpened(std::u16string_view path, uint32_t error) override {
    PrintMessage(console_, "error %s opening reparse point ", SystemErrorName(error));
    PrintPathLine(console_, "%S\n", path);
  }

  void ReparseDataUnreadable(std::u16string_view, uint32_t) override {}

  void FolderNotOpened(std::u16string_view, std::u16string_view shown, uint32_t error) override {
    PrintMessage(console_, "error %s opening '%S'\n", SystemErrorName(error), shown);
  }

  void FolderListedInPart(std::u16string_view, std::u16string_view shown, uint32_t error) override {
    PrintMessage(console_, "error %s listing '%S'\n", SystemErrorName(error), shown);
  }

  void FolderSkipped(SkipReason why, std::u16string_view, std::u16string_view name) override {
    switch (why) {
      case SkipReason::kTooDeep:
        PrintMessage(console_, "path nested too deep (max %i) -> skip folder %S\n", kMaxDepth,
                     name);
        break;
      case SkipReason::kLoop:
        PrintMessage(console_, "folder loops back to a parent -> skip folder %S\n", name);
        break;
      case SkipReason::kAlreadyWalked:
        PrintMessage(console_, "folder already walked -> skip folder %S\n", name);
        break;
    }
  }

  bool WantsDetail() const override { return false; }

  void HardLinkGroup(uint32_t linkCount, const FileId&,
                     std::span<const std::u16string_view> paths) override {
    const std::lock_guard whole(console_.output.lock);
    // As PrintMessage would print "group of %u hard links:\n", without
    // formatting it first: a tree of hard links has one such line per file.
    {
      LineWriter heading(console_, LineKind::kMessage);
      heading.Text("group of ").Number(linkCount).Text(" hard links:\n").Write();
    }
    int32_t member = 1;
    for (const std::u16string_view path : paths) PrintMemberLine(console_, member++, path);
  }

  void Summary(const ScanCounters& c, const WalkTotals&) override {
    PrintMessage(console_, "\nsummary\n");
    PrintMessage(console_, "* %u reparse point%s:\n", c.reparsePoints, Plural(c.reparsePoints));
    PrintMessage(console_, "  + %u mount point%s:\n", c.mountPoints, Plural(c.mountPoints));
    PrintMessage(console_, "    - %u volume mount point%s\n", c.volumeMountPoints,
                 Plural(c.volumeMountPoints));
    PrintMessage(console_, "    - %u directory junction point%s\n", c.junctions,
                 Plural(c.junctions));
    PrintMessage(console_, "  + %u symbolic link%s\n", c.symbolicLinks, Plural(c.symbolicLinks));
    PrintMessage(console_, "  + %u app execute link%s\n", c.appExecLinks, Plural(c.appExecLinks));
    PrintMessage(console_, "  + %u wof link%s\n", c.wofLinks, Plural(c.wofLinks));
    PrintMessage(console_, "  + %u deduplication link%s\n", c.dedupLinks, Plural(c.dedupLinks));
    PrintMessage(console_, "  + %u of other types\n", OtherReparsePoints(c));
    PrintMessage(console_, "* %u hard link group%s\n", c.hardLinkGroups, Plural(c.hardLinkGroups));
  }

  // The control handler has printed its message where the event came.
  void End(const RunEnd&) override {}

 private:
  // The block of a point that leads to one target: its label and path, then
  // the target on a line of its own.
  // `pathLine` is the label and the path's place in its line.
  void TargetBlock(std::string_view pathLine, std::u16string_view path,
                   std::u16string_view target) {
    PrintPathLine(console_, pathLine, path);
    PrintPathLine(console_, " -> %S\n", target);
  }

  Console& console_;
};

}  // namespace

std::unique_ptr<Printer> MakeTextPrinter(Console& console) {
  return std::make_unique<TextPrinter>(console);
}

OutputFormat OutputFormatSetting(const char* text, bool& known) {
  known = true;
  if (text == nullptr || *text == '\0') return OutputFormat::kText;
  std::string lower;
  for (; *text != '\0'; ++text) {
    const char c = *text;
    lower.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  }
  if (lower == "json") return OutputFormat::kJson;
  known = lower == "text";
  return OutputFormat::kText;
}

std::unique_ptr<Printer> MakePrinter(OutputFormat format, Console& console) {
  return format == OutputFormat::kJson ? MakeJsonPrinter(console) : MakeTextPrinter(console);
}

}  // namespace quorrex
