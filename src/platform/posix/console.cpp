// Standard output and error, text conversion and control events.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <clocale>
#include <cstdlib>
#include <cwchar>
#include <thread>

#include "platform/posix/errno_map.h"
#include "platform/posix/posix_platform.h"
#include "support/threads.h"
#include "support/utf.h"

namespace quorrex {
namespace {

// The number of UTF-16 units of `text` whose UTF-8 form fits in `bytes`.
uint32_t UnitsWithin(std::u16string_view text, size_t bytes) {
  size_t used = 0;
  size_t i = 0;
  while (i < text.size()) {
    const char16_t unit = text[i];
    size_t units = 1;
    size_t length = 0;
    if (unit < 0x80) {
      length = 1;
    } else if (unit < 0x800) {
      length = 2;
    } else if (PairAt(text, i)) {
      length = 4;
      units = 2;
    } else if (unit >= 0xDC80 && unit <= 0xDCFF) {
      length = 1;  // a byte that was not UTF-8
    } else {
      length = 3;
    }
    if (used + length > bytes) break;
    used += length;
    i += units;
  }
  return static_cast<uint32_t>(i);
}

// How long after a control event a write to standard output may wait with
// no byte taken before it is given up, so that the run can end although its
// reader has stopped reading. A reader that goes on taking bytes, however
// slowly, is written to until the output is whole.
constexpr int64_t kBlockedOutputGraceMs = 500;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// When the first control event came; 0 until one has.
std::atomic<int64_t>& StoppedAt() {
  static std::atomic<int64_t> at{0};
  return at;
}

// When standard output last took a byte.
std::atomic<int64_t>& LastMoved() {
  static std::atomic<int64_t> at{0};
  return at;
}

// Once a write has been given up, standard output takes nothing more: what
// its reader got is not followed by pieces written later.
std::atomic<bool>& GivenUp() {
  static std::atomic<bool> given{false};
  return given;
}

// Whether a write to `fd` can wait for its reader (a pipe, socket or terminal).
bool MayBlock(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISCHR(st.st_mode);
}

// Waits until `fd` takes at least PIPE_BUF bytes without blocking; ECANCELED
// once, after a control event, no byte has moved for the grace time.
int WaitWritable(int fd) {
  for (;;) {
    const int64_t stoppedAt = StoppedAt().load();
    int timeout = 100;
    if (stoppedAt != 0) {
      const int64_t giveUpAt = std::max(stoppedAt, LastMoved().load()) + kBlockedOutputGraceMs;
      const int64_t left = giveUpAt - NowMs();
      if (left <= 0) {
        struct pollfd last {};
        last.fd = fd;
        last.events = POLLOUT;
        if (poll(&last, 1, 0) > 0) return 0;
        GivenUp() = true;
        return ECANCELED;
      }
      timeout = static_cast<int>(std::min<int64_t>(left, 50));
    }
    struct pollfd entry {};
    entry.fd = fd;
    entry.events = POLLOUT;
    const int ready = poll(&entry, 1, timeout);
    if (ready > 0) return 0;  // writable, or an error the write will report
    if (ready < 0 && errno != EINTR && errno != EAGAIN) return 0;  // let the write decide
  }
}

// Control events: signals blocked in every thread and taken by one thread.
struct CtrlState {
  std::mutex lock;
  std::function<void(uint32_t)> handler;
  bool started = false;
};

CtrlState& Ctrl() {
  static auto* state = new CtrlState;  // lives as long as the waiting thread
  return *state;
}

// Whether SIGTSTP is taken: not when the program was started with it
// ignored (a caller that wants no stop), which is left as it is.
bool TakesStop() {
  static const bool takes = [] {
    struct sigaction current {};
    return sigaction(SIGTSTP, nullptr, &current) == 0 && current.sa_handler != SIG_IGN;
  }();
  return takes;
}

sigset_t CtrlSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGQUIT);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGTERM);
  if (TakesStop()) {
    sigaddset(&set, SIGTSTP);
    sigaddset(&set, SIGCONT);
  }
  return set;
}

uint32_t CtrlEventOf(int sig) {
  switch (sig) {
    case SIGINT:
      return kCtrlCEvent;
    case SIGQUIT:
      return kCtrlBreakEvent;
    case SIGHUP:
      return kCtrlCloseEvent;
    case SIGTSTP:
      return kStopEvent;
    case SIGCONT:
      return kContinueEvent;
    default:
      return kCtrlShutdownEvent;
  }
}

// What `sig` does by default, done on this thread: the other threads keep
// it blocked. Returns once the process goes on (a stop was continued, or
// the default is to ignore).
void DoDefault(int sig) {
  struct sigaction taken {};
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  sigaction(sig, &byDefault, &taken);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, sig);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  raise(sig);
  pthread_sigmask(SIG_BLOCK, &one, nullptr);
  sigaction(sig, &taken, nullptr);
}

void WaitForSignals() {
  const sigset_t set = CtrlSignals();
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    std::function<void(uint32_t)> handler;
    {
      std::lock_guard<std::mutex> hold(Ctrl().lock);
      handler = Ctrl().handler;
    }
    if (!handler) {
      // No handler registered: the signal does what it does by default.
      DoDefault(sig);
      continue;
    }
    const uint32_t event = CtrlEventOf(sig);
    if (event == kStopEvent) {
      // The handler clears the terminal's line first; then the process
      // stops as it would have, until SIGCONT (taken here next) continues it.
      handler(event);
      DoDefault(sig);
      continue;
    }
    if (event != kContinueEvent && StoppedAt().load() == 0) {
      // From now on the run must end soon once its reader stops reading.
      StoppedAt() = NowMs();
    }
    handler(event);
  }
}

// The columns of the terminal on `fd`; 0 when it is no terminal. One that
// reports none (its size was never set) is as wide as COLUMNS says, when
// that is a number, else 80 columns wide.
int16_t TerminalWidth(int fd) {
  struct winsize size {};
  if (ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;
  if (size.ws_col != 0) return static_cast<int16_t>(std::min<int>(size.ws_col, INT16_MAX));
  constexpr int16_t kCustomaryWidth = 80;
  const char* text = std::getenv("COLUMNS");
  if (text == nullptr || *text == '\0') return kCustomaryWidth;
  long columns = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return kCustomaryWidth;
    columns = std::min<long>(columns * 10 + (*p - '0'), INT16_MAX);
  }
  return columns > 0 ? static_cast<int16_t>(columns) : kCustomaryWidth;
}

uint32_t ErrorOfWrite(int err) {
  return err == ECANCELED ? win_error::kOperationAborted : WinErrorFromErrno(err);
}

}  // namespace

int WriteAllTo(int fd, std::string_view bytes, size_t& written) {
  written = 0;
  while (written < bytes.size()) {
    const ssize_t put = write(fd, bytes.data() + written, bytes.size() - written);
    if (put < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (put == 0) return EIO;
    written += static_cast<size_t>(put);
  }
  return 0;
}

int PosixPlatform::WriteToStdout(std::string_view bytes, size_t& written) {
  std::lock_guard<std::mutex> hold(stdoutLock_);
  int err = 0;
  written = 0;
  if (GivenUp().load()) return ECANCELED;
  int mayBlock = stdoutMayBlock_.load(std::memory_order_relaxed);
  if (mayBlock < 0) {
    mayBlock = MayBlock(STDOUT_FILENO) ? 1 : 0;
    stdoutMayBlock_.store(mayBlock, std::memory_order_relaxed);
  }
  if (mayBlock == 0) {
    err = WriteAllTo(STDOUT_FILENO, bytes, written);
  } else {
    // A pipe or terminal is written in pieces it takes without blocking, so
    // that a control event can end a run whose reader has stopped reading.
    while (err == 0 && written < bytes.size()) {
      err = WaitWritable(STDOUT_FILENO);
      if (err != 0) break;
      // A piece a pipe takes whole, ending at a line end where one is
      // within it: a write given up between pieces cuts no line.
      std::string_view piece = bytes.substr(written, PIPE_BUF);
      if (piece.size() < bytes.size() - written) {
        const size_t lineEnd = piece.find_last_of('\n');
        if (lineEnd != std::string_view::npos) piece = piece.substr(0, lineEnd + 1);
      }
      size_t put = 0;
      err = WriteAllTo(STDOUT_FILENO, piece, put);
      written += put;
      if (put != 0) LastMoved() = NowMs();
    }
  }
  FollowColumn(bytes.substr(0, written));
  return err;
}

// The column follows what reached the terminal, character by character,
// from the last line end on: the lines before it no longer count.
void PosixPlatform::FollowColumn(std::string_view bytes) {
  const size_t written = bytes.size();
  size_t i = 0;
  for (size_t end = written; end > 0; --end) {
    if (bytes[end - 1] == '\n' || bytes[end - 1] == '\r') {
      column_ = 0;
      i = end;
      break;
    }
  }
  while (i < written) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte == '\n' || byte == '\r') {
      column_ = 0;
      ++i;
      continue;
    }
    size_t length = 1;
    char32_t c = 0xDC00u + byte;  // a byte that is not UTF-8: one column
    if (byte < 0x80) {
      c = byte;
    } else if (const size_t need = byte >= 0xF0   ? 4
                                   : byte >= 0xE0 ? 3
                                   : byte >= 0xC0 ? 2
                                                  : 0;
               need != 0 && i + need <= written) {
      char32_t value = byte & (0x3Fu >> (need - 1));
      bool valid = true;
      for (size_t k = 1; k < need; ++k) {
        const auto next = static_cast<unsigned char>(bytes[i + k]);
        valid = valid && (next & 0xC0) == 0x80;
        value = (value << 6) | (next & 0x3Fu);
      }
      if (valid) {
        c = value;
        length = need;
      }
    }
    i += length;
    column_ = std::min(column_ + ColumnsOf(c), int{INT16_MAX});
  }
}

bool PosixPlatform::StdoutIsConsole() {
  return isatty(STDOUT_FILENO) == 1;
}

bool PosixPlatform::StdoutIsPipe() {
  struct stat st;
  return fstat(STDOUT_FILENO, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
}

ScreenInfo PosixPlatform::GetScreenInfo() {
  ScreenInfo info;
  info.width = TerminalWidth(STDOUT_FILENO);
  if (info.width == 0) return info;
  std::lock_guard<std::mutex> hold(stdoutLock_);
  info.cursorColumn = static_cast<int16_t>(column_);
  return info;
}

bool PosixPlatform::WriteStdout(std::string_view bytes, uint32_t& written, uint32_t& error) {
  size_t put = 0;
  const int err = WriteToStdout(bytes, put);
  written = static_cast<uint32_t>(put);
  error = ErrorOfWrite(err);
  return err == 0;
}

void PosixPlatform::CloseStandardStreams() {
  // The descriptors stay taken, by /dev/null, so that nothing opened later
  // gets their numbers; the pipe or file behind them is let go at once.
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
    if (null >= 0) {
      dup2(null, fd);
    } else {
      close(fd);
    }
  }
  if (null >= 0) close(null);
}

void PosixPlatform::EndProcessNow(int code) {
  // Every other thread is ended with it; one inside a call that waits on a
  // server finishes ending when that call returns.
  _exit(code);
}

bool PosixPlatform::WriteConsoleText(std::u16string_view text, uint32_t& written, uint32_t& error) {
  const std::string bytes = EncodeUtf8Lossless(text);
  size_t put = 0;
  const int err = WriteToStdout(bytes, put);
  written = err == 0 ? static_cast<uint32_t>(text.size()) : UnitsWithin(text, put);
  error = ErrorOfWrite(err);
  return err == 0;
}

bool PosixPlatform::WriteStderrConsole(std::string_view bytes, uint32_t& written, uint32_t& error) {
  size_t put = 0;
  const int err = WriteAllTo(STDERR_FILENO, bytes, put);
  written = static_cast<uint32_t>(put);
  error = WinErrorFromErrno(err);
  // Any file or pipe takes console text here: "no console" is never the reason.
  if (error == win_error::kInvalidHandle) error = win_error::kPosixErrnoBase | EBADF;
  return err == 0;
}

bool PosixPlatform::WriteStderr(std::string_view bytes, uint32_t& written) {
  size_t put = 0;
  const int err = WriteAllTo(STDERR_FILENO, bytes, put);
  written = static_cast<uint32_t>(put);
  return err == 0;
}

int PosixPlatform::ColumnsOf(char32_t c) {
  // Under a UTF-8 locale, as the terminal measures; a byte that was not UTF-8
  // (a lone surrogate here) or a character without a width takes one column.
  static const bool utf8 = [] {
    return setlocale(LC_CTYPE, "C.UTF-8") != nullptr ||
           setlocale(LC_CTYPE, "en_US.UTF-8") != nullptr;
  }();
  if (c < 0x80) return 1;
  if (!utf8 || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return 1;
  const int width = wcwidth(static_cast<wchar_t>(c));
  return width < 0 ? 1 : width;
}

bool PosixPlatform::StderrIsConsole() {
  return isatty(STDERR_FILENO) == 1;
}

int16_t PosixPlatform::StderrConsoleWidth() {
  return TerminalWidth(STDERR_FILENO);
}

bool PosixPlatform::WriteStderrText(std::u16string_view text) {
  return WriteStderrNow(EncodeUtf8Lossless(text));
}

// The status line must never hold the run: a write to a terminal stopped
// with Ctrl+S would wait until Ctrl+Q, holding the line's lock, the exit
// and, through them, the interrupt. Its own open of the terminal is not
// blocking (standard error's is shared with the shell and left as it is);
// what the terminal does not take at once is dropped, and the next drawing
// covers the line again.
bool PosixPlatform::WriteStderrNow(std::string_view bytes) {
  std::call_once(stderrNowOpened_, [this] {
    char name[256];
    if (isatty(STDERR_FILENO) != 1 || ttyname_r(STDERR_FILENO, name, sizeof name) != 0) return;
    stderrNow_ = open(name, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  });
  const int fd = stderrNow_ >= 0 ? stderrNow_ : STDERR_FILENO;
  size_t done = 0;
  while (done < bytes.size()) {
    if (stderrNow_ < 0) {
      struct pollfd entry {};
      entry.fd = fd;
      entry.events = POLLOUT;
      if (poll(&entry, 1, 0) <= 0 || (entry.revents & POLLOUT) == 0) return false;
    }
    const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

std::string PosixPlatform::WideToNarrow(std::u16string_view text) {
  return EncodeUtf8Lossless(text);
}

bool PosixPlatform::WideToOem(std::u16string_view text, std::string& out) {
  out.clear();
  EncodeUtf8Lossless(text, out);
  return !out.empty();
}

std::u16string PosixPlatform::NarrowToWide(std::string_view text) {
  return DecodeUtf8Lossless(text);
}

void PosixPlatform::SetCtrlHandler(std::function<void(uint32_t)> handler) {
  CtrlState& state = Ctrl();
  std::lock_guard<std::mutex> hold(state.lock);
  state.handler = std::move(handler);
  if (state.started || !state.handler) return;
  // Blocked here first, so the waiting thread (and any thread started later)
  // inherits the mask and the signals reach nobody but sigwait.
  const sigset_t set = CtrlSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread waiter;
  if (!StartThread(waiter, WaitForSignals)) {
    // No thread to take them: the run goes on, and a signal does what it
    // does by default.
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    return;
  }
  waiter.detach();
  state.started = true;
}

}  // namespace quorrex
