// Folders read ahead of the walk on a pool of threads.
//
// A reader lists a folder whole, settles whether its links lead to folders,
// asks for the link counts of its matching plain files, and queues its plain
// subfolders to be read in turn. The walk takes the finished folders in its
// own depth-first order and decides everything that prints or counts; a
// folder read ahead that the walk does not enter is dropped unseen. At most
// `window` folders are read ahead of the walk, so memory and open folders do
// not grow with the tree.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/run_state.h"

namespace quorrex {

struct ReadFolder;
using ReadFolderPtr = std::shared_ptr<ReadFolder>;

// One entry of a folder read ahead. Its name lives in the folder's text.
struct ReadEntry {
  uint32_t nameOffset = 0;
  uint32_t nameLength = 0;
  uint32_t bytesOffset = kNoBytes;  // the name's bytes from the listing, if any
  uint32_t bytesLength = 0;
  static constexpr uint32_t kNoBytes = 0xFFFFFFFFu;
  uint32_t attributes = 0;
  bool matches = false;
  LinkInfo link;  // a matching plain file's; links 0 when unknown
  // A matching link's data, read ahead where that needs no privilege (POSIX).
  bool reparseRead = false;
  ReparseRead reparse;
  uint32_t reparseOffset = 0;  // in the folder's reparse data
  ReadFolderPtr child;         // a plain subfolder queued to be read
};

struct ReadFolder {
  enum class State { kQueued, kReading, kReady, kTaken, kDropped };

  // Where the folder is: its path, and the open folder and name it was met
  // under. The parent is held until this folder has been opened.
  std::u16string path;
  ReadFolderPtr parent;
  bool opensThroughParent = false;  // counted in the parent's `openers`
  std::u16string name;
  std::string nameBytes;  // as the listing gave them, where it gives bytes
  uint32_t attributes = kInvalidFileAttributes;
  int32_t depth = 0;
  // The folder's place in the depth-first walk: the positions of the entries
  // that lead to it from the scan folder, four bytes each, most significant
  // first, so that comparing the bytes compares the places. Readers take the
  // queued folder that comes first.
  std::string order;

  // What the read found; written by one reader, read by the walk once ready.
  State state = State::kQueued;
  bool counted = false;  // among the folders read ahead
  // Open while the folder's entries or subfolders may still be reached
  // through it: `openers` counts the subfolders queued here that have yet to
  // open, and one more when the walk itself opens or reads through it (then
  // `walkListing` is the listing, else null). The last opener closes it, on
  // its own thread, often long before the walk leaves the folder.
  std::unique_ptr<FolderListing> listing;
  std::atomic<uint32_t> openers{0};
  FolderListing* walkListing = nullptr;
  bool opened = false;
  uint32_t error = 0;  // of the open; 0 when it opened
  bool idKnown = false;
  FileId id;
  std::u16string names;              // every entry's name, one after another
  std::string bytes;                 // their bytes from the listing, each with a NUL after it
  std::vector<uint8_t> reparseData;  // the data of the links read ahead
  std::vector<ReadEntry> entries;    // those the walk does something with
  uint64_t silent = 0;               // entries read but not kept: plain files that print nothing

  std::u16string_view NameOf(const ReadEntry& entry) const {
    return std::u16string_view(names).substr(entry.nameOffset, entry.nameLength);
  }
  std::span<const uint8_t> ReparseDataOf(const ReadEntry& entry) const {
    if (entry.reparse.stage != ReparseRead::Stage::kRead) return {};
    return std::span<const uint8_t>(reparseData)
        .subspan(entry.reparseOffset, entry.reparse.bytesReturned);
  }
  // Empty when the listing gave no bytes; else followed by a NUL.
  std::string_view BytesOf(const ReadEntry& entry) const {
    if (entry.bytesOffset == ReadEntry::kNoBytes) return {};
    return std::string_view(bytes).substr(entry.bytesOffset, entry.bytesLength);
  }
};

// Appends the place of an entry at `position` in its folder to the folder's
// walk order.
void AppendWalkOrder(std::string& order, size_t position);

class ReadAhead {
 public:
  // Starts up to `readers` threads; fewer when the system refuses some.
  ReadAhead(Run& run, std::u16string_view pattern, uint32_t readers, size_t window);
  ~ReadAhead();  // stops and joins the readers
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  size_t readers() const { return threads_.size(); }

  // A folder not queued by any read (the scan folder, one met through a
  // link): opened and its identity asked on the calling thread.
  ReadFolderPtr OpenHere(std::u16string_view path, const ReadFolderPtr& parent,
                         const EntryRef& entry, int32_t depth, std::string order);
  // Lists a folder that OpenHere opened, and queues its plain subfolders.
  void ListHere(const ReadFolderPtr& folder);
  // Waits until a queued folder is read, reading it here if no reader has
  // started on it, and hands it to the walk.
  void Take(const ReadFolderPtr& folder);
  // The walk will not enter `folder`: it and all it queued are dropped.
  void Drop(const ReadFolderPtr& folder);
  // Ends the reading: the readers stop at their next entry.
  void Stop();
  // The walk has left `folder`: every subfolder has been entered or dropped,
  // so nothing reads through it any more. Its listing is closed and its
  // records freed by a reader, in batches, so that the walk does not pay for
  // it; by the walk itself when the readers fall behind.
  void Retire(ReadFolderPtr folder);

 private:
  void Reader();
  // Opens `folder` and asks its identity; false when it cannot be listed.
  bool Open(ReadFolder& folder);
  void List(const ReadFolderPtr& folder);
  // After a read: queues the subfolders, or drops them with the folder.
  void Finish(const ReadFolderPtr& folder);
  void DropLocked(ReadFolder& folder);
  // A folder has opened, or will never open: it no longer holds its parent,
  // whose listing closes when nothing else will open through it.
  static void LetGoOfParent(ReadFolder& folder);
  // Reads the data of a matching link at `path` into the folder's records.
  void ReadLinkAhead(ReadFolder& folder, ReadEntry& read, const std::u16string& path,
                     const FindData& entry);
  // Closes the listing of a folder and frees its records. A folder may still
  // sit in the queue until a reader passes it by; what it holds goes now.
  static void Release(std::vector<ReadFolderPtr>& folders);
  // Takes the next queued folder off the queue and counts it among those
  // read ahead; null when none is queued. Called with the lock held.
  ReadFolderPtr NextQueuedLocked();
  // Reads a folder taken off the queue, on the calling thread.
  void ReadQueued(const ReadFolderPtr& folder);
  // Wakes the readers that wait for room in the window once half of it is
  // free, and those that wait for work when there is some. Most hand-overs
  // find every thread busy, and a wake-up is a system call.
  void WakeReadersLocked();

  Run& run_;
  std::u16string_view pattern_;
  const size_t window_;
  const bool readsLinksAhead_;
  std::mutex lock_;
  std::condition_variable work_;         // readers wait here
  std::condition_variable ready_;        // the walk waits here
  std::vector<ReadFolderPtr> queue_;     // a heap, the folder entered first on top
  size_t ahead_ = 0;                     // folders being read or read, not taken
  size_t waitingForRoom_ = 0;            // readers that found the window full
  size_t waitingForWork_ = 0;            // readers that found the queue empty
  bool walkWaits_ = false;               // the walk waits for a folder being read
  std::vector<ReadFolderPtr> retired_;   // left by the walk, for a reader to release
  std::vector<ReadFolderPtr> retiring_;  // the walk's own batch, not yet handed on
  std::atomic<bool> stopping_{false};
  std::vector<std::thread> threads_;
};

}  // namespace quorrex
