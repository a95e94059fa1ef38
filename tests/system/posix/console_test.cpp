// Standard output on a terminal and on a pipe, and signals as control events.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/posix/posix_platform.h"

namespace quorrex {
namespace {

// Puts `fd` in place of standard output for the test's lifetime.
class StdoutSwap {
 public:
  explicit StdoutSwap(int fd) : saved_(dup(STDOUT_FILENO)) {
    std::fflush(stdout);
    dup2(fd, STDOUT_FILENO);
  }
  ~StdoutSwap() {
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

TEST(PosixConsole, TerminalWidthAndTrackedColumn) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  struct winsize size {};
  size.ws_col = 77;
  size.ws_row = 24;
  ASSERT_EQ(ioctl(terminal, TIOCSWINSZ, &size), 0);
  {
    PosixPlatform platform;
    StdoutSwap swap(terminal);
    EXPECT_TRUE(platform.StdoutIsConsole());
    uint32_t written = 0, error = 0;
    ASSERT_TRUE(platform.WriteStdout("first line\nab\xc3\xa9", written, error));
    EXPECT_EQ(written, 15u);
    ScreenInfo info = platform.GetScreenInfo();
    EXPECT_EQ(info.width, 77);
    EXPECT_EQ(info.cursorColumn, 3);  // "abé": three characters, four bytes

    ASSERT_TRUE(platform.WriteConsoleText(u"x\U0001F600\xDCFF", written, error));
    EXPECT_EQ(written, 4u);                               // UTF-16 units
    EXPECT_EQ(platform.GetScreenInfo().cursorColumn, 7);  // the emoji takes two columns
    ASSERT_TRUE(platform.WriteConsoleText(u"progress\r", written, error));
    EXPECT_EQ(platform.GetScreenInfo().cursorColumn, 0);
  }
  close(terminal);
  close(master);
}

TEST(PosixConsole, PipedOutputKeepsBytesAndSurvivesAClosedReader) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  PosixPlatform platform;
  {
    StdoutSwap swap(pipeFds[1]);
    EXPECT_FALSE(platform.StdoutIsConsole());
    uint32_t written = 0, error = 0;
    ASSERT_TRUE(platform.WriteConsoleText(u"caf\xDCE9 \x00E9\n", written, error));
    EXPECT_EQ(platform.GetScreenInfo().width, 0);
    EXPECT_EQ(platform.GetScreenInfo().cursorColumn, 0);
    char got[16] = {};
    ASSERT_EQ(read(pipeFds[0], got, sizeof got), 8);
    EXPECT_EQ(std::string(got, 8), "caf\xe9 \xc3\xa9\n");  // the lone byte comes back as it was

    close(pipeFds[0]);  // nobody reads any more: an error, not the end of the process
    EXPECT_FALSE(platform.WriteStdout("more", written, error));
    EXPECT_EQ(error, win_error::kPosixErrnoBase | EPIPE);
    EXPECT_FALSE(platform.WriteConsoleText(u"more", written, error));
    EXPECT_EQ(error, win_error::kPosixErrnoBase | EPIPE);
  }
  close(pipeFds[1]);

  std::string oem;
  EXPECT_TRUE(platform.WideToOem(u"\xDCFFx", oem));
  EXPECT_EQ(oem, "\xffx");
  EXPECT_FALSE(platform.WideToOem(u"", oem));
  EXPECT_EQ(platform.NarrowToWide("\xff\xc3\xa9"), u"\xDCFF\x00E9");
  EXPECT_EQ(platform.WideToNarrow(u"\xDCFF\x00E9"), "\xff\xc3\xa9");
}

// Runs `body` in a child process and gives its wait status: signal masks and
// the waiting thread then stay out of the test program.
int InChild(int (*body)()) {
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) _exit(body());
  int status = 0;
  waitpid(child, &status, 0);
  return status;
}

bool WaitFor(const std::atomic<int>& value, int wanted) {
  for (int i = 0; i < 400 && value.load() != wanted; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return value.load() == wanted;
}

TEST(PosixConsole, SignalsArriveAsControlEvents) {
  const int status = InChild([]() -> int {
    static std::atomic<int> calls{0};
    static std::atomic<uint32_t> events[4];
    PosixPlatform platform;
    platform.SetCtrlHandler([](uint32_t event) { events[calls.fetch_add(1)] = event; });
    const int sent[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};
    const uint32_t expected[] = {kCtrlCEvent, kCtrlBreakEvent, kCtrlCloseEvent, kCtrlShutdownEvent};
    for (int i = 0; i < 4; ++i) {
      kill(getpid(), sent[i]);
      if (!WaitFor(calls, i + 1)) return 10 + i;
      if (events[i] != expected[i]) return 20 + i;
    }
    // Without a handler a signal does what it does by default.
    platform.SetCtrlHandler({});
    kill(getpid(), SIGTERM);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    return 30;
  });
  ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

}  // namespace
}  // namespace quorrex
