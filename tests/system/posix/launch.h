// The program run as a child process, as a user or a script runs it: where
// its standard output goes, a signal on the way, limits set in the child.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
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

// As `signalAfterMs`: the signal is sent once the child's standard output
// has received its first bytes (a pipe or a file), that is once the program
// has set up its handlers and begun its run.
inline constexpr int kWhenOutputBegins = -1;

// Runs the program on `args` with standard output as `out`, standard input
// empty and standard error to a file; sends `sig` after `signalAfterMs`, or
// when its output begins (kWhenOutputBegins), when given; `inChild` runs in
// the child before the program starts (limits, the environment). Gives up
// (SIGKILL) after `seconds`: that limit only turns a hang into a failure.
inline Ended Launch(const std::vector<std::string>& args, Out out, int sig = 0,
                    int signalAfterMs = 0, const std::function<void()>& inChild = {},
                    int seconds = 20) {
  int outPipe[2];
  if (pipe(outPipe) != 0) return {};
  // The child holds the write end of `gone` until it ends: the end of the
  // file on the read end is its exit.
  int gone[2];
  if (pipe(gone) != 0) return {};
  char outPath[] = "/tmp/quorrex-out-XXXXXX";
  char errPath[] = "/tmp/quorrex-err-XXXXXX";
  const int outFile = mkstemp(outPath);
  const int errFile = mkstemp(errPath);
  const pid_t child = fork();
  if (child == 0) {
    close(gone[0]);
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(errFile, 2);
    if (out == Out::kFile) dup2(outFile, 1);
    if (out == Out::kFull) dup2(open("/dev/full", O_WRONLY), 1);
    if (out == Out::kClosed) close(1);
    if (out == Out::kClosedPipe || out == Out::kStalledPipe) dup2(outPipe[1], 1);
    // The program starts with its three standard streams and the write end
    // of `gone` (as descriptor 3), as from a shell: nothing else of this
    // process's counts against a limit on open files.
    dup2(gone[1], 3);
    close_range(4, ~0U, 0);
    if (inChild) inChild();
    std::vector<char*> argv{const_cast<char*>(QUORREX_PROGRAM)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(QUORREX_PROGRAM, argv.data());
    _exit(127);
  }
  close(gone[1]);
  close(outPipe[1]);
  if (out != Out::kStalledPipe) close(outPipe[0]);  // nobody reads
  Ended ended;
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto giveUp = start + std::chrono::seconds(seconds);
  auto signalled = start;
  bool sent = false;
  const bool onOutput = signalAfterMs == kWhenOutputBegins;
  // Whether the child's standard output has received anything yet.
  const auto outputBegun = [&] {
    if (out == Out::kStalledPipe) {
      pollfd ready{outPipe[0], POLLIN, 0};
      return poll(&ready, 1, 0) > 0;
    }
    struct stat file {};
    return out == Out::kFile && fstat(outFile, &file) == 0 && file.st_size > 0;
  };
  for (;;) {
    const auto now = Clock::now();
    if (sig != 0 && !sent &&
        (onOutput ? outputBegun() : now - start >= std::chrono::milliseconds(signalAfterMs))) {
      kill(child, sig);
      sent = true;
      signalled = now;
    }
    if (now > giveUp) {
      kill(child, SIGKILL);
      ended.timedOut = true;
      break;
    }
    // Waits for the child's end; while a signal is due, a file's growth is
    // looked at every 10 ms (a file gives no event).
    int waitMs = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - now).count() + 1);
    if (sig != 0 && !sent) {
      waitMs = onOutput
                   ? 10
                   : static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          start + std::chrono::milliseconds(signalAfterMs) - now)
                                          .count() +
                                      1);
    }
    pollfd events[2] = {{gone[0], POLLIN, 0}, {outPipe[0], POLLIN, 0}};
    const bool watchPipe = sig != 0 && !sent && onOutput && out == Out::kStalledPipe;
    if (poll(events, watchPipe ? 2 : 1, waitMs) > 0 && events[0].revents != 0) break;
  }
  close(gone[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (sent) {
    ended.msAfterSignal = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - signalled).count());
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
