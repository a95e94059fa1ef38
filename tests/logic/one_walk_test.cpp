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

#include "memory_machine.h"
#include "run_fixture.h"
#include "scan/read_ahead.h"
#include "scan/walker.h"
#include "support/utf.h"

namespace quorrex::testing {
namespace {

// A chain of `depth` folders below C:\deep, a pair of hard links at its foot.
void BuildChain(MemoryMachine& m, int depth) {
  std::u16string path = u"C:\\deep";
  for (int i = 0; i < depth; ++i) path += u"\\d";
  m.AddFile(path + u"\\a");
  m.AddHardLink(path + u"\\a", path + u"\\b");
}

// A chain of 300 folders, each also holding a folder `z` that is walked
// only after everything below its sibling: every folder of the descent has
// a subfolder still to open, the case that tempts a walk to hold one
// descriptor per level.
void BuildForkedChain(MemoryMachine& m, int) {
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
    void (*build)(MemoryMachine&, int);
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
    MemoryMachine free;
    free.stdoutIsConsole = false;
    c.build(free, c.depth);
    const Outcome reference = RunOn(free, {u"C:\\deep", u"-s"}, 1);
    EXPECT_NE(reference.out.find(c.mustShow), std::string::npos) << reference.out.substr(0, 400);
    EXPECT_EQ(reference.out.find("error"), std::string::npos);

    MemoryMachine tight;
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
      MemoryMachine m;
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
    MemoryMachine m;
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
    run.settings.walkWorkers = workers;
    run.settings.recurse = true;
    run.console.statusLine.enabled = true;
    WalkFolder(run, u"C:\\data", u"f*");
    EXPECT_EQ(run.console.statusLine.entries.load(), entries);
    EXPECT_EQ(run.console.statusLine.folders.load(), 32u);
  }
}

TEST(OneWalk, EachSubfolderOpensThroughItsOpenParent) {
  MemoryMachine m;
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
  MemoryMachine m;
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
  MemoryMachine machine;
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
    MemoryMachine& m = state->machine;
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
    state->run.settings.walkWorkers = 4;
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

// The queue of folders read ahead, driven as the walk drives it.
class FolderQueue : public ::testing::Test {
 protected:
  FolderQueue() {
    machine.stdoutIsConsole = false;
    for (size_t i = 0; i < 10; ++i) {
      machine.AddFile(u"C:\\data\\" + Numbered("c", i) + u"\\f");
    }
    run.settings.recurse = true;
  }

  // The walk makes room by closing the scan folder, the one level here.
  std::shared_ptr<ReadAhead> Start(uint32_t readers, uint32_t handles = 2048) {
    auto ahead = std::make_shared<ReadAhead>(run, EntryRules{u"*", true}, 64, handles, [this] {
      if (root_) root_->CloseListing();
    });
    ahead->StartReaders(readers);
    return ahead;
  }
  ListedFolderPtr Root(ReadAhead& ahead) {
    ListedFolderPtr root =
        ahead.OpenHere(u"C:\\data", nullptr, EntryRef{u"C:\\data", nullptr, {}}, 0, {});
    EXPECT_TRUE(root->opened);
    ahead.ListHere(root);
    root_ = root;
    return root;
  }

  MemoryMachine machine;
  ListedFolderPtr root_;
  quorrex::Run run{machine};
};

TEST_F(FolderQueue, ReadersTakeFoldersInWalkOrder) {
  // All ten are queued at once, as the root's listing ends; the one reader
  // then takes them in walk order.
  auto ahead = Start(1);
  ListedFolderPtr root = Root(*ahead);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (root->openers.load() > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ahead->Stop(std::chrono::milliseconds(0));
  ASSERT_EQ(machine.listingsOpened.size(), 11u);
  for (size_t i = 0; i < 10; ++i) {
    EXPECT_EQ(machine.listingsOpened[i + 1], u"C:\\data\\" + Numbered("c", i) + u"\\*");
  }
}

TEST_F(FolderQueue, TakeDropAndRetire) {
  auto ahead = Start(0);
  ListedFolderPtr root = Root(*ahead);
  ASSERT_EQ(root->entries.size(), 10u);
  // No reader: taking lists on the calling thread.
  ListedFolderPtr first = root->entries[0].child;
  ahead->Take(first);
  EXPECT_EQ(first->state, ListedFolder::State::kTaken);
  EXPECT_TRUE(first->readByWalk);
  EXPECT_EQ(first->shown, 1u);  // its file, passed over
  // Nothing but its parent's entry holds it: a queue for readers that do
  // not exist would keep every folder of a one-worker run in memory.
  root->entries[0].child.reset();
  EXPECT_EQ(first.use_count(), 1);
  // A dropped folder is never listed, and lets go of its parent.
  ListedFolderPtr second = root->entries[1].child;
  ahead->Drop(second);
  EXPECT_EQ(second->state, ListedFolder::State::kDropped);
  EXPECT_EQ(second->parent, nullptr);
  EXPECT_EQ(machine.listingsOpened.size(), 2u);
  // The parent stays open while eight subfolders may still open through it.
  EXPECT_EQ(root->openers.load(), 8u);
  EXPECT_TRUE(root->listing);
  for (size_t i = 2; i < 10; ++i) ahead->Drop(root->entries[i].child);
  EXPECT_FALSE(root->listing);
  ahead->Retire(first);
  ahead->Retire(root);
  ahead->Stop(std::chrono::milliseconds(0));
  EXPECT_EQ(machine.openListings.load(), 0u);
}

TEST_F(FolderQueue, AReaderShortOfDescriptorsLeavesTheFolderToTheWalk) {
  // A budget of 4: readers may take none of it.
  auto ahead = Start(0, 4);
  ListedFolderPtr root = Root(*ahead);
  ahead->StartReaders(2);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(machine.listingsOpened.size(), 1u);  // the readers opened nothing
  for (ListedEntry& entry : root->entries) {
    ahead->Take(entry.child);
    EXPECT_TRUE(entry.child->opened);
    EXPECT_TRUE(entry.child->readByWalk);
    ahead->Retire(entry.child);
  }
  EXPECT_LE(machine.peakOpenListings.load(), 4u);
  ahead->Retire(root);
  ahead->Stop(std::chrono::milliseconds(0));
}

TEST_F(FolderQueue, AReaderThatMeetsTheSystemsLimitHandsTheFolderBack) {
  // The system refuses descriptors that the budget thought were there: the
  // reader's open fails with a shortage and the walk lists the folder.
  machine.openListingLimit = 1;  // the root's own listing fills it
  auto ahead = Start(0, 2048);
  ListedFolderPtr root = Root(*ahead);
  ahead->StartReaders(1);
  ListedFolderPtr child = root->entries[0].child;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (size_t i = 1; i < 10; ++i) ahead->Drop(root->entries[i].child);
  // The walk meets the same refusal, closes what it holds and opens by path.
  ahead->Take(child);
  EXPECT_TRUE(child->opened);
  EXPECT_TRUE(child->readByWalk);
  ahead->Retire(child);
  ahead->Retire(root);
  ahead->Stop(std::chrono::milliseconds(0));
}

}  // namespace
}  // namespace quorrex::testing
