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

bool StatRefused(const LinkQueryPlace& place) {
  if (place.folderLacksStat != nullptr && *place.folderLacksStat) return true;
  return place.volumeKnown && place.refusals != nullptr &&
         place.refusals->Refused(place.volume, Refusal::kStatByName);
}

void RememberStatRefused(const LinkQueryPlace& place) {
  if (place.folderLacksStat != nullptr) *place.folderLacksStat = true;
  if (place.volumeKnown && place.refusals != nullptr) {
    place.refusals->Remember(place.volume, Refusal::kStatByName);
  }
}

// Reads the identity of an open file that can join a group: the volume
// from the listed folder where it is known, the index in its widest form.
// The order and the fallbacks are the same wherever the link count came
// from, so that the same file always gives the same key.
uint32_t ReadIdentity(LinkCalls& calls, const LinkQueryPlace& place, FileId& id) {
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
  const bool wideRefused =
      place.refusals != nullptr && place.refusals->Refused(place.volume, Refusal::kFileIdInfo);
  if (!wideRefused && calls.QueryWideIndex(id.index, id.indexUpper)) return 0;
  id.indexUpper = 0;
  uint64_t volume = 0;
  return calls.QueryIndex(volume, id.index);
}

// The open-based query: open, link count, the identity only for more than
// one link, close. The identity is always the open file's, asked of the
// same handle as its count: the folder's record names the file that had the
// name when the folder was listed, and the name may have been given to
// another file since. Asking the handle costs no more than checking the
// record against it would (the record's ID is in the form the handle's
// widest query gives).
bool QueryByOpen(LinkCalls& calls, const LinkQueryPlace& place, LinkInfo& info, uint32_t& error) {
  if (const uint32_t e = calls.Open(); e != 0) {
    error = e;
    return false;
  }
  uint32_t links = 0;
  uint32_t e = calls.QueryLinks(links);
  FileId id;
  if (e == 0 && links > 1) e = ReadIdentity(calls, place, id);
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

// A file of several links that the by-name query answered: its identity
// from the open file, and where that is not the file the query found (its
// name was given to another file in between), the link count from the same
// handle as well.
bool OpenForIdentity(LinkCalls& calls, const LinkQueryPlace& place, const StatAnswer& stat,
                     LinkInfo& info, uint32_t& error) {
  if (const uint32_t e = calls.Open(); e != 0) {
    error = e;
    return false;
  }
  FileId id;
  uint32_t links = stat.links;
  uint32_t e = ReadIdentity(calls, place, id);
  if (e == 0 && id.index != stat.index) e = calls.QueryLinks(links);
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
  if (!place.statByName || StatRefused(place)) return QueryByOpen(calls, place, info, error);
  StatAnswer stat;
  const uint32_t status = calls.StatByName(stat);
  if (status == nt_status::kSuccess) {
    if (stat.links > 1) {
      // The record's identity where the query found the file the record
      // names; else the open file's.
      if (place.listedId == nullptr || place.listedId->index != stat.index) {
        return OpenForIdentity(calls, place, stat, info, error);
      }
      info = LinkInfo{};
      info.links = stat.links;
      info.id = *place.listedId;
      return true;
    }
    info = LinkInfo{};
    info.links = stat.links;
    info.id = FileId{place.volumeKnown ? place.volume : 0, stat.index, 0};
    return true;
  }
  switch (status) {
    case nt_status::kInvalidInfoClass:
    case nt_status::kNotImplemented:
    case nt_status::kInvalidParameter:
    case nt_status::kNotSupported:
    case nt_status::kInvalidDeviceRequest:
      // The file system does not answer it (FAT refuses the class, a cloud
      // folder over a network share the request): the rest of its volume is
      // asked by opening. The system itself has it: that is told by its
      // build number before any query.
      RememberStatRefused(place);
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
