#include "memory_machine.h"

#include <algorithm>

#include "machine_paths.h"
#include "reparse_bytes.h"
#include "support/utf.h"

namespace quorrex::testing {

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

void MemoryMachine::NumberRecordsApart(const std::u16string& root) {
  const std::lock_guard<std::recursive_mutex> hold(files_);
  size_t rootLength = 0;
  if (Volume* volume = VolumeOf(Canonical(root), rootLength)) volume->recordsApart = true;
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

void MemoryMachine::FailListingAfter(const std::u16string& folder, size_t entries, uint32_t error) {
  const std::lock_guard<std::recursive_mutex> hold(files_);
  listingLimits_[Key(folder)] = {entries, error};
}

uint32_t MemoryMachine::Injected(Op op, const std::u16string& path) const {
  const auto it = errors_.find({op, Key(path)});
  return it == errors_.end() ? 0 : it->second;
}

// --- Platform ----------------------------------------------------------------

bool MemoryMachine::GetFullPathName(const std::u16string& path, std::u16string& full) {
  if (!criticalErrorsFail) ++callsWithNoDiskBox;
  if (path.empty() || Injected(Op::kFullPath, path) != 0) return false;
  full = FullPathName(path, currentFolder);
  return true;
}

uint32_t MemoryMachine::GetFileAttributes(const std::u16string& path) {
  if (!criticalErrorsFail) ++callsWithNoDiskBox;
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
  if (!criticalErrorsFail) ++callsWithNoDiskBox;
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
  if (!criticalErrorsFail) ++callsWithNoDiskBox;
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
  if (!criticalErrorsFail) ++callsWithNoDiskBox;
  if (beforeListing) beforeListing(mask);
  error = refuseListing ? refuseListing(mask) : 0;
  std::unique_ptr<FolderListing> listing;
  if (error == 0) listing = OpenListingLocked(mask, folder, error);
  if (afterListing) afterListing(mask, listing ? 0 : error);
  return listing;
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
