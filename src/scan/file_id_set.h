// A set of file identities kept in one table of open addressing: an insert
// is a probe of neighbouring slots, with no allocation of its own but when
// the table grows, for the walk's record of every folder it entered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/platform.h"

namespace quorrex {

class FileIdSet {
 public:
  // Adds `id`; whether it was not there before. An unknown identity (see
  // IsKnownFileId) is never kept and never matches: every insert of one is
  // new.
  bool Insert(const FileId& id) {
    if (!IsKnownFileId(id)) return true;
    // Grown at three quarters full, so that a probe ends soon on a free slot.
    if ((size_ + 1) * 4 > slots_.size() * 3) Grow();
    const size_t mask = slots_.size() - 1;
    for (size_t at = FileIdHash{}(id)&mask;; at = (at + 1) & mask) {
      FileId& slot = slots_[at];
      if (IsFree(slot)) {
        slot = id;
        ++size_;
        return true;
      }
      if (slot == id) return false;
    }
  }

  bool Contains(const FileId& id) const {
    if (size_ == 0 || !IsKnownFileId(id)) return false;
    const size_t mask = slots_.size() - 1;
    for (size_t at = FileIdHash{}(id)&mask;; at = (at + 1) & mask) {
      const FileId& slot = slots_[at];
      if (IsFree(slot)) return false;
      if (slot == id) return true;
    }
  }

  size_t size() const { return size_; }

 private:
  static constexpr size_t kFirstSlots = 64;

  // A free slot holds an index of 0, which no known identity has.
  static bool IsFree(const FileId& slot) { return slot.index == 0 && slot.indexUpper == 0; }

  void Grow() {
    std::vector<FileId> old(slots_.empty() ? kFirstSlots : slots_.size() * 2);
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (const FileId& id : old) {
      if (IsFree(id)) continue;
      size_t at = FileIdHash{}(id)&mask;
      while (!IsFree(slots_[at])) at = (at + 1) & mask;
      slots_[at] = id;
    }
  }

  std::vector<FileId> slots_;  // a power of two of them, or none
  size_t size_ = 0;
};

}  // namespace quorrex
