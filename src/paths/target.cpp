#include "paths/target.h"

#include "paths/path_forms.h"

namespace quorrex {
namespace {

bool IsFolder(Platform& platform, const std::u16string& path) {
  const uint32_t attributes = platform.GetFileAttributes(path);
  return attributes != kInvalidFileAttributes && (attributes & kAttrDirectory) != 0;
}

}  // namespace

std::optional<NormalisedSpec> NormaliseTarget(Platform& platform,
                                              const SystemConventions& conventions,
                                              std::u16string_view fileSpec) {
  NormalisedSpec normalised;
  std::u16string& spec = normalised.path;
  spec.assign(fileSpec);
  const char16_t separator = conventions.separator;
  if (spec.size() >= 2 && spec.front() == u'"' && spec.back() == u'"') {
    spec = spec.substr(1, spec.size() - 2);
  }
  std::u16string full;
  if (platform.GetFullPathName(spec, full)) spec = full;
  // A relative file spec needs the current folder; one that cannot be had (it was
  // deleted) must not make the file spec relative to the root instead.
  const bool relative = !conventions.windowsPathForms
                            ? (spec.empty() || spec.front() != u'/')
                            : spec.find(separator) == std::u16string::npos;
  if (relative) {
    std::u16string joined = platform.GetCurrentDirectory();
    if (joined.empty()) return std::nullopt;
    if (spec.find(separator) == std::u16string::npos || !conventions.windowsPathForms) {
      AppendSeparator(joined, separator);
      joined += spec;
      spec = joined;
    }
  }
  // While redirection is off, the native system folder is reached by its own
  // name only, which is also the one printed.
  const FolderAlias native = platform.NativeSystemFolderAlias();
  ReplaceLeadingFolder(spec, native.alias, native.folder);
  if (IsFolder(platform, spec)) {
    AppendSearchMask(spec, separator);
    normalised.patternAppended = true;
  }
  return normalised;
}

std::optional<Target> SplitTarget(Platform& platform, const SystemConventions& conventions,
                                  const NormalisedSpec& spec) {
  const std::u16string& target = spec.path;
  const char16_t separator = conventions.separator;
  if (conventions.windowsPathForms && IsBareDevicePath(target)) {
    return Target{target, u""};
  }
  // The "*" put after a folder is a pattern, never the name of a subfolder.
  const bool appended = spec.patternAppended && target.size() >= 2 && target.back() == u'*' &&
                        target[target.size() - 2] == separator;
  if (!appended && IsFolder(platform, target)) {
    Target folder{target, u""};
    AppendSeparator(folder.scanFolder, separator);
    return folder;
  }
  const size_t last = target.rfind(separator);
  if (last == std::u16string::npos) return std::nullopt;
  Target split;
  std::u16string folder = target.substr(0, last + 1);
  if (!conventions.windowsPathForms || HasLongPathPrefix(target) || IsUncLike(target)) {
    split.scanFolder = std::move(folder);
  } else {
    split.scanFolder = u"\\\\?\\" + folder;
  }
  split.namePattern = target.substr(last + 1);
  return split;
}

}  // namespace quorrex
