// The status line on a real terminal: the program runs with its standard
// error (and maybe its standard output) on a pseudo-terminal, and what
// reached the terminal and the file is read back.
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
#include <sstream>
#include <string>
#include <vector>

namespace {

enum class Stream { kTerminal, kFile };

struct Case {
  const char* name;
  Stream out;
  Stream err;
  bool lineExpected;
};

struct Seen {
  int code = -1;
  std::string terminal;  // everything written to the terminal
  std::string out;       // standard output, when it went to a file
  std::string err;       // standard error, when it went to a file
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs the program on the whole system (a walk that outlasts several
// drawings) and stops it with SIGINT after `ms` milliseconds.
// With `noThreads`, every thread the program asks for is refused: each would
// need a stack larger than the address space it is allowed.
Seen RunOnTerminal(Stream out, Stream err, int ms, bool noThreads = false) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  EXPECT_GE(master, 0);
  grantpt(master);
  unlockpt(master);
  const std::string slave = ptsname(master);
  char outPath[] = "/tmp/quorrex-progress-out-XXXXXX";
  char errPath[] = "/tmp/quorrex-progress-err-XXXXXX";
  const int outFd = mkstemp(outPath);
  const int errFd = mkstemp(errPath);

  const pid_t child = fork();
  if (child == 0) {
    setsid();
    if (noThreads) {
      const rlimit stack{rlim_t{1} << 30, rlim_t{1} << 30};
      const rlimit space{rlim_t{512} << 20, rlim_t{512} << 20};
      if (setrlimit(RLIMIT_STACK, &stack) != 0 || setrlimit(RLIMIT_AS, &space) != 0) _exit(126);
    }
    const int tty = open(slave.c_str(), O_RDWR);
    struct winsize size {};
    size.ws_col = 120;
    size.ws_row = 24;
    ioctl(tty, TIOCSWINSZ, &size);
    const int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, 0);
    dup2(out == Stream::kTerminal ? tty : outFd, 1);
    dup2(err == Stream::kTerminal ? tty : errFd, 2);
    execl(QUORREX_PROGRAM, QUORREX_PROGRAM, "/*.none", "-s", static_cast<char*>(nullptr));
    _exit(127);
  }

  Seen seen;
  const auto start = std::chrono::steady_clock::now();
  bool interrupted = false;
  int status = 0;
  char buffer[4096];
  for (;;) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 20) > 0) {
      const ssize_t got = read(master, buffer, sizeof buffer);
      if (got > 0) seen.terminal.append(buffer, static_cast<size_t>(got));
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (!interrupted && elapsed >= std::chrono::milliseconds(ms)) {
      kill(child, SIGINT);
      interrupted = true;
    }
    if (elapsed > std::chrono::seconds(30)) kill(child, SIGKILL);
    if (waitpid(child, &status, WNOHANG) == child) break;
  }
  // What the child wrote last is still in the terminal.
  for (pollfd p{master, POLLIN, 0}; poll(&p, 1, 50) > 0;) {
    const ssize_t got = read(master, buffer, sizeof buffer);
    if (got <= 0) break;
    seen.terminal.append(buffer, static_cast<size_t>(got));
  }
  close(master);
  seen.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  seen.out = ReadFile(outPath);
  seen.err = ReadFile(errPath);
  close(outFd);
  close(errFd);
  unlink(outPath);
  unlink(errPath);
  return seen;
}

size_t CountOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

TEST(ProgressLine, ShownRewrittenAndErasedOnlyWhenStandardErrorIsATerminalOfItsOwn) {
  const Case cases[] = {
      {"listing to a file, standard error on a terminal", Stream::kFile, Stream::kTerminal, true},
      {"both on the same terminal", Stream::kTerminal, Stream::kTerminal, false},
      {"standard error to a file", Stream::kFile, Stream::kFile, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Seen seen = RunOnTerminal(c.out, c.err, 1200);
    if (seen.code == 0) GTEST_SKIP() << "the whole system was walked before the interrupt";
    EXPECT_EQ(seen.code, 3);
    // The listing never holds the line.
    EXPECT_EQ(CountOf(seen.out, " entries, "), 0u);
    EXPECT_EQ(CountOf(seen.err, " entries, "), 0u);
    if (!c.lineExpected) {
      EXPECT_EQ(CountOf(seen.terminal, " entries, "), 0u) << seen.terminal;
      continue;
    }
    EXPECT_TRUE(seen.out.find("\nsummary\n") != std::string::npos);
    // Drawn more than once, each time in place: from the start of the line,
    // never past the terminal's width, and the cursor back at the start.
    std::vector<std::string> drawings;
    for (size_t at = seen.terminal.find('\r'); at != std::string::npos;) {
      const size_t end = seen.terminal.find('\r', at + 1);
      if (end == std::string::npos) break;
      drawings.push_back(seen.terminal.substr(at + 1, end - at - 1));
      at = seen.terminal.find('\r', end + 1);
    }
    ASSERT_GE(drawings.size(), 3u) << seen.terminal;
    size_t withCounts = 0;
    for (const std::string& d : drawings) {
      EXPECT_LT(d.size(), 120u) << d;
      EXPECT_EQ(d.find('\n'), std::string::npos) << d;
      if (d.find(" folders, ") != std::string::npos) ++withCounts;
    }
    EXPECT_GE(withCounts, 2u) << seen.terminal;
    // The last thing on the terminal is the erasure: blanks only.
    EXPECT_EQ(drawings.back().find_first_not_of(' '), std::string::npos) << drawings.back();
    EXPECT_FALSE(drawings.back().empty());
  }
}

TEST(ProgressLine, ARefusedThreadLeavesNoLineAndNoCrash) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's runtime reserves more address space than the limit allows";
#endif
  const Seen seen = RunOnTerminal(Stream::kFile, Stream::kTerminal, 300, true);
  // Without its signal thread the run ends as any program does on SIGINT.
  EXPECT_TRUE(seen.code == 0 || seen.code == 128 + SIGINT) << seen.code;
  EXPECT_EQ(CountOf(seen.terminal, " entries, "), 0u) << seen.terminal;
}

}  // namespace
