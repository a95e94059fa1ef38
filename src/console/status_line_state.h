// The record of the status line (console/status_line): what the walk has
// seen so far, and the state of the thread that draws it.
//
// The walk feeds it from any of its threads while the line is on; every
// feeding call is cheap and does nothing while the line is off.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "support/threads.h"

namespace quorrex {

struct StatusLineState {
  StatusLineState() = default;
  StatusLineState(const StatusLineState&) = delete;
  StatusLineState& operator=(const StatusLineState&) = delete;
  ~StatusLineState() { StopThread(thread, lock, wake, stop); }

  // --- Fed by the walk, from any thread --------------------------------------
  // The walk enters a folder: one more folder, and the line names it.
  void EnterFolder(std::u16string_view path) {
    if (!enabled.load(std::memory_order_relaxed)) return;
    folders.fetch_add(1, std::memory_order_relaxed);
    ShowFolder(path);
  }
  // A folder is being listed (before the walk enters it, or while a long
  // listing goes on): the line names it, and counts nothing for it.
  void ListingFolder(std::u16string_view path) {
    if (enabled.load(std::memory_order_relaxed)) ShowFolder(path);
  }
  // Entries listed; the counts the line shows go up as they come.
  void CountEntries(uint64_t n) {
    if (enabled.load(std::memory_order_relaxed)) entries.fetch_add(n, std::memory_order_relaxed);
  }
  // Entries counted for a listing that is thrown away.
  void UncountEntries(uint64_t n) {
    if (enabled.load(std::memory_order_relaxed)) entries.fetch_sub(n, std::memory_order_relaxed);
  }
  void CountReparsePoint() { Count(reparsePoints); }
  void CountLinkCandidate() { Count(linkCandidates); }

  std::u16string Folder() const {
    std::lock_guard<std::mutex> hold(folderLock);
    return folder;
  }

  std::atomic<bool> enabled{false};
  std::atomic<uint64_t> folders{0};
  std::atomic<uint64_t> entries{0};
  std::atomic<uint64_t> reparsePoints{0};
  std::atomic<uint64_t> linkCandidates{0};
  mutable std::mutex folderLock;  // guards `folder` alone
  std::u16string folder;          // the folder the line names

  // --- Drawing -----------------------------------------------------------------
  // `lock` guards the fields below it and the terminal's line: it is held
  // while the line is drawn or erased, and by whoever keeps the line off the
  // screen to write to standard error.
  std::mutex lock;
  std::condition_variable wake;
  bool stop = false;
  bool suspended = false;    // the process is stopped (job control): not drawn
  int64_t shownColumns = 0;  // columns of the line on the screen; 0: none
  // The spaces that erase the line on the screen and a carriage return, made
  // whenever it is drawn, so that the way out of a refused allocation erases
  // it without allocating.
  std::string eraseBytes;
  std::thread thread;
  // Set once on the way out of a refused allocation: nothing is drawn any
  // more. `writing` is set around each write of the line, so that the way
  // out waits for a write in progress before it erases.
  std::atomic<bool> halted{false};
  std::atomic<bool> writing{false};

 private:
  void ShowFolder(std::u16string_view path) {
    std::lock_guard<std::mutex> hold(folderLock);
    folder.assign(path);
  }
  void Count(std::atomic<uint64_t>& counter) {
    if (enabled.load(std::memory_order_relaxed)) counter.fetch_add(1, std::memory_order_relaxed);
  }
};

}  // namespace quorrex
