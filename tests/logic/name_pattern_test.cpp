#include "paths/name_pattern.h"

#include <gtest/gtest.h>

#include <string>

namespace quorrex {
namespace {

struct Case {
  const char16_t* pattern;
  const char16_t* name;
  bool matches;
};

void ExpectCases(std::initializer_list<Case> cases) {
  for (const Case& c : cases) {
    EXPECT_EQ(MatchNamePattern(c.pattern, c.name), c.matches)
        << "pattern \"" << std::string(c.pattern, c.pattern + std::u16string_view(c.pattern).size())
        << "\" name \"" << std::string(c.name, c.name + std::u16string_view(c.name).size()) << "\"";
  }
}

TEST(NamePattern, EmptyPatternOrName) {
  ExpectCases({
      {u"*", u"", true},  // the lone star matches even nothing
      {u"*", u"anything.at.all", true},
      {u"**", u"", false},  // any other pattern needs a name
      {u"?", u"", false},
      {u"", u"", false},
      {u"", u"a", false},
  });
}

TEST(NamePattern, LiteralsAndSingleUnits) {
  ExpectCases({
      {u"abc", u"abc", true},
      {u"abc", u"ab", false},
      {u"ab", u"abc", false},
      {u"a?c", u"abc", true},
      {u"a?c", u"ac", false},
      {u"?", u"ab", false},
      {u"???", u"abc", true},
      // The pattern's end equals no unit, not even a space.
      {u"ab", u"ab ", false},
      {u"*b", u"ab ", false},
  });
}

TEST(NamePattern, Stars) {
  ExpectCases({
      {u"*.*", u"a.b", true},
      {u"*.*", u".x", true},
      {u"*.*", u"abc", false},
      {u"*.dll", u"x.DLL", true},
      {u"*.dll", u"x.dll.bak", false},
      {u"*.", u"abc.", true},
      {u"*.", u"abc", false},
      {u"*?", u"a", true},
      {u"a*", u"a", true},
      {u"a**", u"a", true},
      {u"*a*", u"bab", true},
      {u"*ab*cd", u"xxabyycd", true},
      {u"*ab*cd", u"xxabyycde", false},
      {u"data?.bin", u"data7.bin", true},
      {u"data?.bin", u"data.bin", false},
  });
}

TEST(NamePattern, StarGivesBackOneUnitAtATime) {
  ExpectCases({
      {u"*aab", u"aaab", true},
      {u"*aab", u"aaaab", true},
      {u"*aab", u"aaba", false},
      {u"*ab*ab", u"abaabab", true},
      {u"a*b*c", u"abbbbc", true},
      {u"a*b*c", u"acb", false},
      // A later star replaces the earlier one's resume point.
      {u"*x*yz", u"xyxyyz", true},
      {u"*x*yz", u"xyxyy", false},
  });
}

TEST(NamePattern, EqualityIgnoresBit0x20Only) {
  ExpectCases({
      {u"README.TXT", u"readme.txt", true},
      {u"a[1]", u"a{1}", true},
      {u"~", u"^", true},
      {u"@x", u"`x", true},
      {u"\\", u"|", true},
      {u"\u00C0", u"\u00E0", true},
      {u"\u0410", u"\u0430", true},
      {u"\u0100", u"\u0120", true},
      // Neither locale folding nor other bits.
      {u"\u0410", u"\u0411", false},
      {u"a", u"b", false},
      {u"1", u"2", false},
      // A name's star or question mark is an ordinary unit.
      {u"a", u"*", false},
      {u"?", u"*", true},
  });
}

TEST(NamePattern, QuestionMarkTakesOneUtf16Unit) {
  const std::u16string pair = u"\U0001F600";  // a surrogate pair
  EXPECT_TRUE(MatchNamePattern(u"??", pair));
  EXPECT_FALSE(MatchNamePattern(u"?", pair));
}

}  // namespace
}  // namespace quorrex
