// The Windows link query's steps, on scripted system answers: which calls it
// makes, what it gives, and which error the walk sees.
#include "platform/win32/link_query.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace quorrex::win32 {
namespace {

// Answers as scripted, and writes down each call by its first letter:
// S(tat by name), O(pen), L(inks), I(ndex), W(ide index), C(lose). The open
// file is the one the query found unless `openIndex` says another file has
// taken its name in between.
class Script final : public LinkCalls {
 public:
  uint32_t statStatus = nt_status::kSuccess;
  uint32_t links = 1;
  uint32_t openError = 0;
  bool wide = true;
  uint64_t openIndex = 0x51;
  uint32_t openLinks = 0;  // 0: `links`
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
    count = openLinks != 0 ? openLinks : links;
    return 0;
  }
  uint32_t QueryIndex(uint64_t& volume, uint64_t& index) override {
    calls += 'I';
    volume = 0xAB;
    index = openIndex;
    return 0;
  }
  bool QueryWideIndex(uint64_t& lower, uint64_t& upper) override {
    calls += 'W';
    lower = openIndex;
    upper = 0x7;
    return wide;
  }
  void Close() override { calls += 'C'; }
  uint32_t ErrorOf(uint32_t status) override { return WinErrorOfStatus(status); }
};

constexpr uint64_t kVolume = 0xCD;

TEST(LinkQueryTest, EachAnswerTakesItsPath) {
  struct Case {
    const char* name;
    uint32_t status;
    uint32_t links;
    uint32_t openError;
    bool volumeKnown;
    bool wide;
    std::string calls;
    uint32_t error;        // 0: the query succeeds
    FileId id;             // of a file with more than one link
    bool refused = false;  // the file system refused the query: the next asks by opening
    const FileId* listed = nullptr;
    uint64_t openIndex = 0x51;
  };
  const FileId none{};
  const FileId record{kVolume, 0x51, 0x7};
  const FileId otherRecord{kVolume, 0x99, 0x7};
  const Case cases[] = {
      {"one link: the query alone", nt_status::kSuccess, 1, 0, true, true, "S", 0, none},
      {"two links, the record's ID: the query alone", nt_status::kSuccess, 2, 0, true, true, "S", 0,
       record, false, &record},
      {"two links, a record of another file: the open's", nt_status::kSuccess, 2, 0, true, true,
       "SOWC", 0, record, false, &otherRecord},
      {"two links: the whole index, the volume the folder's", nt_status::kSuccess, 2, 0, true, true,
       "SOWC", 0, record},
      {"two links, no wide index: the 64-bit one", nt_status::kSuccess, 2, 0, true, false, "SOWIC",
       0, FileId{kVolume, 0x51, 0}},
      {"two links, folder volume unknown: the open's", nt_status::kSuccess, 2, 0, false, true,
       "SOIWC", 0, FileId{0xAB, 0x51, 0x7}},
      {"two links, the name given to another file before the open: count and ID of that one",
       nt_status::kSuccess, 2, 0, true, true, "SOWLC", 0, FileId{kVolume, 0x52, 0x7}, false,
       nullptr, 0x52},
      {"two links, the file gone before its open", nt_status::kSuccess, 2, 2, true, true, "SO", 2,
       none},
      {"FAT: the class unknown", nt_status::kInvalidInfoClass, 1, 0, true, true, "SOLC", 0, none,
       true},
      {"the request not implemented", nt_status::kNotImplemented, 1, 0, true, true, "SOLC", 0, none,
       true},
      {"the parameter refused", nt_status::kInvalidParameter, 1, 0, true, true, "SOLC", 0, none,
       true},
      {"not supported (a cloud folder on a share)", nt_status::kNotSupported, 1, 0, true, true,
       "SOLC", 0, none, true},
      {"an invalid device request", nt_status::kInvalidDeviceRequest, 1, 0, false, true, "SOLC", 0,
       none, true},
      {"denied: the open with backup intent may pass", nt_status::kAccessDenied, 2, 0, true, true,
       "SOLWC", 0, record},
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
    script.openIndex = c.openIndex;
    script.openLinks = c.openIndex != 0x51 ? 3 : 0;
    VolumeRefusals refusals;
    bool folderLacks = false;
    LinkQueryPlace place{true, &folderLacks, c.volumeKnown, kVolume, &refusals, c.listed};
    LinkInfo info;
    uint32_t error = 0;
    const bool ok = QueryLink(script, place, info, error);
    EXPECT_EQ(script.calls, c.calls);
    EXPECT_EQ(ok, c.error == 0);
    if (ok) {
      EXPECT_EQ(info.links, script.openLinks != 0 ? script.openLinks : c.links);
      if (c.links > 1) {
        EXPECT_EQ(info.id, c.id);
      }
    } else {
      EXPECT_EQ(error, c.error);
    }
    EXPECT_EQ(folderLacks, c.refused);
    EXPECT_EQ(refusals.Refused(kVolume, Refusal::kStatByName), c.refused && c.volumeKnown);

    // Once refused, the next file of the folder, and of any folder of its
    // volume, is asked by opening at once; another volume is still asked by
    // name.
    if (c.refused) {
      Script next;
      ASSERT_TRUE(QueryLink(next, place, info, error));
      EXPECT_EQ(next.calls, "OLC");
      bool sibling = false;
      Script onVolume;
      ASSERT_TRUE(QueryLink(onVolume,
                            LinkQueryPlace{true, &sibling, c.volumeKnown, kVolume, &refusals}, info,
                            error));
      EXPECT_EQ(onVolume.calls, c.volumeKnown ? "OLC" : "S");
      Script elsewhere;
      ASSERT_TRUE(
          QueryLink(elsewhere, LinkQueryPlace{true, &sibling, true, 0xEF, &refusals}, info, error));
      EXPECT_EQ(elsewhere.calls, "S");
    }
  }
}

TEST(LinkQueryTest, OpensAloneWhereTheQueryCannotBeTried) {
  // Windows before 10 1709, or a folder listed by the older search, which
  // has no handle: open, link count, identity only for a group, from the
  // same handle whatever the folder's record says, close.
  struct Case {
    uint32_t links;
    bool volumeKnown;
    bool wide;
    std::string calls;
    FileId id;
    const FileId* listed = nullptr;
    bool wideRefused = false;  // the volume refused FileIdInfo before
  };
  const FileId record{kVolume, 0x51, 0x7};       // of the file the open finds
  const FileId otherRecord{kVolume, 0x77, 0x7};  // the name given to another file since
  const Case cases[] = {
      {1, true, true, "OLC", FileId{}},
      {1, true, true, "OLC", FileId{}, &otherRecord},
      {3, true, true, "OLWC", record, &record},
      {3, true, true, "OLWC", FileId{kVolume, 0x51, 0x7}, &otherRecord},
      {3, true, false, "OLWIC", FileId{kVolume, 0x51, 0}, &otherRecord},
      {3, true, true, "OLWC", FileId{kVolume, 0x51, 0x7}},
      {3, true, false, "OLWIC", FileId{kVolume, 0x51, 0}},
      {3, true, true, "OLIC", FileId{kVolume, 0x51, 0}, nullptr, true},
      {3, false, true, "OLIWC", FileId{0xAB, 0x51, 0x7}},
      {3, false, false, "OLIWC", FileId{0xAB, 0x51, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.calls);
    Script script;
    script.links = c.links;
    script.wide = c.wide;
    VolumeRefusals refusals;
    if (c.wideRefused) refusals.Remember(kVolume, Refusal::kFileIdInfo);
    LinkQueryPlace place{false, nullptr, c.volumeKnown, kVolume, &refusals, c.listed};
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
