// An interrupt ends the run although a thread of the walk is inside a
// file-system call that never returns: a FUSE server that takes one request
// and never answers it (tests/system/posix/silent_fs.c). Standard output
// must reach its end holding the report; once the server lets go, the
// program exits as stopped.
#ifdef __linux__
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Turns a hang into a failure; no case waits for it.
constexpr auto kLimit = std::chrono::seconds(30);

struct Case {
  const char* op;  // the request the server never answers
  int workers;
  bool json;
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.op << "/" << c.workers << (c.json ? "/json" : "/text");
}

// Reads from `fd` what comes, or with `toEnd` all up to the end of the
// stream; false at the limit.
bool ReadUntil(int fd, std::string& got, Clock::time_point until, bool toEnd) {
  for (;;) {
    if (!toEnd && !got.empty()) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return false;
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[4096];
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return toEnd;  // the end of the stream
    got.append(chunk, static_cast<size_t>(n));
  }
}

// Waits for `pid` to end; its exit code, 128 + signal, or -1 at the limit.
int WaitEnd(pid_t pid, Clock::time_point until) {
  // A process descriptor tells the end as an event.
  const int ended = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      if (ended >= 0) close(ended);
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) {
      if (ended >= 0) close(ended);
      return -1;
    }
    pollfd ready{ended, POLLIN, 0};
    // Without one (a kernel before 5.3), a look every 10 ms.
    poll(ended >= 0 ? &ready : nullptr, ended >= 0 ? 1 : 0,
         ended >= 0 ? static_cast<int>(left.count()) : 10);
  }
}

// The server, its mount and the program run on it; whatever happens, the
// server is killed first (its connection is then aborted and every request
// waiting on it fails), so that the program can end, and the mount goes.
class StuckCallTest : public ::testing::TestWithParam<Case> {
 protected:
  void TearDown() override {
    if (server_ > 0) {
      kill(server_, SIGKILL);
      waitpid(server_, nullptr, 0);
    }
    if (program_ > 0) {
      kill(program_, SIGKILL);
      waitpid(program_, nullptr, 0);
    }
    if (!mountPoint_.empty()) {
      umount2(mountPoint_.c_str(), MNT_DETACH);
      rmdir(mountPoint_.c_str());
    }
    for (const int fd : {gate_, out_}) {
      if (fd >= 0) close(fd);
    }
    if (!errPath_.empty()) unlink(errPath_.c_str());
  }

  // Mounts the file system that keeps silent on `op`; false, with the reason
  // in `why`, where this system does not let it be mounted.
  bool Mount(const char* op, std::string& why) {
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
      why = "/dev/fuse is missing or not usable";
      return false;
    }
    if (geteuid() != 0) {
      why = "mounting a FUSE file system with mount(2) needs root";
      return false;
    }
    char dir[] = "/tmp/quorrex-fuse-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
      why = "no temporary folder";
      return false;
    }
    mountPoint_ = dir;
    int gate[2];
    if (pipe2(gate, O_CLOEXEC) != 0) return false;
    const pid_t server = fork();
    if (server == 0) {
      // Should this test die, the server dies with it: its connection is
      // aborted, and nothing is left held on the mount. It keeps none of
      // this process's streams (the test runner waits for their end).
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      const int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
      // The server's gate, open across the exec.
      if (gate[1] == 3) {
        fcntl(3, F_SETFD, 0);
      } else {
        dup2(gate[1], 3);
      }
#ifdef QUORREX_SILENT_FS
      execl(QUORREX_SILENT_FS, QUORREX_SILENT_FS, dir, op, "3", static_cast<char*>(nullptr));
#endif
      _exit(127);
    }
    close(gate[1]);
    gate_ = gate[0];
    server_ = server;
    std::string said;
    if (!ReadUntil(gate_, said, Clock::now() + kLimit, false) || said.empty()) {
      why = "the FUSE server did not start";
      return false;
    }
    if (said[0] != 'm') {
      why = "mounting is not permitted here (" + said.substr(1) + ")";
      return false;
    }
    gateSaid_ = said.substr(1);
    return true;
  }

  // Starts the program on the mount, standard output to a pipe read here.
  void Start(const Case& c) {
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    char errPath[] = "/tmp/quorrex-err-XXXXXX";
    const int err = mkstemp(errPath);
    ASSERT_GE(err, 0);
    errPath_ = errPath;
    const std::string workers = std::to_string(c.workers);
    const pid_t child = fork();
    if (child == 0) {
      dup2(open("/dev/null", O_RDONLY), 0);
      dup2(out[1], 1);
      dup2(err, 2);
      setenv("QUORREX_WORKERS", workers.c_str(), 1);
      setenv("QUORREX_FORMAT", c.json ? "json" : "text", 1);
      execl(QUORREX_PROGRAM, QUORREX_PROGRAM, mountPoint_.c_str(), "-s",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    close(err);
    out_ = out[0];
    program_ = child;
  }

  std::string mountPoint_;
  std::string gateSaid_;  // what the gate said after "m", read with it
  std::string errPath_;
  pid_t server_ = -1;
  pid_t program_ = -1;
  int gate_ = -1;
  int out_ = -1;
};

// The lines of `text`, each without its line end; false when the last line
// has none (the output was cut).
bool WholeLines(const std::string& text, std::vector<std::string>& lines) {
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) return false;
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return true;
}

TEST_P(StuckCallTest, InterruptWritesTheReportAndStandardOutputEnds) {
  const Case c = GetParam();
#ifndef QUORREX_SILENT_FS
  GTEST_SKIP() << "the FUSE server was not built (no <linux/fuse.h>)";
#endif
  std::string why;
  if (!Mount(c.op, why)) GTEST_SKIP() << why;
  Start(c);
  ASSERT_GT(program_, 0);
  const auto until = Clock::now() + kLimit;

  // The server has taken the request it will not answer: a thread of the
  // walk is inside that call now.
  std::string gate = gateSaid_;
  while (gate.find('h') == std::string::npos) {
    std::string more;
    ASSERT_TRUE(ReadUntil(gate_, more, until, false))
        << "the walk never made the call the server does not answer";
    gate += more;
  }
  ASSERT_EQ(kill(program_, SIGINT), 0);

  std::string out;
  ASSERT_TRUE(ReadUntil(out_, out, until, true)) << "standard output did not end; it holds:\n"
                                                 << out;
  std::vector<std::string> lines;
  ASSERT_TRUE(WholeLines(out, lines)) << out;
  ASSERT_FALSE(lines.empty());
  if (c.json) {
    for (const std::string& line : lines) {
      EXPECT_TRUE(line.size() >= 2 && line.front() == '{' && line.back() == '}') << line;
    }
    EXPECT_NE(lines.back().find("\"type\":\"end\""), std::string::npos) << out;
    EXPECT_NE(lines.back().find("\"exit_code\":3"), std::string::npos) << out;
    EXPECT_NE(lines.back().find("\"stopped_by\":\"SIGINT\""), std::string::npos) << out;
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines[lines.size() - 2].find("\"type\":\"summary\""), std::string::npos) << out;
  } else {
    EXPECT_NE(out.find("\nSIGINT received -> abort\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nsummary\n"), std::string::npos) << out;
    EXPECT_EQ(lines.back().rfind("* ", 0), 0u) << out;
    EXPECT_NE(lines.back().find("hard link group"), std::string::npos) << out;
  }
  if (c.workers == 1) {
    // The root's two links were recorded before the walk went into `sub`.
    const std::string first = mountPoint_ + "/first";
    const std::string second = mountPoint_ + "/second";
    EXPECT_NE(out.find(first), std::string::npos) << out;
    EXPECT_NE(out.find(second), std::string::npos) << out;
    EXPECT_NE(out.find(c.json ? "\"hard_link_groups\":1" : "* 1 hard link group\n"),
              std::string::npos)
        << out;
  }

  // The call ends only when the server answers or its connection is
  // aborted: the server goes, and with it the connection.
  kill(server_, SIGKILL);
  waitpid(server_, nullptr, 0);
  server_ = -1;
  const int code = WaitEnd(program_, until);
  if (code != -1) program_ = -1;
  EXPECT_EQ(code, 3);
  struct stat err {};
  ASSERT_EQ(stat(errPath_.c_str(), &err), 0);
  EXPECT_EQ(err.st_size, 0) << "standard error is not empty";
}

INSTANTIATE_TEST_SUITE_P(SilentServer, StuckCallTest,
                         ::testing::Values(Case{"readdir", 1, false}, Case{"readdir", 2, true},
                                           Case{"readdir", 8, false}, Case{"opendir", 1, true},
                                           Case{"opendir", 2, false}, Case{"opendir", 8, true},
                                           Case{"getattr", 1, false}, Case{"getattr", 2, true},
                                           Case{"getattr", 8, false}, Case{"readlink", 1, true},
                                           Case{"readlink", 2, false}, Case{"readlink", 8, true}),
                         [](const ::testing::TestParamInfo<Case>& named) {
                           return std::string(named.param.op) + "_" +
                                  std::to_string(named.param.workers) + "_workers_" +
                                  (named.param.json ? "json" : "text");
                         });

}  // namespace
#endif  // __linux__
