// Every platform operation of the walk failing in turn, at every path: the
// run completes, each failure costs only what depends on it, and nothing is
// printed or counted twice.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "run_fixture.h"

namespace quorrex::testing {
namespace {

void Build(MemoryMachine& m) {
  m.stdoutIsConsole = false;
  m.AddFolder(u"C:\\target\\t");
  m.AddFile(u"C:\\data\\a.txt");
  m.AddHardLink(u"C:\\data\\a.txt", u"C:\\data\\sub\\b.txt");
  m.AddHardLink(u"C:\\data\\a.txt", u"C:\\data\\sub\\deeper\\c.txt");
  m.AddFile(u"C:\\data\\sub\\single.txt");
  m.AddJunction(u"C:\\data\\jn", u"C:\\target");
  m.AddSymlink(u"C:\\data\\sub\\ln", u"..\\a.txt", false);
  m.AddReparsePoint(u"C:\\data\\sub\\deeper\\odd", {0x1A, 0x70, 0x00, 0x90, 0, 0, 0, 0}, false);
}

// Paths of the tree, in the forms the walk hands to the platform.
const char16_t* const kPaths[] = {
    u"\\\\?\\C:\\data\\",
    u"\\\\?\\C:\\data\\sub",
    u"\\\\?\\C:\\data\\sub\\deeper",
    u"\\\\?\\C:\\data\\a.txt",
    u"\\\\?\\C:\\data\\sub\\b.txt",
    u"\\\\?\\C:\\data\\sub\\deeper\\c.txt",
    u"\\\\?\\C:\\data\\sub\\single.txt",
    u"\\\\?\\C:\\data\\jn",
    u"\\\\?\\C:\\data\\sub\\ln",
    u"\\\\?\\C:\\data\\sub\\deeper\\odd",
};

std::map<std::string, int> Lines(const std::string& text) {
  std::map<std::string, int> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    // Messages end in CR LF, and the lone CR before the walk starts a line.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line.front() == '\r') line.erase(0, 1);
    // Members are compared without their numbers, which shift when one fails.
    const size_t colon = line.find(": ");
    if (line.size() > 1 && line[0] == ' ' && colon != std::string::npos &&
        line.find_first_not_of("0123456789", 1) == colon) {
      line = " #" + line.substr(colon);
    }
    ++lines[line];
  }
  return lines;
}

// The count of the summary line "* N <label>...".
uint32_t SummaryCount(const std::string& out, const std::string& label) {
  for (const auto& [line, count] : Lines(out)) {
    if (line.rfind("* ", 0) == 0 && line.find(" " + label) != std::string::npos) {
      return static_cast<uint32_t>(std::stoul(line.substr(2)));
    }
  }
  return 0xFFFFFFFF;
}

TEST(FaultInjection, EveryOperationFailingAtEveryPath) {
  MemoryMachine clean;
  Build(clean);
  const Outcome baseline = RunOn(clean, {u"C:\\data", u"-s"});
  ASSERT_EQ(baseline.code, 0);
  ASSERT_NE(baseline.out.find("* 3 reparse points:"), std::string::npos) << baseline.out;
  ASSERT_NE(baseline.out.find("* 1 hard link group"), std::string::npos) << baseline.out;
  const auto expected = Lines(baseline.out);

  for (Op op :
       {Op::kOpenListing, Op::kIdentity, Op::kLinkInfo, Op::kReparseOpen, Op::kReparseQuery}) {
    for (const char16_t* path : kPaths) {
      for (uint32_t error : {win_error::kAccessDenied, win_error::kSharingViolation, 1117u}) {
        MemoryMachine m;
        Build(m);
        m.InjectError(op, path, error);
        const Outcome o = RunOn(m, {u"C:\\data", u"-s"});
        const std::u16string p(path);
        SCOPED_TRACE(std::to_string(static_cast<int>(op)) + " " + std::string(p.begin(), p.end()));
        ASSERT_EQ(o.code, 0);
        ASSERT_EQ(o.err, "");
        // Every line is one of the clean run's, no more often, apart from
        // the error lines and the summary's counts.
        for (const auto& [line, count] : Lines(o.out)) {
          if (line.rfind("error ", 0) == 0 || line.rfind("* ", 0) == 0 ||
              line.rfind("  + ", 0) == 0 || line.rfind("    - ", 0) == 0 ||
              line.rfind("group of ", 0) == 0) {
            continue;
          }
          const auto it = expected.find(line);
          ASSERT_TRUE(it != expected.end()) << "unexpected line: " << line;
          ASSERT_LE(count, it->second) << line;
        }
        // The total counts exactly the blocks printed.
        uint32_t blocks = 0;
        for (const auto& [line, count] : Lines(o.out)) {
          if (line.rfind("reparse point ", 0) == 0) blocks += count;
        }
        ASSERT_EQ(SummaryCount(o.out, "reparse point"), blocks) << o.out;
        ASSERT_LE(SummaryCount(o.out, "hard link group"), 1u);
      }
    }
  }
}

TEST(FaultInjection, FolderRemovedWhileTheWalkIsInsideIt) {
  MemoryMachine m;
  Build(m);
  // When the walk meets b.txt, its folder (and what lies below) goes away.
  m.onEntry = [&](const std::u16string& name) {
    if (name == u"b.txt") m.Remove(u"C:\\data\\sub");
  };
  const Outcome o = RunOn(m, {u"C:\\data", u"-s"});
  EXPECT_EQ(o.code, 0);
  // The listing already open goes on; what it names can no longer be read:
  // b.txt's link query and the folder below fail and are passed over.
  EXPECT_NE(o.out.find("error PATH_NOT_FOUND opening 'C:\\data\\sub\\deeper\\*'"),
            std::string::npos)
      << o.out;
  EXPECT_NE(o.out.find("* 1 hard link group"), std::string::npos) << o.out;
  EXPECT_EQ(o.out.find(" 2: C:\\data\\sub\\b.txt"), std::string::npos) << o.out;
}

}  // namespace
}  // namespace quorrex::testing
