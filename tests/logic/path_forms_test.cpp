// Path forms, the target's normalisation and split, and printed forms.
#include <gtest/gtest.h>

#include "memory_machine.h"
#include "paths/path_forms.h"
#include "paths/target.h"

namespace quorrex::testing {
namespace {

TEST(PathForms, Predicates) {
  struct Case {
    const char16_t* path;
    bool uncLike;
    bool bareDevice;
    bool longPrefix;
  };
  const Case cases[] = {
      {u"\\\\server\\share", true, false, false},
      {u"\\\\server", false, false, false},
      {u"\\\\?\\C:\\x", false, false, true},
      {u"\\\\?\\UNC\\server\\share\\x", true, false, true},
      {u"\\\\?\\Volume{1-2}\\x", true, false, true},
      {u"\\\\?\\Volume{1-2}", true, true, true},
      {u"\\\\?\\Volume{1-2}\\", true, false, true},
      {u"\\\\.\\C:", false, true, false},
      {u"\\\\.\\", true, true, false},
      {u"\\\\x\\C:", false, false, false},
      {u"\\\\srv\\share\\x:y", false, false, false},
      {u"\\\\a:b\\c", true, false, false},
      {u"", false, false, false},
      {u"\\", false, false, false},
      {u"\\\\?", false, false, false},
  };
  for (const Case& c : cases) {
    const std::u16string_view path(c.path);
    SCOPED_TRACE(std::string(path.begin(), path.end()));
    EXPECT_EQ(IsUncLike(path), c.uncLike);
    EXPECT_EQ(IsBareDevicePath(path), c.bareDevice);
    EXPECT_EQ(HasLongPathPrefix(path), c.longPrefix);
  }
}

TEST(PathForms, StartsWithNoCaseAndSearchMask) {
  EXPECT_FALSE(StartsWithNoCase(u"", u"a"));
  EXPECT_FALSE(StartsWithNoCase(u"a", u""));
  EXPECT_FALSE(StartsWithNoCase(u"ab", u"abc"));
  EXPECT_TRUE(StartsWithNoCase(u"\\??\\VOLUME{x", u"\\??\\Volume{"));
  EXPECT_FALSE(StartsWithNoCase(u"\\??\\Volume[", u"\\??\\Volume{"));

  struct Case {
    std::u16string folder;
    char16_t separator;
    std::u16string mask;
  };
  const Case cases[] = {
      {u"", u'\\', u"\\*"}, {u"C:", u'\\', u"C:\\*"},   {u"C:\\", u'\\', u"C:\\*"},
      {u"/", u'/', u"/*"},  {u"/srv", u'/', u"/srv/*"}, {u"a\\", u'/', u"a\\/*"},
  };
  for (const Case& c : cases) {
    std::u16string s = c.folder;
    AppendSearchMask(s, c.separator);
    EXPECT_EQ(s, c.mask);
  }
}

TEST(PathForms, LeadingFolderIsReplacedOnlyWhole) {
  struct Case {
    const char16_t* path;
    const char16_t* expected;  // null: left as it is
  };
  const Case cases[] = {
      {u"C:\\Windows\\Sysnative", u"C:\\Windows\\System32"},
      {u"c:\\windows\\SYSNATIVE\\drivers\\*.sys", u"C:\\Windows\\System32\\drivers\\*.sys"},
      {u"\\\\?\\C:\\Windows\\Sysnative\\x", u"\\\\?\\C:\\Windows\\System32\\x"},
      {u"C:\\Windows\\Sysnative2\\x", nullptr},
      {u"C:\\Windows\\Sysnativ", nullptr},
      {u"D:\\Windows\\Sysnative", nullptr},
      {u"\\\\.\\C:\\Windows\\Sysnative", nullptr},
      {u"", nullptr},
  };
  for (const Case& c : cases) {
    std::u16string path = c.path;
    SCOPED_TRACE(std::string(path.begin(), path.end()));
    EXPECT_EQ(ReplaceLeadingFolder(path, u"C:\\Windows\\Sysnative", u"C:\\Windows\\System32"),
              c.expected != nullptr);
    EXPECT_EQ(path, c.expected != nullptr ? c.expected : c.path);
  }
  std::u16string path = u"C:\\x";
  EXPECT_FALSE(ReplaceLeadingFolder(path, u"", u"D:"));  // no alias: nothing to replace
  EXPECT_EQ(path, u"C:\\x");
}

TEST(PathForms, ServerPathsAreOpenedInTheirLongForm) {
  const std::pair<std::u16string_view, std::u16string_view> cases[] = {
      {u"\\\\server\\share\\dir\\*", u"\\\\?\\UNC\\server\\share\\dir\\*"},
      {u"\\\\server\\share\\", u"\\\\?\\UNC\\server\\share\\"},
      {u"\\\\?\\UNC\\server\\share\\x", u"\\\\?\\UNC\\server\\share\\x"},
      {u"\\\\?\\C:\\x", u"\\\\?\\C:\\x"},
      {u"\\\\.\\C:", u"\\\\.\\C:"},
      {u"C:\\x", u"C:\\x"},
      {u"\\\\", u"\\\\"},
      {u"/home/x", u"/home/x"},
  };
  for (const auto& [path, expected] : cases) {
    SCOPED_TRACE(std::string(path.begin(), path.end()));
    EXPECT_EQ(UncLongForm(path), expected);
  }
}

TEST(PathForms, RootLengthOfEveryForm) {
  const std::pair<std::u16string_view, size_t> cases[] = {
      {u"C:\\data\\", 3},
      {u"C:\\", 3},
      {u"\\\\?\\C:\\data\\", 7},
      {u"\\\\.\\C:\\data", 7},
      {u"\\\\?\\UNC\\server\\share\\data\\", 21},
      {u"\\\\?\\unc\\server\\share\\", 21},
      {u"\\\\?\\Volume{1234}\\data\\", 17},
      {u"\\\\server\\share\\data\\", 15},
      {u"/mnt/data/", 1},
      // No root, or one cut short before its backslash.
      {u"", 0},
      {u"C:", 0},
      {u"data\\", 0},
      {u"\\\\?", 0},
      {u"\\\\?\\", 0},
      {u"\\\\?\\C:", 0},
      {u"\\\\?\\UNC\\server", 0},
      {u"\\\\?\\UNC\\\\share\\", 0},
      {u"\\\\server", 0},
      {u"\\\\server\\share", 0},
  };
  for (const auto& [path, length] : cases) {
    EXPECT_EQ(RootLength(path), length) << std::string(path.begin(), path.end());
  }
}

TEST(PathForms, DisplayRules) {
  const std::u16string local = u"\\\\?\\C:\\data\\x";
  const std::u16string unc = u"\\\\?\\UNC\\server\\share\\x";
  const std::u16string volume = u"\\\\?\\Volume{g}\\x";
  const std::u16string share = u"\\\\server\\share\\x";
  for (auto rule :
       {DisplayRule::kAnyLongPath, DisplayRule::kLongDrivePath, DisplayRule::kQuestionMarkThird}) {
    EXPECT_EQ(DisplayForm(local, rule), u"C:\\data\\x");
    EXPECT_EQ(DisplayForm(share, rule), share);
  }
  EXPECT_EQ(DisplayForm(unc, DisplayRule::kLongDrivePath), unc);
  EXPECT_EQ(DisplayForm(volume, DisplayRule::kLongDrivePath), volume);
  EXPECT_EQ(DisplayForm(unc, DisplayRule::kAnyLongPath), u"UNC\\server\\share\\x");
  EXPECT_EQ(DisplayForm(unc, DisplayRule::kQuestionMarkThird), u"UNC\\server\\share\\x");
  EXPECT_EQ(DisplayForm(volume, DisplayRule::kQuestionMarkThird), u"Volume{g}\\x");
  // The hard-link rule looks at the third character alone.
  EXPECT_EQ(DisplayForm(u"ab?defg", DisplayRule::kQuestionMarkThird), u"efg");
  EXPECT_EQ(DisplayForm(u"ab?", DisplayRule::kQuestionMarkThird), u"ab?");
}

class TargetTest : public ::testing::Test {
 protected:
  TargetTest() {
    machine.AddFolder(u"C:\\data");
    machine.AddFile(u"C:\\data\\report.doc");
    machine.AddVolume(u"\\\\server\\share\\");
    machine.AddFolder(u"\\\\server\\share\\dir");
    machine.AddVolumeAlias(u"\\\\?\\Volume{abc}\\", u"C:\\");
    machine.currentFolder = u"C:\\data";
  }

  // `given` made whole; as given when it cannot be.
  std::u16string Normalise(const std::u16string& given) {
    const auto normalised = NormaliseTarget(machine, machine.Conventions(), given);
    return normalised ? normalised->path : given;
  }

  // The scan folder and pattern that `given` becomes.
  std::pair<std::u16string, std::u16string> Split(const std::u16string& given) {
    const auto normalised = NormaliseTarget(machine, machine.Conventions(), given);
    if (!normalised) return {u"unset", u"unset"};
    const auto target = SplitTarget(machine, machine.Conventions(), *normalised);
    if (!target) return {u"unset", u"unset"};
    return {target->scanFolder, target->namePattern};
  }

  MemoryMachine machine;
};

TEST_F(TargetTest, SplitTable) {
  using P = std::pair<std::u16string, std::u16string>;
  EXPECT_EQ(Split(u"C:\\data\\*.txt"), P(u"\\\\?\\C:\\data\\", u"*.txt"));
  EXPECT_EQ(Split(u"C:\\data"), P(u"\\\\?\\C:\\data\\", u"*"));
  EXPECT_EQ(Split(u"C:\\data\\"), P(u"\\\\?\\C:\\data\\", u"*"));
  EXPECT_EQ(Split(u"C:\\"), P(u"\\\\?\\C:\\", u"*"));
  EXPECT_EQ(Split(u"C:\\data\\report.doc"), P(u"\\\\?\\C:\\data\\", u"report.doc"));
  EXPECT_EQ(Split(u"\\\\server\\share\\dir\\*"), P(u"\\\\server\\share\\dir\\", u"*"));
  EXPECT_EQ(Split(u"\\\\?\\C:\\data\\*"), P(u"\\\\?\\C:\\data\\", u"*"));
  EXPECT_EQ(Split(u"\\\\?\\Volume{abc}\\*"), P(u"\\\\?\\Volume{abc}\\", u"*"));
  EXPECT_EQ(Split(u"\\\\.\\C:"), P(u"\\\\.\\C:", u""));
}

TEST_F(TargetTest, NormaliseRelativeQuotedAndEmptySpecs) {
  EXPECT_EQ(Normalise(u"report.doc"), u"C:\\data\\report.doc");
  EXPECT_EQ(Normalise(u"\"C:\\data\""), u"C:\\data\\*");
  // a quote at one end only stays
  EXPECT_NE(Normalise(u"\"C:\\data").find(u'"'), std::u16string::npos);
  EXPECT_EQ(Normalise(u""), u"C:\\data\\*");  // options alone: the current folder

  machine.InjectError(Op::kFullPath, u"x.txt", win::kInvalidFunction);
  // a failed full-path request keeps the text
  EXPECT_EQ(Normalise(u"x.txt"), u"C:\\data\\x.txt");
}

TEST_F(TargetTest, SplitFailsWithoutASeparator) {
  EXPECT_FALSE(SplitTarget(machine, machine.Conventions(), NormalisedSpec{u"nothing", false}));
}

}  // namespace
}  // namespace quorrex::testing
