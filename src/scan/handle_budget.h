// The open folders the walk may hold at once, shared by the walk's own
// thread and the threads that read ahead of it.
//
// The readers take only what leaves the walk room to go on: when they find
// the budget short they stop reading ahead, and the walk reads the folders
// they leave. The walk always gets its folder; when the budget is spent it
// first closes folders of its own that it keeps open only to open their
// subfolders by a shorter route.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/platform.h"

namespace quorrex {

class HandleBudget {
 public:
  // `limit` folders in all; readers stop `reserve` short of it.
  explicit HandleBudget(uint32_t limit)
      : limit_(limit < 2 ? 2 : limit), readerLimit_(limit_ > 8 ? limit_ - limit_ / 4 : 0) {}

  uint32_t limit() const { return limit_; }
  uint32_t inUse() const { return inUse_.load(std::memory_order_relaxed); }
  bool Spent() const { return inUse() >= limit_; }
  bool ReaderRoom() const { return inUse() < readerLimit_; }

  // A reader's take: false when it would leave the walk short.
  bool TryTakeForReader() {
    uint32_t now = inUse_.load(std::memory_order_relaxed);
    while (now < readerLimit_) {
      if (inUse_.compare_exchange_weak(now, now + 1, std::memory_order_relaxed)) return true;
    }
    return false;
  }
  // The walk's take never fails; the walk makes room first (see above).
  void TakeForWalk() { inUse_.fetch_add(1, std::memory_order_relaxed); }
  void Give() { inUse_.fetch_sub(1, std::memory_order_relaxed); }

 private:
  const uint32_t limit_;
  const uint32_t readerLimit_;
  std::atomic<uint32_t> inUse_{0};
};

// An open folder listing that holds one unit of a budget until it closes.
class HeldListing {
 public:
  HeldListing() = default;
  HeldListing(const HeldListing&) = delete;
  HeldListing& operator=(const HeldListing&) = delete;
  ~HeldListing() { Reset(); }

  void Hold(std::unique_ptr<FolderListing> listing, HandleBudget* budget) {
    Reset();
    listing_ = std::move(listing);
    budget_ = listing_ ? budget : nullptr;
  }
  void Reset() {
    if (!listing_) return;
    listing_.reset();
    if (budget_ != nullptr) budget_->Give();
    budget_ = nullptr;
  }
  FolderListing* get() const { return listing_.get(); }
  explicit operator bool() const { return listing_ != nullptr; }
  FolderListing* operator->() const { return listing_.get(); }

 private:
  std::unique_ptr<FolderListing> listing_;
  HandleBudget* budget_ = nullptr;
};

}  // namespace quorrex
