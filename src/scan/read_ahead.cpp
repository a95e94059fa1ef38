#include "scan/read_ahead.h"

#include <algorithm>
#include <chrono>
#include <iterator>

#include "paths/path_forms.h"
#include "support/threads.h"

namespace quorrex {
namespace {

// Orders the queue as a heap whose top is the folder the walk enters first.
bool LaterInWalk(const ListedFolderPtr& a, const ListedFolderPtr& b) {
  // std::string compares its bytes as unsigned: char_traits<char>::compare.
  return a->order > b->order;
}

// Folders the walk has left are handed to the readers this many at a time,
// and released by the walk itself when this many batches are still waiting.
constexpr size_t kRetireBatch = 8;
constexpr size_t kRetiredMax = 8 * kRetireBatch;

// How often the walk, waiting for a folder a reader has, looks for an abort.
constexpr auto kAbortRecheck = std::chrono::milliseconds(50);

// How long a reader that found the budget short waits before it looks again.
constexpr auto kBudgetRecheck = std::chrono::milliseconds(5);

// Entries listed between two additions to the status line's count.
constexpr uint32_t kShownBatch = 256;

// Error codes of shortages: descriptors and memory, as Windows names them,
// and the POSIX ones that have no Windows code (carried as errno + base).
constexpr uint32_t kTooManyOpenFiles = 4;
constexpr uint32_t kNotEnoughMemory = 8;
constexpr uint32_t kOutOfMemory = 14;
constexpr uint32_t kNoSystemResources = 1450;
constexpr uint32_t kErrnoEnfile = 23;
constexpr uint32_t kErrnoEmfile = 24;

}  // namespace

bool IsShortage(uint32_t error) {
  switch (error) {
    case kTooManyOpenFiles:
    case kNotEnoughMemory:
    case kOutOfMemory:
    case kNoSystemResources:
    case win_error::kPosixErrnoBase | kErrnoEnfile:
    case win_error::kPosixErrnoBase | kErrnoEmfile:
      return true;
    default:
      return false;
  }
}

void AppendWalkOrder(std::string& order, size_t position) {
  // One byte below 128, two below 16384, else five: the first byte tells
  // the length and shorter codes sort first, so that comparing the bytes
  // compares the places, and a typical path fits the string's own room.
  const auto value = static_cast<uint32_t>(position);
  if (value < 0x80) {
    order.push_back(static_cast<char>(value));
  } else if (value < 0x4000) {
    order.push_back(static_cast<char>(0x80 | (value >> 8)));
    order.push_back(static_cast<char>(value & 0xFF));
  } else {
    order.push_back(static_cast<char>(0xC0));
    for (int shift = 24; shift >= 0; shift -= 8) order.push_back(static_cast<char>(value >> shift));
  }
}

ReadAhead::ReadAhead(Run& run, const EntryRules& rules, size_t window, uint32_t handles,
                     std::function<void()> makeRoom)
    : run_(run),
      rules_(rules),
      window_(window > 0 ? window : 1),
      readsLinksAhead_(!run.conventions.linkDataNeedsPrivilege),
      budget_(handles),
      makeRoom_(std::move(makeRoom)) {}

void ReadAhead::StartReaders(uint32_t readers) {
  for (uint32_t i = 0; i < readers; ++i) {
    // A thread the system refuses leaves the walk with fewer readers, or
    // with none, reading every folder itself.
    std::thread thread;
    auto self = shared_from_this();
    if (!StartThread(thread, [self] { self->Reader(); })) break;
    {
      std::lock_guard<std::mutex> hold(lock_);
      ++running_;
      readersStarted_ = true;
    }
    threads_.push_back(std::move(thread));
  }
}

ReadAhead::~ReadAhead() {
  // Folders still queued hold their parents; let go so that every folder
  // and its open listing is released.
  for (ListedFolderPtr& folder : queue_) folder->parent.reset();
  queue_.clear();
  Release(retired_);
  Release(retiring_);
}

void ReadAhead::Stop(std::chrono::milliseconds patience) {
  std::unique_lock<std::mutex> hold(lock_);
  stopping_ = true;
  work_.notify_all();
  ready_.notify_all();
  // A reader ends at its next entry. One inside a system call that waits on
  // an unreachable server may take far longer: after an abort it is not
  // waited for past `patience`, and the process exit reclaims it. It holds
  // this record, not the walk's.
  if (run_.AbortRequested()) {
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

void ReadAhead::Release(std::vector<ListedFolderPtr>& folders) {
  for (ListedFolderPtr& folder : folders) {
    folder->TryCloseListing();
    std::vector<ListedEntry>().swap(folder->entries);
    std::u16string().swap(folder->names);
    std::string().swap(folder->bytes);
    std::vector<uint8_t>().swap(folder->reparseData);
  }
  folders.clear();
}

void ReadAhead::Retire(ListedFolderPtr folder) {
  // Its descriptor goes back now, so that the walk's budget is what it
  // holds; the memory goes later.
  folder->walkListing = nullptr;
  folder->TryCloseListing();
  retiring_.push_back(std::move(folder));
  if (retiring_.size() < kRetireBatch) return;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (retired_.size() < kRetiredMax && !threads_.empty()) {
      retired_.insert(retired_.end(), std::make_move_iterator(retiring_.begin()),
                      std::make_move_iterator(retiring_.end()));
      retiring_.clear();
      return;
    }
  }
  Release(retiring_);
}

ListedFolderPtr ReadAhead::NextQueuedLocked() {
  // A reader opens nothing that would leave the walk short of descriptors.
  if (!budget_.ReaderRoom()) return nullptr;
  // Folders the walk took or dropped meanwhile are passed by.
  ListedFolderPtr folder;
  while (!queue_.empty()) {
    std::pop_heap(queue_.begin(), queue_.end(), LaterInWalk);
    folder = std::move(queue_.back());
    queue_.pop_back();
    if (folder->state == ListedFolder::State::kQueued) break;
    folder.reset();
  }
  if (!folder) return nullptr;
  folder->state = ListedFolder::State::kReading;
  folder->counted = true;
  ++ahead_;
  return folder;
}

void ReadAhead::ReadQueued(const ListedFolderPtr& folder, bool onWalk) {
  folder->readByWalk = onWalk;
  folder->privilegeSettledAtRead =
      run_.reparseReader.privilegeSettled.load(std::memory_order_acquire);
  const Opened opened = Open(*folder, onWalk);
  if (opened == Opened::kLeftToWalk) {
    // Back to the walk, which reads it when it gets there; a reader opens
    // nothing more until the budget has room again.
    std::lock_guard<std::mutex> hold(lock_);
    if (folder->state == ListedFolder::State::kReading)
      folder->state = ListedFolder::State::kQueued;
    if (folder->state == ListedFolder::State::kDropped) LetGoOfParent(*folder);
    if (folder->counted) {
      folder->counted = false;
      --ahead_;
    }
    if (walkWaits_) ready_.notify_one();
    return;
  }
  if (opened == Opened::kYes) List(folder);
  Finish(folder);
}

void ReadAhead::Reader() {
  run_.platform.BeginFileSystemWork();
  std::unique_lock<std::mutex> hold(lock_);
  std::vector<ListedFolderPtr> releasing;
  while (!stopping_) {
    if (!retired_.empty()) {
      releasing.swap(retired_);
      hold.unlock();
      Release(releasing);
      hold.lock();
      continue;
    }
    ListedFolderPtr folder;
    if (ahead_ < window_) folder = NextQueuedLocked();
    if (!folder) {
      if (!budget_.ReaderRoom() && ahead_ < window_ && !queue_.empty()) {
        // Descriptors come back from every thread without a word; look again
        // shortly.
        work_.wait_for(hold, kBudgetRecheck);
        continue;
      }
      // A reader that found the window full sleeps until half of it is free
      // again, so that it is not woken for every folder the walk takes.
      const bool full = ahead_ >= window_;
      const size_t resume = full ? (window_ + 1) / 2 : window_;
      size_t& waiting = full ? waitingForRoom_ : waitingForWork_;
      ++waiting;
      work_.wait(hold, [&] { return stopping_ || (!queue_.empty() && ahead_ < resume); });
      --waiting;
      continue;
    }
    hold.unlock();
    ReadQueued(folder, false);
    hold.lock();
  }
  hold.unlock();
  if (!leftBehind_) run_.platform.EndFileSystemWork();
  hold.lock();
  --running_;
  exited_.notify_all();
}

void ReadAhead::WakeReadersLocked() {
  if ((waitingForRoom_ > 0 && ahead_ < (window_ + 1) / 2 && !queue_.empty()) ||
      (waitingForWork_ > 0 && ahead_ < window_ && !queue_.empty())) {
    work_.notify_all();
  }
}

void ReadAhead::LetGoOfParent(ListedFolder& folder) {
  if (folder.parent && folder.opensThroughParent) {
    folder.opensThroughParent = false;
    ListedFolder& parent = *folder.parent;
    if (parent.openers.fetch_sub(1, std::memory_order_acq_rel) == 1) parent.CloseListing();
  }
  folder.parent.reset();
}

ReadAhead::Opened ReadAhead::Open(ListedFolder& folder, bool onWalk) {
  if (onWalk) {
    if (budget_.Spent() && makeRoom_) makeRoom_();
    budget_.TakeForWalk();
  } else if (!budget_.TryTakeForReader()) {
    return Opened::kLeftToWalk;
  }
  thread_local std::u16string mask;
  mask.assign(folder.path);
  AppendSearchMask(mask, run_.separator());
  std::unique_ptr<FolderListing> listing;
  uint32_t error = 0;
  for (int attempt = 0; attempt < 2 && !listing; ++attempt) {
    // Through the folder it was met in while that is open, else by its path.
    ListedFolder* parent = folder.parent.get();
    std::unique_lock<std::mutex> hold;
    if (parent != nullptr) hold = std::unique_lock<std::mutex>(parent->listingLock);
    const EntryRef ref{folder.path,      parent != nullptr ? parent->listing.get() : nullptr,
                       folder.Name(),    folder.attributes,
                       folder.nameBytes, folder.idListed ? &folder.listedId : nullptr};
    listing = run_.platform.OpenListing(mask, ref, error);
    if (listing || !IsShortage(error)) break;
    if (hold.owns_lock()) hold.unlock();
    if (!onWalk) {
      budget_.Give();
      return Opened::kLeftToWalk;
    }
    // The walk was short after all (descriptors the budget does not see):
    // it closes what it can and tries once more.
    if (makeRoom_) makeRoom_();
  }
  // Once open, the folder no longer needs the one it was met in.
  LetGoOfParent(folder);
  if (!listing) {
    budget_.Give();
    folder.error = error;
    folder.denied = error == win_error::kAccessDenied;
    return Opened::kNo;
  }
  folder.listing.Hold(std::move(listing), &budget_);
  folder.opened = true;
  folder.error = 0;
  folder.idKnown = folder.listing->Identity(folder.id);
  return Opened::kYes;
}

void ReadAhead::List(const ListedFolderPtr& self) {
  ListedFolder& folder = *self;
  const char16_t separator = run_.separator();
  FolderListing& listing = *folder.listing.get();
  // The path and entry buffers serve every folder this thread reads. A
  // folder's own records are made for the entries it keeps, a few in a
  // typical folder and none in many, so they start small and only then.
  thread_local std::u16string full;
  thread_local FindData entry;
  full.assign(folder.path);
  if (full.empty() || full.back() != separator) full.push_back(separator);
  const size_t base = full.size();
  // What will open or read through this folder once it is listed: the
  // subfolders queued here, and the walk, for an entry it opens or reads
  // itself (a folder behind a link, a link whose data is not read here).
  uint32_t openers = 0;
  bool walkOpens = false;
  // The status line counts the entries as they are listed, a batch at a
  // time, so that a folder of a million files counts up while it is read.
  StatusLineState& progress = run_.console.statusLine;
  uint32_t unshown = 0;
  const auto show = [&progress, &folder, &unshown] {
    progress.CountEntries(unshown);
    folder.shown += unshown;
    unshown = 0;
  };
  while (!stopping_.load(std::memory_order_relaxed) && !run_.AbortRequested() &&
         listing.Next(entry)) {
    const EntryRole role = ClassifyEntry(rules_, entry, listing);
    if (role == EntryRole::kNone) continue;
    if (++unshown == kShownBatch) show();
    if (role == EntryRole::kSilent) continue;
    LinkInfo link;
    if (role == EntryRole::kLinkQuery) {
      // Where the listing gave bytes, they and the open folder name the file:
      // most files are asked and passed over without their name ever being
      // decoded or their path built.
      uint32_t error = 0;
      EntryRef ref{{}, &listing, {}, entry.attributes, entry.bytes};
      if (entry.bytes.empty()) {
        full.resize(base);
        full.append(entry.Name());
        ref.path = full;
        ref.name = entry.name;
      }
      if (!run_.platform.QueryLinkInfo(ref, link, error)) {
        // A file that vanished or cannot be read is left out without a word.
        link = LinkInfo{};
        if (error == win_error::kAccessDenied) folder.denied = true;
        if (IsShortage(error)) folder.shortage = true;
      }
    }
    // A file the walk passes over without a word (most of them) is only
    // counted: neither its name nor a record is kept.
    if (role == EntryRole::kLinkQuery && link.links <= 1) continue;
    const std::u16string& name = entry.Name();
    full.resize(base);
    full.append(name);

    if (folder.entries.empty()) {
      folder.entries.reserve(4);
      folder.names.reserve(64);
    }
    ListedEntry& read = folder.entries.emplace_back();
    read.role = role;
    read.link = link;
    read.nameOffset = static_cast<uint32_t>(folder.names.size());
    read.nameLength = static_cast<uint32_t>(name.size());
    read.attributes = entry.attributes;
    folder.names.append(name);
    const bool walkOpensThis = (role == EntryRole::kReported && !readsLinksAhead_) ||
                               (role == EntryRole::kFolder && folder.depth < kMaxDepth &&
                                (entry.attributes & kAttrReparsePoint) != 0);
    if (walkOpensThis && !entry.bytes.empty()) {
      read.bytesOffset = static_cast<uint32_t>(folder.bytes.size());
      read.bytesLength = static_cast<uint32_t>(entry.bytes.size());
      folder.bytes.append(entry.bytes);
      folder.bytes.push_back('\0');
    }

    if (role == EntryRole::kReported) {
      // Reported by the walk, never entered. On POSIX its text is read here;
      // elsewhere the walk reads reparse data itself, once it has enabled the
      // backup privilege that the read may need.
      if (readsLinksAhead_) {
        ReadLinkAhead(folder, read, full, entry);
      } else {
        walkOpens = true;
      }
    } else if (role == EntryRole::kFolder) {
      // Plain subfolders that the walk may enter are read ahead; one behind
      // a link is read when the walk gets there, as it is the likelier to
      // be a folder walked already.
      if (folder.depth < kMaxDepth && (entry.attributes & kAttrReparsePoint) == 0) {
        read.child = std::make_shared<ListedFolder>();
        ListedFolder& child = *read.child;
        child.path = full;
        child.nameOffset = static_cast<uint32_t>(base);
        child.parent = self;
        child.opensThroughParent = true;
        ++openers;
        child.nameBytes = entry.bytes;
        child.attributes = entry.attributes;
        // Its identity from this listing's record, where the record has one
        // and this folder's volume is known; else its open asks for it.
        if (entry.indexListed && folder.idKnown && (entry.index != 0 || entry.indexUpper != 0)) {
          child.idListed = true;
          child.listedId = FileId{folder.id.volume, entry.index, entry.indexUpper};
        }
        child.depth = folder.depth + 1;
        child.order = folder.order;
        AppendWalkOrder(child.order, folder.entries.size() - 1);
      } else if (folder.depth < kMaxDepth) {
        walkOpens = true;
      }
    }
  }
  show();
  // A folder that nothing will open through (half of them are leaves) is
  // closed at once, on the thread that read it, while its state is still in
  // this core's caches. The count is set before any subfolder is queued.
  if (walkOpens) {
    ++openers;
    folder.walkListing = &listing;
  }
  folder.openers.store(openers, std::memory_order_relaxed);
  if (openers == 0) folder.CloseListing();
}

void ReadAhead::ReadLinkAhead(ListedFolder& folder, ListedEntry& read, const std::u16string& path,
                              const FindData& entry) {
  thread_local std::vector<uint8_t> buffer;
  if (buffer.size() != kReparseBufferSize) buffer.resize(kReparseBufferSize);
  const EntryRef ref{path, folder.listing.get(), entry.name, entry.attributes, entry.bytes};
  read.reparse = run_.platform.ReadReparseData(path, ref, buffer);
  if (read.reparse.stage != ReparseRead::Stage::kRead && IsShortage(read.reparse.error)) {
    folder.shortage = true;
  }
  read.reparseRead = true;
  if (read.reparse.stage == ReparseRead::Stage::kRead) {
    read.reparseOffset = static_cast<uint32_t>(folder.reparseData.size());
    folder.reparseData.insert(folder.reparseData.end(), buffer.begin(),
                              buffer.begin() + read.reparse.bytesReturned);
  }
}

void ReadAhead::Finish(const ListedFolderPtr& folder) {
  std::lock_guard<std::mutex> hold(lock_);
  if (folder->state == ListedFolder::State::kDropped || stopping_) {
    for (ListedEntry& entry : folder->entries) {
      if (entry.child) DropLocked(*entry.child);
      entry.child.reset();
    }
  } else if (readersStarted_) {
    // For the readers. With none, the walk takes each folder from its
    // parent's entry, and a queue nobody empties would hold every folder of
    // the run.
    for (ListedEntry& entry : folder->entries) {
      if (!entry.child) continue;
      queue_.push_back(entry.child);
      std::push_heap(queue_.begin(), queue_.end(), LaterInWalk);
    }
  }
  if (folder->state == ListedFolder::State::kReading) folder->state = ListedFolder::State::kReady;
  if (folder->state == ListedFolder::State::kDropped) {
    // Listed for nothing: the walk will not pass its entries.
    run_.console.statusLine.UncountEntries(std::exchange(folder->shown, 0));
    if (folder->counted) {
      folder->counted = false;
      --ahead_;
    }
  }
  WakeReadersLocked();
  if (walkWaits_) ready_.notify_one();
}

void ReadAhead::DropLocked(ListedFolder& folder) {
  using State = ListedFolder::State;
  switch (folder.state) {
    case State::kQueued:
      folder.state = State::kDropped;
      LetGoOfParent(folder);
      return;
    case State::kReading:
      folder.state = State::kDropped;  // its reader lets go when done
      return;
    case State::kReady:
    case State::kTaken:
      // Its listing stays open while a reader may still be opening one of
      // its subfolders through it; it closes with the last holder.
      folder.state = State::kDropped;
      for (ListedEntry& entry : folder.entries) {
        if (entry.child) DropLocked(*entry.child);
        entry.child.reset();
      }
      run_.console.statusLine.UncountEntries(std::exchange(folder.shown, 0));
      if (folder.counted) {
        folder.counted = false;
        --ahead_;
      }
      return;
    case State::kDropped:
      return;
  }
}

ListedFolderPtr ReadAhead::OpenHere(std::u16string_view path, const ListedFolderPtr& parent,
                                    const EntryRef& entry, int32_t depth, std::string order) {
  auto folder = std::make_shared<ListedFolder>();
  folder->order = std::move(order);
  folder->path.assign(path);
  folder->nameOffset = static_cast<uint32_t>(folder->path.size() - entry.name.size());
  folder->parent = parent;
  folder->nameBytes.assign(entry.nameBytes);
  folder->attributes = entry.attributes;
  folder->depth = depth;
  folder->state = ListedFolder::State::kTaken;
  folder->readByWalk = true;
  Open(*folder, true);
  return folder;
}

void ReadAhead::ShowListing(const ListedFolder& folder) {
  if (!run_.console.statusLine.enabled.load(std::memory_order_relaxed)) return;
  // As the line names a folder the walk is in: with its separator.
  std::u16string shown = folder.path;
  const char16_t separator = run_.separator();
  if (shown.empty() || shown.back() != separator) shown.push_back(separator);
  run_.console.statusLine.ListingFolder(shown);
}

void ReadAhead::ListHere(const ListedFolderPtr& folder) {
  ShowListing(*folder);
  List(folder);
  Finish(folder);
}

void ReadAhead::ReadAgain(const ListedFolderPtr& folder) {
  ShowListing(*folder);
  {
    std::lock_guard<std::mutex> hold(lock_);
    for (ListedEntry& entry : folder->entries) {
      if (entry.child) DropLocked(*entry.child);
    }
  }
  folder->CloseListing();
  folder->walkListing = nullptr;
  folder->entries.clear();
  folder->names.clear();
  folder->bytes.clear();
  folder->reparseData.clear();
  run_.console.statusLine.UncountEntries(folder->shown);
  folder->shown = 0;
  folder->opened = false;
  folder->idKnown = false;
  folder->denied = false;
  folder->shortage = false;
  folder->readByWalk = true;
  if (Open(*folder, true) == Opened::kYes) List(folder);
  Finish(folder);
}

bool ReadAhead::Take(const ListedFolderPtr& folder) {
  using State = ListedFolder::State;
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    if (folder->state == State::kQueued) {
      // No reader has started on it, or one left it: reading it here is
      // quicker than waiting.
      folder->state = State::kReading;
      hold.unlock();
      ShowListing(*folder);
      ReadQueued(folder, true);
      hold.lock();
      continue;
    }
    if (folder->state != State::kReading) break;
    // While a reader finishes the folder, the walk reads the next queued one
    // rather than sleep: on a machine with few cores a reader is as likely to
    // wait for a core as for the disk. The window may be one over its size
    // for this, never more, however long that reader takes.
    // It reads as a reader would: within the readers' share of the budget,
    // and read again later if the privilege changes meanwhile.
    ListedFolderPtr other = ahead_ <= window_ ? NextQueuedLocked() : nullptr;
    if (other) {
      hold.unlock();
      ReadQueued(other, false);
      hold.lock();
      continue;
    }
    // A reader may be inside a system call that does not return soon (a
    // server that does not answer): an abort ends the wait, and the walk.
    if (run_.AbortRequested()) return false;
    // The line names the folder the walk waits for, whose entries count up
    // as its reader lists them.
    ShowListing(*folder);
    walkWaits_ = true;
    ready_.wait_for(hold, kAbortRecheck, [this, &folder] {
      return folder->state != State::kReading || (!queue_.empty() && ahead_ <= window_) ||
             run_.AbortRequested();
    });
    walkWaits_ = false;
  }
  folder->state = State::kTaken;
  if (folder->counted) {
    folder->counted = false;
    --ahead_;
    WakeReadersLocked();  // room in the window
  }
  hold.unlock();
  // What the walk would have found reading it itself: descriptors or memory
  // it had, or a privilege it has enabled since.
  const bool again =
      !folder->readByWalk &&
      (folder->shortage || (folder->denied && !folder->privilegeSettledAtRead &&
                            run_.reparseReader.privilegeSettled.load(std::memory_order_acquire)));
  if (again) ReadAgain(folder);
  return true;
}

void ReadAhead::Drop(const ListedFolderPtr& folder) {
  std::lock_guard<std::mutex> hold(lock_);
  DropLocked(*folder);
  WakeReadersLocked();
}

}  // namespace quorrex
