#include "scan/read_queue.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "support/threads.h"

namespace quorrex {
namespace {

// Orders the heap so that its top is the folder the walk enters first.
bool LaterInWalk(const ListedFolderPtr& a, const ListedFolderPtr& b) {
  // std::string compares its bytes as unsigned: char_traits<char>::compare.
  return a->order > b->order;
}

// Folders the walk has left are handed to the readers this many at a time,
// and released by the walk itself when this many batches are still waiting.
constexpr size_t kRetireBatch = 8;
constexpr size_t kRetiredMax = 8 * kRetireBatch;

// How long the walk waits for a folder a reader lists before it looks at
// the queue and for an abort again. A signal handler sets the abort and
// wakes nobody.
constexpr auto kWaitSlice = std::chrono::milliseconds(50);

#ifdef QUORREX_QUEUE_CHECKS
constexpr bool kChecks = true;
#else
constexpr bool kChecks = false;
#endif

[[noreturn]] void Broken(const char* invariant, const char* transition) {
  std::fprintf(stderr, "read queue: \"%s\" broken at %s\n", invariant, transition);
  std::fflush(stderr);
  std::abort();
}

}  // namespace

// --- The budget -----------------------------------------------------------------

void BudgetUnit::GiveBack() {
  if (budget_ != nullptr) budget_->Give();
  budget_ = nullptr;
}

BudgetUnit HandleBudget::Reserve() {
  uint32_t now = inUse_.load(std::memory_order_relaxed);
  while (now < readerShare_) {
    if (inUse_.compare_exchange_weak(now, now + 1, std::memory_order_relaxed)) {
      return BudgetUnit(this);
    }
  }
  return BudgetUnit();
}

BudgetUnit HandleBudget::TakeForWalk() {
  inUse_.fetch_add(1, std::memory_order_relaxed);
  return BudgetUnit(this);
}

// --- The checks -------------------------------------------------------------------

void ReadQueue::KnowLocked(const ListedFolderPtr& folder) {
  if constexpr (kChecks) known_[folder.get()] = folder;
}

void ReadQueue::ForgetLocked(const ListedFolder& folder) {
  if constexpr (kChecks) known_.erase(&folder);
}

ReadQueue::Place* ReadQueue::FindLocked(const ListedFolder& folder) {
  const auto it = places_.find(&folder);
  return it == places_.end() ? nullptr : &it->second;
}

void ReadQueue::TakenLocked(const ListedFolderPtr& folder) {
  if constexpr (kChecks) taken_[folder.get()] = folder;
}

bool ReadQueue::WasTakenLocked(const ListedFolderPtr& folder) {
  if constexpr (kChecks) {
    const auto it = taken_.find(folder.get());
    if (it == taken_.end()) return false;
    if (it->second.lock() == folder) return true;
    taken_.erase(it);  // another folder, made where a freed one was
  }
  return false;
}

void ReadQueue::CheckLocked(const char* transition) {
  if constexpr (kChecks) {
    // After an abort or at the stop, the walk lets go of folders it will
    // never take: those are forgotten here, unchecked, and the counts they
    // were in can no longer be matched.
    const bool ending = stopping_.StopRequested() || abort_.StopRequested();
    size_t queued = 0;
    size_t ahead = 0;
    for (auto it = known_.begin(); it != known_.end();) {
      const ListedFolderPtr folder = it->second.lock();
      if (!folder) {
        if (!ending) Broken("no unit outlives its folder", transition);
        uncounted_ = true;
        it = known_.erase(it);
        continue;
      }
      ++it;
      const Place* place = FindLocked(*folder);
      if (place == nullptr) continue;
      if (place->state == State::kQueued) ++queued;
      if (static_cast<bool>(place->unit) != (place->state == State::kQueued)) {
        Broken("units reserved = folders holding one", transition);
      }
      if (place->ahead) {
        ++ahead;
        if (place->state == State::kQueued) {
          Broken("listed ahead = folders listed and not taken", transition);
        }
      }
    }
    if (uncounted_) return;
    if (queued != queued_) Broken("queued = folders waiting for a reader", transition);
    if (ahead != listedAhead_) Broken("listed ahead = folders listed and not taken", transition);
    if (queued != reserved_) Broken("units reserved = folders holding one", transition);
    if (reserved_ > budget_.readerShare() || listedAhead_ > window_ + 1) {
      Broken("the readers' share stays under its limit", transition);
    }
    if (budget_.inUse() < reserved_) Broken("every unit comes back", transition);
  } else {
    (void)transition;
  }
}

ReadQueue::ReadQueue(Platform& platform, const EntryRules& rules, char16_t separator,
                     uint32_t handles, size_t window, const std::atomic<bool>& privilegeSettled,
                     const StopSource& abort, bool countsEntries)
    : platform_(platform),
      abort_(abort),
      budget_(handles),
      lister_(platform, rules, separator, privilegeSettled, countsEntries),
      window_(window > 0 ? window : 1) {}

ReadQueue::~ReadQueue() {
  // Queued folders hold their parents and their units: let go, so that every
  // folder and its open listing is released.
  for (ListedFolderPtr& folder : heap_) {
    const Place* place = FindLocked(*folder);
    if (place != nullptr && place->state == State::kQueued) {
      --reserved_;
      --queued_;
      places_.erase(folder.get());
    }
    folder->parent.reset();
  }
  heap_.clear();
  Release(retired_);
  Release(retiring_);
  // Every level of the walk is closed by now, and every folder of the
  // queue let go: unless readers were left inside their calls, nothing of
  // the budget is in use.
  if (kChecks && !leftBehind_ && (budget_.inUse() != 0 || reserved_ != 0)) {
    Broken("every unit comes back", "the queue's end");
  }
}

uint32_t ReadQueue::StartReaders(uint32_t readers) {
  uint32_t started = 0;
  for (uint32_t i = 0; i < readers; ++i) {
    // Its buffers are made here, so that a reader needs no memory of its own
    // to start, and no thread-local storage at all. A thread the system
    // refuses leaves the walk with fewer readers, or with none.
    auto scratch = std::make_unique<ListerScratch>();
    std::thread thread;
    auto self = shared_from_this();
    ListerScratch* handed = scratch.get();
    if (!StartThread(thread,
                     [self, handed] { self->Reader(std::unique_ptr<ListerScratch>(handed)); })) {
      break;
    }
    scratch.release();
    {
      std::lock_guard<std::mutex> hold(lock_);
      ++running_;
    }
    threads_.push_back(std::move(thread));
    ++started;
  }
  return started;
}

void ReadQueue::Stop(std::chrono::milliseconds patience, bool aborted) {
  std::unique_lock<std::mutex> hold(lock_);
  stopping_.RequestStop();
  work_.notify_all();
  ready_.notify_all();
  // A reader ends at its next entry. One inside a system call that waits on
  // an unreachable server may take far longer: after an abort it is not
  // waited for past `patience`, and the process exit reclaims it. It holds
  // this queue, not the walk.
  if (aborted) {
    exited_.wait_for(hold, patience, [this] { return running_ == 0; });
  } else {
    exited_.wait(hold, [this] { return running_ == 0; });
  }
  const bool leave = running_ != 0;
  if (leave) leftBehind_ = true;
  hold.unlock();
  for (std::thread& thread : threads_) {
    if (leave) {
      thread.detach();
    } else {
      thread.join();
    }
  }
  threads_.clear();
}

void ReadQueue::Release(std::vector<ListedFolderPtr>& folders) {
  for (ListedFolderPtr& folder : folders) {
    folder->CloseListing();
    folder->ReleaseRecords();
  }
  folders.clear();
}

void ReadQueue::Retire(ListedFolderPtr folder) {
  // Its descriptor goes back now, so that the budget is what the walk
  // holds; the memory goes later.
  folder->CloseListing();
  retiring_.push_back(std::move(folder));
  if (retiring_.size() < kRetireBatch) return;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (retired_.size() < kRetiredMax && running_ > 0) {
      retired_.insert(retired_.end(), std::make_move_iterator(retiring_.begin()),
                      std::make_move_iterator(retiring_.end()));
      retiring_.clear();
      return;
    }
  }
  Release(retiring_);
}

bool ReadQueue::QueueLocked(const ListedFolderPtr& folder) {
  // Queued before: nothing to do. A folder without a place was never
  // queued: the walk queues only entries ahead of its place, so never one it
  // has taken or dropped, and a reader only the subfolders of what it has
  // just listed.
  if (FindLocked(*folder) != nullptr) return true;
  if (kChecks && WasTakenLocked(folder)) {
    Broken("a taken folder is never queued again", "a folder queued");
  }
  BudgetUnit unit = budget_.Reserve();
  if (!unit) return false;
  ++reserved_;
  places_.emplace(folder.get(), Place{State::kQueued, false, std::move(unit)});
  heap_.push_back(folder);
  std::push_heap(heap_.begin(), heap_.end(), LaterInWalk);
  ++queued_;
  KnowLocked(folder);
  CheckLocked("a folder queued");
  return true;
}

bool ReadQueue::Queue(const ListedFolderPtr& folder) {
  std::lock_guard<std::mutex> hold(lock_);
  const bool queued = QueueLocked(folder);
  WakeReadersLocked();
  return queued;
}

void ReadQueue::QueueSubfoldersLocked(const ListedFolder& folder) {
  for (const EntryDetail& detail : folder.details) {
    if (detail.child && !QueueLocked(detail.child)) return;
  }
}

ReadRequest ReadQueue::NextRequestLocked(size_t window) {
  if (queued_ == 0 || listedAhead_ >= window) return {};
  // Folders the walk took or dropped meanwhile are passed by.
  while (!heap_.empty()) {
    std::pop_heap(heap_.begin(), heap_.end(), LaterInWalk);
    ListedFolderPtr folder = std::move(heap_.back());
    heap_.pop_back();
    Place* place = FindLocked(*folder);
    if (place == nullptr || place->state != State::kQueued) continue;
    --queued_;
    place->state = State::kReading;
    // The unit reserved for it travels with the request.
    ReadRequest request{std::move(folder), std::move(place->unit)};
    --reserved_;
    place->ahead = true;
    ++listedAhead_;
    if (kChecks && listedAhead_ > window) {
      Broken("the readers' share stays under its limit", "a folder taken to be listed ahead");
    }
    CheckLocked("a folder taken to be listed ahead");
    return request;
  }
  return {};
}

void ReadQueue::WakeReadersLocked() {
  if (queued_ > 0 && listedAhead_ < window_) work_.notify_one();
}

void ReadQueue::HandBack(ReadResult result) {
  const ListedFolderPtr& folder = result.folder;
  std::vector<ListedFolderPtr> closing;
  {
    std::lock_guard<std::mutex> hold(lock_);
    // A unit no listing holds goes back at once.
    result.unit.GiveBack();
    const bool givenBack =
        result.opened == OpenResult::kShort || result.opened == OpenResult::kParentClosed;
    Place& place = places_.at(folder.get());
    const bool dropped = place.state == State::kDropped;
    if ((dropped || givenBack) && place.ahead) {
      place.ahead = false;
      --listedAhead_;
    }
    if (dropped) {
      closing.push_back(folder);
      folder->parent.reset();
      places_.erase(folder.get());
      ForgetLocked(*folder);
    } else {
      place.state = State::kListed;
      folder->outcome.toList = givenBack;
      // Its subfolders are read ahead in turn, in the walk's order, as far
      // as the readers' share of the budget reaches; the walk queues the
      // rest when it gets there.
      if (!givenBack && !stopping_.StopRequested()) QueueSubfoldersLocked(*folder);
    }
    CheckLocked("a folder read ahead");
    WakeReadersLocked();
    if (walkWaits_) ready_.notify_all();
  }
  Release(closing);
}

void ReadQueue::Read(ReadRequest request, ListerScratch& scratch) {
  HandBack(lister_.Read(std::move(request), scratch, stopping_, abort_));
}

void ReadQueue::Reader(std::unique_ptr<ListerScratch> scratch) {
  platform_.BeginFileSystemWork();
  std::unique_lock<std::mutex> hold(lock_);
  std::vector<ListedFolderPtr> releasing;
  while (!stopping_.StopRequested()) {
    if (!retired_.empty()) {
      releasing.swap(retired_);
      hold.unlock();
      Release(releasing);
      hold.lock();
      continue;
    }
    ReadRequest request = NextRequestLocked(window_);
    if (!request) {
      work_.wait(hold, [this] {
        return stopping_.StopRequested() || !retired_.empty() ||
               (queued_ > 0 && listedAhead_ < window_);
      });
      continue;
    }
    hold.unlock();
    Read(std::move(request), *scratch);
    hold.lock();
  }
  hold.unlock();
  scratch.reset();
  if (!leftBehind_) platform_.EndFileSystemWork();
  hold.lock();
  --running_;
  exited_.notify_all();
}

ReadQueue::Handover ReadQueue::Take(const ListedFolderPtr& folder) {
  std::unique_lock<std::mutex> hold(lock_);
  Handover handover;
  Place* place = FindLocked(*folder);
  if (place == nullptr) {
    folder->outcome.toList = true;  // never queued
    TakenLocked(folder);
    return handover;
  }
  switch (place->state) {
    case State::kReading: {
      // While a reader lists it, the walk lists the next queued folder rather
      // than sleep: on a machine with few cores a reader is as likely to wait
      // for a core as for the disk. The window may be one over its size for
      // this, never more.
      handover.other = NextRequestLocked(window_ + 1);
      handover.kind = Handover::Kind::kMeanwhile;
      return handover;
    }
    case State::kQueued:
      // Its reserved unit is the walk's now.
      --queued_;
      --reserved_;
      handover.unit = std::move(place->unit);
      folder->outcome.toList = true;
      break;
    case State::kListed:
      break;
    case State::kDropped:
      folder->outcome.toList = true;
      break;
  }
  const bool ahead = place->ahead;
  places_.erase(folder.get());
  ForgetLocked(*folder);
  TakenLocked(folder);
  if (ahead) {
    --listedAhead_;
    WakeReadersLocked();
  }
  CheckLocked("a folder taken by the walk");
  return handover;
}

void ReadQueue::WaitFor(const ListedFolderPtr& folder) {
  std::unique_lock<std::mutex> hold(lock_);
  walkWaits_ = true;
  ready_.wait_for(hold, kWaitSlice, [this, &folder] {
    const Place* place = FindLocked(*folder);
    return place == nullptr || place->state != State::kReading ||
           (queued_ > 0 && listedAhead_ <= window_) || stopping_.StopRequested();
  });
  walkWaits_ = false;
}

void ReadQueue::DropLocked(const ListedFolderPtr& folder, std::vector<ListedFolderPtr>& released) {
  if (Place* place = FindLocked(*folder)) {
    switch (place->state) {
      case State::kQueued:
        --queued_;
        --reserved_;  // its unit goes back with its place
        break;
      case State::kReading:
        place->state = State::kDropped;  // its reader lets go when done
        return;
      case State::kDropped:
        return;
      case State::kListed:
        break;
    }
    if (place->ahead) --listedAhead_;
    places_.erase(folder.get());
  }
  folder->parent.reset();
  ForgetLocked(*folder);
  TakenLocked(folder);  // the walk's for good
  // The subfolders a reader queued from its listing go with it.
  DropSubfoldersLocked(*folder, released);
  released.push_back(folder);
}

void ReadQueue::DropSubfoldersLocked(const ListedFolder& folder,
                                     std::vector<ListedFolderPtr>& released) {
  for (const EntryDetail& detail : folder.details) {
    if (detail.child) DropLocked(detail.child, released);
  }
}

void ReadQueue::Drop(const ListedFolderPtr& folder) {
  std::vector<ListedFolderPtr> released;
  {
    std::lock_guard<std::mutex> hold(lock_);
    DropLocked(folder, released);
    CheckLocked("a folder dropped");
    WakeReadersLocked();
  }
  // Nothing of them is needed any more: their listings close at once.
  Release(released);
}

void ReadQueue::DropSubfolders(const ListedFolder& folder) {
  std::vector<ListedFolderPtr> released;
  {
    std::lock_guard<std::mutex> hold(lock_);
    DropSubfoldersLocked(folder, released);
    CheckLocked("a folder's subfolders dropped");
    WakeReadersLocked();
  }
  Release(released);
}

}  // namespace quorrex
