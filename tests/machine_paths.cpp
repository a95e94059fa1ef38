#include "machine_paths.h"

#include <algorithm>

namespace quorrex::testing {

char16_t Fold(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? c + (u'a' - u'A') : c;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

bool StartsNoCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

std::vector<std::u16string> Components(std::u16string_view rest) {
  std::vector<std::u16string> parts;
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find(u'\\', start);
    if (end == std::u16string_view::npos) end = rest.size();
    if (end > start) parts.emplace_back(rest.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::u16string Canonical(const std::u16string& path) {
  std::u16string c = path;
  std::replace(c.begin(), c.end(), u'/', u'\\');
  if (StartsNoCase(c, u"\\\\?\\UNC\\")) return u"\\\\" + c.substr(8);
  if (StartsNoCase(c, u"\\\\?\\Volume{")) return c;
  if (StartsNoCase(c, u"\\\\?\\") || StartsNoCase(c, u"\\\\.\\")) return c.substr(4);
  return c;
}

std::u16string Key(const std::u16string& path) {
  std::u16string k = Canonical(path);
  while (k.size() > 1 && k.back() == u'\\') k.pop_back();
  for (auto& ch : k) ch = Fold(ch);
  return k;
}

std::u16string FullPathName(const std::u16string& path, const std::u16string& currentFolder) {
  std::u16string p = path;
  if (StartsNoCase(p, u"\\\\?\\")) return p;
  std::replace(p.begin(), p.end(), u'/', u'\\');
  std::u16string root;
  std::u16string rest;
  if (StartsNoCase(p, u"\\\\.\\")) return p;
  if (p.size() >= 2 && p[0] == u'\\' && p[1] == u'\\') {
    // \\server\share is the root.
    size_t cut = p.find(u'\\', 2);
    cut = cut == std::u16string::npos ? p.size() : p.find(u'\\', cut + 1);
    if (cut == std::u16string::npos) cut = p.size();
    root = p.substr(0, cut) + u"\\";
    rest = cut < p.size() ? p.substr(cut + 1) : u"";
  } else if (p.size() >= 2 && p[1] == u':') {
    const bool sameDrive = Fold(p[0]) == Fold(currentFolder[0]);
    root = p.substr(0, 2) + u"\\";
    if (p.size() >= 3 && p[2] == u'\\') {
      rest = p.substr(3);
    } else {
      rest = (sameDrive ? currentFolder.substr(3) + u"\\" : u"") + p.substr(2);
    }
  } else if (!p.empty() && p[0] == u'\\') {
    root = currentFolder.substr(0, 3);
    rest = p.substr(1);
  } else {
    root = currentFolder.substr(0, 3);
    rest = currentFolder.substr(3) + u"\\" + p;
  }
  std::vector<std::u16string> kept;
  for (auto& part : Components(rest)) {
    if (part == u".") continue;
    if (part == u"..") {
      if (!kept.empty()) kept.pop_back();
      continue;
    }
    kept.push_back(part);
  }
  std::u16string full = root;
  for (size_t i = 0; i < kept.size(); ++i) {
    if (i > 0) full += u"\\";
    full += kept[i];
  }
  if (!kept.empty() && (p.back() == u'\\')) full += u"\\";
  return full;
}

}  // namespace quorrex::testing
