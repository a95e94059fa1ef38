// The file specification turned into a scan folder and a name pattern.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace quorrex {

// A file specification made whole: `path` is a full target, and
// `patternAppended` says that it named a folder and "*" was added.
struct NormalisedSpec {
  std::u16string path;
  bool patternAppended = false;
};

// What the walk is given: the folder to scan and the pattern its entries are
// matched against.
struct Target {
  std::u16string scanFolder;
  std::u16string namePattern;
};

// `fileSpec` as a full target: quotes at both ends removed, the full path
// taken, a bare name put under the current folder, and "*" added to a folder
// (after a separator). Nothing when `fileSpec` is relative and the current
// folder it needs cannot be had.
std::optional<NormalisedSpec> NormaliseTarget(Platform& platform,
                                              const SystemConventions& conventions,
                                              std::u16string_view fileSpec);

// Cuts a target into its scan folder and name pattern; nothing when it holds
// no separator.
std::optional<Target> SplitTarget(Platform& platform, const SystemConventions& conventions,
                                  const NormalisedSpec& spec);

}  // namespace quorrex
