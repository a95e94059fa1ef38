#include "scan/walker.h"

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "console/message.h"
#include "paths/name_pattern.h"
#include "paths/path_forms.h"
#include "scan/hard_links.h"
#include "scan/reparse_names.h"
#include "scan/reparse_report.h"

namespace quorrex {
namespace {

struct FileIdHash {
  size_t operator()(const FileId& id) const {
    uint64_t h = id.index * 0x9E3779B97F4A7C15ull ^ (id.volume + 0x632BE59BD9B4E019ull) ^
                 (id.indexUpper * 0xD6E8FEB86659FD93ull);
    return static_cast<size_t>(h ^ (h >> 31));
  }
};

// One open folder of the descent. Levels live on the heap and are reused when
// the walk climbs down again, so neither the depth of the tree nor the number
// of its folders costs stack or repeated allocations.
struct Level {
  std::unique_ptr<FolderListing> listing;
  size_t base = 0;  // length of the folder's path with its separator
  int32_t depth = 0;
  bool idKnown = false;
  FileId id;
  FindData entry;  // the current entry; its name buffer serves every entry
};

class Walk {
 public:
  Walk(Run& run, std::u16string_view pattern)
      : run_(run), pattern_(pattern), separator_(run.separator()) {}

  uint32_t From(std::u16string_view folder, int32_t depth) {
    path_.assign(folder);
    if (OpenLevel(EntryRef{folder, nullptr, {}}, folder.size(), depth, {})) Descend();
    CloseAll();
    return handedOn_;
  }

 private:
  void Descend() {
    while (open_ > 0) {
      // An abort request ends the walk before the next entry; every open
      // level is closed on the way out.
      if (run_.AbortRequested()) return;
      Level& level = *levels_[open_ - 1];
      if (!level.listing->Next(level.entry)) {
        level.listing.reset();  // the end of the listing, or a failure: alike
        --open_;
        continue;
      }
      const std::u16string& name = level.entry.name;
      if (name == u"." || name == u"..") continue;
      path_.resize(level.base);
      path_.append(name);
      const bool matches = MatchNamePattern(pattern_, name);
      // Whether a link leads to a folder matters only for one to be entered.
      if (level.entry.directoryUnresolved && !matches && run_.options.recurse) {
        level.listing->ResolveDirectory(level.entry);
      }
      const uint32_t attributes = level.entry.attributes;
      const EntryRef entry{path_, level.listing.get(), name, attributes};

      if (matches && (attributes & kAttrReparsePoint) != 0) {
        // Reported, never entered, whatever it leads to.
        InspectReparsePoint(run_, entry);
        ++handedOn_;
      } else if ((attributes & kAttrDirectory) != 0) {
        if (!run_.options.recurse) continue;
        if (level.depth >= kMaxDepth) {
          PrintMessage(run_, "path nested too deep (max %i) -> skip folder %S\n", kMaxDepth, name);
          continue;
        }
        OpenLevel(entry, path_.size(), level.depth + 1, name);
      } else if (matches) {
        FileId id;
        const uint32_t links = QueryLinkInfo(run_, entry, &id);
        if (links > 1) AddHardLink(run_, links, id, path_);
      }
    }
  }

  // Starts the listing of the folder whose path is the first `folderLength`
  // characters of the path buffer and makes it the innermost level. A folder
  // that cannot be listed gets the error line; one that is already open
  // further up the descent (a link back to a parent) gets the loop line, and
  // one entered before in this run (reached again through a link) gets the
  // already-walked line. The scan folder is the first one entered.
  bool OpenLevel(const EntryRef& folder, size_t folderLength, int32_t depth,
                 std::u16string_view name) {
    path_.resize(folderLength);
    if (path_.empty() || path_.back() != separator_) path_.push_back(separator_);
    const size_t base = path_.size();
    path_.push_back(u'*');
    // The buffer may have moved; the folder's path is its start.
    EntryRef ref = folder;
    ref.path = std::u16string_view(path_).substr(0, folderLength);
    uint32_t error = 0;
    std::unique_ptr<FolderListing> listing = run_.platform.OpenListing(path_, ref, error);
    if (!listing) {
      PrintMessage(run_, "error %s opening '%S'\n", SystemErrorName(error),
                   DisplayForm(path_, DisplayRule::kWalker));
      return false;
    }
    path_.pop_back();

    FileId id;
    const bool idKnown = listing->Identity(id);
    if (idKnown) {
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
    }

    if (open_ == levels_.size()) levels_.push_back(std::make_unique<Level>());
    Level& level = *levels_[open_++];
    level.listing = std::move(listing);
    level.base = base;
    level.depth = depth;
    level.idKnown = idKnown;
    level.id = id;
    return true;
  }

  void CloseAll() {
    while (open_ > 0) levels_[--open_]->listing.reset();
  }

  Run& run_;
  std::u16string_view pattern_;
  char16_t separator_;
  std::u16string path_;  // the current entry's full path, or a search mask
  std::vector<std::unique_ptr<Level>> levels_;
  std::unordered_set<FileId, FileIdHash> walked_;  // every folder entered
  size_t open_ = 0;
  uint32_t handedOn_ = 0;
};

}  // namespace

uint32_t WalkFolder(Run& run, std::u16string_view folder, std::u16string_view pattern,
                    int32_t depth) {
  Walk walk(run, pattern);
  return walk.From(folder, depth);
}

}  // namespace quorrex
