#include "scan/walker.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "console/message.h"
#include "paths/name_pattern.h"
#include "paths/path_forms.h"
#include "scan/hard_links.h"
#include "scan/read_ahead.h"
#include "scan/reparse_names.h"
#include "scan/reparse_report.h"

namespace quorrex {
namespace {

// Folders read ahead of the walk per worker, and by all of them: each
// holds its folder open, and the walk's own folders and those it has left
// must still fit under a soft limit of 1,024 descriptors.
constexpr size_t kWindowPerWorker = 64;
constexpr size_t kWindowMax = 256;

struct FileIdHash {
  size_t operator()(const FileId& id) const {
    uint64_t h = id.index * 0x9E3779B97F4A7C15ull ^ (id.volume + 0x632BE59BD9B4E019ull) ^
                 (id.indexUpper * 0xD6E8FEB86659FD93ull);
    return static_cast<size_t>(h ^ (h >> 31));
  }
};

// One open folder of the descent. Levels live on the heap and are reused when
// the walk climbs down again, so neither the depth of the tree nor the number
// of its folders costs stack or repeated allocations. A level is either a
// listing read entry by entry (one thread) or a folder read ahead.
struct Level {
  std::unique_ptr<FolderListing> listing;
  ReadFolderPtr read;
  size_t position = 0;  // the next entry of `read`
  size_t base = 0;      // length of the folder's path with its separator
  int32_t depth = 0;
  bool idKnown = false;
  FileId id;
  FindData entry;  // the current entry; its name buffer serves every entry

  FolderListing* Listing() const { return read ? read->walkListing : listing.get(); }
};

class Walk {
 public:
  Walk(Run& run, std::u16string_view pattern)
      : run_(run), pattern_(pattern), separator_(run.separator()) {}

  uint32_t From(std::u16string_view folder, int32_t depth) {
    // The walk's own thread reads too, whenever a folder it needs is not
    // ready yet, so it counts as one of the workers: on two cores the walk
    // and one reader keep both busy, and a second reader would only take
    // turns with them.
    const uint32_t workers = Workers();
    if (workers > 1) {
      ahead_.emplace(run_, pattern_, workers - 1, std::min(workers * kWindowPerWorker, kWindowMax));
      if (ahead_->readers() == 0) ahead_.reset();  // the system gave no thread
    }
    path_.assign(folder);
    if (ahead_) {
      if (EnterRead(nullptr, EntryRef{folder, nullptr, {}}, folder.size(), depth, {})) Descend();
    } else if (OpenLevel(EntryRef{folder, nullptr, {}}, folder.size(), depth, {})) {
      Descend();
    }
    // The readers stop first: after an abort, one may still be opening a
    // subfolder through a level that is about to close.
    ahead_.reset();
    CloseAll();
    return handedOn_;
  }

 private:
  uint32_t Workers() const {
    if (run_.walkWorkers != 0) return run_.walkWorkers;
    const unsigned cores = std::thread::hardware_concurrency();
    return cores <= 1 ? 1 : std::min<uint32_t>(cores, kMaxWalkWorkers);
  }

  void Descend() {
    while (open_ > 0) {
      // An abort request ends the walk before the next entry; every open
      // level is closed on the way out.
      if (run_.AbortRequested()) return;
      Level& level = *levels_[open_ - 1];
      std::u16string_view name;
      std::string_view bytes;
      uint32_t attributes = 0;
      ReadEntry* read = nullptr;
      if (level.read) {
        if (level.position == level.read->entries.size()) {
          CloseLevel();
          continue;
        }
        read = &level.read->entries[level.position++];
        name = level.read->NameOf(*read);
        bytes = level.read->BytesOf(*read);
        attributes = read->attributes;
      } else {
        if (!level.listing->Next(level.entry)) {
          CloseLevel();  // the end of the listing, or a failure: alike
          continue;
        }
        name = level.entry.name;
        bytes = level.entry.bytes;
        if (name == u"." || name == u"..") continue;
      }
      run_.progress.CountEntry();
      path_.resize(level.base);
      path_.append(name);
      const bool matches = read ? read->matches : MatchNamePattern(pattern_, name);
      // Whether a link leads to a folder matters only for one to be entered.
      if (!read && level.entry.directoryUnresolved && !matches && run_.options.recurse) {
        level.listing->ResolveDirectory(level.entry);
        attributes = level.entry.attributes;
      } else if (!read) {
        attributes = level.entry.attributes;
      }
      const EntryRef entry{path_, level.Listing(), name, attributes, bytes};

      if (matches && (attributes & kAttrReparsePoint) != 0) {
        // Reported, never entered, whatever it leads to.
        if (read && read->reparseRead) {
          ReportReparsePoint(run_, entry, read->reparse, level.read->ReparseDataOf(*read));
        } else {
          InspectReparsePoint(run_, entry);
        }
        ++handedOn_;
        run_.progress.CountReparsePoint();
      } else if ((attributes & kAttrDirectory) != 0) {
        if (!run_.options.recurse) continue;
        if (level.depth >= kMaxDepth) {
          PrintMessage(run_, "path nested too deep (max %i) -> skip folder %S\n", kMaxDepth, name);
          continue;
        }
        if (read) {
          // The entry's child is the walk's from here on.
          ReadFolderPtr child = std::move(read->child);
          EnterRead(std::move(child), entry, path_.size(), level.depth + 1, name);
        } else {
          OpenLevel(entry, path_.size(), level.depth + 1, name);
        }
      } else if (matches) {
        LinkInfo info;
        if (read) {
          info = read->link;
        } else {
          uint32_t error = 0;
          // A file that vanished or cannot be read is left out without a word.
          if (!run_.platform.QueryLinkInfo(entry, info, error)) info = LinkInfo{};
        }
        if (info.links > 1) {
          AddHardLink(run_, info.links, info.id(), path_);
          run_.progress.CountLinkCandidate();
        }
      }
    }
  }

  // Puts the search mask of the folder whose path is the first
  // `folderLength` characters of the path buffer after it; returns the
  // length of the folder's path with its separator.
  size_t MakeMask(size_t folderLength) {
    path_.resize(folderLength);
    if (path_.empty() || path_.back() != separator_) path_.push_back(separator_);
    const size_t base = path_.size();
    path_.push_back(u'*');
    return base;
  }

  void PrintOpenError(uint32_t error) {
    PrintMessage(run_, "error %s opening '%S'\n", SystemErrorName(error),
                 DisplayForm(path_, DisplayRule::kWalker));
  }

  // Whether a folder with this identity may be entered: not when it is open
  // further up the descent (a link back to a parent: the loop line), nor when
  // it was entered before in this run (reached again through a link: the
  // already-walked line). The scan folder is the first one entered.
  bool Admit(bool idKnown, const FileId& id, std::u16string_view name) {
    if (!idKnown || (id.index == 0 && id.indexUpper == 0)) return true;  // 0: unknown too
    for (size_t i = 0; i < open_; ++i) {
      const Level& parent = *levels_[i];
      if (parent.idKnown && parent.id == id) {
        PrintMessage(run_, "folder loops back to a parent -> skip folder %S\n", name);
        return false;
      }
    }
    if (!walked_.insert(id).second) {
      PrintMessage(run_, "folder already walked -> skip folder %S\n", name);
      return false;
    }
    return true;
  }

  Level& PushLevel(size_t base, int32_t depth, bool idKnown, const FileId& id) {
    if (open_ == levels_.size()) levels_.push_back(std::make_unique<Level>());
    Level& level = *levels_[open_++];
    level.base = base;
    level.depth = depth;
    level.idKnown = idKnown;
    level.id = id;
    level.position = 0;
    run_.progress.EnterFolder(std::u16string_view(path_).substr(0, base));
    return level;
  }

  // Starts the listing of a folder on this thread and makes it the innermost
  // level. A folder that cannot be listed gets the error line.
  bool OpenLevel(const EntryRef& folder, size_t folderLength, int32_t depth,
                 std::u16string_view name) {
    const size_t base = MakeMask(folderLength);
    // The buffer may have moved; the folder's path is its start.
    EntryRef ref = folder;
    ref.path = std::u16string_view(path_).substr(0, folderLength);
    uint32_t error = 0;
    std::unique_ptr<FolderListing> listing = run_.platform.OpenListing(path_, ref, error);
    if (!listing) {
      PrintOpenError(error);
      return false;
    }
    path_.pop_back();
    FileId id;
    const bool idKnown = listing->Identity(id);
    if (!Admit(idKnown, id, name)) return false;
    PushLevel(base, depth, idKnown, id).listing = std::move(listing);
    return true;
  }

  // Enters a folder read ahead, or, when none was queued for it (the scan
  // folder, a folder behind a link), opens it here and reads it only once
  // it is admitted.
  bool EnterRead(ReadFolderPtr folder, const EntryRef& entry, size_t folderLength, int32_t depth,
                 std::u16string_view name) {
    const bool queued = folder != nullptr;
    if (queued) {
      ahead_->Take(folder);
    } else {
      const ReadFolderPtr& parent = open_ > 0 ? levels_[open_ - 1]->read : ReadFolderPtr();
      // A folder met through a link takes the link's place in the walk.
      std::string order;
      if (parent) {
        order = parent->order;
        AppendWalkOrder(order, levels_[open_ - 1]->position - 1);
      }
      folder = ahead_->OpenHere(std::u16string_view(path_).substr(0, folderLength), parent, entry,
                                depth, std::move(order));
    }
    const size_t base = MakeMask(folderLength);
    if (!folder->opened) {
      PrintOpenError(folder->error);
      if (queued) ahead_->Drop(folder);
      return false;
    }
    path_.pop_back();
    if (!Admit(folder->idKnown, folder->id, name)) {
      ahead_->Drop(folder);
      return false;
    }
    if (!queued) ahead_->ListHere(folder);
    // The files it passes over without a word were counted, not kept.
    run_.progress.CountEntries(folder->silent);
    PushLevel(base, depth, folder->idKnown, folder->id).read = std::move(folder);
    return true;
  }

  void CloseLevel() {
    Level& level = *levels_[--open_];
    level.listing.reset();
    if (level.read) {
      // After an abort the readers are gone before the levels close.
      if (ahead_) {
        ahead_->Retire(std::move(level.read));
      } else {
        level.read.reset();
      }
    }
  }

  void CloseAll() {
    while (open_ > 0) CloseLevel();
  }

  Run& run_;
  std::u16string_view pattern_;
  char16_t separator_;
  std::u16string path_;  // the current entry's full path, or a search mask
  std::vector<std::unique_ptr<Level>> levels_;
  size_t open_ = 0;
  uint32_t handedOn_ = 0;
  std::unordered_set<FileId, FileIdHash> walked_;  // every folder entered
  std::optional<ReadAhead> ahead_;
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

uint32_t WalkFolder(Run& run, std::u16string_view folder, std::u16string_view pattern,
                    int32_t depth) {
  Walk walk(run, pattern);
  return walk.From(folder, depth);
}

}  // namespace quorrex
