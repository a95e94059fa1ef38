// The Windows link query's steps, on scripted system answers: which calls it
// makes, what it gives, and which error the walk sees.
#include "platform/win32/link_query.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace quorrex::win32 {
namespace {

// Answers as scripted, and writes down each call by its first letter:
// S(tat by name), O(pen), L(inks), I(ndex), W(ide index), C(lose).
class Script final : public LinkCalls {
 public:
  uint32_t statStatus = nt_status::kSuccess;
  uint32_t links = 1;
  uint32_t openError = 0;
  bool wide = true;
  std::string calls;

  uint32_t StatByName(StatAnswer& answer) override {
    calls += 'S';
    answer.index = 0x51;
    answer.links = links;
    return statStatus;
  }
  uint32_t Open() override {
    calls += 'O';
    return openError;
  }
  uint32_t QueryLinks(uint32_t& count) override {
    calls += 'L';
    count = links;
    return 0;
  }
  uint32_t QueryIndex(uint64_t& volume, uint64_t& index) override {
    calls += 'I';
    volume = 0xAB;
    index = 0x51;
    return 0;
  }
  bool QueryWideIndex(uint64_t& lower, uint64_t& upper) override {
    calls += 'W';
    lower = 0x51;
    upper = 0x7;
    return wide;
  }
  void Close() override { calls += 'C'; }
  uint32_t ErrorOf(uint32_t status) override { return WinErrorOfStatus(status); }
};

TEST(LinkQueryTest, EachAnswerTakesItsPath) {
  struct Case {
    const char* name;
    uint32_t status;
    uint32_t links;
    uint32_t openError;
    bool volumeKnown;
    bool wide;
    std::string calls;
    uint32_t error;  // 0: the query succeeds
    FileId id;       // of a file with more than one link
    bool systemLacks = false;
    bool folderLacks = false;
  };
  const FileId none{};
  const Case cases[] = {
      {"one link: the query alone", nt_status::kSuccess, 1, 0, true, true, "S", 0, none},
      {"two links: the whole index, the volume the folder's", nt_status::kSuccess, 2, 0, true, true,
       "SOWC", 0, FileId{0xCD, 0x51, 0x7}},
      {"two links, no wide index: the queried one", nt_status::kSuccess, 2, 0, true, false, "SOWC",
       0, FileId{0xCD, 0x51, 0}},
      {"two links, folder volume unknown: the open's", nt_status::kSuccess, 2, 0, false, true,
       "SOIWC", 0, FileId{0xAB, 0x51, 0x7}},
      {"two links, the file gone before its open", nt_status::kSuccess, 2, 2, true, true, "SO", 2,
       none},
      {"the class unknown (1703): by open, from now on", nt_status::kInvalidInfoClass, 1, 0, true,
       true, "SOLC", 0, none, true},
      {"the function not there", nt_status::kNotImplemented, 1, 0, true, true, "SOLC", 0, none,
       true},
      {"the file system lacks it: by open, this folder", nt_status::kInvalidParameter, 1, 0, true,
       true, "SOLC", 0, none, false, true},
      {"not supported", nt_status::kNotSupported, 1, 0, true, true, "SOLC", 0, none, false, true},
      {"denied: the open with backup intent may pass", nt_status::kAccessDenied, 2, 0, true, true,
       "SOLWC", 0, FileId{0xCD, 0x51, 0x7}},
      {"denied to both", nt_status::kAccessDenied, 1, 5, true, true, "SO", 5, none},
      {"gone", nt_status::kObjectNameNotFound, 1, 0, true, true, "S", 2, none},
      {"its folder gone", nt_status::kObjectPathNotFound, 1, 0, true, true, "S", 3, none},
      {"being deleted", nt_status::kDeletePending, 1, 0, true, true, "S", 5, none},
      {"short of resources", nt_status::kInsufficientResources, 1, 0, true, true, "S", 1450, none},
      {"short of memory", nt_status::kNoMemory, 1, 0, true, true, "S", 8, none},
      {"too many open files", nt_status::kTooManyOpenedFiles, 1, 0, true, true, "S", 4, none},
      {"any other failure: the open decides", 0xC0000001, 1, 0, true, true, "SOLC", 0, none},
      {"a warning is no success", 0x80000005, 1, 0, true, true, "SOLC", 0, none},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Script script;
    script.statStatus = c.status;
    script.links = c.links;
    script.openError = c.openError;
    script.wide = c.wide;
    std::atomic<bool> systemLacks{false};
    bool folderLacks = false;
    LinkQueryPlace place{true, &systemLacks, &folderLacks, c.volumeKnown, 0xCD};
    LinkInfo info;
    uint32_t error = 0;
    const bool ok = QueryLink(script, place, info, error);
    EXPECT_EQ(script.calls, c.calls);
    EXPECT_EQ(ok, c.error == 0);
    if (ok) {
      EXPECT_EQ(info.links, c.links);
      if (c.links > 1) {
        EXPECT_EQ(info.id, c.id);
      }
    } else {
      EXPECT_EQ(error, c.error);
    }
    EXPECT_EQ(systemLacks.load(), c.systemLacks);
    EXPECT_EQ(folderLacks, c.folderLacks);

    // Once found lacking, the next file is asked by opening at once.
    if (c.systemLacks || c.folderLacks) {
      Script next;
      ASSERT_TRUE(QueryLink(next, place, info, error));
      EXPECT_EQ(next.calls, "OLC");
    }
  }
}

TEST(LinkQueryTest, OpensAloneWhereTheQueryCannotBeTried) {
  // Windows before 10 1703, or a folder listed by the older search, which
  // has no handle: open, link count, identity only for a group, close.
  struct Case {
    uint32_t links;
    bool volumeKnown;
    bool wide;
    std::string calls;
    FileId id;
  };
  const Case cases[] = {
      {1, true, true, "OLC", FileId{}},
      {3, true, true, "OLWC", FileId{0xCD, 0x51, 0x7}},
      {3, true, false, "OLWIC", FileId{0xCD, 0x51, 0}},
      {3, false, true, "OLIWC", FileId{0xAB, 0x51, 0x7}},
      {3, false, false, "OLIWC", FileId{0xAB, 0x51, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.calls);
    Script script;
    script.links = c.links;
    script.wide = c.wide;
    LinkQueryPlace place{false, nullptr, nullptr, c.volumeKnown, 0xCD};
    LinkInfo info;
    uint32_t error = 0;
    ASSERT_TRUE(QueryLink(script, place, info, error));
    EXPECT_EQ(script.calls, c.calls);
    EXPECT_EQ(info.links, c.links);
    if (c.links > 1) {
      EXPECT_EQ(info.id, c.id);
    }
  }
}

TEST(LinkQueryTest, FailuresMapToTheErrorsTheWalkActsOn) {
  // The shortages make a reader leave the folder to the walk; a denial marks
  // the folder for a second read once the backup privilege is enabled.
  struct Case {
    uint32_t status;
    uint32_t error;
    bool shortage;
  };
  const Case cases[] = {
      {nt_status::kObjectNameNotFound, win_error::kFileNotFound, false},
      {nt_status::kObjectPathNotFound, win_error::kPathNotFound, false},
      {nt_status::kAccessDenied, win_error::kAccessDenied, false},
      {nt_status::kDeletePending, win_error::kAccessDenied, false},
      {nt_status::kSharingViolation, win_error::kSharingViolation, false},
      {nt_status::kNoMemory, 8, true},
      {nt_status::kInsufficientResources, 1450, true},
      {nt_status::kTooManyOpenedFiles, 4, true},
      {0xC0000001, 31, false},  // anything unknown: a failure all the same
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    EXPECT_EQ(WinErrorOfStatus(c.status), c.error);
    EXPECT_EQ(IsShortage(WinErrorOfStatus(c.status)), c.shortage);
  }
  EXPECT_EQ(WinErrorOfStatus(nt_status::kSuccess), 0u);
}

}  // namespace
}  // namespace quorrex::win32
