// The file specification on real POSIX folders: made absolute, normalised,
// and split into scan folder and pattern.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "paths/target.h"
#include "platform/posix/posix_platform.h"
#include "temp_folder.h"

namespace quorrex {
namespace {

using testing::TempFolder;

class PosixTarget : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp.Folder("data"));
    ASSERT_TRUE(tmp.Folder("data/sub"));
    ASSERT_TRUE(tmp.File("data/report.doc"));
    ASSERT_TRUE(tmp.Link("data/to-sub", "sub"));
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    previous_ = here;
    ASSERT_EQ(chdir(tmp.At("data").c_str()), 0);
  }
  void TearDown() override { ASSERT_EQ(chdir(previous_.c_str()), 0); }

  // The scan folder and pattern that `spec` becomes.
  std::pair<std::u16string, std::u16string> Split(const std::string& spec) {
    const auto normalised =
        NormaliseTarget(platform, platform.Conventions(), DecodeUtf8Lossless(spec));
    EXPECT_TRUE(normalised.has_value());
    if (!normalised) return {};
    const auto target = SplitTarget(platform, platform.Conventions(), *normalised);
    EXPECT_TRUE(target.has_value());
    if (!target) return {};
    return {target->scanFolder, target->namePattern};
  }

  PosixPlatform platform;
  TempFolder tmp;
  std::string previous_;
};

TEST_F(PosixTarget, SpecsBecomeAbsoluteFolderAndPattern) {
  using P = std::pair<std::u16string, std::u16string>;
  const std::u16string data = tmp.Wide("data") + u"/";
  EXPECT_EQ(Split(tmp.At("data")), P(data, u"*"));
  EXPECT_EQ(Split(tmp.At("data") + "/"), P(data, u"*"));
  EXPECT_EQ(Split("."), P(data, u"*"));
  EXPECT_EQ(Split(""), P(data, u"*"));  // options alone: the current folder
  EXPECT_EQ(Split("report.doc"), P(data, u"report.doc"));
  EXPECT_EQ(Split("\"report.doc\""), P(data, u"report.doc"));
  EXPECT_EQ(Split("sub/../*.doc"), P(data, u"*.doc"));
  EXPECT_EQ(Split("sub//"), P(data + u"sub/", u"*"));
  EXPECT_EQ(Split("to-sub"), P(data + u"to-sub/", u"*"));  // a link to a folder is a folder
  EXPECT_EQ(Split("missing/x*"), P(data + u"missing/", u"x*"));
}

}  // namespace
}  // namespace quorrex
