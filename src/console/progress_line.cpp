#include "console/progress_line.h"

#include <chrono>

#include "console/path_line.h"
#include "paths/path_forms.h"
#include "support/threads.h"

namespace quorrex {
namespace {

// A folder narrower than this is left out rather than shortened to nothing.
constexpr int32_t kNarrowestFolder = 12;

void AppendCount(std::u16string& text, uint64_t count, const char* one, const char* many) {
  for (const char c : std::to_string(count)) text += static_cast<char16_t>(c);
  text += u' ';
  for (const char* p = count == 1 ? one : many; *p != '\0'; ++p) text += static_cast<char16_t>(*p);
}

// Writes `text` and leaves the cursor at the start of the line.
void Show(Run& run, std::u16string text) {
  ProgressState& state = run.progress;
  const size_t length = text.size();
  if (length < state.shownLength) text.append(state.shownLength - length, u' ');
  text.insert(text.begin(), u'\r');
  text += u'\r';
  state.shownLength = run.platform.WriteStderrText(text) ? length : 0;
}

void Erase(Run& run) {
  ProgressState& state = run.progress;
  if (state.shownLength == 0) return;
  std::u16string blank(state.shownLength + 2, u' ');
  blank.front() = u'\r';
  blank.back() = u'\r';
  run.platform.WriteStderrText(blank);
  state.shownLength = 0;
}

void Draw(Run& run) {
  const int32_t width = run.platform.StderrConsoleWidth();
  if (width < 2) return;
  Show(run, ProgressText(run, width));
}

void Loop(Run& run) {
  ProgressState& state = run.progress;
  std::unique_lock<std::mutex> hold(state.lock);
  for (;;) {
    state.wake.wait_for(hold, std::chrono::milliseconds(kProgressIntervalMs),
                        [&state] { return state.stop; });
    if (state.stop) return;
    Draw(run);
  }
}

}  // namespace

std::u16string ProgressText(Run& run, int32_t width) {
  const ProgressState& state = run.progress;
  std::u16string text;
  AppendCount(text, state.folders.load(std::memory_order_relaxed), "folder", "folders");
  text += u", ";
  AppendCount(text, state.entries.load(std::memory_order_relaxed), "entry", "entries");
  text += u", ";
  AppendCount(text, state.reparsePoints.load(std::memory_order_relaxed), "reparse point",
              "reparse points");
  text += u", ";
  AppendCount(text, state.linkCandidates.load(std::memory_order_relaxed), "hard-link candidate",
              "hard-link candidates");

  std::u16string folder = run.progress.Folder();
  if (HasLongPathPrefix(folder) && !IsUncLike(folder)) folder.erase(0, 4);
  const int32_t room = width - 1 - static_cast<int32_t>(text.size()) - 2;
  if (!folder.empty() && room >= kNarrowestFolder) {
    ShortenMiddle(folder, room);
    text += u"  ";
    text += folder.substr(0, static_cast<size_t>(room));
  }
  if (static_cast<int32_t>(text.size()) >= width) text.resize(static_cast<size_t>(width - 1));
  return text;
}

void StartProgressLine(Run& run) {
  ProgressState& state = run.progress;
  if (state.thread.joinable() || run.platform.StdoutIsConsole() ||
      !run.platform.StderrIsConsole()) {
    return;
  }
  state.enabled.store(true, std::memory_order_relaxed);
  // Without a thread of its own (the system refused one) there is no line.
  if (!StartThread(state.thread, [&run] { Loop(run); })) {
    state.enabled.store(false, std::memory_order_relaxed);
  }
}

void StopProgressLine(Run& run) {
  ProgressState& state = run.progress;
  if (!state.thread.joinable()) return;
  {
    std::lock_guard<std::mutex> hold(state.lock);
    state.stop = true;
  }
  state.wake.notify_all();
  state.thread.join();
  state.enabled.store(false, std::memory_order_relaxed);
  std::lock_guard<std::mutex> hold(state.lock);
  Erase(run);
}

ProgressLinePause::ProgressLinePause(Run& run) : hold_(run.progress.lock) {
  Erase(run);
}

}  // namespace quorrex
