// One walk for any number of threads: the same bytes under a limit on open
// folders and before and after the backup privilege, readers that never
// outnumber the workers nor keep what they could not use, and the read
// queue driven directly.
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
#include "scan/read_queue.h"
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
// walk's first reparse point (which enables the privilege). With readers,
// the walk is held at that point until a reader has tried the folder, so
// that the reader always meets the refusal the walk would not.
TEST(OneWalk, PrivilegeDecidesTheSameForAnyWorkerCount) {
  struct Case {
    const char* name;
    const char16_t* link;  // the first reparse point, in walk order
    std::string expected;
  };
  const std::string secret =
      "group of 2 hard links:\r\n 1: C:\\data\\m\\secret\\a\n 2: C:\\data\\m\\secret\\b\n";
  const Case cases[] = {
      {"after the first reparse point", u"C:\\data\\m\\a-link",
       "reparse point (symlink) C:\\data\\m\\a-link\n -> t\n" + secret},
      {"before any reparse point", u"C:\\data\\m\\z-link",
       "error ACCESS_DENIED opening 'C:\\data\\m\\secret\\*'\r\n"
       "reparse point (symlink) C:\\data\\m\\z-link\n -> t\n"},
  };
  for (const Case& c : cases) {
    for (uint32_t workers : {1u, 4u}) {
      SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(workers) + " workers");
      MemoryMachine m;
      m.stdoutIsConsole = false;
      // The machine lists a folder's entries in the order they were made.
      const bool linkFirst = std::u16string(c.link).ends_with(u"a-link");
      if (linkFirst) m.AddSymlink(c.link, u"t", false);
      m.AddFolder(u"C:\\data\\m\\secret");
      m.Find(u"C:\\data\\m\\secret")->needsBackupPrivilege = true;
      m.AddFile(u"C:\\data\\m\\secret\\a");
      m.AddHardLink(u"C:\\data\\m\\secret\\a", u"C:\\data\\m\\secret\\b");
      if (!linkFirst) m.AddSymlink(c.link, u"t", false);
      Gate triedByReader;
      const std::thread::id walkThread = std::this_thread::get_id();
      m.afterListing = [&](const std::u16string& mask, uint32_t) {
        if (std::this_thread::get_id() != walkThread && mask.ends_with(u"secret\\*")) {
          triedByReader.Open();
        }
      };
      if (workers > 1 && linkFirst)
        m.beforeReparseRead = [&] { EXPECT_TRUE(triedByReader.Wait()); };
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
    WalkFolder(run.scan, u"C:\\data", u"f*");
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
  // Two workers list at most 128 folders ahead: while the walk is held at
  // its first entry, the one reader lists 128 of the 400 and no more.
  MemoryMachine m;
  m.stdoutIsConsole = false;
  m.AddSymlink(u"C:\\data\\a", u"t", false);
  for (size_t i = 0; i < 400; ++i) m.AddFolder(u"C:\\data\\" + Numbered("d", i));
  const std::thread::id walkThread = std::this_thread::get_id();
  std::atomic<size_t> listedAhead{0};
  std::atomic<bool> held{true};
  std::atomic<bool> pastWindow{false};
  Gate windowFull;
  m.beforeListing = [&](const std::u16string&) {
    if (std::this_thread::get_id() == walkThread) return;
    if (held && listedAhead.load() >= 128) pastWindow = true;
  };
  m.afterListing = [&](const std::u16string&, uint32_t) {
    if (std::this_thread::get_id() != walkThread && ++listedAhead == 128) windowFull.Open();
  };
  m.beforeReparseRead = [&] {
    EXPECT_TRUE(windowFull.Wait());
    held = false;
  };
  RunOn(m, {u"C:\\data", u"-s"}, 2);
  EXPECT_FALSE(pastWindow.load());
  EXPECT_GE(listedAhead.load(), 128u);
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
  bool readerReturned = false;
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
    // The walk is held at the link until a reader is stuck.
    m.beforeReparseRead = [state] {
      std::unique_lock<std::mutex> hold(state->lock);
      state->changed.wait_for(hold, std::chrono::seconds(30), [state] { return state->blocked; });
    };
    const std::thread::id walkThread = std::this_thread::get_id();
    m.beforeListing = [state, walkThread, stuck](const std::u16string& mask) {
      if (std::this_thread::get_id() == walkThread || !mask.ends_with(stuck)) return;
      std::unique_lock<std::mutex> hold(state->lock);
      state->blocked = true;
      state->changed.notify_all();
      state->changed.wait_for(hold, std::chrono::seconds(30), [state] { return state->release; });
      state->readerReturned = true;
    };
    // Ctrl+C once a reader is stuck.
    std::atomic<bool> raised{false};
    std::thread user([&] {
      {
        std::unique_lock<std::mutex> hold(state->lock);
        if (!state->changed.wait_for(hold, std::chrono::seconds(30),
                                     [state] { return state->blocked; })) {
          return;
        }
      }
      raised = true;
      m.RaiseCtrlEvent(kCtrlCEvent);
    });
    state->run.settings.walkWorkers = 4;
    const int code = RunProgram(state->run, {u"quorrex.exe", u"C:\\data", u"-s"});
    user.join();
    EXPECT_TRUE(raised);
    EXPECT_EQ(code, 3);
    {
      // The run ended while the reader was still inside its call.
      std::lock_guard<std::mutex> hold(state->lock);
      EXPECT_FALSE(state->readerReturned);
      state->release = true;
    }
    state->changed.notify_all();
  }
}

// Nine folders that link to each other all to all, a chain of 41 folders
// each linking to the next, and plain folders with a pair of links and a
// link each: the same bytes as an unlimited one-worker run under tight
// limits on open folders, with the folders met again through links skipped
// the same way.
TEST(OneWalk, LinkedFoldersUnderALimitGiveOneWorkersBytes) {
  const auto build = [](MemoryMachine& m) {
    m.stdoutIsConsole = false;
    for (size_t i = 0; i < 9; ++i) {
      for (size_t j = 0; j < 9; ++j) {
        if (i != j)
          m.AddJunction(u"C:\\t\\" + Numbered("n", i) + u"\\" + Numbered("l", j),
                        u"C:\\t\\" + Numbered("n", j));
      }
    }
    for (size_t i = 0; i < 41; ++i) {
      m.AddFolder(u"C:\\t\\" + Numbered("f", i));
      if (i + 1 < 41)
        m.AddJunction(u"C:\\t\\" + Numbered("f", i) + u"\\next", u"C:\\t\\" + Numbered("f", i + 1));
    }
    for (size_t i = 0; i < 21; ++i) {
      const std::u16string folder = u"C:\\t\\" + Numbered("p", i);
      m.AddFile(folder + u"\\a1");
      m.AddHardLink(folder + u"\\a1", folder + u"\\a2");
      m.AddSymlink(folder + u"\\al", u"a1", false);
    }
  };
  MemoryMachine free;
  build(free);
  const Outcome reference = RunOn(free, {u"C:\\t\\*a*", u"-s"}, 1);
  ASSERT_NE(reference.out.find("folder already walked -> skip folder"), std::string::npos);
  ASSERT_NE(reference.out.find("* 21 hard link groups"), std::string::npos) << reference.out;
  for (size_t limit : {4u, 10u, 16u}) {
    for (uint32_t workers : {1u, 4u}) {
      SCOPED_TRACE(std::to_string(limit) + " open folders, " + std::to_string(workers) +
                   " workers");
      MemoryMachine tight;
      build(tight);
      tight.openListingLimit = limit;
      const Outcome o = RunOn(tight, {u"C:\\t\\*a*", u"-s"}, workers);
      EXPECT_EQ(o.out, reference.out);
      EXPECT_LE(tight.peakOpenListings.load(), limit);
    }
  }
}

TEST(OneWalk, ReadersNeverOutnumberTheWorkersNorOutlastTheBudget) {
  // Each reader begins its file-system work once, as the run's own thread
  // does: the threads begun are the workers, however many folders there are.
  for (uint32_t workers : {1u, 2u, 4u, 8u}) {
    SCOPED_TRACE(workers);
    MemoryMachine m;
    m.stdoutIsConsole = false;
    for (size_t i = 0; i < 40; ++i) m.AddFile(u"C:\\data\\" + Numbered("d", i) + u"\\f");
    RunOn(m, {u"C:\\data", u"-s"}, workers);
    EXPECT_EQ(m.fileSystemThreads.load(), workers);
  }
  // A budget of six open folders is six, never seven: a descent that keeps
  // every level open for a subfolder still to come closes the outermost.
  MemoryMachine free;
  BuildForkedChain(free, 0);
  free.stdoutIsConsole = false;
  const Outcome reference = RunOn(free, {u"C:\\deep", u"-s"}, 1);
  for (uint32_t budget : {2u, 6u}) {
    SCOPED_TRACE(budget);
    MemoryMachine m;
    BuildForkedChain(m, 0);
    m.stdoutIsConsole = false;
    m.handleBudget = budget;  // told to the walk; the machine refuses nothing
    EXPECT_EQ(RunOn(m, {u"C:\\deep", u"-s"}, 1).out, reference.out);
    EXPECT_LE(m.peakOpenListings.load(), budget);
  }
}

TEST(OneWalk, AReaderShortOfDescriptorsGivesBackItsUnitOfTheBudget) {
  // The walk is held at its first entry while the system refuses the reader
  // 17 opens for want of descriptors: the readers' whole share of a budget
  // of 24 (three quarters, less the scan folder's own). Each folder goes back to the walk with its
  // unit, so that the walk can queue more and the reader lists them: once past the link, the walk
  // waits for that.
  MemoryMachine m;
  m.stdoutIsConsole = false;
  m.AddSymlink(u"C:\\wide\\0link", u"t", false);
  for (size_t i = 0; i < 200; ++i) m.AddFile(u"C:\\wide\\" + Numbered("d", i) + u"\\f");
  m.handleBudget = 24;
  const std::thread::id walkThread = std::this_thread::get_id();
  constexpr int kShare = 17;
  std::atomic<int> refused{0};
  Gate allRefused;
  Gate readerListed;
  m.refuseListing = [&](const std::u16string&) -> uint32_t {
    if (std::this_thread::get_id() == walkThread || refused.load() >= kShare) return 0;
    if (++refused == kShare) allRefused.Open();
    return 4;  // ERROR_TOO_MANY_OPEN_FILES
  };
  m.afterListing = [&](const std::u16string&, uint32_t error) {
    if (std::this_thread::get_id() != walkThread && error == 0) readerListed.Open();
  };
  m.beforeReparseRead = [&] { EXPECT_TRUE(allRefused.Wait()); };
  bool listedAgain = true;
  m.beforeListing = [&](const std::u16string&) {
    if (std::this_thread::get_id() == walkThread && allRefused.IsOpen() && listedAgain) {
      listedAgain = readerListed.Wait(std::chrono::seconds(10));
    }
  };
  const Outcome o = RunOn(m, {u"C:\\wide", u"-s"}, 2);
  EXPECT_EQ(refused.load(), kShare);
  EXPECT_TRUE(listedAgain) << "the reader was never given a folder again";
  EXPECT_EQ(o.out.find("error"), std::string::npos);
}

// The read queue driven as the walk drives it, seen from outside: what the
// machine is asked to open, and what the walk is handed.
class FolderQueue : public ::testing::Test {
 protected:
  FolderQueue() {
    machine.stdoutIsConsole = false;
    // Ten subfolders, each holding a pair of links and a junction, so that
    // its listing stays open for the walk to open that once listed.
    for (size_t i = 0; i < 10; ++i) {
      const std::u16string folder = u"C:\\data\\" + Numbered("c", i);
      machine.AddFile(folder + u"\\f");
      machine.AddHardLink(folder + u"\\f", folder + u"\\g");
      machine.AddJunction(folder + u"\\s", u"C:\\elsewhere");
    }
  }

  // The queue, and the scan folder listed on this thread with its subfolders
  // queued, each with its unit of the budget.
  std::shared_ptr<ReadQueue> Start(uint32_t readers) {
    auto queue =
        std::make_shared<ReadQueue>(machine, rules, u'\\', 2048, 64, privilege, stop, false);
    root = std::make_shared<ListedFolder>();
    root->path = u"C:\\data";
    root->nameOffset = static_cast<uint32_t>(root->path.size());
    BudgetUnit unit = queue->UnitForWalk();
    EXPECT_EQ(queue->lister().Open(*root, false, unit, scratch), OpenResult::kOpened);
    queue->lister().List(root, scratch, stop, stop);
    for (EntryDetail& entry : root->details) EXPECT_TRUE(queue->Queue(entry.child));
    queue->StartReaders(readers);
    return queue;
  }
  // Takes `folder` as the walk does: listing it here when nobody did, and
  // meanwhile what the queue hands over.
  // True when a reader had listed it.
  bool TakeAsTheWalk(ReadQueue& queue, const ListedFolderPtr& folder) {
    for (;;) {
      ReadQueue::Handover handover = queue.Take(folder);
      if (handover.kind == ReadQueue::Handover::Kind::kMeanwhile) {
        if (handover.other) {
          queue.Read(std::move(handover.other), scratch);
        } else {
          queue.WaitFor(folder);
        }
        continue;
      }
      if (!folder->outcome.toList) return true;
      folder->parent = root;
      if (!handover.unit) handover.unit = queue.UnitForWalk();
      EXPECT_EQ(queue.lister().Open(*folder, true, handover.unit, scratch), OpenResult::kOpened);
      queue.lister().List(folder, scratch, stop, stop);
      return false;
    }
  }

  MemoryMachine machine;
  EntryRules rules{u"*", true, false};
  std::atomic<bool> privilege{false};
  StopSource stop;
  ListerScratch scratch;
  ListedFolderPtr root;
};

TEST_F(FolderQueue, TheWalkReceivesEveryFolderListedOnceInWalkOrder) {
  for (uint32_t readers : {0u, 1u, 3u}) {
    SCOPED_TRACE(readers);
    machine.listingsOpened.clear();
    // With one reader, the walk takes nothing until the reader has listed
    // all ten, so that their order is the reader's alone.
    std::atomic<size_t> listed{0};
    Gate allListed;
    machine.afterListing = [&](const std::u16string&, uint32_t) {
      if (++listed == 11) allListed.Open();
    };
    auto queue = Start(readers);
    if (readers == 1) {
      EXPECT_TRUE(allListed.Wait());
    }
    for (const EntryDetail& entry : root->details) {
      TakeAsTheWalk(*queue, entry.child);
      // Its two links, its folder; opened through its parent, which is then
      // let go.
      EXPECT_EQ(entry.child->entries.size(), 3u);
      EXPECT_TRUE(entry.child->outcome.opened);
      EXPECT_EQ(entry.child->parent.lock(), nullptr);
    }
    queue->Stop(std::chrono::milliseconds(0), false);
    ASSERT_EQ(machine.listingsOpened.size(), 11u);
    if (readers <= 1) {
      // The one thread that lists takes the first queued folder in walk order.
      for (size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(machine.listingsOpened[i + 1], u"C:\\data\\" + Numbered("c", i) + u"\\*");
      }
    }
    for (const EntryDetail& entry : root->details) queue->Retire(entry.child);
    queue->Retire(root);
    queue.reset();
    EXPECT_EQ(machine.openListings.load(), 0u);
  }
}

TEST_F(FolderQueue, ADroppedFolderGivesBackItsListingAtOnce) {
  // The reader lists the second folder, which keeps its listing open for its
  // own subfolder; the walk takes it and drops it (walked already, say): the
  // listing closes with the drop, not with the queue.
  const std::thread::id walkThread = std::this_thread::get_id();
  Gate secondOpened;
  Gate readOn;  // the reader lists nothing more until the count is taken
  machine.afterListing = [&](const std::u16string& mask, uint32_t) {
    if (std::this_thread::get_id() != walkThread && mask == u"C:\\data\\c1\\*") secondOpened.Open();
  };
  machine.beforeListing = [&](const std::u16string& mask) {
    if (std::this_thread::get_id() == walkThread) return;
    if (mask != u"C:\\data\\c0\\*" && mask != u"C:\\data\\c1\\*") {
      EXPECT_TRUE(readOn.Wait());
    }
  };
  auto queue = Start(1);
  ASSERT_TRUE(secondOpened.Wait());
  const ListedFolderPtr second = *root->ChildOf(root->entries[1]);
  EXPECT_TRUE(TakeAsTheWalk(*queue, second));
  const size_t openBefore = machine.openListings.load();
  EXPECT_TRUE(second->ListingOpen());
  queue->Drop(second);
  EXPECT_FALSE(second->ListingOpen());
  EXPECT_EQ(machine.openListings.load(), openBefore - 1);
  readOn.Open();
  queue->Stop(std::chrono::milliseconds(0), false);
  for (const EntryDetail& entry : root->details) queue->Retire(entry.child);
  queue->Retire(root);
}

TEST_F(FolderQueue, FoldersStillQueuedAtTheStopGiveEverythingBack) {
  auto queue = Start(0);
  TakeAsTheWalk(*queue, root->details[0].child);
  queue->Stop(std::chrono::milliseconds(0), false);
  EXPECT_EQ(machine.listingsOpened.size(), 2u);  // nobody listed the rest
  queue->Retire(root->details[0].child);
  queue->Retire(root);
  queue.reset();
  EXPECT_EQ(machine.openListings.load(), 0u);
}

}  // namespace
}  // namespace quorrex::testing
