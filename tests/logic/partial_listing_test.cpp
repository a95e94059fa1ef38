// A folder whose listing fails part way: what was listed is reported, then
// the failure, and the walk goes on; only the end of the folder ends it
// quietly.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "memory_machine.h"
#include "run_fixture.h"
#include "win_errors.h"

namespace quorrex::testing {
namespace {

// C:\data holds a link, then sub (two links and a subfolder with one), then
// one link more. On the share, dir holds three links.
void BuildTree(MemoryMachine& m) {
  m.stdoutIsConsole = false;
  m.AddVolume(u"\\\\server\\share\\");
  m.AddSymlink(u"C:\\data\\a", u"t", false);
  m.AddSymlink(u"C:\\data\\sub\\one", u"t", false);
  m.AddSymlink(u"C:\\data\\sub\\two", u"t", false);
  m.AddSymlink(u"C:\\data\\sub\\deep\\x", u"t", false);
  m.AddSymlink(u"C:\\data\\z", u"t", false);
  for (const char* name : {"p", "q", "r"}) {
    m.AddSymlink(u"\\\\server\\share\\dir\\" + U(name), u"t", false);
  }
}

std::string Link(const std::string& path) {
  return "reparse point (symlink) " + path + "\n -> t\n";
}

TEST(PartialListing, IsReportedAfterTheEntriesListedAndTheWalkGoesOn) {
  struct Case {
    const char* what;
    std::u16string spec;
    std::u16string folder;  // whose listing fails
    size_t entries;         // after this many entries, "." and ".." included
    uint32_t error;
    std::string expected;  // the walk's lines
  };
  const std::string sub = "error NETNAME_DELETED listing 'C:\\data\\sub\\*'\r\n";
  const std::vector<Case> cases = {
      {"a subfolder cut after its first link", u"C:\\data", u"C:\\data\\sub", 3,
       win::kNetnameDeleted,
       Link("C:\\data\\a") + Link("C:\\data\\sub\\one") + sub + Link("C:\\data\\z")},
      {"after a subfolder that is walked first", u"C:\\data", u"C:\\data\\sub", 5,
       win::kNetnameDeleted,
       Link("C:\\data\\a") + Link("C:\\data\\sub\\one") + Link("C:\\data\\sub\\two") +
           Link("C:\\data\\sub\\deep\\x") + sub + Link("C:\\data\\z")},
      {"before any entry", u"C:\\data", u"C:\\data\\sub", 0, win::kSemTimeout,
       Link("C:\\data\\a") + "error SEM_TIMEOUT listing 'C:\\data\\sub\\*'\r\n" +
           Link("C:\\data\\z")},
      {"the scan folder itself", u"C:\\data", u"C:\\data", 4, win::kUnexpNetErr,
       Link("C:\\data\\a") + Link("C:\\data\\sub\\one") + Link("C:\\data\\sub\\two") +
           Link("C:\\data\\sub\\deep\\x") + "error UNEXP_NET_ERR listing 'C:\\data\\*'\r\n"},
      {"a share that drops", u"\\\\server\\share\\dir", u"\\\\server\\share\\dir", 3,
       win::kNetnameDeleted,
       Link("\\\\server\\share\\dir\\p") +
           "error NETNAME_DELETED listing '\\\\server\\share\\dir\\*'\r\n"},
      {"a disk that fails (POSIX)", u"C:\\data", u"C:\\data\\sub", 3,
       win_error::kPosixErrnoBase | 117,
       Link("C:\\data\\a") + Link("C:\\data\\sub\\one") +
           "error EUCLEAN listing 'C:\\data\\sub\\*'\r\n" + Link("C:\\data\\z")},
      {"no more files is the end", u"C:\\data", u"C:\\data\\sub", 3, 0,
       Link("C:\\data\\a") + Link("C:\\data\\sub\\one") + Link("C:\\data\\z")},
  };
  for (const Case& c : cases) {
    for (const OutputFormat format : {OutputFormat::kText, OutputFormat::kJson}) {
      for (const uint32_t workers : {1u, 4u}) {
        SCOPED_TRACE(std::string(c.what) + (format == OutputFormat::kJson ? " json " : " text ") +
                     std::to_string(workers));
        MemoryMachine machine;
        BuildTree(machine);
        machine.FailListingAfter(c.folder, c.entries, c.error);
        const Outcome outcome = RunOn(machine, {c.spec, u"-s"}, workers, format);
        EXPECT_EQ(outcome.code, 0);
        const std::string banner = "Quorrex 1.0\r\n\r";
        const size_t to = outcome.out.find("\r\nsummary\r\n");
        ASSERT_TRUE(outcome.out.starts_with(banner) && to != std::string::npos) << outcome.out;
        EXPECT_EQ(outcome.out.substr(banner.size(), to - banner.size()), c.expected);
        if (format == OutputFormat::kJson && c.error != 0) {
          EXPECT_NE(outcome.json.find("\"error_code\":" + std::to_string(c.error) +
                                      ",\"operation\":\"list_folder\",\"action\":\"skip_rest\""),
                    std::string::npos)
              << outcome.json;
        }
      }
    }
  }
}

}  // namespace
}  // namespace quorrex::testing
