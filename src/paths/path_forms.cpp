#include "paths/path_forms.h"

namespace quorrex {
namespace {

char16_t FoldAscii(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? c + (u'a' - u'A') : c;
}

}  // namespace

bool HasLongPathPrefix(std::u16string_view path) {
  return path.size() >= 4 && path[0] == u'\\' && path[1] == u'\\' && path[2] == u'?' &&
         path[3] == u'\\';
}

bool IsUncLike(std::u16string_view path) {
  if (path.size() < 2 || path[0] != u'\\' || path[1] != u'\\') return false;
  const std::u16string_view rest = path.substr(2);
  const size_t slash = rest.find(u'\\');
  const size_t colon = rest.find(u':');
  return slash != std::u16string_view::npos &&
         (colon == std::u16string_view::npos || colon < slash);
}

bool IsBareDevicePath(std::u16string_view path) {
  if (path.size() < 4 || path[0] != u'\\' || path[1] != u'\\' ||
      (path[2] != u'.' && path[2] != u'?') || path[3] != u'\\') {
    return false;
  }
  return path.find(u'\\', 4) == std::u16string_view::npos;
}

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
  if (text.empty() || prefix.empty() || prefix.size() > text.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (FoldAscii(text[i]) != FoldAscii(prefix[i])) return false;
  }
  return true;
}

void AppendSeparator(std::u16string& path, char16_t separator) {
  if (path.empty() || path.back() != separator) path.push_back(separator);
}

bool ReplaceLeadingFolder(std::u16string& path, std::u16string_view alias,
                          std::u16string_view folder) {
  if (alias.empty()) return false;
  const size_t start = HasLongPathPrefix(path) ? 4 : 0;
  const std::u16string_view rest = std::u16string_view(path).substr(start);
  if (!StartsWithNoCase(rest, alias)) return false;
  if (rest.size() > alias.size() && rest[alias.size()] != u'\\') return false;
  path.replace(start, alias.size(), folder);
  return true;
}

std::u16string UncLongForm(std::u16string_view path) {
  const bool server =
      path.size() > 2 && path[0] == u'\\' && path[1] == u'\\' &&
      !(path.size() >= 4 && (path[2] == u'?' || path[2] == u'.') && path[3] == u'\\');
  if (!server) return std::u16string(path);
  std::u16string longForm = u"\\\\?\\UNC\\";
  longForm.append(path.substr(2));
  return longForm;
}

size_t RootLength(std::u16string_view path) {
  // The end of the component that starts at `from`, its backslash included.
  const auto throughNext = [path](size_t from) -> size_t {
    const size_t slash = path.find(u'\\', from);
    return slash == std::u16string_view::npos || slash == from ? 0 : slash + 1;
  };
  if (!path.empty() && path[0] == u'/') return 1;
  if (path.size() >= 3 && path[1] == u':' && path[2] == u'\\') return 3;
  if (!path.starts_with(u"\\\\")) return 0;
  if (path.starts_with(u"\\\\?\\") || path.starts_with(u"\\\\.\\")) {
    const std::u16string_view rest = path.substr(4);
    if (StartsWithNoCase(rest, u"UNC\\")) {
      const size_t server = throughNext(8);
      return server == 0 ? 0 : throughNext(server);
    }
    return throughNext(4);  // a drive `C:\` or a volume name
  }
  const size_t server = throughNext(2);
  return server == 0 ? 0 : throughNext(server);
}

size_t DisplayOffset(std::u16string_view path, DisplayRule rule) {
  switch (rule) {
    case DisplayRule::kAnyLongPath:
      return HasLongPathPrefix(path) ? 4 : 0;
    case DisplayRule::kLongDrivePath:
      return HasLongPathPrefix(path) && !IsUncLike(path) && !IsBareDevicePath(path) ? 4 : 0;
    case DisplayRule::kQuestionMarkThird:
      return path.size() >= 4 && path[2] == u'?' ? 4 : 0;
  }
  return 0;
}

}  // namespace quorrex
