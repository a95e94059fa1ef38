#include "scan/read_ahead.h"

#include <algorithm>
#include <iterator>

#include "paths/name_pattern.h"
#include "support/threads.h"

namespace quorrex {
namespace {

// Orders the queue as a heap whose top is the folder the walk enters first.
bool LaterInWalk(const ReadFolderPtr& a, const ReadFolderPtr& b) {
  return a->order > b->order;
}

// Folders the walk has left are handed to the readers this many at a time,
// and released by the walk itself when this many batches are still waiting.
constexpr size_t kRetireBatch = 8;
constexpr size_t kRetiredMax = 8 * kRetireBatch;

}  // namespace

void AppendWalkOrder(std::string& order, size_t position) {
  const auto value = static_cast<uint32_t>(position);
  for (int shift = 24; shift >= 0; shift -= 8) order.push_back(static_cast<char>(value >> shift));
}

ReadAhead::ReadAhead(Run& run, std::u16string_view pattern, uint32_t readers, size_t window)
    : run_(run),
      pattern_(pattern),
      window_(window > 0 ? window : 1),
      readsLinksAhead_(run.posix()) {
  for (uint32_t i = 0; i < readers; ++i) {
    // A thread the system refuses leaves the walk with fewer readers, or
    // with none, reading every folder itself.
    std::thread thread;
    if (!StartThread(thread, [this] { Reader(); })) break;
    threads_.push_back(std::move(thread));
  }
}

ReadAhead::~ReadAhead() {
  Stop();
  for (std::thread& thread : threads_) thread.join();
  // Folders still queued hold their parents; let go so that every folder
  // and its open listing is released.
  for (ReadFolderPtr& folder : queue_) folder->parent.reset();
  queue_.clear();
  Release(retired_);
  Release(retiring_);
}

void ReadAhead::Release(std::vector<ReadFolderPtr>& folders) {
  for (ReadFolderPtr& folder : folders) {
    folder->listing.reset();
    std::vector<ReadEntry>().swap(folder->entries);
    std::u16string().swap(folder->names);
    std::string().swap(folder->bytes);
    std::vector<uint8_t>().swap(folder->reparseData);
  }
  folders.clear();
}

void ReadAhead::Retire(ReadFolderPtr folder) {
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

void ReadAhead::Stop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  work_.notify_all();
  ready_.notify_all();
}

ReadFolderPtr ReadAhead::NextQueuedLocked() {
  // Folders the walk took or dropped meanwhile are passed by.
  ReadFolderPtr folder;
  while (!queue_.empty()) {
    std::pop_heap(queue_.begin(), queue_.end(), LaterInWalk);
    folder = std::move(queue_.back());
    queue_.pop_back();
    if (folder->state == ReadFolder::State::kQueued) break;
    folder.reset();
  }
  if (!folder) return nullptr;
  folder->state = ReadFolder::State::kReading;
  folder->counted = true;
  ++ahead_;
  return folder;
}

void ReadAhead::ReadQueued(const ReadFolderPtr& folder) {
  if (Open(*folder)) List(folder);
  Finish(folder);
}

void ReadAhead::Reader() {
  run_.platform.BeginFileSystemWork();
  std::unique_lock<std::mutex> hold(lock_);
  std::vector<ReadFolderPtr> releasing;
  while (!stopping_) {
    if (!retired_.empty()) {
      releasing.swap(retired_);
      hold.unlock();
      Release(releasing);
      hold.lock();
      continue;
    }
    ReadFolderPtr folder;
    if (ahead_ < window_) folder = NextQueuedLocked();
    if (!folder) {
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
    ReadQueued(folder);
    hold.lock();
  }
  hold.unlock();
  run_.platform.EndFileSystemWork();
}

void ReadAhead::WakeReadersLocked() {
  if ((waitingForRoom_ > 0 && ahead_ < (window_ + 1) / 2 && !queue_.empty()) ||
      (waitingForWork_ > 0 && ahead_ < window_ && !queue_.empty())) {
    work_.notify_all();
  }
}

void ReadAhead::LetGoOfParent(ReadFolder& folder) {
  if (folder.parent && folder.opensThroughParent) {
    folder.opensThroughParent = false;
    ReadFolder& parent = *folder.parent;
    if (parent.openers.fetch_sub(1, std::memory_order_acq_rel) == 1) parent.listing.reset();
  }
  folder.parent.reset();
}

bool ReadAhead::Open(ReadFolder& folder) {
  const char16_t separator = run_.separator();
  std::u16string mask = folder.path;
  if (mask.empty() || mask.back() != separator) mask.push_back(separator);
  mask.push_back(u'*');
  const EntryRef ref{folder.path, folder.parent ? folder.parent->listing.get() : nullptr,
                     folder.name, folder.attributes, folder.nameBytes};
  uint32_t error = 0;
  folder.listing = run_.platform.OpenListing(mask, ref, error);
  // Once open, the folder no longer needs the one it was met in.
  LetGoOfParent(folder);
  if (!folder.listing) {
    folder.error = error;
    return false;
  }
  folder.opened = true;
  folder.error = 0;
  folder.idKnown = folder.listing->Identity(folder.id);
  return true;
}

void ReadAhead::List(const ReadFolderPtr& self) {
  ReadFolder& folder = *self;
  const char16_t separator = run_.separator();
  const bool recurse = run_.options.recurse;
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
  while (!stopping_.load(std::memory_order_relaxed) && !run_.AbortRequested() &&
         folder.listing->Next(entry)) {
    const std::u16string& name = entry.name;
    if (name == u"." || name == u"..") continue;
    const bool matches = MatchNamePattern(pattern_, name);
    // Whether a link leads to a folder matters only for one to be entered.
    if (entry.directoryUnresolved && !matches && recurse) folder.listing->ResolveDirectory(entry);
    full.resize(base);
    full.append(name);
    const bool reported = matches && (entry.attributes & kAttrReparsePoint) != 0;
    const bool folderEntry = !reported && (entry.attributes & kAttrDirectory) != 0;
    LinkInfo link;
    if (!reported && !folderEntry && matches) {
      uint32_t error = 0;
      const EntryRef ref{full, folder.listing.get(), name, entry.attributes, entry.bytes};
      if (!run_.platform.QueryLinkInfo(ref, link, error)) link = LinkInfo{};
    }
    // A file the walk would pass over without a word (most of them) is only
    // counted: neither its name nor a record is kept.
    if (!reported && !folderEntry && link.links <= 1) {
      ++folder.silent;
      continue;
    }

    if (folder.entries.empty()) {
      folder.entries.reserve(4);
      folder.names.reserve(64);
      folder.bytes.reserve(64);
    }
    ReadEntry& read = folder.entries.emplace_back();
    read.matches = matches;
    read.link = link;
    read.nameOffset = static_cast<uint32_t>(folder.names.size());
    read.nameLength = static_cast<uint32_t>(name.size());
    read.attributes = entry.attributes;
    folder.names.append(name);
    if (!entry.bytes.empty()) {
      read.bytesOffset = static_cast<uint32_t>(folder.bytes.size());
      read.bytesLength = static_cast<uint32_t>(entry.bytes.size());
      folder.bytes.append(entry.bytes);
      folder.bytes.push_back('\0');
    }

    if (reported) {
      // Reported by the walk, never entered. On POSIX its text is read here;
      // elsewhere the walk reads reparse data itself, once it has enabled the
      // backup privilege that the read may need.
      if (readsLinksAhead_) {
        ReadLinkAhead(folder, read, full, entry);
      } else {
        walkOpens = true;
      }
    } else if (folderEntry) {
      // Plain subfolders that the walk may enter are read ahead; one behind
      // a link is read when the walk gets there, as it is the likelier to
      // be a folder walked already.
      if (recurse && folder.depth < kMaxDepth && (entry.attributes & kAttrReparsePoint) == 0) {
        read.child = std::make_shared<ReadFolder>();
        read.child->path = full;
        read.child->parent = self;
        read.child->opensThroughParent = true;
        ++openers;
        read.child->name = name;
        read.child->nameBytes = entry.bytes;
        read.child->attributes = entry.attributes;
        read.child->depth = folder.depth + 1;
        read.child->order.reserve(folder.order.size() + 4);
        read.child->order = folder.order;
        AppendWalkOrder(read.child->order, folder.entries.size() - 1);
      } else {
        walkOpens = true;
      }
    }
  }
  // A folder that nothing will open through (half of them are leaves) is
  // closed at once, on the thread that read it, while its state is still in
  // this core's caches. The count is set before any subfolder is queued.
  if (walkOpens) {
    ++openers;
    folder.walkListing = folder.listing.get();
  }
  folder.openers.store(openers, std::memory_order_relaxed);
  if (openers == 0) folder.listing.reset();
}

void ReadAhead::ReadLinkAhead(ReadFolder& folder, ReadEntry& read, const std::u16string& path,
                              const FindData& entry) {
  thread_local std::vector<uint8_t> buffer;
  if (buffer.size() != kReparseBufferSize) buffer.resize(kReparseBufferSize);
  const EntryRef ref{path, folder.listing.get(), entry.name, entry.attributes, entry.bytes};
  read.reparse = run_.platform.ReadReparseData(path, ref, buffer);
  read.reparseRead = true;
  if (read.reparse.stage == ReparseRead::Stage::kRead) {
    read.reparseOffset = static_cast<uint32_t>(folder.reparseData.size());
    folder.reparseData.insert(folder.reparseData.end(), buffer.begin(),
                              buffer.begin() + read.reparse.bytesReturned);
  }
}

void ReadAhead::Finish(const ReadFolderPtr& folder) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (folder->state == ReadFolder::State::kDropped || stopping_) {
      for (ReadEntry& entry : folder->entries) {
        if (entry.child) DropLocked(*entry.child);
        entry.child.reset();
      }
    } else {
      for (ReadEntry& entry : folder->entries) {
        if (!entry.child) continue;
        queue_.push_back(entry.child);
        std::push_heap(queue_.begin(), queue_.end(), LaterInWalk);
      }
    }
    if (folder->state == ReadFolder::State::kReading) folder->state = ReadFolder::State::kReady;
    if (folder->state == ReadFolder::State::kDropped) {
      if (folder->counted) {
        folder->counted = false;
        --ahead_;
      }
    }
    WakeReadersLocked();
    if (walkWaits_) ready_.notify_one();
  }
}

void ReadAhead::DropLocked(ReadFolder& folder) {
  using State = ReadFolder::State;
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
      for (ReadEntry& entry : folder.entries) {
        if (entry.child) DropLocked(*entry.child);
        entry.child.reset();
      }
      if (folder.counted) {
        folder.counted = false;
        --ahead_;
      }
      return;
    case State::kDropped:
      return;
  }
}

ReadFolderPtr ReadAhead::OpenHere(std::u16string_view path, const ReadFolderPtr& parent,
                                  const EntryRef& entry, int32_t depth, std::string order) {
  auto folder = std::make_shared<ReadFolder>();
  folder->order = std::move(order);
  folder->path.assign(path);
  folder->parent = parent;
  folder->name.assign(entry.name);
  folder->nameBytes.assign(entry.nameBytes);
  folder->attributes = entry.attributes;
  folder->depth = depth;
  folder->state = ReadFolder::State::kTaken;
  Open(*folder);
  return folder;
}

void ReadAhead::ListHere(const ReadFolderPtr& folder) {
  List(folder);
  Finish(folder);
}

void ReadAhead::Take(const ReadFolderPtr& folder) {
  std::unique_lock<std::mutex> hold(lock_);
  if (folder->state == ReadFolder::State::kQueued) {
    // No reader has started on it: reading it here is quicker than waiting.
    folder->state = ReadFolder::State::kReading;
    hold.unlock();
    ReadQueued(folder);
    hold.lock();
  }
  while (folder->state == ReadFolder::State::kReading) {
    // While a reader finishes the folder, the walk reads the next queued one
    // rather than sleep: on a machine with few cores a reader is as likely to
    // wait for a core as for the disk. The window may be one over its size
    // for this, never more, however long that reader takes.
    ReadFolderPtr other = ahead_ <= window_ ? NextQueuedLocked() : nullptr;
    if (other) {
      hold.unlock();
      ReadQueued(other);
      hold.lock();
      continue;
    }
    walkWaits_ = true;
    ready_.wait(hold, [this, &folder] {
      return folder->state != ReadFolder::State::kReading || (!queue_.empty() && ahead_ <= window_);
    });
    walkWaits_ = false;
  }
  folder->state = ReadFolder::State::kTaken;
  if (folder->counted) {
    folder->counted = false;
    --ahead_;
    WakeReadersLocked();  // room in the window
  }
}

void ReadAhead::Drop(const ReadFolderPtr& folder) {
  std::lock_guard<std::mutex> hold(lock_);
  DropLocked(*folder);
  WakeReadersLocked();
}

}  // namespace quorrex
