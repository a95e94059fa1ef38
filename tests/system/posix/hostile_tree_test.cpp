// The program itself on hostile trees: odd names, deep and looping trees,
// special files, broken standard output and a very large folder. Every run
// must end, print what it should and lose nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "launch.h"

namespace {

struct Result {
  int code = -1;    // exit code, or 128 + signal
  std::string out;  // standard output, when it went to a file
  bool timedOut = false;
};

using Stdout = quorrex::testing::Out;

// Runs the program with `args`; standard output goes to a file, is closed,
// or is the full device.
// With `noThreads`, the program may start no thread: each would need a
// stack larger than the address space it is allowed. With `descriptors`, it
// may hold that many open at once.
Result RunProgram(const std::vector<std::string>& args, Stdout kind = Stdout::kFile,
                  int seconds = 60, int interruptAfterMs = -1,
                  std::chrono::milliseconds* endedAfterInterrupt = nullptr, bool noThreads = false,
                  rlim_t descriptors = 0, rlim_t addressSpace = 0) {
  const auto limits = [=] {
    if (noThreads) {
      const rlimit stack{rlim_t{1} << 30, rlim_t{1} << 30};
      const rlimit space{rlim_t{512} << 20, rlim_t{512} << 20};
      if (setrlimit(RLIMIT_STACK, &stack) != 0 || setrlimit(RLIMIT_AS, &space) != 0) _exit(126);
    }
    if (descriptors != 0) {
      const rlimit open{descriptors, descriptors};
      if (setrlimit(RLIMIT_NOFILE, &open) != 0) _exit(126);
    }
    if (addressSpace != 0) {
      const rlimit space{addressSpace, addressSpace};
      if (setrlimit(RLIMIT_AS, &space) != 0) _exit(126);
    }
  };
  const quorrex::testing::Ended ended =
      quorrex::testing::Launch(args, kind, interruptAfterMs >= 0 ? SIGINT : 0,
                               interruptAfterMs >= 0 ? interruptAfterMs : 0, limits, seconds);
  if (endedAfterInterrupt != nullptr && ended.msAfterSignal >= 0) {
    *endedAfterInterrupt = std::chrono::milliseconds(ended.msAfterSignal);
  }
  return Result{ended.code, ended.out, ended.timedOut};
}

class HostileTree : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/quorrex-hostile-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    root_ = templ;
  }
  void TearDown() override {
    const std::string command =
        "chmod -R u+rwx '" + root_ + "' 2>/dev/null; rm -rf '" + root_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  std::string Path(const std::string& name) const { return root_ + "/" + name; }
  std::string root_;
};

// A name made of a prefix and a number. Built by appending: GCC 12 at -O3
// warns falsely (-Wrestrict) on a literal put in front of a temporary string.
std::string Numbered(const char* prefix, int number) {
  std::string name = prefix;
  name += std::to_string(number);
  return name;
}

// How long a program may take to end once interrupted before it counts as
// one that kept walking: far beyond the hundredths of a second it takes
// here, it only turns a walk that ignores the interrupt into a failure.
constexpr int kInterruptedEndLimitMs = 20000;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST_F(HostileTree, OddNamesArePrintedAsTheirBytes) {
  const std::vector<std::string> names = {
      "bad\xFF\xFEutf8",       "cr\rin", "lf\nin", "100%s%S%u%n", std::string(255, 'n'),
      "smile\xF0\x9F\x98\x80",
  };
  for (const auto& name : names) {
    ASSERT_EQ(symlink(("target-" + name).c_str(), Path(name).c_str()), 0) << name;
  }
  ASSERT_EQ(mkdir(Path("h").c_str(), 0755), 0);
  { std::ofstream(Path("h/one\xC3")) << "x"; }
  ASSERT_EQ(link(Path("h/one\xC3").c_str(), Path("h/two%S").c_str()), 0);

  const Result r = RunProgram({root_, "-s"});
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.code, 0);
  for (const auto& name : names) {
    EXPECT_TRUE(
        Contains(r.out, "reparse point (symlink) " + Path(name) + "\n -> target-" + name + "\n"))
        << name;
  }
  EXPECT_TRUE(Contains(r.out, "group of 2 hard links:\n"));
  EXPECT_TRUE(Contains(r.out, " 1: " + Path("h/one\xC3") + "\n") ||
              Contains(r.out, " 2: " + Path("h/one\xC3") + "\n"));
  EXPECT_TRUE(Contains(r.out, Path("h/two%S") + "\n"));
  EXPECT_TRUE(Contains(r.out, "* 6 reparse points:\n"));
  EXPECT_TRUE(Contains(r.out, "* 1 hard link group\n"));
}

// Makes `depth` nested folders named `name` below `root`, relative to each
// open parent so that the whole path may pass PATH_MAX.
void MakeChain(const std::string& root, const std::string& name, int depth) {
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < depth; ++i) {
    ASSERT_EQ(mkdirat(fd, name.c_str(), 0755), 0) << i;
    const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    ASSERT_GE(next, 0);
    fd = next;
  }
  close(fd);
}

TEST_F(HostileTree, DeepTreesStopAtTheDepthLimitEvenPastPathMax) {
  MakeChain(root_, "folder-of-depth", 1100);  // 16 bytes a level: far past PATH_MAX
  const Result r = RunProgram({root_, "-s"});
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.code, 0);
  EXPECT_TRUE(Contains(r.out, "path nested too deep (max 1024) -> skip folder folder-of-depth\n"));
  EXPECT_TRUE(Contains(r.out, "\nsummary\n"));
}

TEST_F(HostileTree, LinkLoopsEnd) {
  ASSERT_EQ(mkdir(Path("a").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(Path("a/b").c_str(), 0755), 0);
  ASSERT_EQ(symlink("self", Path("self").c_str()), 0);
  ASSERT_EQ(symlink("pong", Path("ping").c_str()), 0);
  ASSERT_EQ(symlink("ping", Path("pong").c_str()), 0);
  ASSERT_EQ(symlink("..", Path("a/b/up").c_str()), 0);
  ASSERT_EQ(symlink(root_.c_str(), Path("a/root").c_str()), 0);
  { std::ofstream(Path("a/b/x.dat")) << "x"; }

  // A pattern the links do not match: they are entered, and the loop rule
  // stops the descent.
  const Result r = RunProgram({Path("*.dat"), "-s"});
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.code, 0);
  EXPECT_TRUE(Contains(r.out, "folder loops back to a parent -> skip folder up\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "folder loops back to a parent -> skip folder root\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "* 0 reparse points:\n"));

  // Matching links are reported, not entered.
  const Result all = RunProgram({root_, "-s"});
  ASSERT_FALSE(all.timedOut);
  EXPECT_EQ(all.code, 0);
  EXPECT_TRUE(Contains(all.out, "reparse point (symlink) " + Path("self") + "\n -> self\n"));
  EXPECT_TRUE(Contains(all.out, "* 5 reparse points:\n"));
}

TEST_F(HostileTree, EachFolderIsListedOnce) {
  // `ln -s . here` beside two names of one file, and a link to a sibling that
  // the walk lists later: every name comes out once, under its own folder.
  ASSERT_EQ(mkdir(Path("real").c_str(), 0755), 0);
  { std::ofstream(Path("x.dat")) << "x"; }
  ASSERT_EQ(link(Path("x.dat").c_str(), Path("real/y.dat").c_str()), 0);
  ASSERT_EQ(symlink(".", Path("here").c_str()), 0);
  ASSERT_EQ(symlink("real", Path("also").c_str()), 0);

  const Result r = RunProgram({Path("*.dat"), "-s"});
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.code, 0);
  const auto count = [&r](const std::string& part) {
    size_t n = 0;
    for (size_t at = r.out.find(part); at != std::string::npos; at = r.out.find(part, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("folder loops back to a parent -> skip folder here\n"), 1u) << r.out;
  EXPECT_EQ(count("folder already walked -> skip folder "), 1u) << r.out;
  EXPECT_EQ(count("group of 2 hard links:\n"), 1u) << r.out;
  EXPECT_EQ(count("x.dat\n"), 1u) << r.out;
  EXPECT_EQ(count("y.dat\n"), 1u) << r.out;
  EXPECT_TRUE(Contains(r.out, "* 1 hard link group\n")) << r.out;
}

// Runs the program with QUORREX_WORKERS set to `workers`.
Result RunWithWorkers(const char* workers, const std::vector<std::string>& args) {
  setenv("QUORREX_WORKERS", workers, 1);
  Result r = RunProgram(args);
  unsetenv("QUORREX_WORKERS");
  return r;
}

size_t CountOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST_F(HostileTree, EveryNameReachesItsSystemCallAsListed) {
  // Folders whose listings take several reads, with names that are not
  // UTF-8, hard links between the folders and a folder behind a link: a name
  // that reached its system call other than as listed would lose a link
  // count, a group or a listing.
  constexpr int kFolders = 3;
  constexpr int kFiles = 1200;  // about 100 KiB of records per folder
  const std::string pad(48, 'p');
  const auto folder = [](int i) { return Numbered("d\xFF", i); };
  const auto file = [&pad](const char* kind, int j) {
    std::string name = Numbered(kind, j);
    name += pad;
    name += "\xE9.dat";
    return name;
  };
  for (int i = 0; i < kFolders; ++i) ASSERT_EQ(mkdir(Path(folder(i)).c_str(), 0755), 0);
  for (int i = 0; i < kFolders; ++i) {
    const int fd = open(Path(folder(i)).c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    for (int j = 0; j < kFiles; ++j) {
      const int f = openat(fd, file("f", j).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
      ASSERT_GE(f, 0);
      close(f);
    }
    close(fd);
  }
  for (int i = 0; i < kFolders; ++i) {
    for (int j = 0; j < kFiles; j += 10) {
      const std::string from = Path(folder(i) + "/" + file("f", j));
      const std::string to = Path(folder((i + 1) % kFolders) + "/" + file("g", j));
      ASSERT_EQ(link(from.c_str(), to.c_str()), 0);
    }
  }
  // A folder outside the scan folder, reached only through a link whose
  // name is not UTF-8 either, holding a third name of one file.
  const std::string outside = root_ + "-outside\xFE";
  ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
  ASSERT_EQ(
      link(Path(folder(0) + "/" + file("f", 0)).c_str(), (outside + "/" + file("h", 0)).c_str()),
      0);
  ASSERT_EQ(symlink(outside.c_str(), Path("via\xFF").c_str()), 0);

  const Result one = RunWithWorkers("1", {Path("*.dat"), "-s"});
  const Result four = RunWithWorkers("4", {Path("*.dat"), "-s"});
  const std::string removeOutside = "rm -rf '" + outside + "'";
  ASSERT_EQ(std::system(removeOutside.c_str()), 0);
  ASSERT_FALSE(one.timedOut);
  ASSERT_FALSE(four.timedOut);
  EXPECT_EQ(one.code, 0);
  EXPECT_EQ(four.out, one.out);
  const size_t groups = kFolders * kFiles / 10;
  EXPECT_EQ(CountOf(one.out, "group of 2 hard links:\n"), groups - 1);
  EXPECT_EQ(CountOf(one.out, "group of 3 hard links:\n"), 1u);
  EXPECT_TRUE(Contains(one.out, "* " + std::to_string(groups) + " hard link groups\n"));
  EXPECT_TRUE(Contains(one.out, Path("via\xFF/" + file("h", 0)) + "\n"));
  EXPECT_EQ(CountOf(one.out, "error "), 0u) << one.out.substr(0, 2000);
}

TEST_F(HostileTree, PatternsMatchNamesThatAreNotUtf8AsTheirUnits) {
  // Each byte that is not UTF-8 is one character to a pattern, as each
  // character of a name that is; only ASCII letters match regardless of case.
  const std::string longName = std::string(254, 'n') + "\xE9";  // 255 bytes
  const std::vector<std::string> names = {"caf\xC3\xA9", "caf\xE9", "CAF\xC3\xA9", longName,
                                          "l\nf\xE9"};
  for (const auto& name : names) {
    ASSERT_EQ(symlink(("to-" + name).c_str(), Path(name).c_str()), 0) << name;
  }
  struct Case {
    std::string pattern;
    std::vector<std::string> matched;
  };
  const Case cases[] = {
      {"caf?", {"caf\xC3\xA9", "caf\xE9", "CAF\xC3\xA9"}},  // ASCII pattern
      {"caf\xC3\xA9", {"caf\xC3\xA9", "CAF\xC3\xA9"}},      // a character that is UTF-8
      {"caf\xE9", {"caf\xE9"}},                             // a byte that is not
      {"*\xE9", {"caf\xE9", longName, "l\nf\xE9"}},
      {"l?f*", {"l\nf\xE9"}},  // a newline is a character
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    const Result one = RunWithWorkers("1", {Path(c.pattern)});
    const Result four = RunWithWorkers("4", {Path(c.pattern)});
    ASSERT_FALSE(one.timedOut);
    EXPECT_EQ(one.code, 0);
    EXPECT_EQ(four.out, one.out);
    for (const auto& name : names) {
      const bool listed =
          Contains(one.out, "reparse point (symlink) " + Path(name) + "\n -> to-" + name + "\n");
      const bool wanted = std::find(c.matched.begin(), c.matched.end(), name) != c.matched.end();
      EXPECT_EQ(listed, wanted) << name;
    }
    EXPECT_EQ(CountOf(one.out, "reparse point (symlink) "), c.matched.size());
  }
}

TEST_F(HostileTree, ARunWithoutThreadsPrintsWhatARunWithThemPrints) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's runtime reserves more address space than the limit allows";
#endif
  // The system refuses every thread: the readers, the timed flush and the
  // signal thread. The run goes on without them.
  for (int i = 0; i < 30; ++i) {
    const std::string folder = Path(Numbered("d", i));
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    { std::ofstream(folder + "/a.dat") << "x"; }
    ASSERT_EQ(link((folder + "/a.dat").c_str(), (folder + "/b.dat").c_str()), 0);
    ASSERT_EQ(symlink("a.dat", (folder + "/l.dat").c_str()), 0);
  }
  setenv("QUORREX_WORKERS", "4", 1);
  const Result with = RunProgram({Path("*.dat"), "-s"});
  const Result without = RunProgram({Path("*.dat"), "-s"}, Stdout::kFile, 60, -1, nullptr, true);
  unsetenv("QUORREX_WORKERS");
  ASSERT_FALSE(without.timedOut);
  EXPECT_EQ(without.code, 0);
  EXPECT_EQ(without.out, with.out);
  EXPECT_TRUE(Contains(without.out, "* 30 hard link groups\n")) << without.out;
}

TEST_F(HostileTree, EightThreadsWalkWithinTwentyFourDescriptors) {
  // 800 folders without subfolders, each with a pair of links. The readers
  // run up to 256 folders ahead of the walk; each must be closed once read,
  // or the walk runs out of descriptors and prints error lines instead.
  for (int i = 0; i < 40; ++i) {
    const std::string outer = Path(Numbered("d", i));
    ASSERT_EQ(mkdir(outer.c_str(), 0755), 0);
    for (int j = 0; j < 20; ++j) {
      const std::string folder = outer + "/" + Numbered("e", j);
      ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
      { std::ofstream(folder + "/a") << "x"; }
      ASSERT_EQ(link((folder + "/a").c_str(), (folder + "/b").c_str()), 0);
    }
  }
  setenv("QUORREX_WORKERS", "1", 1);
  const Result one = RunProgram({root_, "-s"});
  setenv("QUORREX_WORKERS", "8", 1);
  const Result eight = RunProgram({root_, "-s"}, Stdout::kFile, 60, -1, nullptr, false, 24);
  unsetenv("QUORREX_WORKERS");
  EXPECT_EQ(eight.code, 0);
  EXPECT_EQ(eight.out, one.out);
  EXPECT_TRUE(Contains(one.out, "* 800 hard link groups\n")) << one.out;
}

// The trees of a hostile run under tight descriptor limits: what one worker
// prints without a limit, 1, 2 and 8 workers print under it, and every run
// ends.
TEST_F(HostileTree, TightDescriptorLimitsGiveOneWorkersBytes) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's runtime holds descriptors of its own";
#endif
  struct Case {
    const char* name;
    void (*build)(const std::string& root);
    const char* pattern;
    rlim_t descriptors;
    const char* mustShow;
  };
  const Case cases[] = {
      {"a wide tree (the readers' share spent while folders are queued)",
       [](const std::string& root) {
         for (int i = 0; i < 40; ++i) {
           const std::string outer = root + "/" + Numbered("d", i);
           mkdir(outer.c_str(), 0755);
           for (int j = 0; j < 10; ++j) {
             const std::string folder = outer + "/" + Numbered("e", j);
             mkdir(folder.c_str(), 0755);
             std::ofstream(folder + "/a") << "x";
             link((folder + "/a").c_str(), (folder + "/b").c_str());
           }
         }
       },
       "", 20, "* 400 hard link groups\n"},
      {"41 folders chained by links, and folders with a pair of links and a link",
       [](const std::string& root) {
         for (int i = 0; i < 41; ++i) {
           const std::string folder = root + "/" + Numbered("f", i);
           mkdir(folder.c_str(), 0755);
           if (i + 1 < 41)
             symlink(("../" + Numbered("f", i + 1)).c_str(), (folder + "/next").c_str());
         }
         for (int i = 0; i < 21; ++i) {
           const std::string folder = root + "/" + Numbered("p", i);
           mkdir(folder.c_str(), 0755);
           std::ofstream(folder + "/a1") << "x";
           link((folder + "/a1").c_str(), (folder + "/a2").c_str());
           symlink("a1", (folder + "/al").c_str());
         }
       },
       "/*a*", 16, "* 21 hard link groups\n"},
      {"nine folders linked all to all",
       [](const std::string& root) {
         for (int i = 0; i < 9; ++i) mkdir((root + "/" + Numbered("f", i)).c_str(), 0755);
         for (int i = 0; i < 9; ++i) {
           for (int j = 0; j < 9; ++j) {
             if (i == j) continue;
             symlink(("../" + Numbered("f", j)).c_str(),
                     (root + "/" + Numbered("f", i) + "/" + Numbered("to", j)).c_str());
           }
         }
       },
       "/*a*", 10, "folder already walked -> skip folder "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string tree = Path(Numbered("tree", static_cast<int>(&c - cases)));
    ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
    c.build(tree);
    const std::string spec = tree + c.pattern;
    setenv("QUORREX_WORKERS", "1", 1);
    const Result reference = RunProgram({spec, "-s"});
    ASSERT_EQ(reference.code, 0);
    ASSERT_TRUE(Contains(reference.out, c.mustShow)) << reference.out;
    for (const char* workers : {"1", "2", "8"}) {
      SCOPED_TRACE(std::string(workers) + " workers");
      setenv("QUORREX_WORKERS", workers, 1);
      const Result r =
          RunProgram({spec, "-s"}, Stdout::kFile, 120, -1, nullptr, false, c.descriptors);
      ASSERT_FALSE(r.timedOut);
      EXPECT_EQ(r.code, 0);
      EXPECT_EQ(r.out == reference.out, true) << r.out.substr(0, 600);
    }
  }
  unsetenv("QUORREX_WORKERS");
}

// A folder of the tree swapped again and again with a link to a folder
// outside it, as a user may do in their own folders during an
// administrator's run: short of descriptors, the walk opens its folders
// again, never through the link, and never lists what is behind it.
TEST_F(HostileTree, AFolderSwappedForALinkNeverLeadsOutOfTheTree) {
  const std::string outside = Path("outside");
  const std::string tree = Path("tree");
  ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  // In the tree: `x` holds a chain deep enough that the walk closes its
  // outer folders under the limit and opens them again on the way back.
  // Behind the link: the same folders, each with a pair of links and a link
  // that a listing of it would show.
  std::string deep = tree + "/x";
  std::string mirror = outside;
  ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
  for (int i = 0; i < 40; ++i) {
    deep += "/" + Numbered("d", i);
    mirror += "/" + Numbered("d", i);
    for (const std::string& folder : {deep, mirror}) {
      ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
      ASSERT_EQ(mkdir((folder + "/side").c_str(), 0755), 0);
    }
    for (const std::string& folder : {mirror, mirror + "/side"}) {
      { std::ofstream(folder + "/escaped") << "x"; }
      ASSERT_EQ(link((folder + "/escaped").c_str(), (folder + "/escaped2").c_str()), 0);
      ASSERT_EQ(symlink("escaped", (folder + "/escaped-link").c_str()), 0);
    }
  }
  ASSERT_EQ(symlink(outside.c_str(), (tree + "/swap").c_str()), 0);
  std::atomic<bool> swapping{true};
  std::thread swapper([&] {
    while (swapping) {
      renameat2(AT_FDCWD, (tree + "/x").c_str(), AT_FDCWD, (tree + "/swap").c_str(),
                RENAME_EXCHANGE);
    }
  });
  int escaped = 0;
  for (const char* workers : {"1", "8"}) {
    setenv("QUORREX_WORKERS", workers, 1);
    for (int run = 0; run < 15; ++run) {
      const Result r = RunProgram({tree, "-s"}, Stdout::kFile, 120, -1, nullptr, false, 10);
      EXPECT_FALSE(r.timedOut);
      if (Contains(r.out, "escaped")) ++escaped;
    }
  }
  swapping = false;
  swapper.join();
  unsetenv("QUORREX_WORKERS");
  EXPECT_EQ(escaped, 0) << "runs of 30 that listed what is behind the link";
}

// What a one-worker run prints, any number of workers prints under limits on
// descriptors and address space that the one worker gets by with.
TEST_F(HostileTree, LimitsChangeNothingWhateverTheWorkers) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's runtime reserves more address space than the limits allow";
#endif
  // A chain past the depth limit, and a farm of folders whose files have a
  // name in each of three copies of the tree.
  MakeChain(root_, "c", 1100);
  for (int copy = 0; copy < 3; ++copy) {
    const std::string top = Path(Numbered("s", copy));
    ASSERT_EQ(mkdir(top.c_str(), 0755), 0);
    for (int i = 0; i < 30; ++i) {
      const std::string folder = top + "/" + Numbered("d", i);
      ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
      for (int j = 0; j < 5; ++j) {
        const std::string sub = folder + "/" + Numbered("e", j);
        ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
        const std::string file = sub + "/f";
        if (copy == 0) {
          std::ofstream(file) << "x";
        } else {
          const std::string first = Path("s0/" + Numbered("d", i) + "/" + Numbered("e", j) + "/f");
          ASSERT_EQ(link(first.c_str(), file.c_str()), 0);
        }
      }
    }
  }
  setenv("QUORREX_WORKERS", "1", 1);
  const Result reference = RunProgram({root_, "-s"});
  ASSERT_EQ(reference.code, 0);
  ASSERT_TRUE(Contains(reference.out, "path nested too deep (max 1024) -> skip folder c\n"));
  ASSERT_TRUE(Contains(reference.out, "* 150 hard link groups\n"));
  struct Case {
    const char* workers;
    rlim_t descriptors;
    rlim_t addressSpace;
  };
  const Case cases[] = {
      {"1", 64, 0}, {"8", 64, 0}, {"1", 16, 0}, {"2", 16, 0}, {"8", 16, 0}, {"8", 10, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.workers) + " workers, " + std::to_string(c.descriptors) +
                 " descriptors");
    setenv("QUORREX_WORKERS", c.workers, 1);
    const Result r = RunProgram({root_, "-s"}, Stdout::kFile, 60, -1, nullptr, false, c.descriptors,
                                c.addressSpace);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out == reference.out, true) << r.out.substr(0, 300);
  }
  // The address space one worker needs, to within 4 MiB; eight finish in
  // twice that.
  rlim_t need = 0;
  for (rlim_t mib = 8; mib <= 256 && need == 0; mib += 4) {
    if (RunProgram({root_, "-s"}, Stdout::kFile, 60, -1, nullptr, false, 0, mib << 20).code == 0) {
      need = mib << 20;
    }
  }
  ASSERT_NE(need, 0u);
  // At one worker's need, more workers finish or end short of memory, never
  // with an abort; at twice it they finish.
  for (const char* workers : {"2", "8", "64"}) {
    SCOPED_TRACE(std::string(workers) + " workers, " + std::to_string(need >> 20) + " MiB");
    setenv("QUORREX_WORKERS", workers, 1);
    const Result tight = RunProgram({root_, "-s"}, Stdout::kFile, 60, -1, nullptr, false, 0, need);
    EXPECT_TRUE(tight.code == 0 || tight.code == 8) << tight.code;
    const Result twice =
        RunProgram({root_, "-s"}, Stdout::kFile, 60, -1, nullptr, false, 0, 2 * need);
    EXPECT_EQ(twice.code, 0);
    EXPECT_EQ(twice.out == reference.out, true) << twice.out.substr(0, 300);
  }
  unsetenv("QUORREX_WORKERS");
}

TEST_F(HostileTree, SpecialFilesNeitherBlockNorCount) {
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0644), 0);
  const int s = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = Path("sock");
  ASSERT_LT(socketPath.size(), sizeof(address.sun_path));
  socketPath.copy(address.sun_path, socketPath.size());
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  // A device node needs privilege; without it the test goes on without one.
  (void)mknod(Path("null-device").c_str(), S_IFCHR | 0666, makedev(1, 3));
  ASSERT_EQ(link(Path("fifo").c_str(), Path("fifo2").c_str()), 0);

  const Result r = RunProgram({root_, "-s"}, Stdout::kFile, 20);
  close(s);
  ASSERT_FALSE(r.timedOut) << "the walk blocked on a special file";
  EXPECT_EQ(r.code, 0);
  EXPECT_TRUE(Contains(r.out, "* 0 reparse points:\n"));
  // The two names of the FIFO are links of one another, and nothing more.
  EXPECT_TRUE(Contains(r.out, "* 1 hard link group\n"));
}

TEST_F(HostileTree, InterruptStopsALongWalk) {
  // Every folder is walked once, so no tree built here keeps the walk busy
  // for long; the whole system (with /proc) does.
  std::chrono::milliseconds ended{0};
  const Result r = RunProgram({"/*.none", "-s"}, Stdout::kFile, 60, 300, &ended);
  ASSERT_FALSE(r.timedOut);
  if (r.code == 0) GTEST_SKIP() << "the whole system was walked in under 300 ms";
  EXPECT_EQ(r.code, 3);
  EXPECT_LT(ended.count(), kInterruptedEndLimitMs);
  EXPECT_TRUE(Contains(r.out, "\nSIGINT received -> abort\n"));
  EXPECT_TRUE(Contains(r.out, "\nsummary\n"));
}

TEST_F(HostileTree, BrokenStandardOutputNeitherCrashesNorHangs) {
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(symlink("t", Path(Numbered("l", i)).c_str()), 0);
  }
  for (Stdout kind : {Stdout::kClosed, Stdout::kFull}) {
    const Result r = RunProgram({root_}, kind, 20);
    EXPECT_FALSE(r.timedOut);
    EXPECT_LT(r.code, 128) << "ended by a signal";
  }
}

TEST_F(HostileTree, FolderOfTwoHundredThousandEntries) {
  const int fd = open(root_.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < 200000; ++i) {
    const std::string name = Numbered("entry-", i);
    if (i % 1000 == 0) {
      ASSERT_EQ(symlinkat("target", fd, name.c_str()), 0);
    } else {
      const int f = openat(fd, name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
      ASSERT_GE(f, 0);
      close(f);
    }
  }
  close(fd);
  const Result r = RunProgram({root_}, Stdout::kFile, 120);
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.code, 0);
  EXPECT_TRUE(Contains(r.out, "* 200 reparse points:\n"));
}

}  // namespace
