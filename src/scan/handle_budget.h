// The open folders the walk may hold at once, its own and those listed
// ahead of it.
//
// Every open listing holds one unit. The walk reserves a unit for each
// folder it queues to be listed ahead, within the readers' share, and a
// reader opens only with the unit its folder carries: a reader never waits
// for the budget and never asks the walk for room. The walk's own opens
// always get their unit; when the budget is spent the walk first closes
// listings of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

#include "platform/platform.h"

namespace quorrex {

class HandleBudget {
 public:
  // `limit` folders in all; the readers' share leaves a quarter to the walk,
  // and is nothing when the limit is too small to share.
  explicit HandleBudget(uint32_t limit)
      : limit_(limit < 2 ? 2 : limit), readerShare_(limit_ > 8 ? limit_ - limit_ / 4 : 0) {}

  uint32_t inUse() const { return inUse_.load(std::memory_order_relaxed); }
  uint32_t readerShare() const { return readerShare_; }
  bool Spent() const { return inUse() >= limit_; }

  // A unit for a folder to be listed ahead; false when that would leave the
  // walk short.
  bool TryReserve() {
    uint32_t now = inUse_.load(std::memory_order_relaxed);
    while (now < readerShare_) {
      if (inUse_.compare_exchange_weak(now, now + 1, std::memory_order_relaxed)) return true;
    }
    return false;
  }
  // The walk's own unit; the walk makes room first (see above).
  void TakeForWalk() { inUse_.fetch_add(1, std::memory_order_relaxed); }
  void Give() { inUse_.fetch_sub(1, std::memory_order_relaxed); }

 private:
  const uint32_t limit_;
  const uint32_t readerShare_;
  std::atomic<uint32_t> inUse_{0};
};

// An open folder listing that holds one unit of a budget until it closes.
class HeldListing {
 public:
  HeldListing() = default;
  HeldListing(const HeldListing&) = delete;
  HeldListing& operator=(const HeldListing&) = delete;
  ~HeldListing() { Reset(); }

  // Takes over `listing` and the unit of `budget` taken for it.
  void Hold(std::unique_ptr<FolderListing> listing, HandleBudget* budget) {
    Reset();
    listing_ = std::move(listing);
    budget_ = budget;
    if (!listing_ && budget_ != nullptr) {
      budget_->Give();
      budget_ = nullptr;
    }
  }
  void Reset() {
    if (!listing_) return;
    listing_.reset();
    if (budget_ != nullptr) budget_->Give();
    budget_ = nullptr;
  }
  // Trades listings (and their units) with `other`.
  void Swap(HeldListing& other) {
    std::swap(listing_, other.listing_);
    std::swap(budget_, other.budget_);
  }
  FolderListing* get() const { return listing_.get(); }
  explicit operator bool() const { return listing_ != nullptr; }
  FolderListing* operator->() const { return listing_.get(); }

 private:
  std::unique_ptr<FolderListing> listing_;
  HandleBudget* budget_ = nullptr;
};

}  // namespace quorrex
