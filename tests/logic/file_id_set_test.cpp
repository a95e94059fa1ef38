// The walk's record of the folders it entered: each identity is found again
// however the table grew, identities that differ in any field part, and an
// unknown identity never matches.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "scan/file_id_set.h"

namespace quorrex::testing {
namespace {

constexpr uint64_t kAllOnes = ~uint64_t{0};

TEST(FileIdSet, EachIdentityIsNewOnceAndUnknownOnesNeverMatch) {
  struct Case {
    const char* what;
    FileId id;
    bool kept;  // a known identity: new the first time only
  };
  const std::vector<Case> cases = {
      {"an index", {1, 42, 0}, true},
      {"the same index on another volume", {2, 42, 0}, true},
      {"the same index with an upper half", {1, 42, 7}, true},
      {"an upper half alone", {1, 0, 7}, true},
      {"volume 0", {0, 5, 0}, true},
      {"the largest 64-bit index short of all ones", {1, kAllOnes - 1, 0}, true},
      {"all ones below, an upper half", {1, kAllOnes, 1}, true},
      {"index 0", {1, 0, 0}, false},
      {"index 0 on volume 0", {0, 0, 0}, false},
      {"all ones, 64 bits", {1, kAllOnes, 0}, false},
      {"all ones, 128 bits", {1, kAllOnes, kAllOnes}, false},
  };
  FileIdSet set;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(set.Contains(c.id));
    EXPECT_TRUE(set.Insert(c.id));
  }
  size_t known = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    known += c.kept ? 1 : 0;
    EXPECT_EQ(set.Contains(c.id), c.kept);
    EXPECT_EQ(set.Insert(c.id), !c.kept);
  }
  EXPECT_EQ(set.size(), known);
}

TEST(FileIdSet, EveryIdentityIsFoundAgainAfterTheTableGrows) {
  struct Case {
    const char* what;
    uint64_t volumes;
    uint64_t indexes;
    uint64_t stride;  // between indexes
  };
  const std::vector<Case> cases = {
      {"a few, in the first table", 1, 10, 1},
      {"many on one volume, in a row", 1, 50000, 1},
      {"many on one volume, spread apart", 1, 20000, uint64_t{1} << 32},
      {"the same indexes on many volumes", 64, 500, 1},
      {"high indexes, the table's low bits alike", 2, 5000, 4096},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FileIdSet set;
    for (uint64_t v = 0; v < c.volumes; ++v) {
      for (uint64_t i = 1; i <= c.indexes; ++i) {
        ASSERT_TRUE(set.Insert({v, i * c.stride, 0}));
      }
    }
    EXPECT_EQ(set.size(), c.volumes * c.indexes);
    for (uint64_t v = 0; v < c.volumes; ++v) {
      for (uint64_t i = 1; i <= c.indexes; ++i) {
        ASSERT_TRUE(set.Contains({v, i * c.stride, 0}));
        ASSERT_FALSE(set.Insert({v, i * c.stride, 0}));
        // Near misses: the next index, another volume, an upper half.
        ASSERT_FALSE(set.Contains({v, i * c.stride + (c.stride == 1 ? c.indexes : 1), 0}));
        ASSERT_FALSE(set.Contains({v + c.volumes, i * c.stride, 0}));
        ASSERT_FALSE(set.Contains({v, i * c.stride, 1}));
      }
    }
    EXPECT_EQ(set.size(), c.volumes * c.indexes);
  }
}

}  // namespace
}  // namespace quorrex::testing
