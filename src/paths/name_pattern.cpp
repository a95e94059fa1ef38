#include "paths/name_pattern.h"

#include <cstddef>

namespace quorrex {
namespace {

constexpr char16_t kAnyRun = u'*';
constexpr char16_t kAnyUnit = u'?';

bool UnitsEqual(char16_t patternUnit, char16_t nameUnit) {
  return patternUnit == kAnyUnit ||
         ((static_cast<unsigned>(patternUnit) ^ static_cast<unsigned>(nameUnit)) & 0xFFDFu) == 0;
}

// The pattern's end once every star at `p` is skipped.
bool OnlyStarsFrom(std::u16string_view pattern, size_t p) {
  while (p < pattern.size() && pattern[p] == kAnyRun) ++p;
  return p == pattern.size();
}

}  // namespace

bool MatchNamePattern(std::u16string_view pattern, std::u16string_view name) {
  if (pattern.size() == 1 && pattern[0] == kAnyRun) return true;
  if (pattern.empty() || name.empty()) return false;

  size_t p = 0;
  size_t n = 0;

  // Up to the first star every unit must match in place.
  for (;;) {
    if (p < pattern.size() && pattern[p] == kAnyRun) break;
    if (p == pattern.size() || !UnitsEqual(pattern[p], name[n])) return false;
    ++p;
    ++n;
    if (n == name.size()) return OnlyStarsFrom(pattern, p);
  }

  // From the first star on, a mismatch goes back to just after the latest
  // star, which then swallows one more name unit. The first unit seen here is
  // a star, so the resume points are set before any mismatch.
  size_t patternResume = p;
  size_t nameResume = n;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == kAnyRun) {
      ++p;
      if (p == pattern.size()) return true;
      patternResume = p;
      nameResume = n + 1;
    } else if (p < pattern.size() && UnitsEqual(pattern[p], name[n])) {
      ++p;
      ++n;
    } else {
      p = patternResume;
      n = nameResume;
      ++nameResume;
    }
  }
  return OnlyStarsFrom(pattern, p);
}

}  // namespace quorrex
