// The program run as a child process, as a user or a script runs it: where
// its standard output goes, a signal on the way, limits set in the child.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace quorrex::testing {

enum class Out { kFile, kFull, kClosed, kClosedPipe, kStalledPipe };

struct Ended {
  int code = -1;    // exit code, or 128 + signal
  std::string out;  // standard output, when it went to a file
  std::string err;  // standard error
  long msAfterSignal = -1;
  bool timedOut = false;  // killed after the time it was given
};

inline std::string ReadAll(int fd) {
  std::string text;
  char chunk[4096];
  ssize_t got = 0;
  while ((got = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(got));
  return text;
}

// Runs the program on `args` with standard output as `out`, standard input
// empty and standard error to a file; sends `sig` after `signalAfterMs` when
// given; `inChild` runs in the child before the program starts (limits, the
// environment). Gives up (SIGKILL) after `seconds`.
inline Ended Launch(const std::vector<std::string>& args, Out out, int sig = 0,
                    int signalAfterMs = 0, const std::function<void()>& inChild = {},
                    int seconds = 20) {
  int outPipe[2];
  if (pipe(outPipe) != 0) return {};
  char outPath[] = "/tmp/quorrex-out-XXXXXX";
  char errPath[] = "/tmp/quorrex-err-XXXXXX";
  const int outFile = mkstemp(outPath);
  const int errFile = mkstemp(errPath);
  const pid_t child = fork();
  if (child == 0) {
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(errFile, 2);
    if (out == Out::kFile) dup2(outFile, 1);
    if (out == Out::kFull) dup2(open("/dev/full", O_WRONLY), 1);
    if (out == Out::kClosed) close(1);
    if (out == Out::kClosedPipe || out == Out::kStalledPipe) dup2(outPipe[1], 1);
    close(outPipe[0]);
    if (inChild) inChild();
    std::vector<char*> argv{const_cast<char*>(QUORREX_PROGRAM)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(QUORREX_PROGRAM, argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  if (out != Out::kStalledPipe) close(outPipe[0]);  // nobody reads
  Ended ended;
  const auto start = std::chrono::steady_clock::now();
  auto signalled = start;
  bool sent = false;
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    const auto now = std::chrono::steady_clock::now();
    if (sig != 0 && !sent && now - start >= std::chrono::milliseconds(signalAfterMs)) {
      kill(child, sig);
      sent = true;
      signalled = now;
    }
    if (now - start > std::chrono::seconds(seconds)) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      ended.timedOut = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (sent) {
    ended.msAfterSignal = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                std::chrono::steady_clock::now() - signalled)
                                                .count());
  }
  if (out == Out::kStalledPipe) close(outPipe[0]);
  lseek(errFile, 0, SEEK_SET);
  ended.err = ReadAll(errFile);
  close(errFile);
  unlink(errPath);
  lseek(outFile, 0, SEEK_SET);
  ended.out = ReadAll(outFile);
  close(outFile);
  unlink(outPath);
  ended.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return ended;
}

}  // namespace quorrex::testing
