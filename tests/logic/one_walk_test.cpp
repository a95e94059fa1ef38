// One walk for any number of threads: the same bytes under a limit on open
// folders and before and after the backup privilege, and the queue of
// folders read ahead driven directly.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "memory_volume.h"
#include "run_fixture.h"
#include "scan/read_queue.h"
#include "scan/walker.h"
#include "support/utf.h"

namespace quorrex::testing {
namespace {

// A chain of `depth` folders below C:\deep, a pair of hard links at its foot.
void BuildChain(MemoryVolume& m, int depth) {
  std::u16string path = u"C:\\deep";
  for (int i = 0; i < depth; ++i) path += u"\\d";
  m.AddFile(path + u"\\a");
  m.AddHardLink(path + u"\\a", path + u"\\b");
}

// A chain of 300 folders, each also holding a folder `z` that is walked
// only after everything below its sibling: every folder of the descent has
// a subfolder still to open, the case that tempts a walk to hold one
// descriptor per level.
void BuildForkedChain(MemoryVolume& m, int) {
  std::u16string path = u"C:\\deep";
  for (int i = 0; i < 300; ++i) {
    path += u"\\d";
    m.AddFolder(path);
    m.AddFile(path + u"\\z\\x");
    m.AddHardLink(path + u"\\z\\x", path + u"\\z\\y");
  }
}

TEST(OneWalk, ListsAsDeepUnderALimitOnOpenFolders) {
  struct Case {
    const char* name;
    void (*build)(MemoryVolume&, int);
    int depth;
    const char* mustShow;
  };
  const Case cases[] = {
      {"a chain past the depth limit", BuildChain, 1100,
       "path nested too deep (max 1024) -> skip folder d\r\n"},
      {"a chain to depth 1000", BuildChain, 1000, "group of 2 hard links:\r\n"},
      {"every level with a folder still to open", BuildForkedChain, 0, "* 300 hard link groups"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryVolume free;
    free.stdoutIsConsole = false;
    c.build(free, c.depth);
    const Outcome reference = RunOn(free, {u"C:\\deep", u"-s"}, 1);
    EXPECT_NE(reference.out.find(c.mustShow), std::string::npos) << reference.out.substr(0, 400);
    EXPECT_EQ(reference.out.find("error"), std::string::npos);

    MemoryVolume tight;
    tight.stdoutIsConsole = false;
    tight.openListingLimit = 24;
    c.build(tight, c.depth);
    const Outcome limited = RunOn(tight, {u"C:\\deep", u"-s"});
    EXPECT_EQ(limited.code, 0);
    EXPECT_EQ(limited.out, reference.out);
    EXPECT_LE(tight.peakOpenListings.load(), 24u);
  }
}

// A folder that only the backup privilege opens, met before or after the
// walk's first reparse point (which enables the privilege), with the
// readers far ahead of the walk or not.
TEST(OneWalk, PrivilegeDecidesTheSameForAnyWorkerCount) {
  struct Case {
    const char* name;
    const char16_t* link;  // the first reparse point, in walk order
    std::string expected;
  };
  const std::string secret =
      "group of 2 hard links:\r\n 1: C:\\data\\m\\secret\\a\n 2: C:\\data\\m\\secret\\b\n";
  const Case cases[] = {
      {"after the first reparse point", u"C:\\data\\a-link",
       "reparse point (symlink) C:\\data\\a-link\n -> t\n" + secret},
      {"before any reparse point", u"C:\\data\\z-link",
       "error ACCESS_DENIED opening 'C:\\data\\m\\secret\\*'\r\n"
       "reparse point (symlink) C:\\data\\z-link\n -> t\n"},
  };
  for (const Case& c : cases) {
    for (uint32_t workers : {1u, 4u}) {
      SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(workers) + " workers");
      MemoryVolume m;
      m.stdoutIsConsole = false;
      m.AddFolder(u"C:\\data");
      if (std::u16string(c.link) == u"C:\\data\\a-link") m.AddSymlink(c.link, u"t", false);
      m.AddFolder(u"C:\\data\\m\\secret");
      m.Find(u"C:\\data\\m\\secret")->needsBackupPrivilege = true;
      m.AddFile(u"C:\\data\\m\\secret\\a");
      m.AddHardLink(u"C:\\data\\m\\secret\\a", u"C:\\data\\m\\secret\\b");
      if (std::u16string(c.link) == u"C:\\data\\z-link") m.AddSymlink(c.link, u"t", false);
      // The readers get well ahead: the walk waits at the first link.
      m.beforeReparseRead = [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); };
      const Outcome o = RunOn(m, {u"C:\\data\\", u"-s"}, workers);
      const size_t end = o.out.find("\r\nsummary");
      ASSERT_NE(end, std::string::npos) << o.out;
      ASSERT_GE(end, c.expected.size());
      EXPECT_EQ(o.out.substr(end - c.expected.size(), c.expected.size()), c.expected);
      EXPECT_EQ(o.out.find("error"), c.expected.find("error") == std::string::npos
                                         ? std::string::npos
                                         : o.out.find("error ACCESS_DENIED"));
    }
  }
}

TEST(OneWalk, StatusLineCountsEveryEntryWhateverTheThreads) {
  for (uint32_t workers : {1u, 4u}) {
    SCOPED_TRACE(workers);
    MemoryVolume m;
    m.stdoutIsConsole = false;
    size_t entries = 0;
    for (size_t i = 0; i < 30; ++i) {
      const std::u16string folder = u"C:\\data\\" + Numbered("d", i);
      m.AddFile(folder + u"\\quiet.txt");  // passed over without a word
      m.AddFile(folder + u"\\" + Numbered("f", i));
      entries += 3;  // the folder and its two files
    }
    // A folder listed and then found walked already: only what the walk
    // passes is counted.
    m.AddJunction(u"C:\\data\\a-link", u"C:\\data\\z-real");
    for (size_t i = 0; i < 3; ++i) m.AddFile(u"C:\\data\\z-real\\" + Numbered("f", i));
    entries += 2 + 3;  // both entries, the files once
    quorrex::Run run(m);
    run.walkWorkers = workers;
    run.options.recurse = true;
    run.progress.enabled = true;
    WalkFolder(run, u"C:\\data", u"f*");
    EXPECT_EQ(run.progress.entries.load(), entries);
    EXPECT_EQ(run.progress.folders.load(), 32u);
  }
}

TEST(OneWalk, EachSubfolderOpensThroughItsOpenParent) {
  MemoryVolume m;
  m.stdoutIsConsole = false;
  for (size_t i = 0; i < 20; ++i) m.AddFile(u"C:\\data\\" + Numbered("d", i) + u"\\e\\f");
  RunOn(m, {u"C:\\data", u"-s"}, 1);
  // 40 subfolders; only the scan folder opens by its path.
  EXPECT_EQ(m.openedThroughParent.load(), 40u);
  EXPECT_EQ(m.listingsOpened.size(), 41u);
}

TEST(OneWalk, ReadersStayWithinTheirWindow) {
  // Two workers read at most 128 folders ahead: while the walk is held at
  // its first entry, the one reader lists no more than that.
  MemoryVolume m;
  m.stdoutIsConsole = false;
  m.AddSymlink(u"C:\\data\\a", u"t", false);
  for (size_t i = 0; i < 400; ++i) m.AddFolder(u"C:\\data\\" + Numbered("d", i));
  size_t listedWhileHeld = 0;
  m.beforeReparseRead = [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    listedWhileHeld = m.openedThroughParent.load();
  };
  RunOn(m, {u"C:\\data", u"-s"}, 2);
  EXPECT_GT(listedWhileHeld, 10u);
  EXPECT_LE(listedWhileHeld, 128u);
}

TEST(OneWalk, WalkOrderComparesAsThePlacesDo) {
  // Positions across the code lengths, in paths of different depths.
  const std::vector<std::vector<size_t>> places = {
      {0},     {0, 0},    {0, 127},   {0, 128},  {0, 16383},   {0, 16384}, {0, 70000},
      {1},     {1, 0, 5}, {127},      {127, 3},  {128},        {128, 0},   {300, 2},
      {16383}, {16384},   {16384, 0}, {4000000}, {4000000, 1}, {4000001},
  };
  std::vector<std::string> orders;
  for (const auto& place : places) {
    std::string order;
    for (size_t position : place) AppendWalkOrder(order, position);
    orders.push_back(order);
  }
  for (size_t i = 0; i < places.size(); ++i) {
    for (size_t j = 0; j < places.size(); ++j) {
      EXPECT_EQ(orders[i] < orders[j], places[i] < places[j]) << i << " " << j;
    }
  }
}

// A run whose reader is left behind inside a system call. As in the
// program, whose run record and platform live until the process ends, what
// that reader may still touch is never freed: it stays reachable from here.
struct StuckRun {
  MemoryVolume machine;
  quorrex::Run run{machine};
  std::mutex lock;
  std::condition_variable changed;
  bool blocked = false;
  bool release = false;
};
std::vector<StuckRun*>& KeptUntilExit() {
  static auto* kept = new std::vector<StuckRun*>;
  return *kept;
}

TEST(OneWalk, AnAbortDoesNotWaitForAReaderInsideASystemCall) {
  // A reader opens a folder on a server that does not answer; Ctrl+C comes,
  // while the walk waits for that folder or goes on without it.
  for (const char16_t* stuck : {u"C:\\data\\a\\*", u"C:\\data\\slow\\*"}) {
    SCOPED_TRACE(EncodeUtf8Lossless(stuck));
    auto* state = new StuckRun;
    KeptUntilExit().push_back(state);
    MemoryVolume& m = state->machine;
    m.stdoutIsConsole = false;
    // The walk is held at the link first, so that the readers take the rest.
    m.AddSymlink(u"C:\\data\\0link", u"t", false);
    m.AddFile(u"C:\\data\\a\\trigger");
    m.AddFolder(u"C:\\data\\slow");
    m.beforeReparseRead = [] { std::this_thread::sleep_for(std::chrono::milliseconds(200)); };
    const std::thread::id walkThread = std::this_thread::get_id();
    m.beforeListing = [state, walkThread, stuck](const std::u16string& mask) {
      if (std::this_thread::get_id() == walkThread || !mask.ends_with(stuck)) return;
      std::unique_lock<std::mutex> hold(state->lock);
      state->blocked = true;
      state->changed.notify_all();
      state->changed.wait_for(hold, std::chrono::seconds(20), [state] { return state->release; });
    };
    // Ctrl+C once a reader is stuck.
    std::atomic<bool> raised{false};
    std::chrono::steady_clock::time_point raisedAt;
    std::thread user([&] {
      {
        std::unique_lock<std::mutex> hold(state->lock);
        if (!state->changed.wait_for(hold, std::chrono::seconds(5),
                                     [state] { return state->blocked; })) {
          return;
        }
      }
      raisedAt = std::chrono::steady_clock::now();
      raised = true;
      m.RaiseCtrlEvent(kCtrlCEvent);
    });
    state->run.walkWorkers = 4;
    const int code = RunProgram(state->run, {u"quorrex.exe", u"C:\\data", u"-s"});
    const auto took = std::chrono::steady_clock::now() - raisedAt;
    user.join();
    EXPECT_TRUE(raised);
    EXPECT_EQ(code, 3);
    EXPECT_LT(took, std::chrono::seconds(1));
    {
      std::lock_guard<std::mutex> hold(state->lock);
      state->release = true;
    }
    state->changed.notify_all();
  }
}

}  // namespace
}  // namespace quorrex::testing
