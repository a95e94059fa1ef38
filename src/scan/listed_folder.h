// One folder of the walk as records: where it is, what its listing found,
// and the open listing that its subfolders open through.
//
// A folder is made when its parent is listed (a plain subfolder) or when the
// walk opens it itself (the scan folder, a folder behind a link). Whoever
// lists it, a reader or the walk, fills the same records the same way; the
// walk alone reads them and decides what they mean.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "scan/entry_rules.h"

namespace quorrex {

class HandleBudget;  // the read queue's: scan/read_queue.h

// One unit of the budget of open folders, taken for one open: it goes back
// when it is given back or dropped, or, once a listing holds it, when that
// listing closes. Only the budget hands them out, and only the read queue
// counts them (scan/read_queue.cpp); everyone else just passes them on.
class BudgetUnit {
 public:
  BudgetUnit() = default;
  BudgetUnit(BudgetUnit&& other) noexcept : budget_(std::exchange(other.budget_, nullptr)) {}
  BudgetUnit& operator=(BudgetUnit&& other) noexcept {
    if (this != &other) {
      GiveBack();
      budget_ = std::exchange(other.budget_, nullptr);
    }
    return *this;
  }
  BudgetUnit(const BudgetUnit&) = delete;
  BudgetUnit& operator=(const BudgetUnit&) = delete;
  ~BudgetUnit() { GiveBack(); }

  explicit operator bool() const { return budget_ != nullptr; }
  void GiveBack();

 private:
  friend class HandleBudget;
  explicit BudgetUnit(HandleBudget* budget) : budget_(budget) {}
  HandleBudget* budget_ = nullptr;
};

// An open folder listing and the unit of the budget it holds until it
// closes (scan/folder_lister.cpp).
class HeldListing {
 public:
  HeldListing() = default;
  HeldListing(const HeldListing&) = delete;
  HeldListing& operator=(const HeldListing&) = delete;
  ~HeldListing() { Reset(); }

  // Takes over `listing` and `unit`, the unit taken for its open.
  void Hold(std::unique_ptr<FolderListing> listing, BudgetUnit&& unit);
  // Closes the listing; its unit goes back.
  void Reset();
  // Closes the listing and hands over its unit.
  BudgetUnit Close();
  // Trades listings (and their units) with `other`.
  void Swap(HeldListing& other);
  FolderListing* get() const { return listing_.get(); }
  explicit operator bool() const { return listing_ != nullptr; }
  FolderListing* operator->() const { return listing_.get(); }

 private:
  std::unique_ptr<FolderListing> listing_;
  BudgetUnit unit_;
};

struct ListedFolder;
using ListedFolderPtr = std::shared_ptr<ListedFolder>;

// Records appended one by one and then read by their place, kept in
// chunks: a folder of many entries grows without moving what it has, so
// that it never holds its records twice while it grows. The first chunk
// grows as a vector does, for the many folders that keep a few.
template <typename T>
class ChunkedRecords {
 public:
  static constexpr size_t kShift = 8;
  static constexpr size_t kChunk = size_t{1} << kShift;
  static constexpr size_t kFirst = 8;  // room in the first chunk at first

  T& emplace_back() {
    if (size_ < kChunk) {
      if (first_.capacity() == 0) first_.reserve(kFirst);
      ++size_;
      return first_.emplace_back();
    }
    if ((size_ & (kChunk - 1)) == 0) more_.emplace_back().reserve(kChunk);
    ++size_;
    return more_.back().emplace_back();
  }
  T& operator[](size_t i) {
    return i < kChunk ? first_[i] : more_[(i >> kShift) - 1][i & (kChunk - 1)];
  }
  const T& operator[](size_t i) const {
    return i < kChunk ? first_[i] : more_[(i >> kShift) - 1][i & (kChunk - 1)];
  }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void clear() {
    first_.clear();
    more_.clear();
    size_ = 0;
  }
  void Release() {
    std::vector<T>().swap(first_);
    std::vector<std::vector<T>>().swap(more_);
    size_ = 0;
  }

  template <typename Records, typename Item>
  class Iterator {
   public:
    Iterator(Records* records, size_t at) : records_(records), at_(at) {}
    Item& operator*() const { return (*records_)[at_]; }
    Item* operator->() const { return &(*records_)[at_]; }
    Iterator& operator++() {
      ++at_;
      return *this;
    }
    bool operator==(const Iterator& other) const { return at_ == other.at_; }

   private:
    Records* records_;
    size_t at_;
  };
  auto begin() { return Iterator<ChunkedRecords, T>(this, 0); }
  auto end() { return Iterator<ChunkedRecords, T>(this, size_); }
  auto begin() const { return Iterator<const ChunkedRecords, const T>(this, 0); }
  auto end() const { return Iterator<const ChunkedRecords, const T>(this, size_); }

 private:
  std::vector<T> first_;
  std::vector<std::vector<T>> more_;
  size_t size_ = 0;
};

// The names of a folder's kept entries, one after another, in chunks of a
// bounded room: a name never spans two (one longer than the room has a chunk
// of its own), and a name's place stays valid as
// more are added. A name is kept one byte a unit when every unit fits in
// one (most do), else as its UTF-16 units.
class ChunkedNames {
 public:
  static constexpr size_t kShift = 14;
  // A chunk's room; a longer name has a chunk of its own.
  static constexpr size_t kStride = size_t{1} << kShift;
  static constexpr uint32_t kWide = 0x80000000u;  // in a name's length

  // Appends `name`; its place, and in `length` its length with kWide when
  // it is kept as UTF-16.
  uint32_t Append(std::u16string_view name, uint32_t& length) {
    char16_t all = 0;
    for (const char16_t c : name) all |= c;
    const bool wide = all > 0xFF;
    uint32_t at = 0;
    char* to = Room(name.size() * (wide ? 2 : 1), at);
    if (wide) {
      std::memcpy(to, name.data(), name.size() * sizeof(char16_t));
    } else {
      for (size_t i = 0; i < name.size(); ++i) to[i] = static_cast<char>(name[i]);
    }
    length = static_cast<uint32_t>(name.size()) | (wide ? kWide : 0);
    return at;
  }
  // Appends a name whose units each fit in a byte, given as those bytes:
  // the same as Append of the name widened.
  uint32_t AppendNarrow(std::string_view units, uint32_t& length) {
    uint32_t at = 0;
    char* to = Room(units.size(), at);
    if (!units.empty()) std::memcpy(to, units.data(), units.size());
    length = static_cast<uint32_t>(units.size());
    return at;
  }
  // Appends the name at `at` with `length` (as Append gave them) to `out`.
  void AppendTo(uint32_t at, uint32_t length, std::u16string& out) const {
    const size_t chunk = at >> kShift;
    const char* from = (chunk == 0 ? first_ : more_[chunk - 1]).data() + (at & (kStride - 1));
    const size_t units = length & ~kWide;
    const size_t start = out.size();
    out.resize(start + units);
    char16_t* to = out.data() + start;
    if ((length & kWide) != 0) {
      std::memcpy(to, from, units * sizeof(char16_t));
    } else {
      for (size_t i = 0; i < units; ++i) to[i] = static_cast<unsigned char>(from[i]);
    }
  }
  void clear() {
    first_.clear();
    more_.clear();
  }
  void Release() {
    std::string().swap(first_);
    std::vector<std::string>().swap(more_);
  }

 private:
  static constexpr size_t kFirst = 128;  // room in the first chunk at first

  // Room for `bytes` more at the end, its place in `at`.
  char* Room(size_t bytes, uint32_t& at) {
    std::string* chunk = more_.empty() ? &first_ : &more_.back();
    if (chunk->size() + bytes > kStride) {
      chunk = &more_.emplace_back();
      chunk->reserve(std::max(kStride, bytes));
    } else if (chunk->capacity() < kFirst) {
      chunk->reserve(kFirst);
    }
    at = static_cast<uint32_t>((more_.size() << kShift) + chunk->size());
    const size_t start = chunk->size();
    chunk->resize(start + bytes);
    return chunk->data() + start;
  }

  std::string first_;
  std::vector<std::string> more_;
};

// An entry the walk does something with. Its name lives in the folder's
// names; what only a reported link or a subfolder has, in its detail.
struct ListedEntry {
  static constexpr uint32_t kNoDetail = 0xFFFFFFFFu;
  // A file asked for its link count: its file index, where it is on the
  // folder's volume with an index of 64 bits (nearly all; see
  // ListedFolder::LinkOf).
  uint64_t fileIndex = 0;
  uint32_t nameOffset = 0;
  uint32_t nameLength = 0;  // with ChunkedNames::kWide
  uint32_t attributes = 0;
  uint32_t links = 0;  // the link count of a file asked for it
  // The place of its detail in `details` (an entry other than a file asked
  // for its link count), or of its whole identity in `otherIds` (a file
  // whose identity is not its index alone); else none.
  uint32_t detail = kNoDetail;
  EntryRole role = EntryRole::kPassedOver;
};

// What a kept entry other than a file asked for its link count may carry.
struct EntryDetail {
  static constexpr uint32_t kNoBytes = 0xFFFFFFFFu;
  uint32_t bytesOffset = kNoBytes;  // the name's bytes from the listing, if kept
  uint32_t bytesLength = 0;
  // A reported link's data, read while its folder was listed, where that
  // needs no privilege (POSIX).
  bool reparseRead = false;
  ReparseRead reparse;
  uint32_t reparseOffset = 0;  // in the folder's reparse data
  ListedFolderPtr child;       // a plain subfolder the walk may enter
};

// How a listing of a folder ended up, for the walk to judge.
struct ListingOutcome {
  bool opened = false;
  bool listed = false;  // listed to its end, or until a stop
  uint32_t error = 0;   // of the open; 0 when it opened
  // The error that cut the listing short after the entries kept; 0 when it
  // was listed to its end (or stopped).
  uint32_t cutError = 0;
  bool idKnown = false;
  FileId id;
  // Something in it was refused as denied, or for want of descriptors or
  // memory: a later read (with the backup privilege, or with room) may find
  // more.
  bool denied = false;
  bool shortage = false;
  // Whether the backup privilege had been settled when it was read.
  bool privilegeSettled = false;
  // Nobody could open it ahead of the walk (its parent closed, or short of
  // descriptors or memory): the walk opens and lists it itself.
  bool toList = false;
  // Opened as a plain subfolder, it is a mount point its parent's listing
  // did not show (mounted since the system's mount table was read).
  bool mountedSinceListed = false;
};

struct ListedFolder {
  // --- Where it is: written once, before the folder is shared -------------
  std::u16string path;
  uint32_t nameOffset = 0;  // where its name starts in `path`
  std::string nameBytes;    // as the listing gave them, where it gives bytes
  uint32_t attributes = kInvalidFileAttributes;
  // Its identity as the parent's listing gave it, if it did: a plain
  // subfolder is on its parent's volume, so its open asks nothing more.
  bool idListed = false;
  FileId listedId;
  int32_t depth = 0;
  // Its place in the depth-first walk (see AppendWalkOrder): comparing the
  // bytes compares the places.
  std::string order;
  // The folder it is opened through, until it has opened. Not held: the
  // parent holds its subfolders' records, and the walk or the parent's own
  // parent holds it while they may open; a parent gone is a parent closed.
  std::weak_ptr<ListedFolder> parent;

  // --- The listing ----------------------------------------------------------
  // Guarded by `listingLock`. Whoever opens a subfolder through it pins it
  // for that open, without holding the lock: an open may wait long on a
  // server that does not answer, and nobody waits for it. A close asked for
  // meanwhile happens with the last unpin.
  std::mutex listingLock;
  HeldListing listing;
  uint32_t pins = 0;
  bool closeWanted = false;

  // --- What its reading found: written by the one thread that reads it, read
  // by the walk once the read queue hands the folder over -------------------
  ListingOutcome outcome;
  ChunkedNames names;  // every kept entry's name, one after another
  // The listing's bytes of the kept names that the walk opens itself, each
  // with a NUL after it.
  std::string bytes;
  std::vector<uint8_t> reparseData;     // the data of the links read
  ChunkedRecords<ListedEntry> entries;  // those the walk does something with
  std::vector<FileId> otherIds;         // see ListedEntry::detail
  std::vector<EntryDetail> details;     // of the other entries, in their order

  // Entries listed so far, counted in batches while the listing goes on; the
  // walk decides when they reach the status line (see EntryCount).
  std::mutex countLock;
  uint64_t listedCount = 0;
  std::atomic<uint64_t>* countSink = nullptr;  // guarded by countLock

  std::u16string_view Name() const { return std::u16string_view(path).substr(nameOffset); }
  // Appends the entry's name to `out`.
  void AppendNameOf(const ListedEntry& entry, std::u16string& out) const {
    names.AppendTo(entry.nameOffset, entry.nameLength, out);
  }
  LinkInfo LinkOf(const ListedEntry& entry) const {
    LinkInfo link;
    link.links = entry.links;
    if (entry.role != EntryRole::kLinkQuery) return link;
    if (entry.detail != ListedEntry::kNoDetail) {
      link.id = otherIds[entry.detail];
    } else {
      link.id = FileId{outcome.id.volume, entry.fileIndex, 0};
    }
    return link;
  }
  // Keeps the identity of `entry`, a file asked for its link count.
  void KeepId(ListedEntry& entry, const FileId& id) {
    if (id.volume == outcome.id.volume && id.indexUpper == 0) {
      entry.fileIndex = id.index;
    } else {
      entry.detail = static_cast<uint32_t>(otherIds.size());
      otherIds.push_back(id);
    }
  }
  // Null for a file asked for its link count.
  EntryDetail* DetailOf(const ListedEntry& entry) {
    if (entry.role == EntryRole::kLinkQuery || entry.detail == ListedEntry::kNoDetail) {
      return nullptr;
    }
    return &details[entry.detail];
  }
  const EntryDetail* DetailOf(const ListedEntry& entry) const {
    return const_cast<ListedFolder*>(this)->DetailOf(entry);
  }
  // The subfolder record of a plain subfolder the walk may enter; else null.
  ListedFolderPtr* ChildOf(const ListedEntry& entry) {
    EntryDetail* detail = DetailOf(entry);
    return detail != nullptr && detail->child ? &detail->child : nullptr;
  }
  std::span<const uint8_t> ReparseDataOf(const EntryDetail& detail) const {
    if (detail.reparse.stage != ReparseRead::Stage::kRead) return {};
    return std::span<const uint8_t>(reparseData)
        .subspan(detail.reparseOffset, detail.reparse.bytesReturned);
  }
  // Empty when the listing gave no bytes; else followed by a NUL.
  std::string_view BytesOf(const ListedEntry& entry) const {
    const EntryDetail* detail = DetailOf(entry);
    if (detail == nullptr || detail->bytesOffset == EntryDetail::kNoBytes) return {};
    return std::string_view(bytes).substr(detail->bytesOffset, detail->bytesLength);
  }
  // The listing's opens and closes: scan/folder_lister.cpp.
  // Whether the listing is open and stays so; a close asked for while it was
  // pinned is called off.
  bool KeepListingOpen();
  bool ListingOpen();
  // Whether a close asked for waits for an open through the listing.
  bool ClosePending();
  // Closes the listing now, or once the opens through it have returned.
  void CloseListing();
  // Closes the listing as CloseListing() does, and hands over its unit
  // when it closed now.
  BudgetUnit CloseListingForUnit();
  // The listing for the walk to use through it while the folder is its
  // innermost level; null when it is closed or closing (a reader's open
  // through it may close it any moment). Only the walk asks for a close, so
  // one it did not ask for stays open while it uses it.
  FolderListing* ListingForWalk();
  // The listing, pinned open for one open through it; null when it is
  // closed or closing.
  FolderListing* PinListing();
  void UnpinListing();
  // Forgets what a reading found, to be read again.
  void ForgetRecords() {
    outcome = ListingOutcome{};
    entries.clear();
    otherIds.clear();
    details.clear();
    names.clear();
    bytes.clear();
    reparseData.clear();
  }
  // Frees what a reading found.
  void ReleaseRecords() {
    entries.Release();
    std::vector<FileId>().swap(otherIds);
    std::vector<EntryDetail>().swap(details);
    names.Release();
    std::string().swap(bytes);
    std::vector<uint8_t>().swap(reparseData);
  }
};

// Appends the place of an entry at `position` in its folder to a walk order.
void AppendWalkOrder(std::string& order, size_t position);

// The record of a subfolder met as the kept entry at `position` of
// `parent`: its path, where its name starts in it, the name's bytes from the
// listing and its attributes; placed in the walk's order, one level down,
// and to be opened through `parent`.
ListedFolderPtr MakeSubfolder(const ListedFolderPtr& parent, std::u16string_view path,
                              size_t nameOffset, std::string_view nameBytes, uint32_t attributes,
                              size_t position);

// The status line's share of one folder's listing: its entries are counted
// as they are listed into `sink`, once the walk has named the sink, and
// counted there at once for what was listed before.
void CountListedInto(ListedFolder& folder, std::atomic<uint64_t>* sink);
// Adds `n` listed entries of `folder`.
void CountListed(ListedFolder& folder, uint64_t n);
// Takes the folder's count back off its sink (a listing thrown away) and
// detaches it.
void UncountListed(ListedFolder& folder);

}  // namespace quorrex
