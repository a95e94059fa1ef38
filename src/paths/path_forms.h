// The path forms the program tells apart, and the printed form of a path.
#pragma once

#include <string>
#include <string_view>

namespace quorrex {

// `\\?\` at the start.
bool HasLongPathPrefix(std::u16string_view path);
// `\\server\share...`, and every `\\?\` or `\\.\` path whose first colon (if
// any) comes before its first backslash after the leading two.
bool IsUncLike(std::u16string_view path);
// `\\.\` or `\\?\` followed by one name and no further backslash.
bool IsBareDevicePath(std::u16string_view path);
// Case-insensitive prefix test; false when either text is empty or the
// prefix is longer than the text.
bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix);
// Appends `separator` unless the path already ends in it.
void AppendSeparator(std::u16string& path, char16_t separator = u'\\');
// Makes a folder's path its search mask: the separator unless it is there,
// then "*", which lists every entry.
inline void AppendSearchMask(std::u16string& folder, char16_t separator) {
  AppendSeparator(folder, separator);
  folder.push_back(u'*');
}

// Replaces a leading `alias` of `path` (after its `\\?\`, if any) with
// `folder`; the alias matches without regard to case and only whole: up to
// a backslash or the end of the path. True when it was replaced.
bool ReplaceLeadingFolder(std::u16string& path, std::u16string_view alias,
                          std::u16string_view folder);

// The form that reaches `path` whatever its length: a plain server path
// `\\server\share\...` in its long form `\\?\UNC\server\share\...`. Every
// other path (a drive path, one already in long form, a device path) comes
// back as it is.
std::u16string UncLongForm(std::u16string_view path);

// The length of the root of `path`, its trailing backslash included:
// `C:\`, `\\server\share\`, `\\?\C:\`, `\\?\UNC\server\share\`,
// `\\?\Volume{...}\` (also after `\\.\`), or `/`. 0 when the path has no
// root of these forms or stops before its backslash.
size_t RootLength(std::u16string_view path);

// Which rule decides whether a path loses its `\\?\`: the walk's error
// lines take the first, the reparse report the second, the hard-link groups
// the third.
enum class DisplayRule {
  kAnyLongPath,        // whenever the path has the long-path prefix
  kLongDrivePath,      // long-path prefix, and neither UNC-like nor a bare device path
  kQuestionMarkThird,  // the third character is '?'
};

// How many leading characters the printed form of `path` drops (0 or 4).
size_t DisplayOffset(std::u16string_view path, DisplayRule rule);
inline std::u16string_view DisplayForm(std::u16string_view path, DisplayRule rule) {
  return path.substr(DisplayOffset(path, rule));
}

}  // namespace quorrex
