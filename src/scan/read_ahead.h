// Folders listed for the walk, on the walk's own thread or ahead of it on a
// pool of readers.
//
// Every folder of the walk is listed here, whoever lists it: the entries are
// classified by the one set of entry rules, the link counts of matching plain
// files are asked, a link's data is read where that needs no privilege, and
// the plain subfolders are queued to be read in turn. The walk takes the
// listed folders in its own depth-first order and decides everything that
// prints or counts; a folder read ahead that the walk does not enter is
// dropped unseen. With no readers the walk lists each folder itself when it
// takes it, so one worker and many run the same code.
//
// Readers only read, and only what a retry could not change: a reader short
// of descriptors leaves the folder to the walk, and a folder read before the
// walk enabled the backup privilege, in which something was denied, is read
// again by the walk. At most `window` folders are read ahead, so memory and
// open folders do not grow with the tree.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "run/run_state.h"
#include "scan/entry_rules.h"
#include "scan/handle_budget.h"

namespace quorrex {

struct ListedFolder;
using ListedFolderPtr = std::shared_ptr<ListedFolder>;

// An entry the walk does something with. Its name lives in the folder's text.
struct ListedEntry {
  uint32_t nameOffset = 0;
  uint32_t nameLength = 0;
  uint32_t bytesOffset = kNoBytes;  // the name's bytes from the listing, if any
  uint32_t bytesLength = 0;
  static constexpr uint32_t kNoBytes = 0xFFFFFFFFu;
  uint32_t attributes = 0;
  // kReported, kFolder, or kLinkQuery for a file with more than one link.
  EntryRole role = EntryRole::kSilent;
  LinkInfo link;  // a matching plain file's
  // A matching link's data, read ahead where that needs no privilege (POSIX).
  bool reparseRead = false;
  ReparseRead reparse;
  uint32_t reparseOffset = 0;  // in the folder's reparse data
  ListedFolderPtr child;       // a plain subfolder queued to be read
};

// One folder, from the moment it is met until the walk leaves it.
//
// Who writes what:
// - written once before the folder is shared (queued or opened by the walk):
//   `path`, `nameOffset`, `nameBytes`, `attributes`, `idListed`, `listedId`,
//   `depth`, `order`;
// - guarded by `ReadAhead::lock_`: `state`, `counted`, `parent` while the
//   folder is queued;
// - written by the one thread that reads the folder (state kReading), read by
//   the walk only once the state says kReady: `opened`, `error`, `idKnown`,
//   `id`, the records (`names`, `bytes`, `reparseData`, `entries`), `shown`
//   and the flags of what a retry could change;
// - guarded by `listingLock` once the folder is listed: `listing`, which any
//   thread may close or open a subfolder through (held for that open);
// - the walk's alone once taken: `walkListing`;
// - atomic: `openers`.
struct ListedFolder {
  enum class State { kQueued, kReading, kReady, kTaken, kDropped };

  // Where the folder is: its path, and the folder and name it was met under.
  // The parent is held until this folder has been opened.
  std::u16string path;
  ListedFolderPtr parent;
  bool opensThroughParent = false;  // counted in the parent's `openers`
  uint32_t nameOffset = 0;          // where its name starts in `path`
  std::string nameBytes;            // as the listing gave them, where it gives bytes
  uint32_t attributes = kInvalidFileAttributes;
  // Its identity as the parent's listing gave it, if it did: a plain
  // subfolder is on its parent's volume, so its open asks nothing more.
  bool idListed = false;
  FileId listedId;
  int32_t depth = 0;
  // The folder's place in the depth-first walk: the positions of the entries
  // that lead to it from the scan folder (see AppendWalkOrder), so that
  // comparing the bytes compares the places. Readers take the queued folder
  // that comes first.
  std::string order;

  State state = State::kQueued;
  bool counted = false;  // among the folders read ahead

  // Open while subfolders may still be opened through it: `openers` counts
  // the subfolders queued here that have yet to open, and one more when the
  // walk itself opens or reads through it. The last opener closes it, often
  // long before the walk leaves the folder.
  std::mutex listingLock;
  HeldListing listing;
  std::atomic<uint32_t> openers{0};
  // The listing, for the walk's own use, when the walk opens or reads
  // through it (its share of `openers` keeps it open); null otherwise, or
  // once the walk has closed it to make room. Read and written on the walk's
  // thread only, once the folder is taken.
  FolderListing* walkListing = nullptr;

  bool opened = false;
  uint32_t error = 0;  // of the open; 0 when it opened
  bool idKnown = false;
  FileId id;
  // What a read on the walk's thread could find otherwise: listed by a
  // reader before the backup privilege was settled with something denied,
  // or short of memory or descriptors for a link query.
  bool readByWalk = false;
  bool privilegeSettledAtRead = false;
  bool denied = false;
  bool shortage = false;

  std::u16string names;  // every kept entry's name, one after another
  // The listing's bytes of the kept names that the walk itself opens (a
  // folder behind a link, a link whose data is not read ahead), each with a
  // NUL after it.
  std::string bytes;
  std::vector<uint8_t> reparseData;  // the data of the links read ahead
  std::vector<ListedEntry> entries;  // those the walk does something with
  // The entries its listing added to the status line's count, taken off
  // again if the listing is thrown away (read again, or never walked).
  uint64_t shown = 0;

  std::u16string_view Name() const { return std::u16string_view(path).substr(nameOffset); }
  std::u16string_view NameOf(const ListedEntry& entry) const {
    return std::u16string_view(names).substr(entry.nameOffset, entry.nameLength);
  }
  std::span<const uint8_t> ReparseDataOf(const ListedEntry& entry) const {
    if (entry.reparse.stage != ReparseRead::Stage::kRead) return {};
    return std::span<const uint8_t>(reparseData)
        .subspan(entry.reparseOffset, entry.reparse.bytesReturned);
  }
  // Empty when the listing gave no bytes; else followed by a NUL.
  std::string_view BytesOf(const ListedEntry& entry) const {
    if (entry.bytesOffset == ListedEntry::kNoBytes) return {};
    return std::string_view(bytes).substr(entry.bytesOffset, entry.bytesLength);
  }
  // Closes the listing, whoever holds it open.
  void CloseListing() {
    std::lock_guard<std::mutex> hold(listingLock);
    listing.Reset();
  }
  // The same, unless a thread is opening a subfolder through it this moment:
  // that open may wait long on a server that does not answer, and the walk
  // never waits for it. The listing then closes with the folder's last
  // holder.
  bool TryCloseListing() {
    std::unique_lock<std::mutex> hold(listingLock, std::try_to_lock);
    if (!hold.owns_lock()) return false;
    listing.Reset();
    return true;
  }
};

// Appends the place of an entry at `position` in its folder to the folder's
// walk order.
void AppendWalkOrder(std::string& order, size_t position);

// Whether an error code tells of a shortage (descriptors, memory) that a
// later try could overcome, rather than of the folder or file itself.
bool IsShortage(uint32_t error);

class ReadAhead : public std::enable_shared_from_this<ReadAhead> {
 public:
  // `makeRoom` closes folders the walk keeps open when the budget is spent;
  // it is called on the walk's thread only.
  // `handles` is the budget of open folders (see HandleBudget).
  ReadAhead(Run& run, const EntryRules& rules, size_t window, uint32_t handles,
            std::function<void()> makeRoom);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Starts up to `readers` threads; fewer when the system refuses some.
  void StartReaders(uint32_t readers);
  size_t readers() const { return threads_.size(); }
  HandleBudget& budget() { return budget_; }

  // A folder not queued by any read (the scan folder, one met through a
  // link): opened on the walk's thread.
  ListedFolderPtr OpenHere(std::u16string_view path, const ListedFolderPtr& parent,
                           const EntryRef& entry, int32_t depth, std::string order);
  // Lists a folder that OpenHere opened, and queues its plain subfolders.
  void ListHere(const ListedFolderPtr& folder);
  // Waits until a queued folder is listed, listing it here if no reader has
  // started on it or a reader left it, and hands it to the walk. False when
  // an abort came while a reader still had it.
  bool Take(const ListedFolderPtr& folder);
  // The walk will not enter `folder`: it and all it queued are dropped.
  void Drop(const ListedFolderPtr& folder);
  // The walk has left `folder`. Its listing is closed now, its records freed
  // by a reader, in batches, so that the walk does not pay for it.
  void Retire(ListedFolderPtr folder);
  // Ends the reading and waits for the readers; after an abort, a reader
  // still inside a system call after `patience` is left to the process exit.
  void Stop(std::chrono::milliseconds patience);

 private:
  enum class Opened { kYes, kNo, kLeftToWalk };

  void Reader();
  Opened Open(ListedFolder& folder, bool onWalk);
  void List(const ListedFolderPtr& folder);
  // The status line names a folder the walk lists or waits for.
  void ShowListing(const ListedFolder& folder);
  // Reads a folder taken off the queue, on the calling thread.
  void ReadQueued(const ListedFolderPtr& folder, bool onWalk);
  // Reads a folder taken from a reader's result again, on the walk's thread.
  void ReadAgain(const ListedFolderPtr& folder);
  // After a read: queues the subfolders, or drops them with the folder.
  void Finish(const ListedFolderPtr& folder);
  void DropLocked(ListedFolder& folder);
  // A folder has opened, or will never open: it no longer holds its parent,
  // whose listing closes when nothing else will open through it.
  static void LetGoOfParent(ListedFolder& folder);
  // Reads the data of a matching link at `path` into the folder's records.
  void ReadLinkAhead(ListedFolder& folder, ListedEntry& read, const std::u16string& path,
                     const FindData& entry);
  static void Release(std::vector<ListedFolderPtr>& folders);
  // Takes the next queued folder off the queue to be read ahead (by a reader,
  // or by the walk while it waits) and counts it among those read ahead;
  // null when none is queued or the readers' share of the budget is spent.
  // Called with the lock held.
  ListedFolderPtr NextQueuedLocked();
  void WakeReadersLocked();

  Run& run_;
  const EntryRules rules_;
  const size_t window_;
  const bool readsLinksAhead_;
  HandleBudget budget_;
  std::function<void()> makeRoom_;
  std::mutex lock_;
  std::condition_variable work_;           // readers wait here
  std::condition_variable ready_;          // the walk waits here
  std::vector<ListedFolderPtr> queue_;     // a heap, the folder entered first on top
  size_t ahead_ = 0;                       // folders being read or read, not taken
  size_t waitingForRoom_ = 0;              // readers that found the window full
  size_t waitingForWork_ = 0;              // readers that found the queue empty
  bool walkWaits_ = false;                 // the walk waits for a folder being read
  std::vector<ListedFolderPtr> retired_;   // left by the walk, for a reader to release
  std::vector<ListedFolderPtr> retiring_;  // the walk's own batch, not yet handed on
  std::atomic<bool> stopping_{false};
  std::atomic<bool> leftBehind_{false};  // readers are left to the process exit
  size_t running_ = 0;                   // readers inside Reader()
  std::condition_variable exited_;
  std::vector<std::thread> threads_;
  bool readersStarted_ = false;  // guarded by lock_: subfolders are queued
};

}  // namespace quorrex
