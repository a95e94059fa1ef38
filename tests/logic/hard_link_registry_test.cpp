// The registry's order and grouping across index growth and collisions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scan/hard_link_registry.h"

namespace quorrex {
namespace {

TEST(HardLinkRegistry, GroupsInOrderOfFirstMemberMembersInRecordOrder) {
  // 3000 groups whose members arrive interleaved, with identities that share
  // their index across two volumes: enough to grow the index several times.
  HardLinkRegistry list;
  struct Seen {
    uint32_t count;
    int32_t number;
    std::u16string path;
  };
  std::vector<std::vector<std::u16string>> expected(3000);
  for (int round = 0; round < 3; ++round) {
    for (uint32_t g = 0; g < 3000; ++g) {
      if (round == 2 && g % 3 != 0) continue;
      const std::u16string path = u"\\\\?\\C:\\g" + std::u16string(1, u'a' + g % 26) +
                                  std::u16string(g / 26 + 1, u'x') + u"\\m" +
                                  std::u16string(1, u'0' + round);
      list.Add(7, FileId{g % 2, (uint64_t{0x10} << 32) | (g / 2)}, path, 4);
      expected[g].push_back(path.substr(4));
    }
  }
  std::vector<std::vector<std::u16string>> seen;
  const uint32_t groups =
      list.ForEachGroup([&](uint32_t count, int32_t number, const HardLinkEntry& entry) {
        EXPECT_EQ(count, 7u);
        if (number == 1) seen.emplace_back();
        EXPECT_EQ(static_cast<size_t>(number), seen.back().size() + 1);
        seen.back().emplace_back(entry.displayPath());
      });
  EXPECT_EQ(groups, 3000u);
  EXPECT_EQ(seen, expected);
  list.Clear();
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(list.ForEachGroup([](uint32_t, int32_t, const HardLinkEntry&) {}), 0u);
}

TEST(HardLinkRegistry, HeaderCarriesTheFirstMembersCountAndOddOffsetsPrintWhole) {
  HardLinkRegistry list;
  list.Add(3, FileId{9, 1}, u"a", 4);  // an offset past the path prints it whole
  list.Add(5, FileId{9, 1}, u"b", 0);
  list.Add(2, FileId{9, 1}, u"\\\\?\\C:\\caf\u00E9\U0001F600", 4);  // beyond ASCII
  list.Add(2, FileId{9, 1}, u"", 0);
  std::vector<std::u16string> paths;
  list.ForEachGroup([&](uint32_t count, int32_t, const HardLinkEntry& entry) {
    EXPECT_EQ(count, 3u);
    paths.emplace_back(entry.displayPath());
  });
  EXPECT_EQ(paths, (std::vector<std::u16string>{u"a", u"b", u"C:\\caf\u00E9\U0001F600", u""}));
}

TEST(HardLinkRegistry, WholeIdentityDecidesTheGroup) {
  // 128-bit indexes (ReFS) whose lower halves coincide are different files;
  // equal indexes on two volumes too. Only the whole identity groups.
  struct Case {
    FileId id;
    std::u16string path;
  };
  const Case cases[] = {
      {FileId{1, 5, 0}, u"a"}, {FileId{1, 5, 1}, u"b"}, {FileId{1, 5, 1ull << 63}, u"c"},
      {FileId{2, 5, 1}, u"d"}, {FileId{1, 5, 1}, u"e"}, {FileId{1, 5, 0}, u"f"},
  };
  HardLinkRegistry list;
  for (const Case& c : cases) list.Add(2, c.id, c.path, 0);
  std::vector<std::vector<std::u16string>> groups;
  list.ForEachGroup([&](uint32_t, int32_t number, const HardLinkEntry& entry) {
    if (number == 1) groups.emplace_back();
    groups.back().emplace_back(entry.displayPath());
  });
  EXPECT_EQ(groups,
            (std::vector<std::vector<std::u16string>>{{u"a", u"f"}, {u"b", u"e"}, {u"c"}, {u"d"}}));
}

}  // namespace
}  // namespace quorrex
