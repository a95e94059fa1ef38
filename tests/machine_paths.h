// Windows path text as the in-memory machine reads it: names compared
// without case (ASCII letters), the long-path, UNC and device prefixes, and
// a relative path made full against the current folder.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorrex::testing {

char16_t Fold(char16_t c);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);
bool StartsNoCase(std::u16string_view text, std::u16string_view prefix);
// The names between backslashes, empty ones left out.
std::vector<std::u16string> Components(std::u16string_view rest);
// The canonical form of a path: no long-path prefix, "\\server\share" for
// UNC, backslashes only.
std::u16string Canonical(const std::u16string& path);
// The canonical form without trailing backslashes and case, to look a path
// up by.
std::u16string Key(const std::u16string& path);
// `path` (not empty) made full as GetFullPathName makes it, against
// `currentFolder` ("X:\..."): "." and ".." taken out, a path in the
// long-path or device form left as it is.
std::u16string FullPathName(const std::u16string& path, const std::u16string& currentFolder);

}  // namespace quorrex::testing
