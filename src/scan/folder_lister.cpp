#include "scan/folder_lister.h"

#include <utility>

#include "paths/path_forms.h"
#include "scan/reparse_data.h"

namespace quorrex {
namespace {

// Entries listed between two additions to the folder's count.
constexpr uint32_t kCountBatch = 256;

}  // namespace

void AppendWalkOrder(std::string& order, size_t position) {
  // One byte below 128, two below 16384, else five: the first byte tells
  // the length and shorter codes sort first, so that comparing the bytes
  // compares the places, and a typical path fits the string's own room.
  const auto value = static_cast<uint32_t>(position);
  if (value < 0x80) {
    order.push_back(static_cast<char>(value));
  } else if (value < 0x4000) {
    order.push_back(static_cast<char>(0x80 | (value >> 8)));
    order.push_back(static_cast<char>(value & 0xFF));
  } else {
    order.push_back(static_cast<char>(0xC0));
    for (int shift = 24; shift >= 0; shift -= 8) order.push_back(static_cast<char>(value >> shift));
  }
}

ListedFolderPtr MakeSubfolder(const ListedFolderPtr& parent, std::u16string_view path,
                              size_t nameOffset, std::string_view nameBytes, uint32_t attributes,
                              size_t position) {
  auto child = std::make_shared<ListedFolder>();
  child->path.assign(path);
  child->nameOffset = static_cast<uint32_t>(nameOffset);
  child->nameBytes.assign(nameBytes);
  child->attributes = attributes;
  child->depth = parent->depth + 1;
  child->order = parent->order;
  AppendWalkOrder(child->order, position);
  child->parent = parent;
  return child;
}

void CountListedInto(ListedFolder& folder, std::atomic<uint64_t>* sink) {
  std::lock_guard<std::mutex> hold(folder.countLock);
  if (folder.countSink == sink) return;
  if (folder.countSink != nullptr) folder.countSink->fetch_sub(folder.listedCount);
  folder.countSink = sink;
  if (sink != nullptr) sink->fetch_add(folder.listedCount, std::memory_order_relaxed);
}

void CountListed(ListedFolder& folder, uint64_t n) {
  std::lock_guard<std::mutex> hold(folder.countLock);
  folder.listedCount += n;
  if (folder.countSink != nullptr) folder.countSink->fetch_add(n, std::memory_order_relaxed);
}

void UncountListed(ListedFolder& folder) {
  std::lock_guard<std::mutex> hold(folder.countLock);
  if (folder.countSink != nullptr) folder.countSink->fetch_sub(folder.listedCount);
  folder.countSink = nullptr;
  folder.listedCount = 0;
}

// --- A folder's listing --------------------------------------------------------
// Whoever opens a subfolder through it pins it for that open; a close asked
// for meanwhile happens with the last unpin.

void HeldListing::Hold(std::unique_ptr<FolderListing> listing, BudgetUnit&& unit) {
  Reset();
  listing_ = std::move(listing);
  unit_ = std::move(unit);
  if (!listing_) unit_.GiveBack();
}

void HeldListing::Reset() {
  listing_.reset();
  unit_.GiveBack();
}

BudgetUnit HeldListing::Close() {
  listing_.reset();
  return std::move(unit_);
}

void HeldListing::Swap(HeldListing& other) {
  std::swap(listing_, other.listing_);
  std::swap(unit_, other.unit_);
}

bool ListedFolder::KeepListingOpen() {
  std::lock_guard<std::mutex> hold(listingLock);
  closeWanted = false;
  return static_cast<bool>(listing);
}

bool ListedFolder::ListingOpen() {
  std::lock_guard<std::mutex> hold(listingLock);
  return listing && !closeWanted;
}

bool ListedFolder::ClosePending() {
  std::lock_guard<std::mutex> hold(listingLock);
  return listing && closeWanted;
}

void ListedFolder::CloseListing() {
  std::lock_guard<std::mutex> hold(listingLock);
  if (pins > 0) {
    closeWanted = listing ? true : false;
  } else {
    listing.Reset();
  }
}

FolderListing* ListedFolder::ListingForWalk() {
  std::lock_guard<std::mutex> hold(listingLock);
  return closeWanted ? nullptr : listing.get();
}

FolderListing* ListedFolder::PinListing() {
  std::lock_guard<std::mutex> hold(listingLock);
  if (!listing || closeWanted) return nullptr;
  ++pins;
  return listing.get();
}

void ListedFolder::UnpinListing() {
  std::lock_guard<std::mutex> hold(listingLock);
  if (--pins == 0 && closeWanted) {
    closeWanted = false;
    listing.Reset();
  }
}

BudgetUnit ListedFolder::CloseListingForUnit() {
  std::lock_guard<std::mutex> hold(listingLock);
  if (pins > 0) {
    closeWanted = listing ? true : false;
    return {};
  }
  return listing.Close();
}

// --- Reading ---------------------------------------------------------------------

OpenResult FolderLister::Open(ListedFolder& folder, bool throughParent, BudgetUnit& unit,
                              ListerScratch& scratch) {
  scratch.mask.assign(folder.path);
  AppendSearchMask(scratch.mask, separator_);
  ListingOutcome& outcome = folder.outcome;
  outcome.privilegeSettled = privilegeSettled_.load(std::memory_order_acquire);
  std::unique_ptr<FolderListing> listing;
  uint32_t error = 0;
  if (throughParent) {
    const ListedFolderPtr parent = folder.parent.lock();
    FolderListing* through = parent ? parent->PinListing() : nullptr;
    if (through == nullptr) return OpenResult::kParentClosed;
    const EntryRef ref{folder.path,      through,
                       folder.Name(),    folder.attributes,
                       folder.nameBytes, folder.idListed ? &folder.listedId : nullptr};
    listing = platform_.OpenListing(scratch.mask, ref, error);
    parent->UnpinListing();
  } else {
    const EntryRef ref{folder.path, nullptr, folder.Name(), folder.attributes, folder.nameBytes};
    listing = platform_.OpenListing(scratch.mask, ref, error);
  }
  if (!listing) {
    outcome.error = error;
    if (IsShortage(error)) return OpenResult::kShort;
    outcome.denied = error == win_error::kAccessDenied;
    return OpenResult::kFailed;
  }
  // Once open, the folder no longer needs the one it was met in.
  folder.parent.reset();
  folder.listing.Hold(std::move(listing), std::move(unit));
  outcome.opened = true;
  outcome.error = 0;
  outcome.idKnown = folder.listing->Identity(outcome.id);
  outcome.mountedSinceListed = folder.listing->MountedSinceListed();
  return OpenResult::kOpened;
}

ListedFolderPtr FolderLister::Subfolder(const ListedFolderPtr& self, const ListerScratch& scratch,
                                        size_t base, size_t position) {
  const ListedFolder& folder = *self;
  auto child = MakeSubfolder(self, scratch.path, base, scratch.entry.bytes,
                             scratch.entry.attributes, position);
  // Its identity from this listing's record, where the record has one and
  // this folder's volume is known; else its open asks for it.
  const FileId listed{folder.outcome.id.volume, scratch.entry.index, scratch.entry.indexUpper};
  if (scratch.entry.indexListed && folder.outcome.idKnown && IsKnownFileId(listed)) {
    child->idListed = true;
    child->listedId = listed;
  }
  return child;
}

bool FolderLister::AskLinks(ListedFolder& folder, FolderListing& listing, ListerScratch& scratch,
                            size_t base, LinkInfo& link) {
  // Where the listing gave bytes, they and the open folder name the file:
  // most files are asked and passed over without their name ever being
  // decoded or their path built.
  FindData& entry = scratch.entry;
  uint32_t error = 0;
  EntryRef ref{{}, &listing, {}, entry.attributes, entry.bytes};
  // Its identity from this listing's record, as for a subfolder: a file of
  // several links then needs no call of its own for it.
  const FileId listed{folder.outcome.id.volume, entry.index, entry.indexUpper};
  if (entry.indexListed && folder.outcome.idKnown && IsKnownFileId(listed)) {
    ref.listedIdentity = &listed;
  }
  if (entry.bytes.empty()) {
    scratch.path.resize(base);
    scratch.path.append(entry.Name());
    ref.path = scratch.path;
    ref.name = entry.name;
  }
  if (!platform_.QueryLinkInfo(ref, link, error)) {
    // A file that vanished or cannot be read is left out without a word.
    link = LinkInfo{};
    if (error == win_error::kAccessDenied) folder.outcome.denied = true;
    if (IsShortage(error)) folder.outcome.shortage = true;
  }
  return EntryRules::KeepsLinks(link);
}

namespace {

bool IsAscii(std::string_view bytes) {
  unsigned char all = 0;
  for (const char c : bytes) all |= static_cast<unsigned char>(c);
  return all < 0x80;
}

}  // namespace

ListedEntry& FolderLister::Keep(ListedFolder& folder, const EntryPlan& plan, const LinkInfo& link,
                                ListerScratch& scratch, size_t base) {
  FindData& entry = scratch.entry;
  ListedEntry& kept = folder.entries.emplace_back();
  kept.role = plan.role;
  // A name of ASCII bytes (most are) is its own UTF-16 units: it is kept
  // as it was listed, never decoded, but where reading a link needs it.
  const bool ascii = !entry.nameDecoded && !plan.readLink && IsAscii(entry.bytes);
  if (ascii) {
    kept.nameOffset = folder.names.AppendNarrow(entry.bytes, kept.nameLength);
  } else {
    kept.nameOffset = folder.names.Append(entry.Name(), kept.nameLength);
  }
  kept.attributes = entry.attributes;
  if (plan.role == EntryRole::kLinkQuery) {
    // Most of what a tree of hard links keeps: the name, the count and the
    // file index, nothing more.
    kept.links = link.links;
    folder.KeepId(kept, link.id);
    return kept;
  }
  kept.detail = static_cast<uint32_t>(folder.details.size());
  if (folder.details.empty()) folder.details.reserve(4);
  EntryDetail& detail = folder.details.emplace_back();
  if (plan.walkOpens && !entry.bytes.empty()) {
    detail.bytesOffset = static_cast<uint32_t>(folder.bytes.size());
    detail.bytesLength = static_cast<uint32_t>(entry.bytes.size());
    folder.bytes.append(entry.bytes);
    folder.bytes.push_back('\0');
  }
  // Only a link read here and a subfolder's record need the entry's path.
  if (plan.readLink || plan.subfolder) {
    scratch.path.resize(base);
    if (ascii) {
      scratch.path.resize(base + entry.bytes.size());
      for (size_t i = 0; i < entry.bytes.size(); ++i) scratch.path[base + i] = entry.bytes[i];
    } else {
      scratch.path.append(entry.Name());
    }
  }
  return kept;
}

ReadResult FolderLister::Read(ReadRequest request, ListerScratch& scratch, const StopSource& stop,
                              const StopSource& alsoStop) {
  ReadResult result{std::move(request.folder), OpenResult::kFailed, {}};
  result.opened = Open(*result.folder, true, request.unit, scratch);
  if (result.opened != OpenResult::kOpened) {
    result.unit = std::move(request.unit);
  } else if (!ListEntries(result.folder, scratch, stop, alsoStop)) {
    result.unit = result.folder->CloseListingForUnit();
  }
  return result;
}

void FolderLister::List(const ListedFolderPtr& folder, ListerScratch& scratch,
                        const StopSource& stop, const StopSource& alsoStop) {
  // A folder that nothing will open through (half of them are leaves) is
  // closed at once, on the thread that listed it.
  if (!ListEntries(folder, scratch, stop, alsoStop)) folder->CloseListing();
}

bool FolderLister::ListEntries(const ListedFolderPtr& self, ListerScratch& scratch,
                               const StopSource& stop, const StopSource& alsoStop) {
  ListedFolder& folder = *self;
  FolderListing& listing = *folder.listing.get();
  scratch.path.assign(folder.path);
  if (scratch.path.empty() || scratch.path.back() != separator_) scratch.path.push_back(separator_);
  const size_t base = scratch.path.size();
  bool keepOpen = false;
  uint32_t uncounted = 0;
  bool ended = false;
  while (!stop.StopRequested() && !alsoStop.StopRequested()) {
    if (!listing.Next(scratch.entry)) {
      ended = true;
      break;
    }
    const EntryPlan plan = rules_.Plan(scratch.entry, listing, folder.depth);
    if (plan.role == EntryRole::kNone) continue;
    if (countsEntries_ && ++uncounted == kCountBatch) {
      CountListed(folder, uncounted);
      uncounted = 0;
    }
    if (plan.role == EntryRole::kPassedOver) continue;
    LinkInfo link;
    if (plan.role == EntryRole::kLinkQuery && !AskLinks(folder, listing, scratch, base, link)) {
      continue;
    }
    ListedEntry& kept = Keep(folder, plan, link, scratch, base);
    if (plan.readLink) ReadLink(folder, folder.details[kept.detail], scratch);
    if (plan.subfolder) {
      folder.details[kept.detail].child = Subfolder(self, scratch, base, folder.entries.size() - 1);
    }
    keepOpen = keepOpen || plan.walkOpens || plan.subfolder;
  }
  if (countsEntries_) CountListed(folder, uncounted);
  folder.outcome.listed = true;
  // A listing that failed part way is a folder listed in part, not a whole
  // one; one short of descriptors or memory may come whole on a later read.
  if (ended) folder.outcome.cutError = listing.EndError();
  if (IsShortage(folder.outcome.cutError)) folder.outcome.shortage = true;
  return keepOpen;
}

void FolderLister::ReadLink(ListedFolder& folder, EntryDetail& read, ListerScratch& scratch) {
  std::vector<uint8_t>& buffer = scratch.linkData;
  if (buffer.size() != kReparseBufferSize) buffer.resize(kReparseBufferSize);
  const FindData& entry = scratch.entry;
  const EntryRef ref{scratch.path, folder.listing.get(), entry.name, entry.attributes, entry.bytes};
  read.reparse = platform_.ReadReparseData(scratch.path, ref, buffer);
  if (read.reparse.stage != ReparseRead::Stage::kRead && IsShortage(read.reparse.error)) {
    folder.outcome.shortage = true;
  }
  read.reparseRead = true;
  if (read.reparse.stage == ReparseRead::Stage::kRead) {
    read.reparseOffset = static_cast<uint32_t>(folder.reparseData.size());
    folder.reparseData.insert(folder.reparseData.end(), buffer.begin(),
                              buffer.begin() + read.reparse.bytesReturned);
  }
}

}  // namespace quorrex
