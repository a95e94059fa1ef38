#include "platform/win32/link_query.h"

namespace quorrex::win32 {
namespace {

// Windows error codes, by value: this file sees no Windows header.
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorTooManyOpenFiles = 4;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorNotSupported = 50;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorInvalidName = 123;
constexpr uint32_t kErrorNoSystemResources = 1450;

// A failed by-name query that says no more than the open would: the file is
// gone, or the system is short of something (the walk reads again).
bool FinalStatus(uint32_t status) {
  switch (status) {
    case nt_status::kObjectNameNotFound:
    case nt_status::kObjectPathNotFound:
    case nt_status::kDeletePending:
    case nt_status::kNoMemory:
    case nt_status::kInsufficientResources:
    case nt_status::kTooManyOpenedFiles:
      return true;
    default:
      return false;
  }
}

// Completes the identity of an open file that can join a group: the volume
// from the listed folder where it is known, the index in its widest form.
// The order and the fallbacks are those of the open-based query, so that
// the same file gives the same key whichever way its link count came.
uint32_t ReadIdentity(LinkCalls& calls, const LinkQueryPlace& place, const uint64_t* narrowIndex,
                      FileId& id) {
  if (!place.volumeKnown) {
    if (const uint32_t e = calls.QueryIndex(id.volume, id.index); e != 0) return e;
    id.indexUpper = 0;
    uint64_t lower = 0;
    uint64_t upper = 0;
    if (calls.QueryWideIndex(lower, upper)) {
      id.index = lower;
      id.indexUpper = upper;
    }
    return 0;
  }
  id.volume = place.volume;
  id.indexUpper = 0;
  if (calls.QueryWideIndex(id.index, id.indexUpper)) return 0;
  id.indexUpper = 0;
  if (narrowIndex != nullptr) {
    id.index = *narrowIndex;
    return 0;
  }
  uint64_t volume = 0;
  return calls.QueryIndex(volume, id.index);
}

// The open-based query: open, link count, the identity only for more than
// one link, close.
bool QueryByOpen(LinkCalls& calls, const LinkQueryPlace& place, LinkInfo& info, uint32_t& error) {
  if (const uint32_t e = calls.Open(); e != 0) {
    error = e;
    return false;
  }
  uint32_t links = 0;
  uint32_t e = calls.QueryLinks(links);
  FileId id;
  if (e == 0 && links > 1) e = ReadIdentity(calls, place, nullptr, id);
  calls.Close();
  if (e != 0) {
    error = e;
    return false;
  }
  info = LinkInfo{};
  info.links = links;
  if (links > 1) info.id = id;
  return true;
}

}  // namespace

uint32_t WinErrorOfStatus(uint32_t status) {
  switch (status) {
    case nt_status::kSuccess:
      return 0;
    case nt_status::kObjectNameNotFound:
      return kErrorFileNotFound;
    case nt_status::kObjectPathNotFound:
      return kErrorPathNotFound;
    case nt_status::kAccessDenied:
    case nt_status::kDeletePending:
      return kErrorAccessDenied;
    case nt_status::kInvalidHandle:
      return kErrorInvalidHandle;
    case nt_status::kNoMemory:
      return kErrorNotEnoughMemory;
    case nt_status::kInsufficientResources:
      return kErrorNoSystemResources;
    case nt_status::kTooManyOpenedFiles:
      return kErrorTooManyOpenFiles;
    case nt_status::kSharingViolation:
      return kErrorSharingViolation;
    case nt_status::kObjectNameInvalid:
      return kErrorInvalidName;
    case nt_status::kInvalidInfoClass:
    case nt_status::kInvalidParameter:
      return kErrorInvalidParameter;
    case nt_status::kNotImplemented:
    case nt_status::kInvalidDeviceRequest:
      return kErrorInvalidFunction;
    case nt_status::kNotSupported:
      return kErrorNotSupported;
    default:
      return kErrorGenFailure;
  }
}

bool QueryLink(LinkCalls& calls, const LinkQueryPlace& place, LinkInfo& info, uint32_t& error) {
  const bool systemLacks =
      place.systemLacksStat != nullptr && place.systemLacksStat->load(std::memory_order_relaxed);
  const bool folderLacks = place.folderLacksStat != nullptr && *place.folderLacksStat;
  if (!place.statByName || systemLacks || folderLacks) {
    return QueryByOpen(calls, place, info, error);
  }
  StatAnswer stat;
  const uint32_t status = calls.StatByName(stat);
  if (status == nt_status::kSuccess) {
    info = LinkInfo{};
    info.links = stat.links;
    if (stat.links <= 1) {
      info.id = FileId{place.volumeKnown ? place.volume : 0, stat.index, 0};
      return true;
    }
    // A file that can join a group: its identity as the open-based query
    // reads it (the whole index where the system has one, as on ReFS).
    if (const uint32_t e = calls.Open(); e != 0) {
      error = e;
      return false;
    }
    FileId id;
    const uint32_t e = ReadIdentity(calls, place, &stat.index, id);
    calls.Close();
    if (e != 0) {
      error = e;
      return false;
    }
    info.id = id;
    return true;
  }
  switch (status) {
    case nt_status::kInvalidInfoClass:
    case nt_status::kNotImplemented:
      // The system knows the function but not the class: so it stays.
      if (place.systemLacksStat != nullptr) {
        place.systemLacksStat->store(true, std::memory_order_relaxed);
      }
      break;
    case nt_status::kInvalidParameter:
    case nt_status::kNotSupported:
    case nt_status::kInvalidDeviceRequest:
      // The folder's file system does not answer it: the rest of the folder
      // is asked by opening.
      if (place.folderLacksStat != nullptr) *place.folderLacksStat = true;
      break;
    default:
      if (FinalStatus(status)) {
        const uint32_t code = calls.ErrorOf(status);
        error = code != 0 ? code : kErrorGenFailure;
        return false;
      }
      // Anything else (a denial above all: the open passes with the backup
      // privilege where the query may not) is left to the open, whose
      // outcome stands as it always did.
      break;
  }
  return QueryByOpen(calls, place, info, error);
}

}  // namespace quorrex::win32
