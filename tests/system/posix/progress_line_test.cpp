// The program on a real terminal, the status line above all: a
// pseudo-terminal the test opens, with standard error on it or in a file,
// and standard output on it, in a file or in a pipe that nobody reads. What
// reached the terminal and the files is read back byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "temp_folder.h"

namespace quorrex::testing {
namespace {

using Clock = std::chrono::steady_clock;

enum class Out { kTerminal, kFile, kStalledPipe };

struct Start {
  std::vector<std::string> args;
  Out out = Out::kFile;
  bool errOnTerminal = true;  // else standard error goes to a file
  unsigned short columns = 120;
  const char* columnsVariable = nullptr;  // COLUMNS; null: unset
  const char* workers = nullptr;          // QUORREX_WORKERS; null: unset
  // Every thread the program asks for is refused: each would need a stack
  // larger than the address space it is allowed.
  bool noThreads = false;
};

// The program, started on a pseudo-terminal in a process group of its own
// within the test's session (so that a stop stops it, as it would a job).
class Child {
 public:
  explicit Child(const Start& setup) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master_);
    unlockpt(master_);
    const std::string slave = ptsname(master_);
    char outPath[] = "/tmp/quorrex-terminal-out-XXXXXX";
    char errPath[] = "/tmp/quorrex-terminal-err-XXXXXX";
    outFd_ = mkstemp(outPath);
    errFd_ = mkstemp(errPath);
    outPath_ = outPath;
    errPath_ = errPath;
    if (setup.out == Out::kStalledPipe && pipe(pipe_) != 0) pipe_[0] = pipe_[1] = -1;
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      close(master_);
      if (pipe_[0] >= 0) close(pipe_[0]);  // its reader is the test alone
      if (setup.noThreads) {
        const rlimit stack{rlim_t{1} << 30, rlim_t{1} << 30};
        const rlimit space{rlim_t{512} << 20, rlim_t{512} << 20};
        if (setrlimit(RLIMIT_STACK, &stack) != 0 || setrlimit(RLIMIT_AS, &space) != 0) _exit(126);
      }
      const int tty = open(slave.c_str(), O_RDWR | O_NOCTTY);
      struct winsize size {};
      size.ws_col = setup.columns;
      size.ws_row = 24;
      ioctl(tty, TIOCSWINSZ, &size);
      const int devNull = open("/dev/null", O_RDWR);
      dup2(devNull, 0);
      dup2(setup.out == Out::kTerminal ? tty : setup.out == Out::kFile ? outFd_ : pipe_[1], 1);
      dup2(setup.errOnTerminal ? tty : errFd_, 2);
      if (setup.columnsVariable != nullptr) {
        setenv("COLUMNS", setup.columnsVariable, 1);
      } else {
        unsetenv("COLUMNS");
      }
      if (setup.workers != nullptr) setenv("QUORREX_WORKERS", setup.workers, 1);
      std::vector<char*> argv{const_cast<char*>(QUORREX_PROGRAM)};
      for (const std::string& arg : setup.args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      execv(QUORREX_PROGRAM, argv.data());
      _exit(127);
    }
    if (pipe_[1] >= 0) close(pipe_[1]);
    pipe_[1] = -1;
  }
  ~Child() {
    if (!ended_) {
      kill(pid_, SIGKILL);
      kill(pid_, SIGCONT);
      waitpid(pid_, nullptr, 0);
    }
    close(master_);
    close(outFd_);
    close(errFd_);
    unlink(outPath_.c_str());
    unlink(errPath_.c_str());
    CloseReader();
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Reads the terminal until `done` holds for what it has shown, or `ms`
  // have passed; whether `done` held.
  bool ReadUntil(const std::function<bool(const std::string&)>& done, int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!done(terminal_)) {
      if (Clock::now() >= end) return false;
      Pump(20);
    }
    return true;
  }
  pid_t pid() const { return pid_; }
  void Signal(int sig) { kill(pid_, sig); }
  void CloseReader() {
    if (pipe_[0] >= 0) close(pipe_[0]);
    pipe_[0] = -1;
  }
  // Waits until the process has stopped; false when it has not within `ms`.
  bool WaitStopped(int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG | WUNTRACED) == pid_ && WIFSTOPPED(status)) {
        Pump(50);  // what it wrote before it stopped
        return true;
      }
      Pump(10);
    }
    return false;
  }
  // Waits for the end (killing the process after `ms`); its exit code, or
  // 128 and the signal that ended it.
  int Finish(int ms = 30000) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    int status = 0;
    for (;;) {
      Pump(10);
      if (waitpid(pid_, &status, WNOHANG) == pid_) break;
      if (Clock::now() > end) kill(pid_, SIGKILL);
    }
    ended_ = true;
    while (Pump(50)) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  const std::string& terminal() const { return terminal_; }
  std::string out() const { return Read(outPath_); }
  std::string err() const { return Read(errPath_); }

 private:
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  bool Pump(int ms) {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return false;
    char buffer[4096];
    const ssize_t got = read(master_, buffer, sizeof buffer);
    if (got <= 0) return false;
    terminal_.append(buffer, static_cast<size_t>(got));
    return true;
  }

  pid_t pid_ = -1;
  int master_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  int pipe_[2] = {-1, -1};
  std::string outPath_;
  std::string errPath_;
  std::string terminal_;
  bool ended_ = false;
};

bool Drawn(const std::string& terminal) {
  return terminal.find(" entries, ") != std::string::npos;
}

// The drawings of the status line: what stands between two carriage returns.
std::vector<std::string> Drawings(const std::string& terminal) {
  std::vector<std::string> drawings;
  for (size_t at = terminal.find('\r'); at != std::string::npos;) {
    const size_t end = terminal.find('\r', at + 1);
    if (end == std::string::npos) break;
    drawings.push_back(terminal.substr(at + 1, end - at - 1));
    at = terminal.find('\r', end + 1);
  }
  return drawings;
}

// Whether `terminal` ends with the line's erasure (blanks from the start of
// the line, the cursor back there) and then `message` alone.
bool EndsErased(const std::string& terminal, const std::string& message) {
  if (terminal.size() < message.size() ||
      terminal.compare(terminal.size() - message.size(), message.size(), message) != 0) {
    return false;
  }
  const std::string before = terminal.substr(0, terminal.size() - message.size());
  if (before.size() < 3 || before.back() != '\r') return false;
  const size_t start = before.rfind('\r', before.size() - 2);
  if (start == std::string::npos || start + 2 == before.size()) return false;
  return before.find_first_not_of(' ', start + 1) == before.size() - 1;
}

// The lines the terminal shows (the terminal ends them with CR LF).
std::vector<std::string> Lines(const std::string& terminal) {
  std::vector<std::string> lines;
  std::stringstream in(terminal);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// The columns a line of UTF-8 takes: two for a CJK ideograph, else one.
size_t Columns(const std::string& line) {
  size_t columns = 0;
  for (size_t i = 0; i < line.size();) {
    const auto byte = static_cast<unsigned char>(line[i]);
    const size_t length = byte < 0x80 ? 1 : byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
    columns += (byte >= 0xE4 && byte <= 0xE9) ? 2 : 1;
    i += length;
  }
  return columns;
}

std::string Numbered(const char* prefix, int n) {
  char text[32];
  std::snprintf(text, sizeof text, "%s%04d", prefix, n);
  return text;
}

// A folder `name` under `root` with `links` symbolic links of long names:
// enough listing to fill a pipe and the program's buffer.
void AddLinks(const TempFolder& root, const std::string& name, int links) {
  ASSERT_TRUE(root.Folder(name));
  const std::string target(60, 't');
  for (int i = 0; i < links; ++i) {
    ASSERT_TRUE(root.Link(name + "/" + Numbered("a-link-with-a-long-name-", i), target));
  }
}

size_t CountOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// A walk of the whole system with a pattern that matches nothing: long and
// quiet, on one thread it outlasts several drawings of the line.
const std::vector<std::string> kLongWalk{"/*.none", "-s"};

TEST(StatusLine, ShownRewrittenAndErasedOnlyWhenStandardErrorIsATerminalOfItsOwn) {
  const struct {
    const char* name;
    Out out;
    bool errOnTerminal;
    bool lineExpected;
  } cases[] = {
      {"listing to a file, standard error on a terminal", Out::kFile, true, true},
      {"both on the same terminal", Out::kTerminal, true, false},
      {"standard error to a file", Out::kFile, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Child child({kLongWalk, c.out, c.errOnTerminal, 120, nullptr, "1"});
    child.ReadUntil([](const std::string&) { return false; }, 1000);
    child.Signal(SIGINT);
    const int code = child.Finish();
    if (code == 0) GTEST_SKIP() << "the whole system was walked before the interrupt";
    EXPECT_EQ(code, 3);
    // The listing never holds the line.
    EXPECT_EQ(CountOf(child.out(), " entries, "), 0u);
    EXPECT_EQ(CountOf(child.err(), " entries, "), 0u);
    if (!c.lineExpected) {
      EXPECT_EQ(CountOf(child.terminal(), " entries, "), 0u) << child.terminal();
      continue;
    }
    EXPECT_TRUE(child.out().find("\nsummary\n") != std::string::npos);
    // Drawn more than once, each time in place: from the start of the line,
    // never past the terminal's width, and the cursor back at the start.
    const std::vector<std::string> drawings = Drawings(child.terminal());
    ASSERT_GE(drawings.size(), 3u) << child.terminal();
    size_t withCounts = 0;
    for (const std::string& d : drawings) {
      EXPECT_LT(d.size(), 120u) << d;
      EXPECT_EQ(d.find('\n'), std::string::npos) << d;
      if (d.find(" folders, ") != std::string::npos) ++withCounts;
    }
    EXPECT_GE(withCounts, 2u) << child.terminal();
    EXPECT_TRUE(EndsErased(child.terminal(), "")) << child.terminal();
  }
}

TEST(StatusLine, ARefusedThreadLeavesNoLineAndNoCrash) {
  if (kSanitized) GTEST_SKIP() << "a sanitizer's runtime reserves more than the limit allows";
  Start start{kLongWalk};
  start.noThreads = true;
  Child child(start);
  child.ReadUntil([](const std::string&) { return false; }, 300);
  child.Signal(SIGINT);
  // Without its signal thread the run ends as any program does on SIGINT.
  const int code = child.Finish();
  EXPECT_TRUE(code == 0 || code == 128 + SIGINT) << code;
  EXPECT_EQ(CountOf(child.terminal(), " entries, "), 0u) << child.terminal();
}

const std::string kHostile = "x\x1b]2;PWNED\x07\x1b[41m";

TEST(TerminalNames, NothingButAQuestionMarkReachesTheTerminalForAControlCharacter) {
  TempFolder root;
  AddLinks(root, kHostile, 2500);
  // The listing fills a pipe nobody reads: the walk waits inside the folder,
  // and the line names it.
  Child child({{root.path(), "-s"}, Out::kStalledPipe});
  EXPECT_TRUE(child.ReadUntil(
      [](const std::string& t) { return t.find("PWNED") != std::string::npos; }, 5000))
      << child.terminal();
  child.Signal(SIGINT);
  EXPECT_EQ(child.Finish(), 3);
  EXPECT_NE(child.terminal().find("x?]2;PWNED??[41m"), std::string::npos) << child.terminal();
  EXPECT_EQ(child.terminal().find_first_of("\x1b\x07"), std::string::npos) << child.terminal();
}

// Refuses the process every further allocation: its address space may grow
// no more.
void RefuseMemory(pid_t pid) {
#ifdef __linux__
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmSize:", 0) != 0) continue;
    const rlim_t size = std::stoull(line.substr(7)) * 1024;
    const rlimit limit{size, size};
    prlimit(pid, RLIMIT_AS, &limit, nullptr);
  }
#else
  (void)pid;
#endif
}

TEST(StatusLine, IsErasedOnEveryWayOut) {
  TempFolder root;
  AddLinks(root, "d", 2500);
  struct Case {
    const char* name;
    std::vector<std::string> args;
    Out out;
    std::function<void(Child&)> act;
    int code;
    std::string message;  // on standard error after the line's erasure
  };
  const Case cases[] = {
      {"exit 3: interrupted",
       {root.path(), "-s"},
       Out::kStalledPipe,
       [](Child& c) { c.Signal(SIGINT); },
       3,
       ""},
      {"exit 4: the reader of standard output went away",
       {root.path(), "-s"},
       Out::kStalledPipe,
       [](Child& c) { c.CloseReader(); },
       4,
       "output failed (EPIPE) -> abort\r\n"},
      {"exit 8: memory refused", kLongWalk, Out::kFile, [](Child& c) { RefuseMemory(c.pid()); }, 8,
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.code == 8 && kSanitized) continue;  // a sanitizer's own memory is refused too
#ifndef __linux__
    if (c.code == 8) continue;
#endif
    Child child({c.args, c.out, true, 120, nullptr, "1"});
    if (!child.ReadUntil(Drawn, 5000)) {
      ADD_FAILURE() << "no line drawn: " << child.terminal();
      continue;
    }
    c.act(child);
    const int code = child.Finish();
    if (code == 0 && c.code == 8) continue;  // the whole system walked first
    EXPECT_EQ(code, c.code);
    EXPECT_TRUE(EndsErased(child.terminal(), c.message)) << child.terminal();
  }
}

TEST(StatusLine, LeavesTheTerminalBeforeAStopAndComesBackAfterIt) {
  Child child({kLongWalk, Out::kFile, true, 120, nullptr, "1"});
  ASSERT_TRUE(child.ReadUntil(Drawn, 5000)) << child.terminal();
  child.Signal(SIGTSTP);
  ASSERT_TRUE(child.WaitStopped(3000)) << "not stopped";
  EXPECT_TRUE(EndsErased(child.terminal(), "")) << child.terminal();
  const size_t stoppedAt = child.terminal().size();
  child.Signal(SIGCONT);
  EXPECT_TRUE(child.ReadUntil(
      [stoppedAt](const std::string& t) { return Drawn(t.substr(stoppedAt)); }, 1000))
      << "not drawn again";
  child.Signal(SIGINT);
  const int code = child.Finish();
  EXPECT_TRUE(code == 3 || code == 0) << code;
}

TEST(TerminalWidth, ATerminalOfNoColumnsTakesColumnsElseEighty) {
  TempFolder root;
  ASSERT_TRUE(root.Link("l", std::string(200, 'a')));
  const struct {
    const char* columns;
    size_t width;
  } cases[] = {{nullptr, 80}, {"50", 50}, {"wide", 80}, {"0", 80}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.columns != nullptr ? c.columns : "unset");
    // One line (-1) on the terminal: the target is fitted to the width.
    Child listing({{root.path(), "-1"}, Out::kTerminal, true, 0, c.columns});
    EXPECT_EQ(listing.Finish(), 0);
    size_t fitted = 0;
    for (const std::string& line : Lines(listing.terminal())) {
      EXPECT_LT(line.size(), c.width) << line;
      if (line.rfind(" -> aaa", 0) == 0) fitted = line.size();
    }
    // " -> " and the target, shortened to end two columns before the last.
    EXPECT_EQ(fitted, c.width - 3) << listing.terminal();

    // The status line is drawn, and fits.
    Child walk({kLongWalk, Out::kFile, true, 0, c.columns, "1"});
    EXPECT_TRUE(walk.ReadUntil(Drawn, 5000)) << walk.terminal();
    walk.Signal(SIGINT);
    walk.Finish();
    for (const std::string& d : Drawings(walk.terminal())) EXPECT_LT(d.size(), c.width) << d;
  }
}

TEST(TerminalWidth, OneLineCountsTheColumnsOfWideCharacters) {
  TempFolder root;
  std::string wide;
  for (int i = 0; i < 30; ++i) wide += "\xE4\xB8\xAD";  // U+4E2D, two columns
  ASSERT_TRUE(root.Link("l", wide));
  // 34 characters, 64 columns: too wide for a terminal of 40.
  Child child({{root.path(), "-1"}, Out::kTerminal, true, 40});
  EXPECT_EQ(child.Finish(), 0);
  bool shortened = false;
  for (const std::string& line : Lines(child.terminal())) {
    EXPECT_LT(Columns(line), 40u) << line;
    if (line.rfind(" -> \xE4\xB8\xAD", 0) == 0) {
      shortened = line.find("...") != std::string::npos;
    }
  }
  EXPECT_TRUE(shortened) << child.terminal();
}

TEST(SignalMessage, NeverSplitsALineOfTheListing) {
  TempFolder root;
  std::set<std::string> reports;
  for (int f = 0; f < 8; ++f) {
    const std::string folder = Numbered("d", f);
    ASSERT_TRUE(root.Folder(folder));
    for (int i = 0; i < 100; ++i) {
      const std::string link = folder + "/" + Numbered("l", i);
      ASSERT_TRUE(root.Link(link, "target"));
      reports.insert("reparse point (symlink) " + root.At(link));
    }
  }
  const Start setup{{root.path(), "-s"}, Out::kFile, false, 120, nullptr, "8"};
  // How long a whole run takes: the interrupts fall anywhere within it.
  const auto start = Clock::now();
  {
    Child whole(setup);
    ASSERT_EQ(whole.Finish(), 0);
  }
  const auto span = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
  std::mt19937 random(20261208);
  std::uniform_int_distribution<int64_t> moment(0, span.count());
  int interrupted = 0;
  for (int run = 0; run < 200; ++run) {
    Child child(setup);
    std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
    child.Signal(SIGINT);
    const int code = child.Finish();
    // Interrupted before it took signals: ended as any program is.
    if (code == 128 + SIGINT) continue;
    ASSERT_TRUE(code == 0 || code == 3) << code;
    if (code == 3) ++interrupted;
    for (const std::string& line : Lines(child.out())) {
      const bool whole = line.empty() || line == "SIGINT received -> abort" ||
                         line == " -> target" || reports.count(line) != 0 ||
                         line.rfind("Quorrex ", 0) == 0 || line == "summary" ||
                         line.rfind("* ", 0) == 0 || line.rfind("  ", 0) == 0;
      ASSERT_TRUE(whole) << "run " << run << ": '" << line << "' in\n" << child.out();
    }
  }
  // Most runs are interrupted within the walk; on a busy machine fewer, as
  // more are interrupted before they take signals.
  EXPECT_GT(interrupted, 20);
}

}  // namespace
}  // namespace quorrex::testing
