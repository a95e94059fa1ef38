// What a folder's listing keeps of its entries: names of every kind come
// back as they were listed, and records keep their places however many a
// folder holds; a folder of many hard-linked files of such names walks the
// same on any number of threads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/display_text.h"
#include "memory_machine.h"
#include "run_fixture.h"
#include "scan/listed_folder.h"
#include "support/utf.h"

namespace quorrex::testing {
namespace {

TEST(ListedFolder, KeptNamesComeBackAsTheyWereListed) {
  struct Case {
    const char* what;
    std::u16string name;
  };
  const std::vector<Case> cases = {
      {"empty", u""},
      {"ASCII", u"readme.txt"},
      {"Latin-1, one byte a character", u"caf\u00E9 \u00FF\u0080"},
      {"beyond Latin-1", u"\u0100x"},
      {"CJK", u"\u65E5\u672C\u8A9E"},
      {"a surrogate pair", u"\U0001F600emoji"},
      {"a byte that was not UTF-8", u"bad\xDCFF"},
      {"a lone high surrogate", u"\xD800z"},
      {"longer than a chunk, narrow", std::u16string(20000, u'n')},
      {"longer than a chunk, wide", std::u16string(9000, u'\u4E00')},
  };
  ChunkedNames names;
  struct Kept {
    uint32_t at;
    uint32_t length;
    size_t which;
  };
  std::vector<Kept> kept;
  // Enough rounds to fill many chunks, each name kept again and again.
  for (int round = 0; round < 300; ++round) {
    for (size_t i = 0; i < cases.size(); ++i) {
      if (cases[i].name.size() > 1000 && round % 100 != 0) continue;
      Kept k{0, 0, i};
      k.at = names.Append(cases[i].name, k.length);
      kept.push_back(k);
    }
  }
  for (const Kept& k : kept) {
    SCOPED_TRACE(cases[k.which].what);
    std::u16string out = u"prefix\\";
    names.AppendTo(k.at, k.length, out);
    EXPECT_EQ(out, u"prefix\\" + cases[k.which].name);
  }
}

// A name kept from its listed bytes (each unit one byte) comes back as the
// same name kept from its units, among names of every kind.
TEST(ListedFolder, NamesKeptFromTheirBytesComeBackAsFromTheirUnits) {
  const std::vector<std::string> narrow = {
      "", "a", "readme.txt", "Program Files_7", std::string(20000, 'n'), "caf\xE9"};
  ChunkedNames names;
  struct Kept {
    uint32_t at;
    uint32_t length;
    std::u16string name;
  };
  std::vector<Kept> kept;
  for (int round = 0; round < 400; ++round) {
    for (const std::string& bytes : narrow) {
      if (bytes.size() > 1000 && round % 100 != 0) continue;
      std::u16string units;
      for (const char c : bytes) units.push_back(static_cast<unsigned char>(c));
      Kept fromBytes{0, 0, units};
      fromBytes.at = names.AppendNarrow(bytes, fromBytes.length);
      Kept fromUnits{0, 0, units};
      fromUnits.at = names.Append(units, fromUnits.length);
      EXPECT_EQ(fromBytes.length, fromUnits.length);
      kept.push_back(fromBytes);
      kept.push_back(fromUnits);
      Kept wide{0, 0, u"\u65E5" + units};
      wide.at = names.Append(wide.name, wide.length);
      kept.push_back(wide);
    }
  }
  for (const Kept& k : kept) {
    std::u16string out = u"x/";
    names.AppendTo(k.at, k.length, out);
    ASSERT_EQ(out, u"x/" + k.name);
  }
}

TEST(ListedFolder, RecordsKeepTheirPlacesAcrossChunks) {
  for (size_t count : {0u, 1u, 8u, 255u, 256u, 257u, 1000u}) {
    SCOPED_TRACE(count);
    ChunkedRecords<uint32_t> records;
    for (size_t i = 0; i < count; ++i) records.emplace_back() = static_cast<uint32_t>(i * 7);
    ASSERT_EQ(records.size(), count);
    EXPECT_EQ(records.empty(), count == 0);
    for (size_t i = 0; i < count; ++i) EXPECT_EQ(records[i], i * 7);
    size_t seen = 0;
    for (const uint32_t value : records) EXPECT_EQ(value, seen++ * 7);
    EXPECT_EQ(seen, count);
    records.clear();
    EXPECT_TRUE(records.empty());
    records.emplace_back() = 5;
    EXPECT_EQ(records[0], 5u);
  }
}

TEST(ListedFolder, ManyLinkedFilesOfEveryKindOfNameWalkAlike) {
  const std::u16string kinds[] = {u"plain", u"caf\u00E9", u"\u65E5\u672C", u"\U0001F600",
                                  u"\u00FF\u0100"};
  const auto build = [&](MemoryMachine& m) {
    m.stdoutIsConsole = false;
    // One folder of 600 pairs, beyond a chunk of records and of names, with
    // a subfolder among them.
    for (size_t i = 0; i < 600; ++i) {
      const std::u16string name = kinds[i % 5] + u"-" + Numbered("f", i);
      m.AddFile(u"C:\\t\\big\\" + name);
      m.AddHardLink(u"C:\\t\\big\\" + name, u"C:\\t\\big\\" + name + u".2");
      if (i == 300) {
        m.AddFile(u"C:\\t\\big\\sub\\x");
        m.AddHardLink(u"C:\\t\\big\\sub\\x", u"C:\\t\\big\\y");
      }
    }
  };
  MemoryMachine one;
  build(one);
  const Outcome reference = RunOn(one, {u"C:\\t", u"-s"}, 1);
  ASSERT_NE(reference.out.find("* 601 hard link groups"), std::string::npos) << reference.out;
  ASSERT_NE(reference.out.find(" 1: C:\\t\\big\\plain-f0\n"), std::string::npos)
      << reference.out.substr(0, 2000);
  for (uint32_t workers : {2u, 4u}) {
    SCOPED_TRACE(workers);
    MemoryMachine m;
    build(m);
    EXPECT_EQ(RunOn(m, {u"C:\\t", u"-s"}, workers).out, reference.out);
  }
}

// With the one-line option on a console, a group member's line and a
// reparse point's line end at the console's last column whatever the
// number or label in front of the path: the path is cut in its middle to
// the room the line leaves it.
TEST(ListedFolder, OneLineOptionFitsMemberAndLinkLinesToTheConsole) {
  const std::u16string folder =
      u"C:\\data\\" + std::u16string(60, u'a') + u"\\" + std::u16string(40, u'b');
  struct Case {
    int16_t width;
    std::string head;  // the program's text in front of the path
    std::u16string path;
  };
  const std::vector<Case> cases = {
      {40, " 1: ", folder + u"\\one"},
      {40, " 2: ", folder + u"\\two"},
      {60, " 1: ", folder + u"\\one"},
      {40, "reparse point (symlink) ", folder + u"\\ln"},
      {60, "reparse point (symlink) ", folder + u"\\ln"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + " columns, " + c.head);
    MemoryMachine m;
    m.consoleWidth = c.width;
    m.AddFile(folder + u"\\one");
    m.AddHardLink(folder + u"\\one", folder + u"\\two");
    m.AddSymlink(folder + u"\\ln", u"one", false);
    const Outcome o = RunOn(m, {u"C:\\data", u"-s", u"-1"}, 1);
    std::u16string shown = c.path;
    // The room the last column leaves after the line's own text: its head,
    // and the "%S" and line end of its format.
    ShortenMiddle(shown, c.width - static_cast<int32_t>(c.head.size()) - 3);
    const std::string line = c.head + EncodeUtf8Lossless(shown) + "\n";
    EXPECT_NE(o.out.find(line), std::string::npos) << line << "\n" << o.out;
    EXPECT_LE(line.size(), static_cast<size_t>(c.width));
  }
}

}  // namespace
}  // namespace quorrex::testing
