#include "scan/walker.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "paths/path_forms.h"
#include "scan/file_id_set.h"
#include "scan/hard_link_groups.h"
#include "scan/read_queue.h"
#include "scan/reparse_names.h"
#include "scan/reparse_report.h"

namespace quorrex {
namespace {

// Folders listed ahead of the walk per reader, and by all of them.
constexpr size_t kWindowPerWorker = 64;
constexpr size_t kWindowMax = 256;
// After an abort, how long the walk waits for a reader still inside a
// system call (a server that does not answer) before it ends without it.
constexpr auto kReaderPatience = std::chrono::milliseconds(300);
// The address space a reader takes: its stack, its buffers and the records
// of its share of the window. Readers take at most half of what is left, so
// that the walk keeps room for what it finds.
constexpr uint64_t kReaderAddressSpace = uint64_t{2} << 20;

// One folder of the descent. Levels are reused when the walk climbs down
// again, so neither the depth of the tree nor the number of its folders
// costs stack or repeated allocations.
struct Level {
  ListedFolderPtr folder;
  size_t position = 0;     // the next entry
  size_t nextToQueue = 0;  // the next entry whose subfolder may be queued
  size_t base = 0;         // length of the folder's path with its separator
  int32_t depth = 0;
  bool idKnown = false;
  FileId id;
};

class Walk {
 public:
  Walk(ScanContext& scan, std::u16string_view pattern)
      : scan_(scan),
        rules_{pattern, scan.settings.recurse, !scan.conventions.linkDataNeedsPrivilege},
        separator_(scan.separator()) {}

  void WalkTree(std::u16string_view folder) {
    const uint32_t workers = Workers();
    window_ = std::min(size_t{workers} * kWindowPerWorker, kWindowMax);
    // Entries are counted whether or not the status line shows them: the
    // summary's record tells how many the walk went through.
    queue_ = std::make_shared<ReadQueue>(
        scan_.platform, rules_, separator_, scan_.platform.FolderHandleBudget(), window_,
        scan_.reparseReader.privilegeSettled, scan_.stop, /*countsEntries=*/true);
    // The walk's own thread lists too, whenever a folder it needs is not
    // ready yet, so it counts as one of the workers.
    readers_ =
        workers > 1 && scan_.settings.recurse ? queue_->StartReaders(Readers(workers - 1)) : 0;
    path_.assign(folder);
    if (EnterScanFolder()) WalkAll();
    // The readers stop first: after an abort, one may still be opening a
    // subfolder through a level that is about to close.
    queue_->Stop(kReaderPatience, scan_.stop.StopRequested());
    while (open_ > 0) CloseLevel();
    queue_.reset();
  }

 private:
  uint32_t Workers() const { return WalkWorkers(scan_.settings); }

  // As many of `wanted` readers as the address space leaves room for.
  uint32_t Readers(uint32_t wanted) const {
    const uint64_t left = scan_.platform.AddressSpaceLeft();
    const uint64_t room = left / 2 / kReaderAddressSpace;
    return static_cast<uint32_t>(std::min<uint64_t>(wanted, room));
  }

  // --- The descent -------------------------------------------------------------

  // Every entry of every folder entered, in depth-first order.
  void WalkAll() {
    while (open_ > 0) {
      // An abort request ends the walk before the next entry; every open
      // level is closed on the way out.
      if (scan_.stop.StopRequested()) return;
      const size_t at = open_ - 1;
      Level& level = levels_[at];
      ListedFolder& folder = *level.folder;
      if (level.position == folder.entries.size()) {
        ReportCut(folder);
        CloseLevel();
        continue;
      }
      QueueAhead(level);
      ListedEntry& listed = folder.entries[level.position++];
      path_.resize(level.base);
      folder.AppendNameOf(listed, path_);
      const std::u16string_view name = std::u16string_view(path_).substr(level.base);
      switch (listed.role) {
        case EntryRole::kReported: {
          // A level the walk closed to make room, and came back to, has its
          // listing closed, or closing once a reader's open through it
          // returns.
          const EntryRef entry{path_, folder.ListingForWalk(), name, listed.attributes,
                               folder.BytesOf(listed)};
          const EntryDetail* detail = folder.DetailOf(listed);
          if (detail != nullptr && detail->reparseRead) {
            ReportReparsePoint(scan_, entry, detail->reparse, folder.ReparseDataOf(*detail));
          } else {
            InspectReparsePoint(scan_, entry);
          }
          scan_.statusLine.CountReparsePoint();
          break;
        }
        case EntryRole::kFolder:
          if (!EntryRules::EntersBelow(level.depth)) {
            const Recording recording(scan_.tallies.lock);
            ++scan_.tallies.totals.skipped;
            scan_.printer->FolderSkipped(SkipReason::kTooDeep,
                                         DisplayForm(path_, DisplayRule::kAnyLongPath), name);
            break;
          }
          // The entry's subfolder record is the walk's from here on.
          Enter(TakeChild(folder, listed), at, name);
          break;
        case EntryRole::kLinkQuery:
          AddHardLink(scan_, listed.links, folder.LinkOf(listed).id, path_);
          scan_.statusLine.CountLinkCandidate();
          break;
        case EntryRole::kNone:
        case EntryRole::kPassedOver:
          break;
      }
    }
  }

  static ListedFolderPtr TakeChild(ListedFolder& folder, const ListedEntry& entry) {
    ListedFolderPtr* child = folder.ChildOf(entry);
    return child != nullptr ? std::move(*child) : nullptr;
  }

  bool EnterScanFolder() {
    auto folder = std::make_shared<ListedFolder>();
    folder->path = path_;
    folder->nameOffset = static_cast<uint32_t>(path_.size());
    if (!OpenHere(folder, false)) return Refuse(folder, path_.size());
    return Admit(std::move(folder), path_.size(), 0, {});
  }

  // Enters the subfolder of the entry just passed in level `at`: one listed
  // with its parent (`child`) is taken from the read queue; one behind a
  // link is opened here, through the level's listing.
  void Enter(ListedFolderPtr child, size_t at, std::u16string_view name) {
    const size_t folderLength = path_.size();
    if (!child) {
      const Level& level = levels_[at];
      const ListedEntry& entry = level.folder->entries[level.position - 1];
      child = MakeSubfolder(level.folder, path_, level.base, level.folder->BytesOf(entry),
                            entry.attributes, level.position - 1);
      if (!OpenThrough(at, child)) {
        Refuse(child, folderLength);
        return;
      }
    } else if (!TakeQueued(child, at)) {
      return;  // an abort
    } else if (!child->outcome.opened) {
      Refuse(child, folderLength);
      return;
    }
    if (child->outcome.mountedSinceListed && ReportedAsMount(child, at, name)) return;
    const int32_t depth = child->depth;
    Admit(std::move(child), folderLength, depth, name);
  }

  // A subfolder of level `at` that was listed as a plain folder and opened
  // on a mount made since (`folder`) is the mount point it now is: when its
  // name matches, it is reported as one and not entered; else it is entered,
  // as any mount point that does not match. Whether it was reported.
  bool ReportedAsMount(const ListedFolderPtr& folder, size_t at, std::u16string_view name) {
    if (!rules_.matchesAll && !MatchNamePattern(rules_.pattern, name)) return false;
    UncountListed(*folder);
    queue_->Drop(folder);
    const Level& level = levels_[at];
    const ListedEntry& listed = level.folder->entries[level.position - 1];
    // The entry's path is still the walk's own: its name ends it.
    path_.resize(level.base + name.size());
    const EntryRef entry{path_, level.folder->listing.get(), name,
                         listed.attributes | kAttrReparsePoint, level.folder->BytesOf(listed)};
    InspectReparsePoint(scan_, entry);
    scan_.statusLine.CountReparsePoint();
    return true;
  }

  // Prints the error line of a folder that did not open, and lets it go.
  // An open cancelled after an abort (a server that did not answer) says
  // nothing of the folder, and prints nothing.
  bool Refuse(const ListedFolderPtr& folder, size_t folderLength) {
    path_.resize(folderLength);
    const size_t shownLength = DisplayForm(path_, DisplayRule::kAnyLongPath).size();
    AppendSearchMask(path_, separator_);
    const std::u16string_view shown = DisplayForm(path_, DisplayRule::kAnyLongPath);
    if (!CancelledByAbort(scan_.stop, folder->outcome.error)) {
      const Recording recording(scan_.tallies.lock);
      ++scan_.tallies.totals.errors;
      scan_.printer->FolderNotOpened(shown.substr(0, shownLength), shown, folder->outcome.error);
    }
    queue_->Drop(folder);
    return false;
  }

  // After the entries of a folder whose listing failed part way, the error
  // line of that failure; the walk goes on with the next folder. A listing
  // cancelled after an abort prints nothing.
  void ReportCut(const ListedFolder& folder) {
    const uint32_t error = folder.outcome.cutError;
    if (error == 0 || CancelledByAbort(scan_.stop, error)) return;
    std::u16string mask = folder.path;
    const size_t shownLength = DisplayForm(mask, DisplayRule::kAnyLongPath).size();
    AppendSearchMask(mask, separator_);
    const std::u16string_view shown = DisplayForm(mask, DisplayRule::kAnyLongPath);
    const Recording recording(scan_.tallies.lock);
    ++scan_.tallies.totals.errors;
    scan_.printer->FolderListedInPart(shown.substr(0, shownLength), shown, error);
  }

  // Whether an opened folder with this identity may be entered: not when it
  // is open further up the descent (a link back to a parent: the loop line),
  // nor when it was entered before in this run (reached again through a
  // link: the already-walked line). An unknown identity matches nothing.
  bool MayEnter(const ListingOutcome& outcome, size_t folderLength, std::u16string_view name) {
    if (!outcome.idKnown || !IsKnownFileId(outcome.id)) return true;
    const auto skip = [&](SkipReason why) {
      const Recording recording(scan_.tallies.lock);
      ++scan_.tallies.totals.skipped;
      const std::u16string_view folder = std::u16string_view(path_).substr(0, folderLength);
      scan_.printer->FolderSkipped(why, DisplayForm(folder, DisplayRule::kAnyLongPath), name);
      return false;
    };
    for (size_t i = 0; i < open_; ++i) {
      const Level& parent = levels_[i];
      if (parent.idKnown && parent.id == outcome.id) return skip(SkipReason::kLoop);
    }
    if (!walked_.Insert(outcome.id)) return skip(SkipReason::kAlreadyWalked);
    return true;
  }

  // Enters an opened folder when its identity allows: lists it if it is not
  // listed yet, and makes it the innermost level.
  bool Admit(ListedFolderPtr&& folder, size_t folderLength, int32_t depth,
             std::u16string_view name) {
    if (!MayEnter(folder->outcome, folderLength, name)) {
      UncountListed(*folder);
      queue_->Drop(folder);
      return false;
    }
    if (!folder->outcome.listed) ListHere(folder);
    path_.resize(folderLength);
    AppendSeparator(path_, separator_);
    if (open_ == levels_.size()) levels_.emplace_back();
    Level& level = levels_[open_++];
    level.base = path_.size();
    level.depth = depth;
    level.idKnown = folder->outcome.idKnown && IsKnownFileId(folder->outcome.id);
    level.id = folder->outcome.id;
    level.position = 0;
    level.nextToQueue = 0;
    level.folder = std::move(folder);
    // The folder is listed whole by now (or as far as an abort let it be).
    WalkTotals& totals = scan_.tallies.totals;
    {
      const Recording recording(scan_.tallies.lock);
      ++totals.folders;
      std::lock_guard<std::mutex> hold(level.folder->countLock);
      totals.entries += level.folder->listedCount;
    }
    scan_.statusLine.EnterFolder(path_);
    return true;
  }

  void CloseLevel() {
    Level& level = levels_[--open_];
    queue_->Retire(std::move(level.folder));
  }

  // --- Listing -----------------------------------------------------------------

  // The status line names a folder the walk lists itself or waits for, and
  // counts its entries as they are listed.
  void Show(ListedFolder& folder) {
    if (!scan_.statusLine.enabled.load(std::memory_order_relaxed)) return;
    CountListedInto(folder, &scan_.statusLine.entries);
    shown_.assign(folder.path);
    AppendSeparator(shown_, separator_);
    scan_.statusLine.ListingFolder(shown_);
  }

  // Lists an opened folder on the walk's thread.
  void ListHere(const ListedFolderPtr& folder) {
    Show(*folder);
    queue_->lister().List(folder, scratch_, scan_.stop, scan_.stop);
  }

  // Takes a subfolder queued with its parent (at level `at`) from the read
  // queue, listed by a reader or here. False on an abort.
  bool TakeQueued(const ListedFolderPtr& folder, size_t at) {
    for (;;) {
      ReadQueue::Handover handover = queue_->Take(folder);
      if (handover.kind == ReadQueue::Handover::Kind::kTheWalks) {
        if (folder->outcome.toList) return OpenAndList(folder, at, std::move(handover.unit));
        if (scan_.statusLine.enabled.load(std::memory_order_relaxed)) {
          CountListedInto(*folder, &scan_.statusLine.entries);
        }
        if (ReadAgain(*folder)) return ListAgain(folder, at);
        return true;
      }
      if (handover.other) {
        Show(*handover.other.folder);
        queue_->Read(std::move(handover.other), scratch_);
        continue;
      }
      // A reader may be inside a system call that does not return soon (a
      // server that does not answer): an abort ends the wait.
      if (scan_.stop.StopRequested()) return false;
      Show(*folder);
      queue_->WaitFor(folder);
    }
  }

  // What the walk would find reading a folder a reader listed: descriptors
  // or memory the reader lacked, or a privilege the walk has enabled since.
  bool ReadAgain(const ListedFolder& folder) const {
    const ListingOutcome& outcome = folder.outcome;
    return outcome.shortage ||
           (outcome.denied && !outcome.privilegeSettled &&
            scan_.reparseReader.privilegeSettled.load(std::memory_order_acquire));
  }

  bool ListAgain(const ListedFolderPtr& folder, size_t at) {
    UncountListed(*folder);
    // The subfolders queued from the first listing go with it: their units,
    // and their places in the readers' window.
    queue_->DropSubfolders(*folder);
    folder->CloseListing();
    folder->ForgetRecords();
    folder->parent = levels_[at].folder;
    return OpenAndList(folder, at, {});
  }

  // Opens a subfolder of level `at` here and, if it opened, lists it; its
  // unit of the budget is the one reserved for it, or else the walk's own.
  bool OpenAndList(const ListedFolderPtr& folder, size_t at, BudgetUnit unit) {
    if (!OpenThrough(at, folder, std::move(unit))) return true;
    ListHere(folder);
    return true;
  }

  // --- Opening ---------------------------------------------------------------

  // A unit of the budget for an open of the walk's. When the budget is spent,
  // the listings of the descent are closed, the outermost first (the walk is
  // longest away from needing them), sparing the levels from `keep` on.
  // With `all`, every one of them is closed: the system was short of
  // descriptors that the budget does not see.
  // A level a reader is opening a subfolder through closes only once that
  // open returns, and its unit comes back only then: while the budget is
  // still spent, the walk waits for those closes rather than open one folder
  // over the budget. A reader's open never waits for the walk.
  BudgetUnit TakeUnit(size_t keep, bool all = false) {
    const size_t closable = std::min(keep, open_);
    for (size_t i = 0; i < closable && (all || queue_->BudgetSpent()); ++i) {
      levels_[i].folder->CloseListing();
    }
    for (int round = 0;
         queue_->BudgetSpent() && !scan_.stop.StopRequested() && ClosePending(closable); ++round) {
      // Such an open is one system call: most return at once, one that
      // waits for a server is not spun for.
      if (round < 64) {
        std::this_thread::yield();
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    return queue_->UnitForWalk();
  }

  // Whether one of the first `count` levels is still open, its close waiting
  // for an open through it.
  bool ClosePending(size_t count) {
    for (size_t i = 0; i < count; ++i) {
      if (levels_[i].folder->ClosePending()) return true;
    }
    return false;
  }

  // Opens `folder` on the walk's thread: the scan folder by its path, any
  // other through its parent. True when it opened; else its outcome has the
  // error.
  // Its unit is `unit` when it has one, else the walk's own; a unit no
  // listing took goes back.
  bool OpenHere(const ListedFolderPtr& folder, bool throughParent, BudgetUnit unit = {},
                size_t keep = 0) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (!unit) unit = TakeUnit(keep, attempt > 0);
      switch (queue_->lister().Open(*folder, throughParent, unit, scratch_)) {
        case OpenResult::kOpened:
          return true;
        case OpenResult::kFailed:
        case OpenResult::kParentClosed:
          return false;
        case OpenResult::kShort:
          // Short of descriptors the budget does not see: the walk gives its
          // unit back, closes what it can and tries once more.
          unit.GiveBack();
          break;
      }
    }
    return false;
  }

  // Opens a subfolder of level `at` through that level's listing, which is
  // opened again first if the walk closed it to make room.
  bool OpenThrough(size_t at, const ListedFolderPtr& folder, BudgetUnit unit = {}) {
    uint32_t error = 0;
    if (!Reopen(at, error)) {
      folder->outcome.error = error;
      return false;  // its unit goes back
    }
    folder->parent = levels_[at].folder;
    return OpenHere(folder, true, std::move(unit), at);
  }

  // Makes sure the listing of level `at` is open. A level the walk closed is
  // opened again from its nearest open ancestor, one level at a time, each
  // through the one above it and never by a path: a plain folder is never
  // opened through a link, and each must still be the folder that was
  // entered.
  bool Reopen(size_t at, uint32_t& error) {
    ListedFolderPtr& folder = levels_[at].folder;
    if (folder->KeepListingOpen()) return true;
    if (at > 0 && !Reopen(at - 1, error)) return false;
    // A fresh record to open with: the level's own keeps what it found.
    auto again = std::make_shared<ListedFolder>();
    again->path = folder->path;
    again->nameOffset = folder->nameOffset;
    again->nameBytes = folder->nameBytes;
    again->attributes = folder->attributes;
    if (at > 0) again->parent = levels_[at - 1].folder;
    if (!OpenHere(again, at > 0, {}, at > 0 ? at - 1 : 0)) {
      error = again->outcome.error;
      return false;
    }
    // Only an identity known now and unlike the one entered tells another
    // folder. One that cannot be asked now proves nothing: the folder was
    // opened by its name through its checked parent, never through a link,
    // and had the budget let it stay open it would not have been asked.
    const Level& level = levels_[at];
    const ListingOutcome& found = again->outcome;
    if (level.idKnown && found.idKnown && IsKnownFileId(found.id) && found.id != level.id) {
      error = win_error::kPathNotFound;  // another folder now has its name
      return false;
    }
    std::lock_guard<std::mutex> hold(folder->listingLock);
    folder->listing.Swap(again->listing);
    return true;
  }

  // --- Reading ahead -----------------------------------------------------------

  // Queues the subfolders of `level` that come next for the readers, each
  // with a unit of the budget reserved for its open, as far ahead of the
  // walk's position as the window reaches; never one the walk has passed
  // (taken or refused: the walk's for good).
  void QueueAhead(Level& level) {
    if (readers_ == 0) return;
    ListedFolder& folder = *level.folder;
    level.nextToQueue = std::max(level.nextToQueue, level.position);
    const size_t until = std::min(folder.entries.size(), level.position + 1 + window_);
    for (; level.nextToQueue < until; ++level.nextToQueue) {
      const ListedFolderPtr* child = folder.ChildOf(folder.entries[level.nextToQueue]);
      if (child != nullptr && !queue_->Queue(*child)) return;
    }
  }

  ScanContext& scan_;
  EntryRules rules_;
  char16_t separator_;
  std::u16string path_;   // the current entry's full path, or a search mask
  std::u16string shown_;  // the folder the status line names
  std::vector<Level> levels_;
  size_t open_ = 0;
  FileIdSet walked_;  // every folder entered
  std::shared_ptr<ReadQueue> queue_;
  ListerScratch scratch_;  // the walk's own buffers for listing
  uint32_t readers_ = 0;
  size_t window_ = 1;  // folders listed ahead and not yet taken, at most
};

}  // namespace

uint32_t WalkWorkers(const ScanSettings& settings) {
  if (settings.walkWorkers != 0) return settings.walkWorkers;
  const unsigned cores = std::thread::hardware_concurrency();
  return cores <= 1 ? 1 : std::min<uint32_t>(cores, kMaxWalkWorkers);
}

uint32_t WalkWorkersSetting(const char* text, bool& known) {
  known = true;
  if (text == nullptr || *text == '\0') return 0;
  known = false;
  uint32_t value = 0;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return 0;
    value = value * 10 + static_cast<uint32_t>(*text - '0');
    if (value > 64) return 0;
  }
  known = value != 0;
  return value;
}

void WalkFolder(ScanContext& scan, std::u16string_view folder, std::u16string_view pattern) {
  Walk walk(scan, pattern);
  walk.WalkTree(folder);
}

}  // namespace quorrex
