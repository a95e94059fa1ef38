// The Win32 platform: console output, text conversion, console input and
// control events.
#include <atomic>
#include <limits>
#include <new>
#include <utility>

#include "platform/win32/win32_platform.h"
#include "platform/win32/write_watch.h"

namespace quorrex::win32 {
namespace {

// One call of the Win32 writers takes at most a DWORD's worth; larger
// requests go out in pieces of this size.
constexpr std::size_t kWriteChunk = 1u << 30;

HANDLE StdOut() {
  return ::GetStdHandle(STD_OUTPUT_HANDLE);
}
HANDLE StdErr() {
  return ::GetStdHandle(STD_ERROR_HANDLE);
}
HANDLE StdIn() {
  return ::GetStdHandle(STD_INPUT_HANDLE);
}

}  // namespace

// One thread's watches over its writes and its file-system calls.
struct CallSlot {
  CallSlot() { ::InitializeCriticalSection(&lock); }
  CRITICAL_SECTION lock;
  ThreadWatches watches;
  int depth = 0;  // watched calls within watched calls count once
};

namespace {

// The writes to a file or pipe in progress, watched after a control event:
// each gets half a second, and one still waiting then (a reader that stopped
// reading) is cancelled, fails with ERROR_OPERATION_ABORTED, and the run ends
// as aborted. The file-system calls of each thread of the walk are watched
// the same way, so that a walk waiting on a server that does not answer ends
// too. The lock is made once and never deleted, as a late event may still
// look while the process exits.
//
// Threads that write or make file-system calls (the main thread, the walk's
// readers, the system's thread of a control event): a thread's slot is made
// at its first write or call and kept until the process ends (one that has
// ended has nothing left to cancel). Past the room a thread's calls are not
// watched, and its writes share the one watch left for them.
constexpr std::size_t kCallSlots = 64;

struct WatchedWrites {
  WatchedWrites() { ::InitializeCriticalSection(&lock); }
  CRITICAL_SECTION lock;  // taken before any slot's
  WriteWatch watch;       // the writes of threads without a slot
  CallSlot* calls[kCallSlots] = {};
  std::size_t callCount = 0;
};

WatchedWrites& Watched() {
  static WatchedWrites* const watched = new WatchedWrites();
  return *watched;
}

thread_local CallSlot* ownCallSlot = nullptr;

CallSlot* OwnCallSlot() {
  if (ownCallSlot != nullptr) return ownCallSlot;
  auto* slot = new (std::nothrow) CallSlot();
  if (slot == nullptr) return nullptr;
  slot->watches.thread = ::GetCurrentThreadId();
  WatchedWrites& watched = Watched();
  ::EnterCriticalSection(&watched.lock);
  const bool room = watched.callCount < kCallSlots;
  if (room) watched.calls[watched.callCount++] = slot;
  ::LeaveCriticalSection(&watched.lock);
  if (!room) {
    ::DeleteCriticalSection(&slot->lock);
    delete slot;
    return nullptr;
  }
  ownCallSlot = slot;
  return slot;
}

using CancelSynchronousIoFn = BOOL(WINAPI*)(HANDLE);

// Gives up what `thread` waits in.
void CancelCallsOf(CancelSynchronousIoFn cancel, DWORD thread) {
  if (HANDLE handle = ::OpenThread(THREAD_TERMINATE, FALSE, thread)) {
    cancel(handle);
    ::CloseHandle(handle);
  }
}

DWORD WINAPI CancelBlockedWrites(LPVOID) {
  // Windows Vista and later; without it a blocked write stays blocked.
  static const auto cancel =
      LookUp<CancelSynchronousIoFn>(::GetModuleHandleA("kernel32.dll"), "CancelSynchronousIo");
  if (cancel == nullptr) return 0;
  WatchedWrites& watched = Watched();
  CancellerSteps steps;
  steps.sleep = [](uint32_t milliseconds) { ::Sleep(milliseconds); };
  steps.round = [&watched] {
    // The cancel reaches whatever the thread is waiting in. Under the lock,
    // a write or call that has just ended cannot mark itself ended, so its
    // thread waits for the lock rather than going on to a call of its own
    // that the cancel would hit.
    ::EnterCriticalSection(&watched.lock);
    if (const DWORD thread = watched.watch.Look()) CancelCallsOf(cancel, thread);
    for (std::size_t i = 0; i < watched.callCount; ++i) {
      CallSlot& slot = *watched.calls[i];
      ::EnterCriticalSection(&slot.lock);
      if (const DWORD thread = slot.watches.Look()) CancelCallsOf(cancel, thread);
      ::LeaveCriticalSection(&slot.lock);
    }
    ::LeaveCriticalSection(&watched.lock);
  };
  // Output has finished when the process ends: a write may first block long
  // after the event (a large group report into a pipe nobody reads).
  steps.finished = [] { return false; };
  WatchUntilFinished(steps);
  return 0;
}

// Starts the watch over blocked writes once, at the first control event.
void WatchBlockedWrites() {
  static std::atomic<bool> started{false};
  if (started.exchange(true)) return;
  // Without the thread a blocked write simply waits.
  if (HANDLE thread = ::CreateThread(nullptr, 0, &CancelBlockedWrites, nullptr, 0, nullptr)) {
    ::CloseHandle(thread);
  }
}

bool WriteAll(HANDLE handle, std::string_view bytes, uint32_t& written) {
  written = 0;
  do {
    const std::size_t piece = bytes.size() < kWriteChunk ? bytes.size() : kWriteChunk;
    DWORD count = 0;
    // The thread's own watch; the shared one for a thread without a slot.
    CallSlot* const slot = OwnCallSlot();
    CRITICAL_SECTION& lock = slot != nullptr ? slot->lock : Watched().lock;
    WriteWatch& watch = slot != nullptr ? slot->watches.writes : Watched().watch;
    ::EnterCriticalSection(&lock);
    watch.Started(::GetCurrentThreadId());
    ::LeaveCriticalSection(&lock);
    const BOOL wrote =
        ::WriteFile(handle, bytes.data(), static_cast<DWORD>(piece), &count, nullptr);
    const DWORD error = wrote ? ERROR_SUCCESS : ::GetLastError();
    ::EnterCriticalSection(&lock);
    watch.Ended();
    ::LeaveCriticalSection(&lock);
    if (!wrote) {
      ::SetLastError(error);
      return false;
    }
    written += count;
    if (count < piece) return true;  // a short write: report what went out
    bytes.remove_prefix(piece);
  } while (!bytes.empty());
  return true;
}

int ClampedLength(std::size_t length) {
  constexpr std::size_t kMax = static_cast<std::size_t>(std::numeric_limits<int>::max());
  return static_cast<int>(length < kMax ? length : kMax);
}

std::string ToCodePage(UINT codePage, std::u16string_view text) {
  if (text.empty()) return std::string();
  const auto* source = reinterpret_cast<const wchar_t*>(text.data());
  const int sourceLength = ClampedLength(text.size());
  const int size =
      ::WideCharToMultiByte(codePage, 0, source, sourceLength, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string out(static_cast<std::size_t>(size), '\0');
  const int made =
      ::WideCharToMultiByte(codePage, 0, source, sourceLength, out.data(), size, nullptr, nullptr);
  out.resize(made > 0 ? static_cast<std::size_t>(made) : 0);
  return out;
}

// The code page of narrow text on standard output: the console's output code
// page on a console, the OEM code page when redirected (as path lines are).
UINT NarrowCodePage() {
  DWORD mode = 0;
  if (::GetConsoleMode(StdOut(), &mode)) {
    const UINT console = ::GetConsoleOutputCP();
    if (console != 0) return console;
  }
  return ::GetOEMCP();
}

}  // namespace

WatchedCall::WatchedCall() : slot_(OwnCallSlot()) {
  if (slot_ == nullptr || slot_->depth++ != 0) return;
  ::EnterCriticalSection(&slot_->lock);
  slot_->watches.calls.Started(slot_->watches.thread);
  ::LeaveCriticalSection(&slot_->lock);
}

WatchedCall::~WatchedCall() {
  if (slot_ == nullptr || --slot_->depth != 0) return;
  ::EnterCriticalSection(&slot_->lock);
  slot_->watches.calls.Ended();
  ::LeaveCriticalSection(&slot_->lock);
}

void PrepareTextConversion() {
  // A letter outside ASCII, so that no code page can answer from a shortcut.
  static constexpr char16_t kSample[] = u"\u00e9";
  ToCodePage(NarrowCodePage(), kSample);
  ToCodePage(::GetOEMCP(), kSample);
}

namespace {

// The control-event handler of the run. The system calls the routine on a
// thread of its own, so the stored function is swapped and copied under a
// lock and called outside it.
class CtrlHandlerSlot {
 public:
  // Made once and never destroyed: the routine stays registered while the
  // process exits, and an event then must still find a live slot.
  static CtrlHandlerSlot& Get() {
    static CtrlHandlerSlot* const slot = new CtrlHandlerSlot();
    return *slot;
  }

  void Set(std::function<void(uint32_t)> handler) {
    const bool wanted = static_cast<bool>(handler);
    ::EnterCriticalSection(&lock_);
    handler_ = std::move(handler);
    ::LeaveCriticalSection(&lock_);
    if (wanted != registered_) {
      if (::SetConsoleCtrlHandler(&Routine, wanted ? TRUE : FALSE)) registered_ = wanted;
    }
  }

 private:
  CtrlHandlerSlot() { ::InitializeCriticalSection(&lock_); }
  // The slot serves until the process ends; the lock is never deleted so
  // that a late event on the system's thread never meets a dead lock.

  // No exception may leave a routine the system calls: one that arises (a
  // copy of the handler that finds no memory) ends the handling of this event
  // alone.
  static BOOL WINAPI Routine(DWORD event) noexcept {
    try {
      CtrlHandlerSlot& slot = Get();
      ::EnterCriticalSection(&slot.lock_);
      std::function<void(uint32_t)> handler;
      try {
        handler = slot.handler_;
      } catch (...) {
      }
      ::LeaveCriticalSection(&slot.lock_);
      if (handler) {
        WatchBlockedWrites();
        handler(event);
      }
    } catch (...) {
    }
    return TRUE;
  }

  CRITICAL_SECTION lock_;
  std::function<void(uint32_t)> handler_;
  bool registered_ = false;
};

}  // namespace

// --- Console output ----------------------------------------------------------

bool Win32Platform::StdoutIsConsole() {
  // A character device is not enough: NUL, COM1 and printers are ones too.
  // Only a console answers for its mode.
  DWORD mode = 0;
  return ::GetConsoleMode(StdOut(), &mode) != 0;
}

bool Win32Platform::StdoutIsPipe() {
  // Anonymous and named pipes, and sockets, are all of this type.
  return ::GetFileType(StdOut()) == FILE_TYPE_PIPE;
}

ScreenInfo Win32Platform::GetScreenInfo() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  // On failure the record stays zero, which is what a non-console reports.
  if (!::GetConsoleScreenBufferInfo(StdOut(), &info)) return ScreenInfo{};
  return ScreenInfo{info.dwSize.X, info.dwCursorPosition.X};
}

bool Win32Platform::WriteStdout(std::string_view bytes, uint32_t& written, uint32_t& error) {
  // A pipe whose reader has gone fails with ERROR_NO_DATA or ERROR_BROKEN_PIPE,
  // a full disk with ERROR_DISK_FULL; the caller stops the run on any of them.
  if (WriteAll(StdOut(), bytes, written)) {
    error = 0;
    return true;
  }
  error = LastErrorOf();
  return false;
}

void Win32Platform::CloseStandardStreams() {
  HANDLE out = StdOut();
  HANDLE err = StdErr();
  ::SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
  ::SetStdHandle(STD_ERROR_HANDLE, nullptr);
  if (out != nullptr && out != INVALID_HANDLE_VALUE) ::CloseHandle(out);
  if (err != nullptr && err != INVALID_HANDLE_VALUE && err != out) ::CloseHandle(err);
}

void Win32Platform::EndProcessNow(int code) {
  // Ends the other threads without waiting for them: one inside a call that
  // cannot be cancelled finishes ending when that call returns.
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(code));
}

bool Win32Platform::WriteConsoleText(std::u16string_view text, uint32_t& written, uint32_t& error) {
  written = 0;
  DWORD count = 0;
  constexpr std::size_t kMax = std::numeric_limits<DWORD>::max();
  const DWORD length = static_cast<DWORD>(text.size() < kMax ? text.size() : kMax);
  if (!::WriteConsoleW(StdOut(), text.data(), length, &count, nullptr)) {
    error = LastErrorOf();
    return false;
  }
  written = count;
  return true;
}

bool Win32Platform::WriteStderrConsole(std::string_view bytes, uint32_t& written, uint32_t& error) {
  written = 0;
  const HANDLE handle = StdErr();
  DWORD count = 0;
  constexpr std::size_t kMax = std::numeric_limits<DWORD>::max();
  const DWORD length = static_cast<DWORD>(bytes.size() < kMax ? bytes.size() : kMax);
  if (!::WriteConsoleA(handle, bytes.data(), length, &count, nullptr)) {
    error = LastErrorOf();
    // Whatever code the system gives, a handle that is no console is told
    // apart by ERROR_INVALID_HANDLE: the caller then writes to it as a file.
    DWORD mode = 0;
    if (!::GetConsoleMode(handle, &mode)) error = ERROR_INVALID_HANDLE;
    return false;
  }
  written = count;
  return true;
}

bool Win32Platform::WriteStderr(std::string_view bytes, uint32_t& written) {
  return WriteAll(StdErr(), bytes, written);
}

bool Win32Platform::StderrIsConsole() {
  // A character device that takes console modes: not NUL, not a serial port.
  const HANDLE handle = StdErr();
  DWORD mode = 0;
  return ::GetFileType(handle) == FILE_TYPE_CHAR && ::GetConsoleMode(handle, &mode);
}

int16_t Win32Platform::StderrConsoleWidth() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!::GetConsoleScreenBufferInfo(StdErr(), &info)) return 0;
  // The visible window, when it is narrower than the buffer: the line must
  // not scroll the window sideways.
  const int window = info.srWindow.Right - info.srWindow.Left + 1;
  return static_cast<int16_t>(window > 0 && window < info.dwSize.X ? window : info.dwSize.X);
}

bool Win32Platform::WriteStderrText(std::u16string_view text) {
  DWORD count = 0;
  constexpr std::size_t kMax = std::numeric_limits<DWORD>::max();
  const DWORD length = static_cast<DWORD>(text.size() < kMax ? text.size() : kMax);
  return ::WriteConsoleW(StdErr(), text.data(), length, &count, nullptr) != 0;
}

std::string Win32Platform::WideToNarrow(std::u16string_view text) {
  // Narrow text goes to standard output as bytes: a console shows them in its
  // output code page, and redirected path lines are in the OEM code page, so
  // names in messages take the same one and a listing has one encoding.
  return ToCodePage(NarrowCodePage(), text);
}

bool Win32Platform::WideToOem(std::u16string_view text, std::string& out) {
  out = ToCodePage(::GetOEMCP(), text);
  return !out.empty();
}

std::u16string Win32Platform::NarrowToWide(std::string_view text) {
  if (text.empty()) return std::u16string();
  const UINT codePage = NarrowCodePage();
  const int sourceLength = ClampedLength(text.size());
  const int size = ::MultiByteToWideChar(codePage, 0, text.data(), sourceLength, nullptr, 0);
  if (size <= 0) return std::u16string();
  std::u16string out(static_cast<std::size_t>(size), u'\0');
  const int made = ::MultiByteToWideChar(codePage, 0, text.data(), sourceLength,
                                         reinterpret_cast<wchar_t*>(out.data()), size);
  out.resize(made > 0 ? static_cast<std::size_t>(made) : 0);
  return out;
}

// --- Console input and control events ----------------------------------------

void Win32Platform::SetCtrlHandler(std::function<void(uint32_t)> handler) {
  CtrlHandlerSlot::Get().Set(std::move(handler));
}

bool Win32Platform::SetStdinMode(uint32_t mode) {
  return ::SetConsoleMode(StdIn(), mode) != 0;
}

bool Win32Platform::GetStdinMode(uint32_t& mode) {
  DWORD value = 0;
  if (!::GetConsoleMode(StdIn(), &value)) return false;
  mode = value;
  return true;
}

bool Win32Platform::OwnsConsoleWindow() {
  // A console without a window (a child started without one) is nobody's
  // window to keep on screen.
  if (::GetConsoleWindow() == nullptr) return false;
  // The window is this program's own when no other process is attached to
  // its console: the shell that started the program in its console would be.
  // The window's owner is not asked, since that takes USER32, and under
  // terminal hosts the window belongs to the host anyway. Looked up by name so
  // that the program still starts on systems without the call.
  using GetConsoleProcessListFn = DWORD(WINAPI*)(LPDWORD, DWORD);
  const auto processList =
      LookUp<GetConsoleProcessListFn>(::GetModuleHandleA("kernel32.dll"), "GetConsoleProcessList");
  if (processList == nullptr) return false;
  DWORD processes[2] = {};
  return processList(processes, 2) == 1;
}

bool Win32Platform::FlushConsoleInput() {
  return ::FlushConsoleInputBuffer(StdIn()) != 0;
}

bool Win32Platform::ReadConsoleInput(InputRecord& record) {
  INPUT_RECORD input{};
  DWORD count = 0;
  if (!::ReadConsoleInputW(StdIn(), &input, 1, &count) || count != 1) return false;
  record = InputRecord{};
  record.eventType = input.EventType;
  if (input.EventType == KEY_EVENT) {
    record.virtualKeyCode = input.Event.KeyEvent.wVirtualKeyCode;
    record.keyDown = input.Event.KeyEvent.bKeyDown != 0;
  }
  return true;
}

}  // namespace quorrex::win32
