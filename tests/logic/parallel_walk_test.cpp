// The walk on several threads prints what the walk on one prints, byte for
// byte, and stops when asked.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "memory_machine.h"
#include "run_fixture.h"
#include "scan/walker.h"

namespace quorrex::testing {
namespace {

// A generated tree of a few thousand entries: nested folders, files with and
// without further names, junctions to folders anywhere (ancestors included),
// file links, errors at random paths, a listing that fails part way, and a
// folder removed while its parent is listed.
void BuildTree(MemoryMachine& m, uint32_t treeNumber) {
  std::mt19937 random(treeNumber);
  const auto pick = [&random](size_t n) { return static_cast<size_t>(random() % n); };
  std::vector<std::u16string> folders{u"C:\\data"};
  m.AddFolder(folders[0]);
  for (size_t i = 0; folders.size() < 400; ++i) {
    const std::u16string& parent = folders[pick(folders.size())];
    folders.push_back(parent + u"\\" + Numbered("d", i));
    m.AddFolder(folders.back());
  }
  // The folder removed mid-walk, and its trigger beside it. Nothing links
  // into it, so the two walks see it vanish at the same point.
  m.AddFile(u"C:\\data\\quiet\\trigger");
  m.AddFile(u"C:\\data\\quiet\\victim\\gone.dll");
  m.onEntry = [&m](const std::u16string& name) {
    if (name == u"trigger") m.Remove(u"C:\\data\\quiet\\victim");
  };

  std::vector<std::u16string> files;
  for (size_t i = 0; i < 2500; ++i) {
    const std::u16string& folder = folders[pick(folders.size())];
    const std::u16string path = folder + u"\\" + Numbered(i % 3 == 0 ? "f" : "g", i) + u".dll";
    if (!files.empty() && pick(5) == 0) {
      m.AddHardLink(files[pick(files.size())], path);
    } else {
      m.AddFile(path);
      files.push_back(path);
    }
  }
  for (size_t i = 0; i < 120; ++i) {
    const std::u16string at = folders[pick(folders.size())] + u"\\" + Numbered("j", i);
    m.AddJunction(at, folders[pick(folders.size())]);
  }
  for (size_t i = 0; i < 60; ++i) {
    m.AddSymlink(folders[pick(folders.size())] + u"\\" + Numbered("s", i) + u".dll", u"target",
                 false);
  }
  const Op ops[] = {Op::kOpenListing, Op::kIdentity, Op::kLinkInfo, Op::kReparseOpen};
  for (size_t i = 0; i < 40; ++i) {
    m.InjectError(ops[pick(4)],
                  pick(2) == 0 ? folders[pick(folders.size())] : files[pick(files.size())],
                  i % 2 == 0 ? 5 : 32);
  }
  m.FailListingAfter(folders[1 + pick(folders.size() - 1)], 4);
}

TEST(ParallelWalk, GeneratedTreesPrintTheSameBytesOnOneThreadAndOnSeveral) {
  struct Case {
    uint32_t treeNumber;
    std::vector<std::u16string> args;
    bool entersLinks;  // the pattern leaves the junctions to be entered
  };
  const std::vector<Case> cases = {
      {1, {u"C:\\data", u"-s"}, false},    {2, {u"C:\\data\\*.dll", u"-s"}, true},
      {3, {u"C:\\data\\f*", u"-s"}, true}, {4, {u"C:\\data\\d1*", u"-r"}, false},
      {5, {u"C:\\data"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.treeNumber);
    MemoryMachine single;
    single.stdoutIsConsole = false;
    BuildTree(single, c.treeNumber);
    const Outcome one = RunOn(single, c.args, 1);
    for (const char* part : {"summary", "error ", "already walked", "loops back", "group of"}) {
      if (c.entersLinks) {
        EXPECT_NE(one.out.find(part), std::string::npos) << part;
      }
    }
    for (uint32_t workers : {2u, 4u, 7u}) {
      SCOPED_TRACE(workers);
      MemoryMachine machine;
      machine.stdoutIsConsole = false;
      BuildTree(machine, c.treeNumber);
      const Outcome several = RunOn(machine, c.args, workers);
      EXPECT_EQ(several.code, one.code);
      EXPECT_EQ(several.out, one.out);
      EXPECT_EQ(several.err, one.err);
    }
  }
}

// With readers holding most of a small budget, the walk closes and opens
// again levels that a one-worker run keeps open: what it finds then must not
// differ (a folder whose identity cannot be asked again), and it must not
// open one folder over the budget while a reader still opens through a
// level it has closed.
TEST(ParallelWalk, SmallBudgetsPrintTheSameBytesOnOneThreadAndOnSeveral) {
  // Budgets a few folders over the readers' least share: the readers' share
  // is spent again and again, the walk passes subfolders it could not queue
  // and takes them itself, and queues on from where it is once units come
  // back.
  for (uint32_t budget : {9u, 10u, 12u, 16u}) {
    MemoryMachine single;
    single.stdoutIsConsole = false;
    single.handleBudget = budget;
    BuildTree(single, 6);
    const Outcome one = RunOn(single, {u"C:\\data", u"-s"}, 1);
    for (uint32_t workers : {2u, 3u, 8u}) {
      SCOPED_TRACE(::testing::Message() << budget << " folders, " << workers << " workers");
      MemoryMachine machine;
      machine.stdoutIsConsole = false;
      machine.handleBudget = budget;
      BuildTree(machine, 6);
      const Outcome several = RunOn(machine, {u"C:\\data", u"-s"}, workers);
      EXPECT_EQ(several.code, one.code);
      EXPECT_EQ(several.out, one.out);
      EXPECT_EQ(several.err, one.err);
      EXPECT_LE(machine.peakOpenListings.load(), budget);
    }
  }
}

TEST(ParallelWalk, RevisitRulesHoldOnSeveralThreads) {
  // Nine folders each linked to all the others, a link to the folder it
  // stands in, and a folder reached through a link before its own entry.
  const auto build = [](MemoryMachine& m) {
    m.stdoutIsConsole = false;
    for (int i = 0; i < 9; ++i) {
      for (int j = 0; j < 9; ++j) {
        if (i != j) {
          m.AddJunction(
              U(std::string("C:\\nine\\f") + std::to_string(i) + "\\to" + std::to_string(j)),
              U(std::string("C:\\nine\\f") + std::to_string(j)));
        }
      }
    }
    m.AddJunction(u"C:\\nine\\f3\\here", u"C:\\nine\\f3");
    m.AddJunction(u"C:\\nine\\a-link", u"C:\\nine\\z-real");
    m.AddFile(u"C:\\nine\\z-real\\x.dll")->linkCount = 2;
  };
  MemoryMachine single;
  build(single);
  const Outcome one = RunOn(single, {u"C:\\nine\\*.dll", u"-s"}, 1);
  EXPECT_NE(one.out.find("folder loops back to a parent -> skip folder here\r\n"),
            std::string::npos);
  EXPECT_NE(one.out.find("folder already walked -> skip folder z-real\r\n"), std::string::npos);
  EXPECT_NE(one.out.find("group of 2 hard links:\r\n 1: C:\\nine\\a-link\\x.dll\n\r\n"),
            std::string::npos);
  MemoryMachine machine;
  build(machine);
  EXPECT_EQ(RunOn(machine, {u"C:\\nine\\*.dll", u"-s"}, 4).out, one.out);
}

TEST(ParallelWalk, AbortStopsTheReadersPromptly) {
  MemoryMachine m;
  m.stdoutIsConsole = false;
  for (int i = 0; i < 200; ++i) {
    for (int j = 0; j < 50; ++j) {
      m.AddFile(U(std::string("C:\\big\\d") + std::to_string(i) + "\\f" + std::to_string(j)));
    }
  }
  std::atomic<int> seen{0};
  std::atomic<int> afterStop{0};
  m.onEntry = [&](const std::u16string&) {
    if (++seen == 500) {
      m.RaiseCtrlEvent(kCtrlCEvent);
    } else if (seen > 500) {
      ++afterStop;
    }
  };
  const Outcome o = RunOn(m, {u"C:\\big", u"-s"}, 4);
  EXPECT_EQ(o.code, kExitAborted);
  EXPECT_NE(o.out.find("Ctrl+C pressed -> abort"), std::string::npos);
  EXPECT_NE(o.out.find("summary"), std::string::npos);
  // Each reader ends the folder it is in at its next entry.
  EXPECT_LT(afterStop.load(), 8 * 4);
}

TEST(ParallelWalk, ReadersShareTheListing) {
  // With four workers (the printing thread and three readers) the folders are
  // not all listed by the printing thread.
  // That thread, on its second listing (once the scan folder's subfolders
  // are queued), waits until a reader has opened one: at once when readers
  // take queued work, after five seconds when they never do.
  const auto build = [](MemoryMachine& m) {
    m.stdoutIsConsole = false;
    for (size_t i = 0; i < 60; ++i) {
      for (size_t j = 0; j < 20; ++j) m.AddFile(Numbered("C:\\wide\\d", i) + Numbered("\\f", j));
    }
  };
  MemoryMachine single;
  build(single);
  const Outcome one = RunOn(single, {u"C:\\wide", u"-s"}, 1);

  MemoryMachine m;
  build(m);
  const std::thread::id walkThread = std::this_thread::get_id();
  std::mutex seenLock;
  std::condition_variable seen;
  int walkListings = 0;
  bool readerListed = false;
  m.beforeListing = [&](const std::u16string&) {
    std::unique_lock<std::mutex> hold(seenLock);
    if (std::this_thread::get_id() != walkThread) {
      readerListed = true;
      seen.notify_all();
    } else if (++walkListings == 2) {
      seen.wait_for(hold, std::chrono::seconds(5), [&] { return readerListed; });
    }
  };
  const Outcome several = RunOn(m, {u"C:\\wide", u"-s"}, 4);
  EXPECT_EQ(several.out, one.out);
  EXPECT_TRUE(readerListed) << "only the printing thread listed folders";
}

TEST(ParallelWalk, WorkerSettingIsAWholeNumberOrTheWalksChoice) {
  struct Case {
    const char* text;
    uint32_t workers;
    bool known;
  };
  for (const Case& c :
       {Case{nullptr, 0, true}, Case{"", 0, true}, Case{"1", 1, true}, Case{"4", 4, true},
        Case{"064", 64, true}, Case{"65", 0, false}, Case{"0", 0, false}, Case{"-2", 0, false},
        Case{"2x", 0, false}, Case{"abc", 0, false}, Case{" 3", 0, false},
        Case{"99999999999", 0, false}}) {
    SCOPED_TRACE(c.text == nullptr ? "(unset)" : c.text);
    bool known = !c.known;
    EXPECT_EQ(WalkWorkersSetting(c.text, known), c.workers);
    EXPECT_EQ(known, c.known);
  }
}

TEST(ParallelWalk, AWrongWorkerSettingIsToldOnStandardErrorAndTheListingIsTheSame) {
  MemoryMachine m;
  m.stdoutIsConsole = false;
  m.AddFolder(u"C:\\data");
  m.AddSymlink(u"C:\\data\\link", u"C:\\elsewhere", false);
  const Outcome plain = RunOn(m, {u"C:\\data", u"-s"});
  for (const char* text : {"abc", "100"}) {
    SCOPED_TRACE(text);
    MemoryMachine again;
    again.stdoutIsConsole = false;
    again.AddFolder(u"C:\\data");
    again.AddSymlink(u"C:\\data\\link", u"C:\\elsewhere", false);
    quorrex::Run run(again);
    run.unknownWorkers = text;
    EXPECT_EQ(RunProgram(run, {u"quorrex.exe", u"C:\\data", u"-s"}), 0);
    EXPECT_EQ(again.err, std::string("QUORREX_WORKERS=") + text +
                             " is not a number from 1 to 64: the processor count is used\n");
    EXPECT_EQ(again.out, plain.out);
  }
}

}  // namespace
}  // namespace quorrex::testing
