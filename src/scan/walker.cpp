#include "scan/walker.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "console/message.h"
#include "paths/path_forms.h"
#include "platform/error_names.h"
#include "scan/hard_link_groups.h"
#include "scan/read_ahead.h"
#include "scan/reparse_names.h"
#include "scan/reparse_report.h"

namespace quorrex {
namespace {

// Folders read ahead of the walk per reader, and by all of them.
constexpr size_t kWindowPerWorker = 64;
constexpr size_t kWindowMax = 256;
// After an abort, how long the walk waits for a reader still inside a
// system call (a server that does not answer) before it ends without it.
constexpr auto kReaderPatience = std::chrono::milliseconds(300);

// One folder of the descent. Levels are reused when the walk climbs down
// again, so neither the depth of the tree nor the number of its folders
// costs stack or repeated allocations.
struct Level {
  ListedFolderPtr folder;
  size_t position = 0;  // the next entry
  size_t base = 0;      // length of the folder's path with its separator
  int32_t depth = 0;
  bool idKnown = false;
  FileId id;
};

class Walk {
 public:
  Walk(Run& run, std::u16string_view pattern)
      : run_(run), rules_{pattern, run.settings.recurse}, separator_(run.separator()) {}

  uint32_t From(std::u16string_view folder) {
    // The walk's own thread reads too, whenever a folder it needs is not
    // ready yet, so it counts as one of the workers: on two cores the walk
    // and one reader keep both busy, and a second reader would only take
    // turns with them.
    const uint32_t workers = Workers();
    ahead_ = std::make_shared<ReadAhead>(
        run_, rules_, std::min(size_t{workers} * kWindowPerWorker, kWindowMax),
        run_.platform.FolderHandleBudget(), [this] { MakeRoom(); });
    if (workers > 1) ahead_->StartReaders(workers - 1);
    path_.assign(folder);
    if (Enter(nullptr, EntryRef{folder, nullptr, {}}, folder.size(), 0, {})) WalkAll();
    // The readers stop first: after an abort, one may still be opening a
    // subfolder through a level that is about to close.
    ahead_->Stop(kReaderPatience);
    while (open_ > 0) CloseLevel();
    ahead_.reset();
    return handedOn_;
  }

 private:
  uint32_t Workers() const {
    if (run_.settings.walkWorkers != 0) return run_.settings.walkWorkers;
    const unsigned cores = std::thread::hardware_concurrency();
    return cores <= 1 ? 1 : std::min<uint32_t>(cores, kMaxWalkWorkers);
  }

  // Every entry of every folder entered, in depth-first order.
  void WalkAll() {
    while (open_ > 0) {
      // An abort request ends the walk before the next entry; every open
      // level is closed on the way out.
      if (run_.AbortRequested()) return;
      Level& level = levels_[open_ - 1];
      ListedFolder& folder = *level.folder;
      if (level.position == folder.entries.size()) {
        CloseLevel();
        continue;
      }
      ListedEntry& listed = folder.entries[level.position++];
      const std::u16string_view name = folder.NameOf(listed);
      path_.resize(level.base);
      path_.append(name);
      const EntryRef entry{path_, folder.walkListing, name, listed.attributes,
                           folder.BytesOf(listed)};
      switch (listed.role) {
        case EntryRole::kReported:
          if (listed.reparseRead) {
            ReportReparsePoint(run_.scan, entry, listed.reparse, folder.ReparseDataOf(listed));
          } else {
            InspectReparsePoint(run_.scan, entry);
          }
          ++handedOn_;
          run_.console.statusLine.CountReparsePoint();
          break;
        case EntryRole::kFolder:
          if (level.depth >= kMaxDepth) {
            PrintMessage(run_.console, "path nested too deep (max %i) -> skip folder %S\n",
                         kMaxDepth, name);
            break;
          }
          // The entry's child is the walk's from here on.
          Enter(std::move(listed.child), entry, path_.size(), level.depth + 1, name);
          break;
        case EntryRole::kLinkQuery:
          AddHardLink(run_.scan, listed.link.links, listed.link.id, path_);
          run_.console.statusLine.CountLinkCandidate();
          break;
        case EntryRole::kNone:
        case EntryRole::kSilent:
          break;
      }
    }
  }

  // Puts the search mask of the folder whose path is the first
  // `folderLength` characters of the path buffer after it; returns the
  // length of the folder's path with its separator.
  size_t MakeMask(size_t folderLength) {
    path_.resize(folderLength);
    AppendSearchMask(path_, separator_);
    return path_.size() - 1;
  }

  // Whether a folder with this identity may be entered: not when it is open
  // further up the descent (a link back to a parent: the loop line), nor when
  // it was entered before in this run (reached again through a link: the
  // already-walked line). The scan folder is the first one entered. An
  // identity of index 0 is no identity: some redirectors and user-mode file
  // systems give it to every file.
  bool Admit(bool idKnown, const FileId& id, std::u16string_view name) {
    if (!idKnown || (id.index == 0 && id.indexUpper == 0)) return true;
    for (size_t i = 0; i < open_; ++i) {
      const Level& parent = levels_[i];
      if (parent.idKnown && parent.id == id) {
        PrintMessage(run_.console, "folder loops back to a parent -> skip folder %S\n", name);
        return false;
      }
    }
    if (!walked_.insert(id).second) {
      PrintMessage(run_.console, "folder already walked -> skip folder %S\n", name);
      return false;
    }
    return true;
  }

  // Enters a folder: one queued by its parent's listing is taken (listed
  // here or ahead); one that was not (the scan folder, a folder behind a
  // link) is opened here and listed only once it is admitted. A folder that
  // cannot be listed gets the error line.
  bool Enter(ListedFolderPtr folder, const EntryRef& entry, size_t folderLength, int32_t depth,
             std::u16string_view name) {
    const bool queued = folder != nullptr;
    if (queued) {
      if (!ahead_->Take(folder)) return false;  // an abort
    } else {
      const ListedFolderPtr parent = open_ > 0 ? levels_[open_ - 1].folder : ListedFolderPtr();
      // A folder met through a link takes the link's place in the walk.
      std::string order;
      if (parent) {
        order = parent->order;
        AppendWalkOrder(order, levels_[open_ - 1].position - 1);
      }
      folder = ahead_->OpenHere(std::u16string_view(path_).substr(0, folderLength), parent, entry,
                                depth, std::move(order));
    }
    const size_t base = MakeMask(folderLength);
    if (!folder->opened) {
      PrintMessage(run_.console, "error %s opening '%S'\n", SystemErrorName(folder->error),
                   DisplayForm(path_, DisplayRule::kAnyLongPath));
      if (queued) ahead_->Drop(folder);
      return false;
    }
    path_.pop_back();
    if (!Admit(folder->idKnown, folder->id, name)) {
      ahead_->Drop(folder);
      return false;
    }
    if (!queued) ahead_->ListHere(folder);
    if (open_ == levels_.size()) levels_.emplace_back();
    Level& level = levels_[open_++];
    level.base = base;
    level.depth = depth;
    level.idKnown = folder->idKnown;
    level.id = folder->id;
    level.position = 0;
    level.folder = std::move(folder);
    run_.console.statusLine.EnterFolder(std::u16string_view(path_).substr(0, base));
    return true;
  }

  void CloseLevel() {
    Level& level = levels_[--open_];
    ahead_->Retire(std::move(level.folder));
  }

  // The open-folder budget is spent: the folders of the descent that are
  // kept open only to open their subfolders through are closed, the
  // outermost first (the walk is longest away from needing them), until the
  // budget has room. Their subfolders then open by path.
  void MakeRoom() {
    HandleBudget& budget = ahead_->budget();
    for (size_t i = 0; i < open_ && budget.Spent(); ++i) {
      ListedFolder& folder = *levels_[i].folder;
      if (folder.TryCloseListing()) folder.walkListing = nullptr;
    }
  }

  Run& run_;
  EntryRules rules_;
  char16_t separator_;
  std::u16string path_;  // the current entry's full path, or a search mask
  std::vector<Level> levels_;
  size_t open_ = 0;
  uint32_t handedOn_ = 0;
  std::unordered_set<FileId, FileIdHash> walked_;  // every folder entered
  std::shared_ptr<ReadAhead> ahead_;
};

}  // namespace

uint32_t WalkWorkersSetting(const char* text) {
  if (text == nullptr || *text == '\0') return 0;
  uint32_t value = 0;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return 0;
    value = value * 10 + static_cast<uint32_t>(*text - '0');
    if (value > 64) return 0;
  }
  return value;
}

void WalkFolder(Run& run, std::u16string_view folder, std::u16string_view pattern) {
  Walk walk(run, pattern);
  walk.From(folder);
}

}  // namespace quorrex
