// The Windows program's file queries on the machine's files, step by step
// as win32_files.cpp and the link query (taken from the program's own
// link_query.cpp) make them: which directory records a listing gives, the
// identities asked, the refusals a volume's file system remembers, and the
// system calls each step makes, told to Count.
#include <algorithm>

#include "machine_paths.h"
#include "memory_machine.h"
#include "platform/win32/dir_records.h"
#include "platform/win32/link_query.h"

namespace quorrex::testing {

FileId MemoryMachine::IdOf(const Resolved& r) const {
  if (r.volume != nullptr && r.volume->zeroIndexes) {
    return FileId{r.node->volumeSerial, r.volume->unknownIndex, r.volume->unknownIndexUpper};
  }
  // Before Windows 8 a program sees the 64-bit index alone.
  return FileId{r.node->volumeSerial, r.node->index, WideIds() ? r.node->indexUpper : 0};
}

VolumeAnswers MemoryMachine::AnswersOn(const Volume* volume) const {
  VolumeAnswers answers = AnswersOf(Release(), volume != nullptr ? volume->fsName : u"NTFS");
  if (volume != nullptr && volume->statRefusal != 0) answers.stat = volume->statRefusal;
  return answers;
}

FileId MemoryMachine::AskIdentity(const Resolved& r) {
  // GetFileInformationByHandle; then FileIdInfo, from Windows 8 on, where
  // the volume has not refused it before.
  Count(Call::kQuery, 2);
  FileId id = IdOf(r);
  const VolumeAnswers answers = AnswersOn(r.volume);
  if (answers.fileIdInfoAsked && !refusals_.Refused(id.volume, win32::Refusal::kFileIdInfo)) {
    Count(Call::kQuery);
    if (!answers.fileIdInfo) refusals_.Remember(id.volume, win32::Refusal::kFileIdInfo);
  }
  return id;
}

// A folder listing as the Windows program reads it: one open, its directory
// records in batches of 64 KiB (and one query more that finds no more), one
// close. The opening calls are counted as the listing is opened; a folder
// whose identity is not known by then asks it when the walk does. A folder
// listed by the older search has no handle: its link queries open each
// file, and its identity opens the folder once more.
class MemoryMachine::Listing : public FolderListing {
 public:
  struct Shape {
    bool wideRecords = false;
    bool searched = false;
    const FileId* identity = nullptr;  // known at the open
    FileId own;                        // else asked when the walk asks
    uint32_t identityError = 0;
    Resolved resolved;
  };
  Listing(MemoryMachine* machine, std::vector<FindData> entries, size_t limit, uint32_t cutError,
          const Shape& shape)
      : machine_(machine),
        entries_(std::move(entries)),
        limit_(limit),
        cutError_(cutError),
        shape_(shape) {
    const size_t open = ++machine_->openListings;
    size_t peak = machine_->peakOpenListings.load();
    while (open > peak && !machine_->peakOpenListings.compare_exchange_weak(peak, open)) {
    }
    if (shape.identity != nullptr) {
      asked_ = true;
      known_ = true;
      id_ = *shape.identity;
    }
    shape_.identity = nullptr;
    // The records: the fixed part (88 bytes with 128-bit IDs, 104 with
    // 64-bit ones) and the name, each on an 8-byte boundary.
    const size_t fixed = shape.wideRecords ? 88 : 104;
    size_t used = 0;
    for (size_t i = 0; i < entries_.size(); ++i) {
      const size_t record = (fixed + entries_[i].name.size() * 2 + 7) / 8 * 8;
      if (used + record > 64 * 1024) {
        batchStarts_.push_back(i);
        used = 0;
      }
      used += record;
    }
    // A folder without a single entry failed its first query at once.
    ended_ = entries_.empty();
  }
  ~Listing() override {
    --machine_->openListings;
    machine_->Count(Call::kClose);
  }
  Listing(const Listing&) = delete;
  Listing& operator=(const Listing&) = delete;

  bool Next(FindData& entry) override {
    {
      const std::lock_guard<std::recursive_mutex> hold(machine_->files_);
      if (ended_) return false;
      if (position_ >= entries_.size() || position_ >= limit_) {
        machine_->Count(Call::kQuery);  // the query that finds no more, or fails
        ended_ = true;
        if (position_ >= limit_) endError_ = cutError_;
        return false;
      }
      if (std::find(batchStarts_.begin(), batchStarts_.end(), position_) != batchStarts_.end()) {
        machine_->Count(Call::kQuery);
      }
      entry = entries_[position_++];
      if (machine_->onEntry) machine_->onEntry(entry.name);
    }
    if (machine_->onEntryUnlocked) machine_->onEntryUnlocked(entry.name);
    return true;
  }

  uint32_t EndError() const override { return endError_; }

  bool Identity(FileId& id) override {
    if (!asked_) {
      asked_ = true;
      const std::lock_guard<std::recursive_mutex> hold(machine_->files_);
      // The search's folder is opened once more to be asked.
      if (shape_.searched) machine_->Count(Call::kOpen);
      if (shape_.identityError == 0) {
        id_ = machine_->AskIdentity(shape_.resolved);
        known_ = true;
      } else {
        machine_->Count(Call::kQuery, 2);
      }
      if (shape_.searched) machine_->Count(Call::kClose);
    }
    if (!known_) return false;
    id = id_;
    return true;
  }

  bool Volume(uint64_t& volume) const {
    if (shape_.searched || !known_) return false;
    volume = id_.volume;
    return true;
  }
  bool searched() const { return shape_.searched; }
  bool lacksStat = false;

 private:
  MemoryMachine* machine_;
  std::vector<FindData> entries_;
  size_t position_ = 0;
  size_t limit_;
  uint32_t cutError_;
  uint32_t endError_ = 0;
  Shape shape_;
  FileId id_;
  bool asked_ = false;
  bool known_ = false;
  bool ended_ = false;
  std::vector<size_t> batchStarts_;
};

namespace {

// The NTSTATUS a by-name query fails with where an open fails with `error`.
uint32_t StatusOf(uint32_t error) {
  switch (error) {
    case win::kFileNotFound:
      return win32::nt_status::kObjectNameNotFound;
    case win::kPathNotFound:
      return win32::nt_status::kObjectPathNotFound;
    case win::kAccessDenied:
      return win32::nt_status::kAccessDenied;
    case win::kSharingViolation:
      return win32::nt_status::kSharingViolation;
    case win::kTooManyOpenFiles:
      return win32::nt_status::kTooManyOpenedFiles;
    case win::kNotEnoughMemory:
      return win32::nt_status::kNoMemory;
    case win::kNoSystemResources:
      return win32::nt_status::kInsufficientResources;
    case win::kInvalidParameter:
      return win32::nt_status::kInvalidParameter;
    default:
      return win::kStatusUnsuccessful;
  }
}

}  // namespace

// The link query's system calls on the machine, counted.
class MemoryMachine::LinkCalls final : public win32::LinkCalls {
 public:
  LinkCalls(MemoryMachine& machine, const std::u16string& path) : machine_(machine), path_(path) {}

  uint32_t StatByName(win32::StatAnswer& answer) override {
    machine_.Count(Call::kStatByName);
    if (machine_.Release() < WindowsRelease::kWindows10v1709) {
      return win32::nt_status::kInvalidParameter;  // 1703: the class is unknown
    }
    if (uint32_t e = machine_.Injected(Op::kStatByName, path_)) return StatusOf(e);
    if (uint32_t e = machine_.Injected(Op::kLinkInfo, path_)) return StatusOf(e);
    const Resolved r = machine_.Resolve(machine_.Redirected(path_), true);
    if (!r.node) return StatusOf(r.error);
    if (const uint32_t refusal = machine_.AnswersOn(r.volume).stat) return refusal;
    answer.index = machine_.IdOf(r).index;
    answer.attributes = r.node->attributes;
    answer.links = Links(r);
    return win32::nt_status::kSuccess;
  }
  uint32_t Open() override {
    machine_.Count(Call::kOpen);
    if (uint32_t e = machine_.Injected(Op::kLinkInfo, path_)) return e;
    resolved_ = machine_.Resolve(machine_.Redirected(path_), true);
    return resolved_.node ? 0 : resolved_.error;
  }
  uint32_t QueryLinks(uint32_t& links) override {
    machine_.Count(Call::kQuery);
    links = Links(resolved_);
    return 0;
  }
  uint32_t QueryIndex(uint64_t& volume, uint64_t& index) override {
    machine_.Count(Call::kQuery, 2);
    const FileId id = machine_.IdOf(resolved_);
    volume = id.volume;
    index = id.index;
    return 0;
  }
  bool QueryWideIndex(uint64_t& lower, uint64_t& upper) override {
    if (!machine_.WideIds()) return false;  // refused before the kernel
    machine_.Count(Call::kQuery);
    if (!machine_.AnswersOn(resolved_.volume).fileIdInfo) return false;
    const FileId id = machine_.IdOf(resolved_);
    lower = id.index;
    upper = id.indexUpper;
    return true;
  }
  void Close() override { machine_.Count(Call::kClose); }
  uint32_t ErrorOf(uint32_t status) override { return win32::WinErrorOfStatus(status); }

 private:
  static uint32_t Links(const Resolved& r) {
    return r.node->linkCount != 0 ? r.node->linkCount : r.node->names;
  }
  MemoryMachine& machine_;
  const std::u16string& path_;
  Resolved resolved_;
};

std::unique_ptr<FolderListing> MemoryMachine::OpenListingLocked(const std::u16string& mask,
                                                                const EntryRef& folder,
                                                                uint32_t& error) {
  const std::lock_guard<std::recursive_mutex> hold(files_);
  if (folder.parent != nullptr) ++openedThroughParent;
  listingsOpened.push_back(mask);
  std::u16string path = mask;
  if (!path.empty() && path.back() == u'*') path.pop_back();
  // The steps of win32_files.cpp. A folder its parent listed as a plain one
  // is opened itself, never through a link put at its name since.
  const bool plain =
      folder.attributes != kInvalidFileAttributes && (folder.attributes & kAttrReparsePoint) == 0;
  const FileId* listed = plain ? folder.listedIdentity : nullptr;
  // A folder that does not open is left to the search, which opens it again.
  Count(Call::kOpen);
  if ((error = Injected(Op::kOpenListing, path)) != 0) {
    Count(Call::kOpen);
    return nullptr;
  }
  const Resolved r = Resolve(Redirected(path), !plain);
  if (!r.node) {
    Count(Call::kOpen);
    error = r.error;
    return nullptr;
  }
  if (!r.node->folder) {
    error = win::kPathNotFound;
    return nullptr;
  }
  if (r.node->needsBackupPrivilege && !backupPrivilegeEnabled) {
    error = win::kAccessDenied;
    return nullptr;
  }
  if (openListingLimit && openListings >= *openListingLimit) {
    error = win::kTooManyOpenFiles;
    return nullptr;
  }
  Listing::Shape shape;
  shape.resolved = r;
  shape.identityError = Injected(Op::kIdentity, path);
  // The volume: the listed folder's, or the folder asked its identity now.
  shape.identity = folder.listedIdentity;
  if (shape.identity == nullptr && shape.identityError == 0) {
    shape.own = AskIdentity(r);
    shape.identity = &shape.own;
  } else if (shape.identity == nullptr) {
    Count(Call::kQuery, 2);
  }
  const bool volumeKnown = shape.identity != nullptr;
  const uint64_t volume = volumeKnown ? shape.identity->volume : 0;
  // The records: the wide ones where the release has them and the volume
  // has not refused them, else the older ones; a folder that gives neither
  // is listed by the search.
  const VolumeAnswers answers = AnswersOn(r.volume);
  const bool recordsRefused = Injected(Op::kDirRecords, path) != 0;
  shape.wideRecords =
      WideIds() && !(volumeKnown && refusals_.Refused(volume, win32::Refusal::kWideRecords));
  if (shape.wideRecords) {
    Count(Call::kQuery);
    if (!answers.wideRecords || recordsRefused) {
      shape.wideRecords = false;
      if (volumeKnown && !answers.wideRecords) {
        refusals_.Remember(volume, win32::Refusal::kWideRecords);
      }
    }
  }
  if (!shape.wideRecords) Count(Call::kQuery);
  const bool wideIdsOnVolume =
      WideIds() && !(volumeKnown && refusals_.Refused(volume, win32::Refusal::kFileIdInfo));
  const bool listIndexes = !recordsRefused && (shape.wideRecords || !wideIdsOnVolume);
  std::vector<FindData> entries;
  const bool root = r.volume != nullptr && r.node == r.volume->top;
  if (!root) {
    // "." carries the folder's own ID, as NTFS gives it.
    FindData& dot = entries.emplace_back(FindData{kAttrDirectory, u"."});
    const FileId own = IdOf(r);
    const bool apart = r.volume != nullptr && r.volume->recordsApart;
    dot.indexListed = listIndexes;
    dot.index = listIndexes && !apart ? own.index : 0;
    dot.indexUpper = listIndexes && !apart ? own.indexUpper : 0;
    entries.push_back({kAttrDirectory, u".."});
  }
  for (const auto& [name, child] : r.node->children) {
    FindData& entry = entries.emplace_back(FindData{child->attributes, name});
    if (!listIndexes) continue;
    // The record's file ID: 128 bits from Windows 8 on, 64 before.
    const FileId id = IdOf(Resolved{child, r.volume, 0});
    entry.indexListed = true;
    entry.index = id.index + (r.volume != nullptr && r.volume->recordsApart ? kRecordIdOffset : 0);
    entry.indexUpper = id.indexUpper;
  }
  const FindData* dot = !entries.empty() && entries[0].name == u"." ? &entries[0] : nullptr;
  // A folder asked its identity by its handle teaches whether the volume's
  // records give the IDs its handles give.
  if (!recordsRefused && shape.identity == &shape.own && dot != nullptr &&
      win32::DotRecordNames(*dot, shape.own)) {
    refusals_.Remember(shape.own.volume, win32::Refusal::kRecordIdsAgree);
  }
  if (recordsRefused) {
    // The handle is closed, and the search opens the folder, following a
    // link at its name, and asks its first entries.
    Count(Call::kClose);
    Count(Call::kOpen);
    Count(Call::kQuery);
    shape.searched = true;
    shape.identity = nullptr;
    shape.identityError = Injected(Op::kIdentity, path);
    const Resolved followed = Resolve(Redirected(path), true);
    if (followed.node != nullptr) shape.resolved = followed;
  } else if (listed != nullptr) {
    // The "." record, else the open folder's attributes and, where the
    // volume's records and handles are known to agree, its identity.
    win32::OpenFolderQueries ask;
    ask.attributes = [&]() -> uint32_t {
      Count(Call::kQuery);
      return r.node->attributes | kAttrDirectory * r.node->folder;
    };
    ask.identity = [&](FileId& own) {
      own = AskIdentity(r);
      return true;
    };
    if (!win32::StillTheListedFolder(
            dot, *listed, refusals_.Refused(listed->volume, win32::Refusal::kRecordIdsAgree),
            ask)) {
      Count(Call::kClose);
      error = win::kPathNotFound;  // a link, a file or another folder now has its name
      return nullptr;
    }
  }
  const auto limit = listingLimits_.find(Key(path));
  const std::pair<size_t, uint32_t> cut =
      limit == listingLimits_.end() ? std::pair<size_t, uint32_t>{SIZE_MAX, 0} : limit->second;
  auto listing = std::make_unique<Listing>(this, std::move(entries), cut.first, cut.second, shape);
  FileId found;
  if (shape.searched && listed != nullptr && listing->Identity(found) && IsKnownFileId(found) &&
      found != *listed) {
    error = win::kPathNotFound;
    return nullptr;
  }
  return listing;
}

bool MemoryMachine::QueryLinkInfo(const EntryRef& file, LinkInfo& info, uint32_t& error) {
  const std::lock_guard<std::recursive_mutex> hold(files_);
  // The steps of the Windows program, on this machine's answers: the
  // by-name query where the release's build has it and the folder is open
  // as a handle.
  auto* listing = dynamic_cast<Listing*>(file.parent);
  win32::LinkQueryPlace place;
  place.statByName =
      listing != nullptr && !listing->searched() && Release() >= WindowsRelease::kWindows10v1709;
  place.refusals = &refusals_;
  place.listedId = file.listedIdentity;
  if (listing != nullptr) {
    place.folderLacksStat = &listing->lacksStat;
    place.volumeKnown = listing->Volume(place.volume);
  }
  const std::u16string path(file.path);
  LinkCalls calls(*this, path);
  return win32::QueryLink(calls, place, info, error);
}

}  // namespace quorrex::testing
