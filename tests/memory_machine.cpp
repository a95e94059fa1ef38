#include "memory_machine.h"

#include "reparse_bytes.h"

#include <algorithm>

#include "machine_paths.h"
#include "platform/win32/dir_records.h"
#include "platform/win32/link_query.h"
#include "support/utf.h"

namespace quorrex::testing {
namespace {}  // namespace

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

void MemoryMachine::RefuseStatByName(const std::u16string& root, uint32_t status) {
  const std::lock_guard<std::recursive_mutex> hold(files_);
  size_t rootLength = 0;
  if (Volume* volume = VolumeOf(Canonical(root), rootLength)) volume->statRefusal = status;
}

void MemoryMachine::ReportZeroIndexes(const std::u16string& root, uint64_t index,
                                      uint64_t indexUpper) {
  const std::lock_guard<std::recursive_mutex> hold(files_);
  size_t rootLength = 0;
  if (Volume* volume = VolumeOf(Canonical(root), rootLength)) {
    volume->zeroIndexes = true;
    volume->unknownIndex = index;
    volume->unknownIndexUpper = indexUpper;
  }
}

std::u16string U(std::string_view utf8) {
  return DecodeUtf8Lossless(utf8);
}

std::u16string Numbered(const char* stem, size_t number) {
  // Built by appending: GCC 12 at -O3 warns falsely (-Wrestrict) on a
  // literal put in front of a temporary string.
  std::string name = stem;
  name += std::to_string(number);
  return U(name);
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
  Listing(MemoryMachine* machine, std::vector<FindData> entries, size_t limit, const Shape& shape)
      : machine_(machine), entries_(std::move(entries)), limit_(limit), shape_(shape) {
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
        machine_->Count(Call::kQuery);  // the query that finds no more
        ended_ = true;
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

MemoryMachine::MemoryMachine() {
  AddVolume(u"C:\\");
}

void MemoryMachine::AddVolume(const std::u16string& root, const std::u16string& fsName,
                              uint32_t fsFlags, uint64_t serial) {
  auto volume = std::make_unique<Volume>();
  volume->root = Canonical(root);
  if (volume->root.empty() || volume->root.back() != u'\\') volume->root.push_back(u'\\');
  volume->fsName = fsName;
  volume->fsFlags = fsFlags;
  volume->serial = serial != 0 ? serial : nextSerial_++;
  volume->top = std::make_shared<Node>();
  volume->top->folder = true;
  volume->top->attributes = kAttrDirectory;
  volume->top->index = 5;
  volume->top->names = 1;
  volume->top->volumeSerial = volume->serial;
  volumes_.push_back(std::move(volume));
}

void MemoryMachine::AddVolumeAlias(const std::u16string& alias, const std::u16string& root) {
  std::u16string a = alias;
  if (a.back() != u'\\') a.push_back(u'\\');
  std::u16string r = Canonical(root);
  if (r.back() != u'\\') r.push_back(u'\\');
  aliases_.emplace_back(a, r);
}

MemoryMachine::Volume* MemoryMachine::VolumeOf(const std::u16string& canonical,
                                               size_t& rootLength) {
  const std::u16string probe = canonical + u"\\";
  Volume* best = nullptr;
  for (auto& volume : volumes_) {
    if (StartsNoCase(probe, volume->root) &&
        (best == nullptr || volume->root.size() > best->root.size())) {
      best = volume.get();
    }
  }
  rootLength = best != nullptr ? best->root.size() : 0;
  return best;
}

MemoryMachine::Resolved MemoryMachine::Resolve(const std::u16string& path, bool followFinal,
                                               int hops) {
  if (hops > 32) return {nullptr, nullptr, win::kCantResolveFilename};
  std::u16string c = Canonical(path);
  for (const auto& [alias, root] : aliases_) {
    if (StartsNoCase(c + u"\\", alias)) {
      c = root + (c.size() > alias.size() ? c.substr(alias.size()) : u"");
      break;
    }
  }
  size_t rootLength = 0;
  Volume* volume = VolumeOf(c, rootLength);
  if (volume == nullptr) return {nullptr, nullptr, win::kPathNotFound};
  const auto parts = Components(std::u16string_view(c).substr(std::min(rootLength, c.size())));
  NodePtr node = volume->top;
  for (size_t i = 0; i < parts.size(); ++i) {
    const bool last = i + 1 == parts.size();
    if (parts[i].find_first_of(u"*?") != std::u16string::npos) {
      return {nullptr, nullptr, win::kInvalidName};
    }
    if (!node->folder) return {nullptr, nullptr, win::kPathNotFound};
    NodePtr next;
    for (const auto& [name, child] : node->children) {
      if (EqualNoCase(name, parts[i])) {
        next = child;
        break;
      }
    }
    if (!next) {
      return {nullptr, nullptr, last ? win::kFileNotFound : win::kPathNotFound};
    }
    node = next;
    if (!node->redirect.empty() && (!last || followFinal)) {
      std::u16string onward = node->redirect;
      for (size_t k = i + 1; k < parts.size(); ++k) {
        if (onward.empty() || onward.back() != u'\\') onward.push_back(u'\\');
        onward += parts[k];
      }
      return Resolve(onward, followFinal, hops + 1);
    }
  }
  return {node, volume, 0};
}

MemoryMachine::NodePtr MemoryMachine::Find(const std::u16string& path) {
  const std::lock_guard<std::recursive_mutex> hold(files_);
  return Resolve(path, false).node;
}

std::pair<MemoryMachine::NodePtr, std::u16string> MemoryMachine::ParentOf(
    const std::u16string& path) {
  std::u16string c = Canonical(path);
  while (!c.empty() && c.back() == u'\\') c.pop_back();
  const size_t cut = c.rfind(u'\\');
  std::u16string parent = c.substr(0, cut + 1);
  std::u16string name = c.substr(cut + 1);
  NodePtr folder = Resolve(parent, true).node;
  if (!folder) folder = AddFolder(parent);
  return {folder, name};
}

MemoryMachine::NodePtr MemoryMachine::AddFolder(const std::u16string& path) {
  const std::lock_guard<std::recursive_mutex> hold(files_);
  const std::u16string c = Canonical(path);
  size_t rootLength = 0;
  Volume* volume = VolumeOf(c, rootLength);
  if (volume == nullptr) return nullptr;
  NodePtr node = volume->top;
  for (const auto& part :
       Components(std::u16string_view(c).substr(std::min(rootLength, c.size())))) {
    NodePtr next;
    for (const auto& [name, child] : node->children) {
      if (EqualNoCase(name, part)) next = child;
    }
    if (!next) {
      next = std::make_shared<Node>();
      next->folder = true;
      next->attributes = kAttrDirectory;
      next->index = nextIndex_++;
      next->names = 1;
      next->volumeSerial = volume->serial;
      node->children.emplace_back(part, next);
    }
    node = next;
  }
  return node;
}

MemoryMachine::NodePtr MemoryMachine::AddFile(const std::u16string& path, uint32_t attributes) {
  const std::lock_guard<std::recursive_mutex> hold(files_);
  auto [parent, name] = ParentOf(path);
  size_t rootLength = 0;
  Volume* volume = VolumeOf(Canonical(path), rootLength);
  auto node = std::make_shared<Node>();
  node->attributes = attributes;
  node->index = nextIndex_++;
  node->names = 1;
  node->volumeSerial = volume != nullptr ? volume->serial : 0;
  parent->children.emplace_back(name, node);
  return node;
}

void MemoryMachine::AddHardLink(const std::u16string& existing, const std::u16string& path) {
  const std::lock_guard<std::recursive_mutex> hold(files_);
  NodePtr node = Find(existing);
  auto [parent, name] = ParentOf(path);
  ++node->names;
  parent->children.emplace_back(name, node);
}

MemoryMachine::NodePtr MemoryMachine::AddReparsePoint(const std::u16string& path,
                                                      std::vector<uint8_t> data, bool folder) {
  const std::lock_guard<std::recursive_mutex> hold(files_);
  NodePtr node = AddFile(path, (folder ? kAttrDirectory : kAttrArchive) | kAttrReparsePoint);
  node->folder = folder;
  node->reparseData = std::move(data);
  return node;
}

MemoryMachine::NodePtr MemoryMachine::AddJunction(const std::u16string& path,
                                                  const std::u16string& target) {
  NodePtr node = AddReparsePoint(path, MountPointData(u"\\??\\" + target, target), true);
  node->redirect = target;
  return node;
}

MemoryMachine::NodePtr MemoryMachine::AddMountPoint(const std::u16string& path,
                                                    const std::u16string& volumeName,
                                                    const std::u16string& root) {
  NodePtr node = AddReparsePoint(path, MountPointData(volumeName), true);
  node->redirect = root;
  return node;
}

MemoryMachine::NodePtr MemoryMachine::AddSymlink(const std::u16string& path,
                                                 const std::u16string& substitute, bool folder) {
  NodePtr node = AddReparsePoint(path, SymlinkData(substitute), folder);
  if (folder && substitute.rfind(u"\\??\\", 0) == 0) node->redirect = substitute.substr(4);
  return node;
}

void MemoryMachine::Remove(const std::u16string& path) {
  const std::lock_guard<std::recursive_mutex> hold(files_);
  auto [parent, name] = ParentOf(path);
  auto& children = parent->children;
  for (auto it = children.begin(); it != children.end(); ++it) {
    if (EqualNoCase(it->first, name)) {
      --it->second->names;
      children.erase(it);
      return;
    }
  }
}

void MemoryMachine::InjectError(Op op, const std::u16string& path, uint32_t error) {
  const std::lock_guard<std::recursive_mutex> hold(files_);
  if (error == 0) {
    errors_.erase({op, Key(path)});
  } else {
    errors_[{op, Key(path)}] = error;
  }
}

void MemoryMachine::FailListingAfter(const std::u16string& folder, size_t entries) {
  const std::lock_guard<std::recursive_mutex> hold(files_);
  listingLimits_[Key(folder)] = entries;
}

uint32_t MemoryMachine::Injected(Op op, const std::u16string& path) const {
  const auto it = errors_.find({op, Key(path)});
  return it == errors_.end() ? 0 : it->second;
}

// --- Platform ----------------------------------------------------------------

bool MemoryMachine::GetFullPathName(const std::u16string& path, std::u16string& full) {
  if (path.empty() || Injected(Op::kFullPath, path) != 0) return false;
  full = FullPathName(path, currentFolder);
  return true;
}

uint32_t MemoryMachine::GetFileAttributes(const std::u16string& path) {
  const std::lock_guard<std::recursive_mutex> hold(files_);
  if (Injected(Op::kAttributes, path) != 0) return kInvalidFileAttributes;
  // A device path names a device, not a folder.
  if (StartsNoCase(path, u"\\\\.\\") && path.find(u'\\', 4) == std::u16string::npos) {
    return kInvalidFileAttributes;
  }
  const Resolved r = Resolve(Redirected(path), false);
  if (!r.node) return kInvalidFileAttributes;
  // A trailing backslash names a folder only.
  if (!path.empty() && path.back() == u'\\' && !r.node->folder) return kInvalidFileAttributes;
  return r.node->attributes;
}

bool MemoryMachine::GetVolumePathName(const std::u16string& path, std::u16string& volume) {
  if (Injected(Op::kVolumePath, path) != 0) return false;
  std::u16string c = Canonical(path);
  std::u16string root;
  for (const auto& [alias, aliasRoot] : aliases_) {
    if (StartsNoCase(c + u"\\", alias)) root = alias;
  }
  if (root.empty()) {
    size_t rootLength = 0;
    Volume* v = VolumeOf(c, rootLength);
    if (v == nullptr) return false;
    root = c.substr(0, std::min(rootLength, c.size()));
    if (root.empty() || root.back() != u'\\') root.push_back(u'\\');
    if (StartsNoCase(path, u"\\\\?\\UNC\\")) {
      root = u"\\\\?\\UNC\\" + root.substr(2);
    } else if (StartsNoCase(path, u"\\\\?\\") && !StartsNoCase(root, u"\\\\")) {
      root = u"\\\\?\\" + root;
    }
  }
  volume = root;
  return true;
}

uint32_t MemoryMachine::GetVolumeInformation(const std::u16string& volume, uint32_t& fsFlags,
                                             std::u16string& fsName) {
  volumeQueries.push_back(volume);
  if (uint32_t e = Injected(Op::kVolumeInfo, volume)) return e;
  std::u16string c = Canonical(volume);
  for (const auto& [alias, root] : aliases_) {
    if (EqualNoCase(c, alias)) c = root;
  }
  for (auto& v : volumes_) {
    if (EqualNoCase(c, v->root)) {
      fsFlags = v->fsFlags;
      fsName = v->fsName;
      return 0;
    }
  }
  size_t rootLength = 0;
  return VolumeOf(c, rootLength) != nullptr ? win::kDirNotRoot : win::kPathNotFound;
}

std::unique_ptr<FolderListing> MemoryMachine::OpenListing(const std::u16string& mask,
                                                          const EntryRef& folder, uint32_t& error) {
  if (beforeListing) beforeListing(mask);
  error = refuseListing ? refuseListing(mask) : 0;
  std::unique_ptr<FolderListing> listing;
  if (error == 0) listing = OpenListingLocked(mask, folder, error);
  if (afterListing) afterListing(mask, listing ? 0 : error);
  return listing;
}

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
    dot.indexListed = listIndexes;
    dot.index = listIndexes ? own.index : 0;
    dot.indexUpper = listIndexes ? own.indexUpper : 0;
    entries.push_back({kAttrDirectory, u".."});
  }
  for (const auto& [name, child] : r.node->children) {
    FindData& entry = entries.emplace_back(FindData{child->attributes, name});
    if (!listIndexes) continue;
    // The record's file ID: 128 bits from Windows 8 on, 64 before.
    const FileId id = IdOf(Resolved{child, r.volume, 0});
    entry.indexListed = true;
    entry.index = id.index;
    entry.indexUpper = id.indexUpper;
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
  } else if (listed != nullptr &&
             !(!entries.empty() && win32::DotRecordNames(entries[0], *listed))) {
    // The records do not tell: the open folder is asked.
    const FileId own = AskIdentity(r);
    if (IsKnownFileId(own) && own != *listed) {
      Count(Call::kClose);
      error = win::kPathNotFound;  // another folder now has its name
      return nullptr;
    }
  }
  const auto limit = listingLimits_.find(Key(path));
  auto listing = std::make_unique<Listing>(
      this, std::move(entries), limit == listingLimits_.end() ? SIZE_MAX : limit->second, shape);
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

ReparseRead MemoryMachine::ReadReparseData(const std::u16string& openName, const EntryRef& entry,
                                           std::span<uint8_t> buffer) {
  if (beforeReparseRead) beforeReparseRead();
  const std::lock_guard<std::recursive_mutex> hold(files_);
  (void)entry;
  reparseOpens.push_back(openName);
  ReparseRead result;
  if ((result.error = Injected(Op::kReparseOpen, openName)) != 0) return result;
  const Resolved r = Resolve(Redirected(openName), false);
  if (!r.node) {
    result.error = r.error;
    return result;
  }
  result.stage = ReparseRead::Stage::kQueryFailed;
  if ((result.error = Injected(Op::kReparseQuery, openName)) != 0) return result;
  if (r.node->reparseData.empty()) {
    result.error = win::kNotAReparsePoint;
    return result;
  }
  const size_t n = std::min(buffer.size(), r.node->reparseData.size());
  std::copy_n(r.node->reparseData.begin(), n, buffer.begin());
  result.stage = ReparseRead::Stage::kRead;
  result.error = 0;
  result.bytesReturned = static_cast<uint32_t>(n);
  return result;
}

LinkTarget MemoryMachine::FindLinkTarget(const std::u16string& openName, const EntryRef&) {
  const std::lock_guard<std::recursive_mutex> hold(files_);
  const Resolved r = Resolve(Redirected(openName), true);
  if (r.node) return LinkTarget::kExists;
  switch (r.error) {
    case win::kFileNotFound:
    case win::kPathNotFound:
    case win::kInvalidName:
    case win::kCantResolveFilename:  // a loop of links
      return LinkTarget::kMissing;
    default:
      return LinkTarget::kUnknown;
  }
}

}  // namespace quorrex::testing
