// The folders listed ahead of the walk, and the budget of open folders they
// share with it: what the readers get to list, and what comes back.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "memory_machine.h"
#include "run_fixture.h"
#include "scan/read_queue.h"

namespace quorrex::testing {
namespace {

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// C:\t holds a link (the walk's first entry), then `a` with a file of two
// names and 128 empty subfolders, then `b` with 100, then the file's other
// name.
void BuildTwoWideFolders(MemoryMachine& m) {
  m.stdoutIsConsole = false;
  m.AddSymlink(u"C:\\t\\0link", u"t", false);
  m.AddFile(u"C:\\t\\a\\f.dll");
  for (size_t i = 0; i < 128; ++i) m.AddFolder(u"C:\\t\\a\\" + Numbered("s", 1000 + i));
  for (size_t i = 0; i < 100; ++i) m.AddFolder(u"C:\\t\\b\\" + Numbered("s", 1000 + i));
  m.AddHardLink(u"C:\\t\\a\\f.dll", u"C:\\t\\z.dll");
}

TEST(ReadQueue, AFolderListedAgainGivesTheReadersTheirWindowBack) {
  // Two workers: the walk and one reader, 128 folders ahead. The walk is
  // held at its first entry until the reader has listed `a` and filled the
  // window with a's subfolders. The link count of a's file was refused the
  // reader for want of descriptors, so the walk lists `a` again itself, and
  // meanwhile waits for the reader to list b's 100 subfolders: the
  // subfolders of a's first listing must give their places back.
  MemoryMachine reference;
  BuildTwoWideFolders(reference);
  const Outcome one = RunOn(reference, {u"C:\\t", u"-s"}, 1);
  ASSERT_TRUE(Has(one.out, "group of 2 hard links:\r\n 1: C:\\t\\a\\f.dll\n")) << one.out;

  MemoryMachine m;
  BuildTwoWideFolders(m);
  m.InjectError(Op::kLinkInfo, u"C:\\t\\a\\f.dll", win_error::kTooManyOpenFiles);
  const std::thread::id walkThread = std::this_thread::get_id();
  std::atomic<int> readerListings{0};
  std::atomic<int> readerListedInB{0};
  Gate windowFull;
  Gate bListed;
  m.afterListing = [&](const std::u16string& mask, uint32_t error) {
    if (std::this_thread::get_id() == walkThread || error != 0) return;
    if (++readerListings == 128) windowFull.Open();
    if (mask.find(u"\\C:\\t\\b\\s") != std::u16string::npos && ++readerListedInB == 100)
      bListed.Open();
  };
  m.beforeReparseRead = [&] { EXPECT_TRUE(windowFull.Wait()); };
  bool listedAgain = false;
  bool readersListedB = false;
  m.beforeListing = [&](const std::u16string& mask) {
    if (std::this_thread::get_id() != walkThread || !mask.ends_with(u"\\C:\\t\\a\\*")) return;
    if (!windowFull.IsOpen() || listedAgain) return;
    listedAgain = true;
    // The descriptors are back for the walk's own listing.
    m.InjectError(Op::kLinkInfo, u"C:\\t\\a\\f.dll", 0);
    readersListedB = bListed.Wait(std::chrono::seconds(10));
  };
  const Outcome two = RunOn(m, {u"C:\\t", u"-s"}, 2);
  EXPECT_TRUE(listedAgain) << "the walk took the reader's listing of a as it was";
  EXPECT_TRUE(readersListedB) << "the reader listed " << readerListedInB.load()
                              << " of b's 100 subfolders";
  EXPECT_EQ(two.out, one.out);
}

TEST(ReadQueue, TheWalkKeepsAQuarterOfTheBudget) {
  // The readers reserve units up to their share and no further; a budget too
  // small to share is the walk's alone.
  struct Case {
    uint32_t limit;
    uint32_t readersShare;
  };
  const Case cases[] = {{0, 0}, {2, 0}, {8, 0}, {9, 7}, {10, 8}, {24, 18}, {2048, 1536}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.limit);
    HandleBudget budget(c.limit);
    std::vector<BudgetUnit> reserved;
    for (BudgetUnit unit; reserved.size() <= c.limit && (unit = budget.Reserve());) {
      reserved.push_back(std::move(unit));
    }
    EXPECT_EQ(reserved.size(), c.readersShare);
    // The walk's own units are never refused, and the readers get nothing
    // more while the walk holds them.
    BudgetUnit walks = budget.TakeForWalk();
    EXPECT_TRUE(walks);
    EXPECT_FALSE(budget.Reserve());
    walks.GiveBack();
    if (!reserved.empty()) {
      reserved.pop_back();
      EXPECT_TRUE(budget.Reserve());
    }
    // Every unit dropped is back.
    reserved.clear();
    EXPECT_EQ(budget.inUse(), 0u);
  }
}

TEST(ReadQueue, AUnitGoesBackOnceWhoeverLetsItGo) {
  // However a unit is passed on (moved, held by a listing, traded with
  // another listing, handed back by a listing that closed), it comes back
  // once: never lost, which would shrink the budget for the rest of the run,
  // never twice, which would let the walk hold more than it may.
  MemoryMachine m;
  m.AddFolder(u"C:\\t");
  const auto open = [&m] {
    uint32_t error = 0;
    const EntryRef ref{u"C:\\t", nullptr, u"t", kInvalidFileAttributes, {}};
    auto listing = m.OpenListing(u"C:\\t\\*", ref, error);
    EXPECT_TRUE(listing) << error;
    return listing;
  };
  struct Case {
    const char* name;
    std::function<void(HandleBudget&)> run;  // ends with what it took given back
  };
  const Case cases[] = {
      {"given back twice, then dropped",
       [](HandleBudget& b) {
         BudgetUnit unit = b.TakeForWalk();
         unit.GiveBack();
         unit.GiveBack();
       }},
      {"moved, both dropped",
       [](HandleBudget& b) {
         BudgetUnit unit = b.TakeForWalk();
         BudgetUnit moved = std::move(unit);
         EXPECT_FALSE(unit);  // NOLINT: a moved unit is empty
         EXPECT_TRUE(moved);
       }},
      {"assigned over a unit held",
       [](HandleBudget& b) {
         BudgetUnit unit = b.TakeForWalk();
         unit = b.TakeForWalk();
         EXPECT_EQ(b.inUse(), 1u);
       }},
      {"held by a listing that closes",
       [&](HandleBudget& b) {
         HeldListing held;
         held.Hold(open(), b.TakeForWalk());
         EXPECT_EQ(b.inUse(), 1u);
         held.Reset();
         EXPECT_EQ(b.inUse(), 0u);
         held.Reset();
       }},
      {"held by no listing",
       [](HandleBudget& b) {
         HeldListing held;
         held.Hold(nullptr, b.TakeForWalk());
         EXPECT_EQ(b.inUse(), 0u);
       }},
      {"handed back by a listing that closed",
       [&](HandleBudget& b) {
         HeldListing held;
         held.Hold(open(), b.TakeForWalk());
         BudgetUnit back = held.Close();
         EXPECT_FALSE(held);
         EXPECT_TRUE(back);
         held.Reset();
         EXPECT_EQ(b.inUse(), 1u);
       }},
      {"traded between listings",
       [&](HandleBudget& b) {
         HeldListing first;
         HeldListing second;
         first.Hold(open(), b.TakeForWalk());
         second.Swap(first);
         EXPECT_FALSE(first);
         first.Reset();
         EXPECT_EQ(b.inUse(), 1u);
         second.Hold(open(), b.TakeForWalk());  // the one it held closes
         EXPECT_EQ(b.inUse(), 1u);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HandleBudget budget(16);
    c.run(budget);
    EXPECT_EQ(budget.inUse(), 0u);
    EXPECT_EQ(m.openListings.load(), 0u);
  }
}

// A chain of folders, each with a folder of two names after it, so that
// every level of the descent stays open for a subfolder still to come.
void BuildForkedChain(MemoryMachine& m, int depth) {
  m.stdoutIsConsole = false;
  std::u16string path = u"C:\\deep";
  for (int i = 0; i < depth; ++i) {
    path += u"\\d";
    m.AddFolder(path);
    m.AddFile(path + u"\\z\\x");
    m.AddHardLink(path + u"\\z\\x", path + u"\\z\\y");
  }
}

TEST(ReadQueue, TheSystemShortOfDescriptorsTheBudgetDoesNotSeeLosesNothing) {
  // The system refuses an open past `limit` listings, though the walk was
  // told it may hold many more (descriptors held elsewhere in the process):
  // the walk closes what it holds, never the folder it opens through, and
  // tries again.
  MemoryMachine free;
  BuildForkedChain(free, 30);
  const Outcome reference = RunOn(free, {u"C:\\deep", u"-s"}, 1);
  ASSERT_TRUE(Has(reference.out, "* 30 hard link groups")) << reference.out;
  for (size_t limit : {2u, 3u, 5u}) {
    SCOPED_TRACE(limit);
    MemoryMachine m;
    BuildForkedChain(m, 30);
    m.openListingLimit = limit;
    m.handleBudget = 2048;
    const Outcome o = RunOn(m, {u"C:\\deep", u"-s"}, 1);
    EXPECT_EQ(o.out, reference.out);
    EXPECT_LE(m.peakOpenListings.load(), limit);
  }
}

TEST(ReadQueue, AReopenedLevelMustStillBeTheFolderEntered) {
  // With two open folders at most, the walk closes C:\t and C:\t\p on its
  // way down to r, and opens them again, by name, to open the junction zj
  // after q. Meanwhile another folder has taken p's name, with a junction zj
  // of its own: nothing is opened through it.
  for (uint32_t workers : {1u, 4u}) {
    SCOPED_TRACE(workers);
    MemoryMachine m;
    m.stdoutIsConsole = false;
    m.AddFolder(u"C:\\t\\p\\q\\r");
    m.AddJunction(u"C:\\t\\p\\zj", u"C:\\elsewhere");
    m.AddFile(u"C:\\elsewhere\\kept.dll")->linkCount = 2;
    m.AddFile(u"C:\\planted\\planted.dll")->linkCount = 2;
    m.handleBudget = 2;
    bool swapped = false;
    m.beforeListing = [&](const std::u16string& mask) {
      if (!mask.ends_with(u"\\q\\r\\*") || swapped) return;
      swapped = true;
      m.Remove(u"C:\\t\\p");
      m.AddJunction(u"C:\\t\\p\\zj", u"C:\\planted");
    };
    const Outcome o = RunOn(m, {u"C:\\t\\*.dll", u"-s"}, workers);
    EXPECT_TRUE(swapped);
    EXPECT_TRUE(Has(o.out, "error PATH_NOT_FOUND opening 'C:\\t\\p\\zj\\*'\r\n")) << o.out;
    EXPECT_FALSE(Has(o.out, "planted")) << o.out;
  }
}

TEST(ReadQueue, AReopenedLevelWhoseIdentityCannotBeAskedIsStillEntered) {
  // C:\t\p was entered with the identity its parent's listing gave. With
  // two open folders at most, the walk closes it on its way down to r and
  // opens it again to reach zj; asked its identity then, the system refuses.
  // That tells no other folder: zj is walked as with room for every folder,
  // on one thread and on several.
  const auto build = [](MemoryMachine& m) {
    m.stdoutIsConsole = false;
    m.AddFolder(u"C:\\t\\p\\q\\r");
    m.AddJunction(u"C:\\t\\p\\zj", u"C:\\elsewhere");
    m.AddFile(u"C:\\elsewhere\\kept.dll")->linkCount = 2;
    m.InjectError(Op::kIdentity, u"C:\\t\\p", 5);
  };
  MemoryMachine free;
  build(free);
  const Outcome reference = RunOn(free, {u"C:\\t\\*.dll", u"-s"}, 1);
  ASSERT_TRUE(Has(reference.out, "kept.dll")) << reference.out;
  ASSERT_FALSE(Has(reference.out, "error ")) << reference.out;
  for (uint32_t workers : {1u, 4u}) {
    SCOPED_TRACE(workers);
    MemoryMachine m;
    build(m);
    m.handleBudget = 2;
    const Outcome o = RunOn(m, {u"C:\\t\\*.dll", u"-s"}, workers);
    EXPECT_EQ(o.out, reference.out);
    EXPECT_GE(m.listingsOpened.size(), free.listingsOpened.size() + 2);  // t and p again
  }
}

}  // namespace
}  // namespace quorrex::testing
