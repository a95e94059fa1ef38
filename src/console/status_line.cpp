#include "console/status_line.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <string>
#include <thread>

#include "console/display_text.h"
#include "paths/path_forms.h"
#include "support/threads.h"

namespace quorrex {
namespace {

// A folder narrower than this is left out rather than shortened to nothing.
constexpr int32_t kNarrowestFolder = 10;
// How long the way out of a refused allocation waits for a drawing in
// progress on another thread before it erases the line.
constexpr int kHaltWaitSteps = 20;
constexpr auto kHaltWaitStep = std::chrono::milliseconds(10);

// Set while this thread writes the line.
thread_local bool t_writingLine = false;

// `count` in at most four characters: whole up to 9999, then in thousands
// ("803k"), millions ("9.9M", "62M") and billions ("1.2G"), rounded down,
// so that a count never reads as more than was seen.
std::string CompactCount(uint64_t count) {
  if (count < 10000) return std::to_string(count);
  if (count < 1000000) return std::to_string(count / 1000) + "k";
  const auto scaled = [count](uint64_t unit, char letter) {
    std::string text = std::to_string(count / unit);
    // Appended piece by piece: g++ 12 at -O3 warns wrongly about "." + text.
    if (count < unit * 10) {
      text += '.';
      text += static_cast<char>('0' + count / (unit / 10) % 10);
    }
    text += letter;
    return text;
  };
  return count < 1000000000 ? scaled(1000000, 'M') : scaled(1000000000, 'G');
}

void AppendCount(std::u16string& text, uint64_t count, const char* one, const char* many) {
  if (!text.empty()) text += u' ';
  for (const char c : CompactCount(count)) text += static_cast<char16_t>(c);
  text += u' ';
  for (const char* p = count == 1 ? one : many; *p != '\0'; ++p) text += static_cast<char16_t>(*p);
}

// Marks a write of the line, for the way out of a refused allocation (see
// HaltStatusLine). False when the line is halted: nothing is written.
class LineWrite {
 public:
  explicit LineWrite(StatusLineState& state) : state_(state) {
    state_.writing.store(true);
    t_writingLine = true;
    allowed_ = !state_.halted.load();
  }
  ~LineWrite() {
    t_writingLine = false;
    state_.writing.store(false);
  }
  LineWrite(const LineWrite&) = delete;
  LineWrite& operator=(const LineWrite&) = delete;
  bool allowed() const { return allowed_; }

 private:
  StatusLineState& state_;
  bool allowed_ = false;
};

// The columns of what was drawn that are still on the line at `width`
// columns: a terminal that narrowed cut or wrapped the rest, and spaces
// written past its last column would wrap onto the next line. A byte
// terminal wraps only when a character follows one in its last column, so
// its last column is erased too (an earlier, wider drawing reached it); a
// console that wraps at once keeps it out of reach.
int64_t OnTheLine(const Console& console, int64_t shown, int32_t width) {
  if (width < 2) return shown;
  return std::min<int64_t>(shown, console.conventions.byteTerminal ? width : width - 1);
}

// Writes `text` (narrower than `width`) over the line and leaves the cursor
// at its start. The caller holds the status line's lock.
void Show(Console& console, const std::u16string& text, int32_t width) {
  StatusLineState& state = console.statusLine;
  const LineWrite write(state);
  if (!write.allowed()) return;
  const int64_t columns = DisplayColumns(console.platform, text);
  const int64_t covered = std::max(columns, OnTheLine(console, state.shownColumns, width));
  std::u16string line;
  line.reserve(text.size() + static_cast<size_t>(covered - columns) + 2);
  line += u'\r';
  line += text;
  line.append(static_cast<size_t>(covered - columns), u' ');
  line += u'\r';
  // Made before the write: whatever is on the screen, these bytes erase it.
  state.eraseBytes.assign(static_cast<size_t>(covered), ' ');
  state.eraseBytes += '\r';
  state.shownColumns = covered;
  if (console.platform.WriteStderrText(line)) state.shownColumns = columns;
}

// Writes the bytes made when the line was drawn, as many as the line holds
// at the terminal's width now; allocates nothing.
void WriteErase(Console& console) {
  StatusLineState& state = console.statusLine;
  if (state.shownColumns == 0) return;
  const int64_t erase =
      OnTheLine(console, state.shownColumns, console.platform.StderrConsoleWidth());
  const std::string_view spaces(state.eraseBytes);
  console.platform.WriteStderrNow("\r");
  console.platform.WriteStderrNow(spaces.substr(spaces.size() - 1 - static_cast<size_t>(erase)));
  state.shownColumns = 0;
}

// The caller holds the status line's lock.
void Erase(Console& console) {
  const LineWrite write(console.statusLine);
  if (write.allowed()) WriteErase(console);
}

// The caller holds the status line's lock.
void Draw(Console& console) {
  StatusLineState& state = console.statusLine;
  if (state.suspended) return;
  const int32_t width = console.platform.StderrConsoleWidth();
  if (width < 2) return;
  Show(console, StatusLineText(console.statusLine, console.platform, width), width);
}

void Loop(Console& console) {
  StatusLineState& state = console.statusLine;
  std::unique_lock<std::mutex> hold(state.lock);
  for (;;) {
    state.wake.wait_for(hold, std::chrono::milliseconds(kStatusLineIntervalMs),
                        [&state] { return state.stop; });
    if (state.stop) return;
    Draw(console);
  }
}

}  // namespace

std::u16string StatusLineText(const StatusLineState& state, Platform& platform, int32_t width) {
  const uint64_t folders = state.folders.load(std::memory_order_relaxed);
  const uint64_t entries = state.entries.load(std::memory_order_relaxed);
  std::u16string walked;
  AppendCount(walked, folders, "folder", "folders");
  AppendCount(walked, entries, "entry", "entries");
  std::u16string all = walked;
  AppendCount(all, state.reparsePoints.load(std::memory_order_relaxed), "reparse", "reparse");
  AppendCount(all, state.linkCandidates.load(std::memory_order_relaxed), "multi-link",
              "multi-link");

  // A name reaches the terminal with its control characters as "?", as in
  // the listing: it must not set the window's title or the colours.
  std::u16string folder = MaskControlCharacters(state.Folder());
  if (HasLongPathPrefix(folder) && !IsUncLike(folder)) folder.erase(0, 4);
  // The counts are ASCII: one column a character. The folder is what shows
  // the walk moving: where all four counts leave it too little room, the
  // two of the walk alone go before it; only where even those do not, the
  // line is counts alone.
  constexpr std::u16string_view kSeparator = u" | ";
  const auto room = [width, &kSeparator](const std::u16string& counts) {
    return width - 1 - static_cast<int32_t>(counts.size() + kSeparator.size());
  };
  if (!folder.empty()) {
    for (const std::u16string* counts : {&all, &walked}) {
      const int32_t left = room(*counts);
      if (left < kNarrowestFolder) continue;
      // A folder that fits the room exactly is shown whole.
      if (DisplayColumns(platform, folder) > left) ShortenToColumns(platform, folder, left);
      return *counts + std::u16string(kSeparator) + folder;
    }
  }
  std::u16string text = static_cast<int32_t>(all.size()) < width ? all : walked;
  if (static_cast<int32_t>(text.size()) >= width) {
    text.resize(static_cast<size_t>(width > 0 ? width - 1 : 0));
  }
  return text;
}

void StartStatusLine(Console& console) {
  StatusLineState& state = console.statusLine;
  // Where another program reads the listing it may draw on the same
  // terminal (a pager): the line would land in its screen.
  if (state.thread.joinable() || console.platform.StdoutIsConsole() ||
      console.platform.StdoutIsPipe() || !console.platform.StderrIsConsole()) {
    return;
  }
  state.enabled.store(true, std::memory_order_relaxed);
  // Without a thread of its own (the system refused one) there is no line.
  if (!StartThread(state.thread, [&console] { Loop(console); })) {
    state.enabled.store(false, std::memory_order_relaxed);
  }
}

void StopStatusLine(Console& console) {
  StatusLineState& state = console.statusLine;
  if (!state.thread.joinable()) return;
  StopThread(state.thread, state.lock, state.wake, state.stop);
  state.enabled.store(false, std::memory_order_relaxed);
  std::lock_guard<std::mutex> hold(state.lock);
  Erase(console);
}

void SuspendStatusLine(Console& console) {
  StatusLineState& state = console.statusLine;
  std::lock_guard<std::mutex> hold(state.lock);
  state.suspended = true;
  Erase(console);
}

void ResumeStatusLine(Console& console) {
  StatusLineState& state = console.statusLine;
  std::lock_guard<std::mutex> hold(state.lock);
  state.suspended = false;
  if (!state.stop && state.enabled.load(std::memory_order_relaxed)) Draw(console);
}

void HaltStatusLine(Console& console) {
  StatusLineState& state = console.statusLine;
  if (state.halted.exchange(true)) return;
  // A drawing in progress on another thread ends first; this thread's own
  // (the allocation was refused while it drew) is not waited for.
  for (int step = 0; step < kHaltWaitSteps && state.writing.load() && !t_writingLine; ++step) {
    std::this_thread::sleep_for(kHaltWaitStep);
  }
  WriteErase(console);
}

StatusLinePause::StatusLinePause(Console& console) : hold_(console.statusLine.lock) {
  Erase(console);
}

}  // namespace quorrex
