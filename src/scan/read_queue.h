// The folders the walk has queued to be listed ahead of it, the readers
// that list them, and the budget of open folders they share with the walk.
//
// The walk decides what is opened and listed, and in which order; the queue
// only schedules. It hands the queued folder that comes first in the walk's
// order to the next free reader as a request, within a window of folders
// listed and not yet taken; the reader makes the system calls (the open
// through the parent's listing, the listing, the link counts and link data
// the entry rules ask for) and hands back a result with the folder's unit;
// the queue hands each folder to the walk when the walk asks for it. A
// reader that cannot open its folder (its parent closed, or short of
// descriptors or memory) hands it back to be listed by the walk.
//
// The budget: every open listing holds one unit. The queue reserves a unit
// for each folder it queues, within the readers' share, and a request
// carries it: a reader never waits for the budget and never asks the walk
// for room. The walk's own opens always get their unit; when the budget is
// spent the walk first closes listings of its own. Units are tokens
// (BudgetUnit): counted here, and given back by whoever drops one.
//
// What holds at every change of a folder's place in the queue, under its
// lock (checked there, aborting with the name of the one broken, in builds
// with QUORREX_QUEUE_CHECKS: the test builds):
//  - "queued = folders waiting for a reader": `queued_` counts the folders
//    in kQueued;
//  - "listed ahead = folders listed and not taken": `listedAhead_` counts
//    the folders a reader lists or has listed that the walk has neither
//    taken nor dropped;
//  - "units reserved = folders holding one": `reserved_` counts the units
//    of the budget reserved for folders still queued, and only a queued
//    folder holds one; the request of a reader or the handover to the walk
//    that takes the folder takes its unit with it;
//  - "the readers' share stays under its limit": the units reserved are
//    within the readers' share of the budget, and the folders listed ahead
//    within the window (one more while the walk lists one in a reader's
//    stead);
//  - "a taken folder is never queued again": taken or dropped, it is the
//    walk's for good;
//  - "no unit outlives its folder": no folder the queue counts is freed
//    before it is taken or dropped, short of an abort or the stop;
//  - "every unit comes back": units reserved + units held by open listings
//    and requests = units taken from the budget, so that once the walk has
//    closed every level and the queue is gone, nothing of the budget is in
//    use.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "scan/folder_lister.h"
#include "scan/listed_folder.h"

namespace quorrex {

// The open folders the walk may hold at once, its own and those listed
// ahead of it, handed out as units.
class HandleBudget {
 public:
  // `limit` folders in all; the readers' share leaves a quarter to the walk,
  // and is nothing when the limit is too small to share.
  explicit HandleBudget(uint32_t limit)
      : limit_(limit < 2 ? 2 : limit), readerShare_(limit_ > 8 ? limit_ - limit_ / 4 : 0) {}

  uint32_t inUse() const { return inUse_.load(std::memory_order_relaxed); }
  uint32_t readerShare() const { return readerShare_; }
  bool Spent() const { return inUse() >= limit_; }

  // A unit for a folder to be listed ahead; none when that would leave the
  // walk short.
  BudgetUnit Reserve();
  // The walk's own unit, never refused: the walk makes room first.
  BudgetUnit TakeForWalk();

 private:
  friend class BudgetUnit;
  void Give() { inUse_.fetch_sub(1, std::memory_order_relaxed); }

  const uint32_t limit_;
  const uint32_t readerShare_;
  std::atomic<uint32_t> inUse_{0};
};

class ReadQueue : public std::enable_shared_from_this<ReadQueue> {
 public:
  // What the walk gets when it asks for a folder.
  struct Handover {
    enum class Kind {
      // The folder is the walk's: read by a reader (listed, or failed to
      // open: see its outcome), or, when its outcome says `toList`, to be
      // opened and listed by the walk, with `unit` when one was reserved for
      // it.
      kTheWalks,
      // A reader lists it now. Meanwhile the walk Read()s `other` as a reader
      // would, when there is one, or else WaitFor()s it; then Take()s again.
      kMeanwhile,
    };
    Kind kind = Kind::kTheWalks;
    BudgetUnit unit;
    ReadRequest other;
  };

  // `handles` is the budget of open folders; at most `window` folders are
  // listed ahead and not yet taken.
  // Readers end their listing at an abort (`abort`) as at the queue's stop.
  ReadQueue(Platform& platform, const EntryRules& rules, char16_t separator, uint32_t handles,
            size_t window, const std::atomic<bool>& privilegeSettled, const StopSource& abort,
            bool countsEntries);
  ~ReadQueue();
  ReadQueue(const ReadQueue&) = delete;
  ReadQueue& operator=(const ReadQueue&) = delete;

  FolderLister& lister() { return lister_; }
  // The walk's side of the budget: whether it must close a listing of its
  // own before it opens one, and the unit for an open of its own.
  bool BudgetSpent() const { return budget_.Spent(); }
  BudgetUnit UnitForWalk() { return budget_.TakeForWalk(); }

  // Starts up to `readers` threads, each with its buffers made before it
  // starts; fewer when the system refuses some. Returns how many started.
  uint32_t StartReaders(uint32_t readers);
  // Queues a folder not queued before, with a unit of the budget reserved
  // for its open; false when the readers' share of the budget is spent.
  bool Queue(const ListedFolderPtr& folder);
  // Hands `folder` (queued or not) to the walk, or something to do
  // meanwhile.
  Handover Take(const ListedFolderPtr& folder);
  // Waits, a little while at most, for a change to `folder`'s reading.
  void WaitFor(const ListedFolderPtr& folder);
  // Does what `request` asks as a reader does, and hands the result back:
  // for the readers, and for the walk with a folder it got to read
  // meanwhile.
  void Read(ReadRequest request, ListerScratch& scratch);
  // The walk will not enter `folder`: its unit and listing go back now, with
  // those of the subfolders queued from its listing.
  void Drop(const ListedFolderPtr& folder);
  // The subfolders queued from `folder`'s listing are dropped (it is to be
  // listed again).
  void DropSubfolders(const ListedFolder& folder);
  // The walk has left `folder`: its listing closes now, its records are
  // freed by a reader, in batches, so that the walk does not pay for it.
  void Retire(ListedFolderPtr folder);
  // Ends the reading and waits for the readers; after an abort, a reader
  // still inside a system call after `patience` is left to the process exit.
  void Stop(std::chrono::milliseconds patience, bool aborted);

 private:
  void Reader(std::unique_ptr<ListerScratch> scratch);
  void HandBack(ReadResult result);
  ReadRequest NextRequestLocked(size_t window);
  void WakeReadersLocked();
  bool QueueLocked(const ListedFolderPtr& folder);
  void QueueSubfoldersLocked(const ListedFolder& folder);
  // A folder's place in the queue. A folder the queue holds no place for is
  // the walk's: never queued, or taken or dropped (and never queued again).
  enum class State : uint8_t {
    kQueued,   // waiting for a reader, with a unit of the budget reserved
    kReading,  // a reader lists it
    kListed,   // read by a reader: listed, failed to open, or `toList`
    kDropped,  // dropped while a reader lists it: the reader lets it go
  };
  struct Place {
    State state = State::kQueued;
    bool ahead = false;  // counted in the window
    BudgetUnit unit;     // reserved for it while it is queued
  };
  // Its place, if it has one.
  Place* FindLocked(const ListedFolder& folder);
  // Marks `folder` and what was queued from it dropped; those nobody lists
  // now go to `released`, to be released once the lock is let go.
  void DropLocked(const ListedFolderPtr& folder, std::vector<ListedFolderPtr>& released);
  void DropSubfoldersLocked(const ListedFolder& folder, std::vector<ListedFolderPtr>& released);
  static void Release(std::vector<ListedFolderPtr>& folders);
  // The folders the checks count (see above), and the checks themselves:
  // nothing in builds without them.
  void KnowLocked(const ListedFolderPtr& folder);
  void ForgetLocked(const ListedFolder& folder);
  void TakenLocked(const ListedFolderPtr& folder);
  bool WasTakenLocked(const ListedFolderPtr& folder);
  void CheckLocked(const char* transition);

  Platform& platform_;
  const StopSource& abort_;
  HandleBudget budget_;
  FolderLister lister_;
  const size_t window_;
  std::mutex lock_;
  std::condition_variable work_;   // readers wait here
  std::condition_variable ready_;  // the walk waits here
  std::unordered_map<const ListedFolder*, Place> places_;
  std::vector<ListedFolderPtr> heap_;  // queued, the folder walked first on top
  size_t queued_ = 0;                  // folders in the heap still queued
  size_t listedAhead_ = 0;             // folders being listed or listed, not taken
  size_t reserved_ = 0;                // units reserved for queued folders
  std::unordered_map<const ListedFolder*, std::weak_ptr<ListedFolder>> known_;  // checks only
  std::unordered_map<const ListedFolder*, std::weak_ptr<ListedFolder>> taken_;  // checks only
  bool uncounted_ = false;                 // checks only: a folder was let go at the end, uncounted
  bool walkWaits_ = false;                 // the walk waits for a folder being listed
  std::vector<ListedFolderPtr> retired_;   // left by the walk, for a reader to release
  std::vector<ListedFolderPtr> retiring_;  // the walk's own batch, not yet handed on
  StopSource stopping_;
  std::atomic<bool> leftBehind_{false};  // readers are left to the process exit
  size_t running_ = 0;                   // readers inside Reader()
  std::condition_variable exited_;
  std::vector<std::thread> threads_;
};

}  // namespace quorrex
