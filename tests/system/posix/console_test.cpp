// Standard output on a terminal and on a pipe, and signals as control events.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <vector>

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

TEST(PosixConsole, SignalsArriveAsControlEvents) {
  const int status = InChild([]() -> int {
    // Filled by the handler on the platform's signal thread.
    static std::mutex lock;
    static std::condition_variable called;
    static std::vector<uint32_t> events;
    PosixPlatform platform;
    platform.SetCtrlHandler([](uint32_t event) {
      const std::lock_guard<std::mutex> hold(lock);
      events.push_back(event);
      called.notify_all();
    });
    const int sent[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};
    const uint32_t expected[] = {kCtrlCEvent, kCtrlBreakEvent, kCtrlCloseEvent, kCtrlShutdownEvent};
    for (size_t i = 0; i < 4; ++i) {
      kill(getpid(), sent[i]);
      std::unique_lock<std::mutex> hold(lock);
      // The limit only turns a lost signal into a failure.
      if (!called.wait_for(hold, std::chrono::seconds(60), [i] { return events.size() > i; })) {
        return 10 + static_cast<int>(i);
      }
      if (events[i] != expected[i]) return 20 + static_cast<int>(i);
    }
    // Without a handler a signal does what it does by default: it ends the
    // process here. Should it not, the alarm ends it with another signal.
    platform.SetCtrlHandler({});
    alarm(60);
    kill(getpid(), SIGTERM);
    for (;;) pause();
  });
  ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST(PosixConsole, StandardOutputIsAPipeOnlyWhereAnotherProgramReadsIt) {
  PosixPlatform platform;
  int fds[2] = {-1, -1};
  ASSERT_EQ(pipe(fds), 0);
  int sockets[2] = {-1, -1};
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
  char path[] = "/tmp/quorrex-stdout-XXXXXX";
  const int file = mkstemp(path);
  ASSERT_GE(file, 0);
  const int devNull = open("/dev/null", O_WRONLY);
  const struct {
    const char* name;
    int fd;
    bool pipe;
  } cases[] = {
      {"a pipe", fds[1], true},
      {"a socket", sockets[0], true},
      {"a file", file, false},
      {"/dev/null", devNull, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const StdoutSwap swap(c.fd);
    EXPECT_EQ(platform.StdoutIsPipe(), c.pipe);
    EXPECT_FALSE(platform.StdoutIsConsole());
  }
  for (const int fd : {fds[0], fds[1], sockets[0], sockets[1], file, devNull}) close(fd);
  unlink(path);
}

}  // namespace
}  // namespace quorrex
