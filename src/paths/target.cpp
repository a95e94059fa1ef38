#include "paths/target.h"

#include "paths/path_forms.h"

namespace quorrex {
namespace {

bool IsFolder(Run& run, const std::u16string& path) {
  const uint32_t attributes = run.platform.GetFileAttributes(path);
  return attributes != kInvalidFileAttributes && (attributes & kAttrDirectory) != 0;
}

}  // namespace

bool NormaliseTarget(Run& run) {
  std::u16string& spec = run.fileSpec;
  const char16_t separator = run.separator();
  run.patternAppended = false;
  if (spec.size() >= 2 && spec.front() == u'"' && spec.back() == u'"') {
    spec = spec.substr(1, spec.size() - 2);
  }
  std::u16string full;
  if (run.platform.GetFullPathName(spec, full)) spec = full;
  // A relative spec needs the current folder; one that cannot be had (it was
  // deleted) must not make the file spec relative to the root instead.
  const bool relative = !run.conventions.windowsPathForms
                            ? (spec.empty() || spec.front() != u'/')
                            : spec.find(separator) == std::u16string::npos;
  if (relative) {
    std::u16string joined = run.platform.GetCurrentDirectory();
    if (joined.empty()) return false;
    if (spec.find(separator) == std::u16string::npos || !run.conventions.windowsPathForms) {
      AppendSeparator(joined, separator);
      joined += spec;
      spec = joined;
    }
  }
  // While redirection is off, the native system folder is reached by its own
  // name only, which is also the one printed.
  const FolderAlias native = run.platform.NativeSystemFolderAlias();
  ReplaceLeadingFolder(spec, native.alias, native.folder);
  if (IsFolder(run, spec)) {
    AppendSearchMask(spec, separator);
    run.patternAppended = true;
  }
  return true;
}

bool SplitTarget(Run& run, const std::u16string& target) {
  const char16_t separator = run.separator();
  if (run.conventions.windowsPathForms && IsBareDevicePath(target)) {
    run.scanFolder = target;
    run.namePattern.clear();
    return true;
  }
  // The "*" put after a folder is a pattern, never the name of a subfolder.
  const bool appended = run.patternAppended && target.size() >= 2 && target.back() == u'*' &&
                        target[target.size() - 2] == separator;
  if (!appended && IsFolder(run, target)) {
    run.scanFolder = target;
    AppendSeparator(run.scanFolder, separator);
    run.namePattern.clear();
    return true;
  }
  const size_t last = target.rfind(separator);
  if (last == std::u16string::npos) return false;
  std::u16string folder = target.substr(0, last + 1);
  if (!run.conventions.windowsPathForms || HasLongPathPrefix(target) || IsUncLike(target)) {
    run.scanFolder = std::move(folder);
  } else {
    run.scanFolder = u"\\\\?\\" + folder;
  }
  run.namePattern = target.substr(last + 1);
  return true;
}

}  // namespace quorrex
