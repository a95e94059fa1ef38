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
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "temp_folder.h"

namespace quorrex::testing {
namespace {

using Clock = std::chrono::steady_clock;

// kStalledPipe: a pipe that the test reads only when it asks to.
enum class Out { kTerminal, kFile, kStalledPipe, kDevNull };

// The limit of every wait for the program: it only turns a hang into a
// failure, far beyond what any run here takes.
constexpr int kHangMs = 120000;

struct Start {
  std::vector<std::string> args;
  Out out = Out::kFile;
  bool errOnTerminal = true;  // else standard error goes to a file
  unsigned short columns = 120;
  const char* columnsVariable = nullptr;  // COLUMNS; null: unset
  const char* workers = nullptr;          // QUORREX_WORKERS; null: unset
  const char* format = nullptr;           // QUORREX_FORMAT; null: unset
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
      dup2(setup.out == Out::kTerminal  ? tty
           : setup.out == Out::kFile    ? outFd_
           : setup.out == Out::kDevNull ? devNull
                                        : pipe_[1],
           1);
      dup2(setup.errOnTerminal ? tty : errFd_, 2);
      if (setup.columnsVariable != nullptr) {
        setenv("COLUMNS", setup.columnsVariable, 1);
      } else {
        unsetenv("COLUMNS");
      }
      if (setup.workers != nullptr) setenv("QUORREX_WORKERS", setup.workers, 1);
      if (setup.format != nullptr) setenv("QUORREX_FORMAT", setup.format, 1);
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
  bool ReadUntil(const std::function<bool(const std::string&)>& done, int ms = kHangMs) {
    return WaitUntil([&] { return done(terminal_); }, ms);
  }
  // Reads the terminal (and a pipe being drained) until `done` holds or
  // `ms` have passed; whether `done` held.
  bool WaitUntil(const std::function<bool()>& done, int ms = kHangMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
      if (Clock::now() >= end) return false;
      Pump(20);
    }
    return true;
  }
  // Reads the pipe until `bytes` have come from it in all, and not one
  // more: the program may then run ahead only as far as the pipe and its
  // own buffer hold. False when they have not come within `ms`.
  bool ReadPipeTo(size_t bytes, int ms = kHangMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (piped_.size() < bytes) {
      if (Clock::now() >= end) return false;
      pollfd p{pipe_[0], POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      char buffer[4096];
      const ssize_t got = read(pipe_[0], buffer, std::min(sizeof buffer, bytes - piped_.size()));
      if (got <= 0) return false;
      piped_.append(buffer, static_cast<size_t>(got));
    }
    return true;
  }
  // From now on the pipe is read to its end, while the test waits.
  void DrainPipe() { draining_ = true; }
  // Bytes written to the pipe and not yet read.
  size_t PipeHolds() const {
    int held = 0;
    return ioctl(pipe_[0], FIONREAD, &held) == 0 ? static_cast<size_t>(held) : 0;
  }
  // Shrinks the pipe to what the system allows at least (a page on Linux),
  // so that a stalled reader holds the program close behind it.
  void NarrowPipe() {
#ifdef F_SETPIPE_SZ
    fcntl(pipe_[0], F_SETPIPE_SZ, 4096);
#endif
  }
  // Widens the pipe to `bytes`, so that more of the listing waits in it.
  void WidenPipe(int bytes) {
#ifdef F_SETPIPE_SZ
    fcntl(pipe_[0], F_SETPIPE_SZ, bytes);
#else
    (void)bytes;
#endif
  }
  // Reads the pipe to its end as a slow reader does: `piece` bytes, then a
  // pause of `pauseMs`, and again. False when it has not ended within `ms`.
  bool ReadPipeSlowly(size_t piece, int pauseMs, int ms = kHangMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    std::vector<char> buffer(piece);
    while (Clock::now() < end) {
      pollfd p{pipe_[0], POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      const ssize_t got = read(pipe_[0], buffer.data(), buffer.size());
      if (got <= 0) return true;
      piped_.append(buffer.data(), static_cast<size_t>(got));
      poll(nullptr, 0, pauseMs);
    }
    return false;
  }
  // Types `keys` on the terminal, as its user would.
  void Type(std::string_view keys) {
    if (write(master_, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) {
      ADD_FAILURE() << "the terminal took no keys";
    }
  }
  const std::string& piped() const {
    return piped_;
  }
  pid_t pid() const {
    return pid_;
  }
  void Signal(int sig) {
    kill(pid_, sig);
  }
  void CloseReader() {
    if (pipe_[0] >= 0) close(pipe_[0]);
    pipe_[0] = -1;
  }
  // Waits until the process has stopped; false when it has not within `ms`.
  bool WaitStopped(int ms = kHangMs) {
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
  int Finish(int ms = kHangMs) {
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
  const std::string& terminal() const {
    return terminal_;
  }
  std::string out() const {
    return Read(outPath_);
  }
  std::string err() const {
    return Read(errPath_);
  }

 private:
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // Reads what the terminal (and the pipe, once drained) received within
  // `ms`; whether anything came.
  bool Pump(int ms) {
    pollfd p[2] = {{master_, POLLIN, 0}, {draining_ ? pipe_[0] : -1, POLLIN, 0}};
    if (poll(p, 2, ms) <= 0) return false;
    bool any = false;
    char buffer[4096];
    if (p[0].revents != 0) {
      const ssize_t got = read(master_, buffer, sizeof buffer);
      if (got > 0) terminal_.append(buffer, static_cast<size_t>(got));
      any = got > 0;
    }
    if (p[1].revents != 0) {
      const ssize_t got = read(pipe_[0], buffer, sizeof buffer);
      if (got > 0) piped_.append(buffer, static_cast<size_t>(got));
      any = any || got > 0;
    }
    return any;
  }

  pid_t pid_ = -1;
  int master_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  int pipe_[2] = {-1, -1};
  std::string outPath_;
  std::string errPath_;
  std::string terminal_;
  std::string piped_;
  bool draining_ = false;
  bool ended_ = false;
};

// How many drawings of the line `text` holds: each begins with its counts
// of folders and entries ("\r9036 folders 114k entries"), at any width.
size_t CountDrawings(const std::string& text) {
  static const std::regex kCounts(R"(\r[0-9.]+[kMG]? folders? [0-9.]+[kMG]? entr)");
  return static_cast<size_t>(
      std::distance(std::sregex_iterator(text.begin(), text.end(), kCounts), {}));
}

bool Drawn(const std::string& terminal) {
  return CountDrawings(terminal) > 0;
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

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Drawn more than once, in place, and with counts at least twice.
bool DrawnThrice(const std::string& terminal) {
  const std::vector<std::string> drawings = Drawings(terminal);
  size_t withCounts = 0;
  for (const std::string& d : drawings) withCounts += CountDrawings("\r" + d);
  return drawings.size() >= 3 && withCounts >= 2;
}

// Whether process `pid` has used a second of processor time, or has ended:
// by then a line drawn every quarter of a second would have been drawn
// several times, however busy the machine.
bool Worked(pid_t pid) {
#ifdef __linux__
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t after = text.rfind(')');
  if (after == std::string::npos) return true;
  std::istringstream fields(text.substr(after + 2));
  std::string state;
  fields >> state;
  if (state == "Z" || state == "X") return true;
  std::string skip;
  for (int i = 0; i < 10; ++i) fields >> skip;  // ppid .. cmajflt
  long user = 0, system = 0;
  fields >> user >> system;
  return user + system >= sysconf(_SC_CLK_TCK);
#else
  // Elsewhere there is no such count: the run's beginning must do.
  (void)pid;
  return true;
#endif
}

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
      // A character device that is no terminal: nobody else draws there.
      {"listing to /dev/null", Out::kDevNull, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Child child({kLongWalk, c.out, c.errOnTerminal, 120, nullptr, "1"});
    // Where a line is expected, until it has been drawn three times, the
    // last two with counts (or the walk is done); elsewhere, until the
    // program has worked long enough to have drawn it as often.
    const pid_t pid = child.pid();
    const bool gated =
        c.lineExpected
            ? child.ReadUntil([pid](const std::string& t) { return DrawnThrice(t) || Worked(pid); })
            : child.WaitUntil([&child] {
                const bool begun =
                    child.terminal().find("Quorrex ") != std::string::npos || !child.out().empty();
                return begun && Worked(child.pid());
              });
    ASSERT_TRUE(gated) << child.terminal();
    child.Signal(SIGINT);
    const int code = child.Finish();
    // The listing never holds the line.
    EXPECT_EQ(CountDrawings(child.out()), 0u);
    EXPECT_EQ(CountDrawings(child.err()), 0u);
    if (!c.lineExpected) {
      EXPECT_EQ(CountDrawings(child.terminal()), 0u) << child.terminal();
      continue;
    }
    // A walk of the whole system that ended before the interrupt may have
    // ended before a drawing, too.
    if (code == 0) {
      std::printf("%s: the whole system was walked before the interrupt\n", c.name);
      continue;
    }
    EXPECT_EQ(code, 3);
    if (c.out == Out::kFile) {
      EXPECT_TRUE(child.out().find("\nsummary\n") != std::string::npos);
    }
    // Drawn more than once, each time in place: from the start of the line,
    // never past the terminal's width, and the cursor back at the start.
    for (const std::string& d : Drawings(child.terminal())) {
      EXPECT_LT(Columns(d), 120u) << d;
      EXPECT_EQ(d.find('\n'), std::string::npos) << d;
    }
    EXPECT_TRUE(EndsErased(child.terminal(), "")) << child.terminal();
  }
}

TEST(StatusLine, ARefusedThreadLeavesNoLineAndNoCrash) {
  if (kSanitized) GTEST_SKIP() << "a sanitizer's runtime reserves more than the limit allows";
  // At work long enough to have drawn the line several times, had it a
  // thread, or done.
  Start start{kLongWalk, Out::kFile};
  start.noThreads = true;
  start.workers = "1";
  Child child(start);
  ASSERT_TRUE(child.WaitUntil([&child] { return Worked(child.pid()); })) << child.terminal();
  child.Signal(SIGINT);
  // Without its signal thread the run ends as any program does on SIGINT.
  const int code = child.Finish();
  EXPECT_TRUE(code == 128 + SIGINT || code == 0) << code;
  EXPECT_EQ(CountDrawings(child.terminal()), 0u) << child.terminal();
}

TEST(StatusLine, NeverDrawnBesideAPipeWhoseReaderMayDrawTooAndAReaderThatLeavesEndsIt) {
  TempFolder root;
  AddLinks(root, "d", 2500);
  // The listing fills the program's buffer and then a pipe nobody reads: the
  // walk is under way and held there; then the reader goes away, as a pager
  // that was quit. (Whether the line would be drawn is the logic's test.)
  Child child({{root.path(), "-s"}, Out::kStalledPipe});
  ASSERT_TRUE(child.WaitUntil([&child] { return child.PipeHolds() > 0; })) << child.terminal();
  child.CloseReader();
  EXPECT_EQ(child.Finish(), 4);
  // Not a drawing, nor a word about the closed pipe.
  EXPECT_EQ(child.terminal(), "") << child.terminal();
}

// Whether `piped` holds only whole lines of a run over AddLinks(root, "d")
// stopped by SIGINT; the first line that is not, in `bad`.
bool WholeLines(const std::string& piped, const TempFolder& root, bool records, std::string& bad) {
  const std::regex text("|\r|Quorrex [0-9.]+|reparse point \\(symlink\\) " + root.At("d") +
                        "/a-link-with-a-long-name-[0-9]{4}| -> t{60}|SIGINT received -> abort|"
                        "summary|(\\* |  \\+ |    - )[0-9]+ [a-z ]+:?");
  const std::regex record("\\{\"type\":\"[a-z_]+\".*\\}");
  if (!piped.empty() && piped.back() != '\n') {
    bad = piped.substr(piped.rfind('\n') + 1);
    return false;
  }
  std::stringstream in(piped);
  // In text a link's record is two lines: its path, then its target.
  bool targetDue = false;
  for (std::string line; std::getline(in, line);) {
    const bool target = line.rfind(" -> ", 0) == 0;
    if (!std::regex_match(line, records ? record : text) || (!records && target != targetDue)) {
      bad = line;
      return false;
    }
    targetDue = line.rfind("reparse point", 0) == 0;
  }
  return true;
}

// After SIGINT a reader that goes on reading, however slowly, gets the
// whole output: the listing, the signal's message, the summary, the last
// record. One that stops reading gets whole lines and nothing after them,
// and the run ends as stopped.
TEST(InterruptedOutput, ASlowReaderGetsItAllAndAStoppedOneWholeLines) {
  TempFolder root;
  AddLinks(root, "d", 4000);
  struct Case {
    const char* name;
    const char* format;
    const char* workers;
    bool readerStops;
  };
  const Case cases[] = {
      {"text, one worker, slow reader", "text", "1", false},
      {"text, four workers, slow reader", "text", "4", false},
      {"json, four workers, slow reader", "json", "4", false},
      {"text, four workers, reader stops", "text", "4", true},
      {"json, one worker, reader stops", "json", "1", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start start{{root.path(), "-s"}, Out::kStalledPipe, false};
    start.format = c.format;
    start.workers = c.workers;
    Child child(start);
    // The listing waits in a pipe of 256 KiB and the program's buffer: more
    // than the reader below takes in the half second a blocked write waits
    // after the signal.
    child.WidenPipe(256 * 1024);
    ASSERT_TRUE(child.WaitUntil([&child] { return child.PipeHolds() >= 200 * 1024; }));
    child.Signal(SIGINT);
    if (c.readerStops) {
      EXPECT_EQ(child.Finish(), 3);
      EXPECT_TRUE(child.ReadPipeSlowly(65536, 0));
    } else {
      EXPECT_TRUE(child.ReadPipeSlowly(4096, 10));
      EXPECT_EQ(child.Finish(), 3);
    }
    const std::string& piped = child.piped();
    EXPECT_GE(piped.size(), 200u * 1024);
    std::string bad;
    EXPECT_TRUE(WholeLines(piped, root, std::string_view(c.format) == "json", bad))
        << "cut line: " << bad;
    const size_t last = piped.rfind('\n', piped.size() - 2);
    const std::string lastLine = piped.substr(last + 1);
    if (c.readerStops) {
      EXPECT_EQ(piped.find("summary"), std::string::npos);
    } else if (std::string_view(c.format) == "json") {
      EXPECT_EQ(lastLine.rfind("{\"type\":\"end\",\"exit_code\":3,\"reason\":\"stopped\"", 0), 0u)
          << lastLine;
    } else {
      EXPECT_EQ(lastLine, "* 0 hard link groups\n");
      EXPECT_NE(piped.find("\nSIGINT received -> abort\n"), std::string::npos);
    }
    EXPECT_EQ(child.err(), "");
  }
}

// A terminal stopped with Ctrl+S takes no more of the status line: the line
// neither holds the interrupt nor the exit, which cannot erase it then.
TEST(StatusLine, ATerminalStoppedWithCtrlSHoldsNeitherTheInterruptNorTheExit) {
  Child child({kLongWalk, Out::kFile});
  ASSERT_TRUE(child.ReadUntil(Drawn)) << child.terminal();
  child.Type("\x13");  // Ctrl+S
  child.Signal(SIGINT);
  const int code = child.Finish(30000);
  child.Type("\x11");  // Ctrl+Q
  EXPECT_EQ(code, 3);
  const std::string out = child.out();
  EXPECT_NE(out.find("\nSIGINT received -> abort\n"), std::string::npos);
  EXPECT_NE(out.find("* 0 hard link groups\n"), std::string::npos);
}

const std::string kHostile = "x\x1b]2;PWNED\x07\x1b[41m";

TEST(TerminalNames, NothingButAQuestionMarkReachesTheTerminalForAControlCharacter) {
  TempFolder root;
  // The whole system walked through a link of that name: every folder the
  // line names holds it, for as long as the walk lasts.
  ASSERT_TRUE(root.Link(kHostile, "/"));
  Child child({{root.At(kHostile) + "/*.none", "-s"}, Out::kFile, true, 120, nullptr, "1"});
  const pid_t pid = child.pid();
  EXPECT_TRUE(child.ReadUntil([pid](const std::string& t) {
    return t.find("PWNED") != std::string::npos || Worked(pid);
  })) << child.terminal();
  child.Signal(SIGINT);
  const int code = child.Finish();
  if (code == 0 && child.terminal().find("PWNED") == std::string::npos) {
    GTEST_SKIP() << "the whole system was walked before the line was drawn";
  }
  EXPECT_NE(child.terminal().find("/x?]2;PWNED??"), std::string::npos) << child.terminal();
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
      {"exit 3: interrupted", kLongWalk, Out::kFile, [](Child& c) { c.Signal(SIGINT); }, 3, ""},
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
    if (!child.ReadUntil(Drawn)) {
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
  ASSERT_TRUE(child.ReadUntil(Drawn)) << child.terminal();
  child.Signal(SIGTSTP);
  ASSERT_TRUE(child.WaitStopped()) << "not stopped";
  EXPECT_TRUE(EndsErased(child.terminal(), "")) << child.terminal();
  const size_t stoppedAt = child.terminal().size();
  child.Signal(SIGCONT);
  EXPECT_TRUE(child.ReadUntil([stoppedAt](const std::string& t) {
    return Drawn(t.substr(stoppedAt));
  })) << "not drawn again";
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
    const pid_t pid = walk.pid();
    EXPECT_TRUE(walk.ReadUntil([pid](const std::string& t) { return Drawn(t) || Worked(pid); }))
        << walk.terminal();
    walk.Signal(SIGINT);
    walk.Finish();
    for (const std::string& d : Drawings(walk.terminal())) EXPECT_LT(Columns(d), c.width) << d;
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
  // Eight folders of 100 symbolic links and 100 files of two names each:
  // 800 reports, then 800 groups, each far more than the pipe and the
  // program's buffer hold.
  TempFolder root;
  for (int f = 0; f < 8; ++f) {
    const std::string folder = Numbered("d", f);
    ASSERT_TRUE(root.Folder(folder));
    for (int i = 0; i < 100; ++i) {
      ASSERT_TRUE(root.Link(folder + "/" + Numbered("l", i), "target"));
      const std::string file = root.At(folder + "/" + Numbered("f", i));
      std::ofstream(file).put('x');
      ASSERT_EQ(link(file.c_str(), (file + "-2").c_str()), 0);
    }
  }
  const std::vector<std::string> args{root.path(), "-s"};
  // The whole listing, once to a terminal (line by line, as printed) and
  // once to a pipe (in buffers), uninterrupted: every line an interrupted
  // run may show, and where its parts begin.
  const auto listing = [&](Out out) {
    Child child({args, out, false, 120, nullptr, "8"});
    child.DrainPipe();
    EXPECT_EQ(child.Finish(), 0);
    return out == Out::kTerminal ? child.terminal() : child.piped();
  };
  const std::string onTerminal = listing(Out::kTerminal);
  const std::string inPipe = listing(Out::kStalledPipe);
  const std::vector<std::string> wholeLines = Lines(inPipe);
  const std::set<std::string> lines(wholeLines.begin(), wholeLines.end());
  ASSERT_GT(lines.size(), 2400u) << inPipe;
  // Points in the listing, as offsets into its text.
  const auto middleOfReport = [](const std::string& text, int n) {
    size_t at = 0;
    for (int i = 0; i < n && at != std::string::npos; ++i) at = text.find("reparse point", at + 1);
    return at == std::string::npos ? text.size() : at + 10;
  };
  const auto firstGroup = [](const std::string& text) {
    const size_t at = text.find("group of ");
    return at == std::string::npos ? text.size() : at + 4;
  };
  struct Case {
    const char* name;
    Out out;
    size_t readTo;  // the test reads this far, then stops reading and signals
  };
  const Case cases[] = {
      // Line by line: signalled as soon as the banner is shown.
      {"on a terminal, before the first line", Out::kTerminal, onTerminal.find('\n') + 1},
      {"on a terminal, within a report", Out::kTerminal, middleOfReport(onTerminal, 400)},
      {"on a terminal, within the group report", Out::kTerminal, firstGroup(onTerminal)},
      // In buffers: the program stops where the pipe and its buffer are full.
      {"to a pipe, as the first buffer comes", Out::kStalledPipe, 1},
      {"to a pipe, within a report", Out::kStalledPipe, middleOfReport(inPipe, 400)},
      {"to a pipe, within the group report", Out::kStalledPipe, firstGroup(inPipe)},
      {"to a pipe, as the summary goes out", Out::kStalledPipe,
       inPipe.size() > 3 * 4096 ? inPipe.size() - 3 * 4096 : 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (int run = 0; run < 3; ++run) {
      Child child({args, c.out, false, 120, nullptr, "8"});
      if (c.out == Out::kTerminal) {
        // The terminal is read until the point; it buffers some more.
        ASSERT_TRUE(child.ReadUntil([&c](const std::string& t) { return t.size() >= c.readTo; }))
            << child.terminal();
      } else {
        child.NarrowPipe();
        ASSERT_TRUE(child.ReadPipeTo(c.readTo)) << child.piped();
      }
      child.Signal(SIGINT);
      child.DrainPipe();
      // Its output had begun: it takes the signal, or it had ended.
      const int code = child.Finish();
      ASSERT_TRUE(code == 0 || code == 3) << code;
      const std::string& out = c.out == Out::kTerminal ? child.terminal() : child.piped();
      int messages = 0;
      for (std::string line : Lines(out)) {
        // A terminal's path line starts with a carriage return.
        if (!line.empty() && line.front() == '\r') line.erase(0, 1);
        if (line == "SIGINT received -> abort") {
          ++messages;
          continue;
        }
        // A line of an interrupted run's summary carries other counts.
        const bool whole = line.empty() || lines.count(line) != 0 || line.rfind("* ", 0) == 0 ||
                           line.rfind("  ", 0) == 0;
        ASSERT_TRUE(whole) << "run " << run << ": '" << line << "' in\n" << out;
      }
      EXPECT_LE(messages, 1) << out;
      if (code == 3) {
        EXPECT_EQ(messages, 1) << out;
      }
    }
  }
}

}  // namespace
}  // namespace quorrex::testing
