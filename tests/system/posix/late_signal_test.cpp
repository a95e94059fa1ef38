// Signals near the end of a run: a run that says it aborted ends with 3, and
// once its summary has begun a signal is ignored.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "temp_folder.h"

namespace quorrex {
namespace {

using testing::TempFolder;

struct Ended {
  int code = -1;
  std::string out;
};

// Runs the program on `folder` with -s, its output into a pipe read here;
// `sig` is sent as soon as the output holds `gate`.
Ended SignalAt(const std::string& folder, const std::string& gate, int sig) {
  int out[2];
  if (pipe(out) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    execl(QUORREX_PROGRAM, QUORREX_PROGRAM, folder.c_str(), "-s", nullptr);
    _exit(126);
  }
  close(out[1]);
  Ended ended;
  bool sent = false;
  char chunk[4096];
  for (ssize_t got = 0; (got = read(out[0], chunk, sizeof chunk)) > 0;) {
    ended.out.append(chunk, static_cast<size_t>(got));
    if (!sent && ended.out.find(gate) != std::string::npos) {
      kill(child, sig);
      sent = true;
    }
  }
  close(out[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ended.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return ended;
}

TEST(PosixLateSignals, NoAbortAfterTheSummaryBegins) {
  TempFolder root;
  ASSERT_TRUE(root.Folder("a") && root.Link("a/l1", "t") && root.Link("l2", "a"));
  const struct {
    const char* gate;
    bool ignored;  // the gate is past the summary's start: always ignored
  } gates[] = {
      {"Quorrex", false},
      {"reparse point (symlink)", false},
      {"\nsummary\n", true},
      {"hard link groups\n", true},
  };
  for (const int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
    for (const auto& g : gates) {
      SCOPED_TRACE(std::to_string(sig) + " at " + g.gate);
      // Runs this short meet the signal on every side of the summary.
      for (int round = 0; round < 15; ++round) {
        const Ended ended = SignalAt(root.path(), g.gate, sig);
        const bool aborted = ended.out.find("received -> abort") != std::string::npos;
        EXPECT_EQ(ended.code, aborted ? 3 : 0) << ended.out;
        if (g.ignored) {
          EXPECT_FALSE(aborted) << ended.out;
        }
        EXPECT_NE(ended.out.find("hard link groups\n"), std::string::npos) << ended.out;
      }
    }
  }
}

}  // namespace
}  // namespace quorrex
