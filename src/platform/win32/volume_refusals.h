// What each volume's file system has refused, remembered for the run: a
// refusal costs one call per volume, not one per folder or per file, and a
// volume that answers is never held to another one's refusal. Written
// without the Windows headers, so that the in-memory machine keeps the same
// record.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace quorrex::win32 {

// The queries a file system may lack.
enum class Refusal : uint32_t {
  kStatByName = 1,   // NtQueryInformationByName's FileStatInformation
  kWideRecords = 2,  // FileIdExtdDirectoryInfo (FAT, exFAT, older servers)
  kFileIdInfo = 4,   // FileIdInfo, the 128-bit ID of an open file
  // Not a refusal but a fact learnt the same way, once per volume: a folder's
  // "." record gave the ID its open handle gives, so the volume's records
  // and handles number files alike.
  kRecordIdsAgree = 8,
};

// Whether a failed query says that the file system does not have it, rather
// than that this one file or folder failed: ERROR_INVALID_FUNCTION,
// ERROR_NOT_SUPPORTED, ERROR_INVALID_PARAMETER and ERROR_INVALID_LEVEL.
inline bool IsRefusalError(uint32_t error) {
  return error == 1 || error == 50 || error == 87 || error == 124;
}

// Volumes are told apart by their serial numbers. Read from every thread
// without a lock; written under one. A run meets a handful of volumes: past
// the table's room a refusal is simply asked again.
class VolumeRefusals {
 public:
  bool Refused(uint64_t volume, Refusal what) const {
    const std::size_t used = used_.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < used; ++i) {
      if (slots_[i].volume.load(std::memory_order_relaxed) == volume) {
        return (slots_[i].refused.load(std::memory_order_relaxed) & Bit(what)) != 0;
      }
    }
    return false;
  }

  void Remember(uint64_t volume, Refusal what) {
    const std::lock_guard<std::mutex> hold(lock_);
    const std::size_t used = used_.load(std::memory_order_relaxed);
    for (std::size_t i = 0; i < used; ++i) {
      if (slots_[i].volume.load(std::memory_order_relaxed) == volume) {
        slots_[i].refused.fetch_or(Bit(what), std::memory_order_relaxed);
        return;
      }
    }
    if (used == kSlots) return;
    slots_[used].volume.store(volume, std::memory_order_relaxed);
    slots_[used].refused.store(Bit(what), std::memory_order_relaxed);
    used_.store(used + 1, std::memory_order_release);
  }

 private:
  static constexpr std::size_t kSlots = 32;
  static uint32_t Bit(Refusal what) { return static_cast<uint32_t>(what); }
  struct Slot {
    std::atomic<uint64_t> volume{0};
    std::atomic<uint32_t> refused{0};
  };
  std::array<Slot, kSlots> slots_;
  std::atomic<std::size_t> used_{0};
  std::mutex lock_;
};

}  // namespace quorrex::win32
