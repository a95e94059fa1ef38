// The registry's order and grouping across index growth and collisions, and
// the paths it builds again from its folders and names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scan/hard_link_registry.h"

namespace quorrex {
namespace {

struct Group {
  uint32_t count;
  std::vector<std::u16string> paths;
  friend bool operator==(const Group&, const Group&) = default;
};

std::vector<Group> Report(const HardLinkRegistry& list) {
  std::vector<Group> groups;
  const uint32_t n = list.ForEachGroup(
      [&](uint32_t count, const FileId&, std::span<const std::u16string_view> paths) {
        groups.push_back(Group{count, {}});
        for (const std::u16string_view path : paths) groups.back().paths.emplace_back(path);
      });
  EXPECT_EQ(n, groups.size());
  return groups;
}

TEST(HardLinkRegistry, GroupsInOrderOfFirstMemberMembersInRecordOrder) {
  // 3000 groups whose members arrive interleaved, with identities that share
  // their index across two volumes: enough to grow the index several times.
  HardLinkRegistry list;
  std::vector<Group> expected(3000, Group{7, {}});
  for (int round = 0; round < 3; ++round) {
    for (uint32_t g = 0; g < 3000; ++g) {
      if (round == 2 && g % 3 != 0) continue;
      const std::u16string path = u"\\\\?\\C:\\g" + std::u16string(1, u'a' + g % 26) +
                                  std::u16string(g / 26 + 1, u'x') + u"\\m" +
                                  std::u16string(1, u'0' + round);
      list.Add(round == 0 ? 7 : 9, FileId{g % 2, (uint64_t{0x10} << 32) | (g / 2)}, path, u'\\');
      expected[g].paths.push_back(path);
    }
  }
  EXPECT_EQ(list.size(), 7000u);
  EXPECT_EQ(Report(list), expected);
  list.Clear();
  EXPECT_TRUE(list.empty());
  EXPECT_TRUE(Report(list).empty());
}

// Paths as the walk records them: each comes back exactly, whatever its
// folders have in common with the paths recorded before it.
TEST(HardLinkRegistry, PathsComeBackExactly) {
  struct Record {
    uint64_t index;  // 0: unknown
    uint32_t count;
    std::u16string path;
  };
  struct Case {
    const char* what;
    char16_t separator;
    std::vector<Record> records;
    std::vector<Group> groups;
  };
  const std::u16string deep = [] {
    std::u16string path = u"/r";
    for (int i = 0; i < 3000; ++i) path += u"/d" + std::u16string(1, u'a' + i % 26);
    return path + u"/";
  }();
  const std::u16string longName(9000, u'n');                 // longer than one item holds
  const std::u16string longFolder(5000, u'\u4E2D');          // wide, and as long
  const std::u16string invalid = u"caf\xDCC3\xDCA9-\xDCFF";  // bytes that are not UTF-8
  const Case cases[] = {
      {"same name in different folders",
       u'/',
       {{1, 2, u"/a/x"}, {2, 2, u"/b/x"}, {1, 2, u"/b/c/x"}, {2, 2, u"/x"}},
       {{2, {u"/a/x", u"/b/c/x"}}, {2, {u"/b/x", u"/x"}}}},
      {"a folder's files around its subfolders, joining groups in several orders",
       u'/',
       {{1, 3, u"/t/a/1"},
        {2, 3, u"/t/a/2"},
        {2, 3, u"/t/a/b/2"},
        {3, 2, u"/t/a/b/c/3"},
        {1, 3, u"/t/a/b/1"},
        {3, 2, u"/t/a/3"},
        {1, 3, u"/t/a/1b"},
        {2, 3, u"/t/ab/2"}},
       {{3, {u"/t/a/1", u"/t/a/b/1", u"/t/a/1b"}},
        {3, {u"/t/a/2", u"/t/a/b/2", u"/t/ab/2"}},
        {2, {u"/t/a/b/c/3", u"/t/a/3"}}}},
      {"names and folders with bytes that are not UTF-8, and beyond one byte",
       u'/',
       {{5, 2, u"/m/" + invalid},
        {5, 2, u"/m/" + invalid + u"/" + invalid},
        {5, 2, u"/m/\u00FF\u0100"},
        {5, 2, u"/m/\U0001F600/\u00E9"}},
       {{2,
         {u"/m/" + invalid, u"/m/" + invalid + u"/" + invalid, u"/m/\u00FF\u0100",
          u"/m/\U0001F600/\u00E9"}}}},
      {"deep folders, then one near the top, then deep again",
       u'/',
       {{7, 2, deep + u"f"}, {7, 2, u"/r/da/g"}, {7, 2, deep + u"h"}, {8, 2, deep + u"db/i"}},
       {{2, {deep + u"f", u"/r/da/g", deep + u"h"}}, {2, {deep + u"db/i"}}}},
      {"names and folders longer than one item holds",
       u'/',
       {{9, 2, u"/l/" + longName},
        {9, 2, u"/" + longFolder + u"/" + longName},
        {9, 2, u"/" + longFolder + u"/x"}},
       {{2, {u"/l/" + longName, u"/" + longFolder + u"/" + longName, u"/" + longFolder + u"/x"}}}},
      {"paths without a folder, an empty name, the root",
       u'/',
       {{4, 2, u"plain"}, {4, 2, u""}, {4, 2, u"/"}, {4, 2, u"/plain"}, {4, 2, u"dir/"}},
       {{2, {u"plain", u"", u"/", u"/plain", u"dir/"}}}},
      {"Windows forms, the other separator only a character",
       u'\\',
       {{6, 2, u"\\\\?\\C:\\a\\b"},
        {6, 2, u"\\\\?\\C:\\a/b\\c"},
        {6, 2, u"\\\\server\\share\\a\\b"},
        {6, 2, u"C:\\b"}},
       {{2, {u"\\\\?\\C:\\a\\b", u"\\\\?\\C:\\a/b\\c", u"\\\\server\\share\\a\\b", u"C:\\b"}}}},
      {"a name again in the next member of its group: narrow, wide, empty, one character",
       u'/',
       {{1, 3, u"/s1/report-2026.txt"},
        {2, 3, u"/s1/\u4E2D\u6587-\U0001F600.txt"},
        {3, 3, u"/s1/"},
        {4, 3, u"/s1/a"},
        {1, 3, u"/s2/report-2026.txt"},
        {2, 3, u"/s2/\u4E2D\u6587-\U0001F600.txt"},
        {3, 3, u"/s2/"},
        {4, 3, u"/s2/a"},
        {1, 3, u"/s3/report-2026.txt"},
        {2, 3, u"/s3/\u4E2D\u6587-\U0001F600.TXT"},
        {3, 3, u"/s3/"},
        {4, 3, u"/s3/a"}},
       {{3, {u"/s1/report-2026.txt", u"/s2/report-2026.txt", u"/s3/report-2026.txt"}},
        {3,
         {u"/s1/\u4E2D\u6587-\U0001F600.txt", u"/s2/\u4E2D\u6587-\U0001F600.txt",
          u"/s3/\u4E2D\u6587-\U0001F600.TXT"}},
        {3, {u"/s1/", u"/s2/", u"/s3/"}},
        {3, {u"/s1/a", u"/s2/a", u"/s3/a"}}}},
      {"a name like the member's before but for one unit, its length or its width",
       u'/',
       {{1, 2, u"/p/name-of-some-length"},
        {1, 2, u"/q/Name-of-some-length"},
        {1, 2, u"/r/Name-of-some-lengtH"},
        {1, 2, u"/s/Name-of-some-lengt"},
        {1, 2, u"/t/Name-of-some-lengt\u00E8"},
        {1, 2, u"/u/Name-of-some-lengt\u00E8"},
        {1, 2, u"/v/Name-of-some-lengt\xDCE8"},
        {1, 2, u"/w/Name-of-some-lengt\xDCE9"},
        {1, 2, u"/x/Name-of-some-lengt\xDCE9"}},
       {{2,
         {u"/p/name-of-some-length", u"/q/Name-of-some-length", u"/r/Name-of-some-lengtH",
          u"/s/Name-of-some-lengt", u"/t/Name-of-some-lengt\u00E8", u"/u/Name-of-some-lengt\u00E8",
          u"/v/Name-of-some-lengt\xDCE8", u"/w/Name-of-some-lengt\xDCE9",
          u"/x/Name-of-some-lengt\xDCE9"}}}},
      {"unknown identities each make a group of their own",
       u'/',
       {{0, 2, u"/u/a"}, {0, 2, u"/u/b"}, {~uint64_t{0}, 3, u"/u/c"}, {~uint64_t{0}, 3, u"/u/d"}},
       {{2, {u"/u/a"}}, {2, {u"/u/b"}}, {3, {u"/u/c"}}, {3, {u"/u/d"}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HardLinkRegistry list;
    for (const Record& r : c.records) list.Add(r.count, FileId{1, r.index}, r.path, c.separator);
    EXPECT_EQ(Report(list), c.groups);
    // Emptied, the registry records as a new one does.
    list.Clear();
    for (const Record& r : c.records) list.Add(r.count, FileId{1, r.index}, r.path, c.separator);
    EXPECT_EQ(Report(list), c.groups);
  }
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
  for (const Case& c : cases) list.Add(2, c.id, c.path, u'\\');
  EXPECT_EQ(Report(list),
            (std::vector<Group>{{2, {u"a", u"f"}}, {2, {u"b", u"e"}}, {2, {u"c"}}, {2, {u"d"}}}));
}

TEST(HardLinkRegistry, ANameCostsItsNameNotItsPath) {
  // Snapshots of one deep folder, every file linked into each: what the
  // registry holds grows with the names, whatever the depth.
  const std::u16string folder =
      u"/backup/daily/2026-12-09/home/someone/projects/quorrex/build/objects/";
  HardLinkRegistry list;
  const uint32_t files = 20000;
  for (uint32_t snapshot = 0; snapshot < 4; ++snapshot) {
    const std::u16string here = folder + std::u16string(1, u'a' + snapshot) + u"/";
    for (uint32_t f = 0; f < files; ++f) {
      list.Add(4, FileId{3, 100 + f}, here + u"file-" + std::u16string(1, u'a' + f % 26) + u".o",
               u'/');
    }
  }
  // 8-character names: a member costs under 16 bytes, a group with its
  // place in the index under 64.
  EXPECT_LT(list.BytesHeld(), size_t{files} * (4 * 16 + 64));
  const std::vector<Group> groups = Report(list);
  ASSERT_EQ(groups.size(), files);
  EXPECT_EQ(groups[1].paths[3], folder + u"d/file-b.o");
}

TEST(HardLinkRegistry, ANameRecordedInTheSnapshotBeforeCostsLessThanItself) {
  // Daily snapshots: each file has the same name in every one, so from the
  // second on a member names the name written before.
  const std::u16string name = u"-a-name-of-thirty-two-characters";
  HardLinkRegistry once;
  HardLinkRegistry daily;
  const uint32_t files = 5000;
  for (uint32_t snapshot = 0; snapshot < 8; ++snapshot) {
    const std::u16string here = u"/snapshots/day-" + std::u16string(1, u'a' + snapshot) + u"/";
    for (uint32_t f = 0; f < files; ++f) {
      const std::u16string path = here + std::u16string(1, u'a' + f % 26) +
                                  std::u16string(1, u'a' + f / 26 % 26) +
                                  std::u16string(1, u'a' + f / 676) + name;
      if (snapshot == 0) once.Add(8, FileId{3, 100 + f}, path, u'/');
      daily.Add(8, FileId{3, 100 + f}, path, u'/');
    }
  }
  // Each member beyond the first snapshot's: its two distances and the
  // distance to its name, not its 35 characters.
  EXPECT_LT(daily.BytesHeld() - once.BytesHeld(), size_t{files} * 7 * 12);
  const std::vector<Group> groups = Report(daily);
  ASSERT_EQ(groups.size(), files);
  EXPECT_EQ(groups[4999].paths[7], u"/snapshots/day-h/hkh" + name);
}

}  // namespace
}  // namespace quorrex
