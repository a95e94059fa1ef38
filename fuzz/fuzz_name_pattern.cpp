// Compares the name pattern matcher with a plain recursive matcher that uses
// the same unit equality.
//
// Input: the pattern, a zero byte, then the name. Every other byte is one
// unit; byte 1 followed by two more bytes (little-endian) gives any unit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "paths/name_pattern.h"

namespace {

constexpr size_t kMaxUnits = 300;

bool UnitsEqual(char16_t patternUnit, char16_t nameUnit) {
  return patternUnit == u'?' || ((patternUnit ^ nameUnit) & 0xFFDF) == 0;
}

// `*` any run, `?` one unit, by recursion over both positions (remembered,
// so that many stars stay fast).
class ReferenceMatcher {
 public:
  ReferenceMatcher(std::u16string_view pattern, std::u16string_view name)
      : pattern_(pattern), name_(name), known_((pattern.size() + 1) * (name.size() + 1), -1) {}

  bool Match(size_t p = 0, size_t n = 0) {
    int8_t& known = known_[p * (name_.size() + 1) + n];
    if (known >= 0) return known != 0;
    bool result;
    if (p == pattern_.size()) {
      result = n == name_.size();
    } else if (pattern_[p] == u'*') {
      result = Match(p + 1, n) || (n < name_.size() && Match(p, n + 1));
    } else {
      result = n < name_.size() && UnitsEqual(pattern_[p], name_[n]) && Match(p + 1, n + 1);
    }
    known = result ? 1 : 0;
    return result;
  }

 private:
  std::u16string_view pattern_;
  std::u16string_view name_;
  std::vector<int8_t> known_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string pattern;
  std::u16string name;
  std::u16string* into = &pattern;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0 && into == &pattern) {
      into = &name;
    } else if (data[i] == 1 && i + 2 < size) {
      into->push_back(static_cast<char16_t>(data[i + 1] | data[i + 2] << 8));
      i += 2;
    } else {
      into->push_back(data[i]);
    }
  }
  if (pattern.size() > kMaxUnits || name.size() > kMaxUnits) return 0;

  const bool got = quorrex::MatchNamePattern(pattern, name);
  bool expected;
  if (pattern == u"*") {
    expected = true;
  } else if (pattern.empty() || name.empty()) {
    expected = false;
  } else {
    expected = ReferenceMatcher(pattern, name).Match();
  }
  if (got != expected) std::abort();
  return 0;
}
