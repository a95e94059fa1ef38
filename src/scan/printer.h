// The printers of a run: everything the run tells its reader passes through
// one of them. The text printer writes the lines a person reads on a console;
// the JSON printer writes one JSON Lines record for each finding, for
// scripts. The walk, the reports and the run call the same printer in the
// same order whichever it is; counting what was found stays with them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "console/console.h"
#include "platform/platform.h"
#include "scan/reparse_data.h"

namespace quorrex {

struct ScanCounters;
struct WalkTotals;

enum class OutputFormat {
  kText,
  kJson,
};

// The format the setting `text` (the environment variable QUORREX_FORMAT,
// null when it is not set) asks for; `known` tells whether the setting was
// one the program knows ("text" or "json", any case, or none at all).
OutputFormat OutputFormatSetting(const char* text, bool& known);

// What a run was asked to do, as far as it got before the walk.
struct RunFacts {
  uint32_t versionMajor = 0;
  uint32_t versionMinor = 0;
  // Empty until the command line names them.
  std::u16string_view fileSpec;
  std::u16string_view scanFolder;
  std::u16string_view namePattern;
  bool recurse = false;
  uint32_t workers = 1;
};

// Why a folder was not entered.
enum class SkipReason {
  kTooDeep,        // at the depth limit
  kLoop,           // open further up the descent
  kAlreadyWalked,  // entered before in this run
};

// One reparse point as the report prints it.
struct ReparseFinding {
  std::u16string_view path;  // its printed form
  const ReparseInfo& info;
  // Whether its target exists; asked only for a printer that wants it, of
  // junctions and symbolic links.
  std::optional<LinkTarget> target;
  // What the mount table says of a mount point, where the system has one;
  // asked only for a printer that wants it.
  std::optional<MountFacts> mount;
};

// How a run ended, for the printer's last word.
struct RunEnd {
  int exitCode = 0;
  // The control event that stopped the run, or kNoControlEvent.
  uint32_t stopEvent = kNoControlEvent;
  // The error lines the walk printed.
  uint32_t errors = 0;
  // The arguments that made the run end early, where the end names one.
  std::u16string_view argument;
  std::u16string_view fileSystem;
};

// The ends a run can come to before its walk, besides a completed one.
enum class EarlyEnd {
  kNone,
  kUsage,
  kSecondFileSpec,
  kVolumeInvalid,
  kNoReparsePoints,
  kFolderNotFound,
};

class Printer {
 public:
  virtual ~Printer() = default;

  // The program's name and version, first of all.
  virtual void Banner(const RunFacts& facts) = 0;
  // The usage text, for a command line with no argument.
  virtual void Usage() = 0;
  // The command line has been read: the banner's line ends.
  virtual void ArgumentsRead() = 0;
  // The run ends before its walk, having got as far as `facts`;
  // `end.argument` or `end.fileSystem` name what the message names.
  virtual void EndsEarly(EarlyEnd why, const RunFacts& facts, const RunEnd& end) = 0;
  // The walk begins with these facts.
  virtual void WalkBegins(const RunFacts& facts) = 0;

  // Findings of the walk, on the walk's thread.
  virtual void ReparsePoint(const ReparseFinding& point) = 0;
  // A reparse point that could not be opened: passed over, with its error.
  virtual void ReparsePointNotOpened(std::u16string_view path, uint32_t error) = 0;
  // A reparse point whose data could not be read: neither printed nor
  // counted in the text.
  virtual void ReparseDataUnreadable(std::u16string_view path, uint32_t error) = 0;
  // A folder that could not be opened: `path` is its printed form, `shown`
  // the form its error line shows (with the search mask).
  virtual void FolderNotOpened(std::u16string_view path, std::u16string_view shown,
                               uint32_t error) = 0;
  // A folder whose listing failed after the entries already reported: the
  // rest of it is not walked. `path` and `shown` as for FolderNotOpened.
  virtual void FolderListedInPart(std::u16string_view path, std::u16string_view shown,
                                  uint32_t error) = 0;
  virtual void FolderSkipped(SkipReason why, std::u16string_view path,
                             std::u16string_view name) = 0;
  // Whether the printer shows what the text leaves out: a symbolic link's
  // print name, and whether a link's target exists (the extra query is made
  // only then).
  virtual bool WantsDetail() const = 0;

  // One group of hard links, after the walk: its members' printed paths in
  // the order they were found.
  virtual void HardLinkGroup(uint32_t linkCount, const FileId& id,
                             std::span<const std::u16string_view> paths) = 0;
  // The counts, and how much the walk got through (which the text leaves
  // out).
  virtual void Summary(const ScanCounters& counters, const WalkTotals& totals) = 0;
  // The last word, on every way out whose output still works.
  virtual void End(const RunEnd& end) = 0;
};

std::unique_ptr<Printer> MakeTextPrinter(Console& console);
std::unique_ptr<Printer> MakeJsonPrinter(Console& console);
std::unique_ptr<Printer> MakePrinter(OutputFormat format, Console& console);

}  // namespace quorrex
