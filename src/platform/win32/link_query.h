// The link query of one file on Windows, written against the few system calls
// it makes rather than against the Windows headers, so that the same steps
// run on the in-memory machine and are tested on every system.
//
// From Windows 10 1709 on, one by-name query relative to the open folder
// (NtQueryInformationByName, FileStatInformation) gives the link count, the
// 64-bit index and the attributes: no handle, no close. Where the system or
// the file system lacks it, the file is opened for no data access and asked
// its link count alone (FileStandardInfo). A file that can join a group (more
// than one link) takes its identity from its folder's record where the
// record has it in the form the file's own open gives; else it is read from
// the open file in its widest form. Either way the group keys never depend
// on the way the link count was had.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "platform/win32/volume_refusals.h"

namespace quorrex::win32 {

// The NTSTATUS values the query tells apart, and those the error table maps.
namespace nt_status {
inline constexpr uint32_t kSuccess = 0;
inline constexpr uint32_t kNotImplemented = 0xC0000002;
inline constexpr uint32_t kInvalidInfoClass = 0xC0000003;
inline constexpr uint32_t kInvalidHandle = 0xC0000008;
inline constexpr uint32_t kInvalidParameter = 0xC000000D;
inline constexpr uint32_t kInvalidDeviceRequest = 0xC0000010;
inline constexpr uint32_t kNoMemory = 0xC0000017;
inline constexpr uint32_t kAccessDenied = 0xC0000022;
inline constexpr uint32_t kObjectNameInvalid = 0xC0000033;
inline constexpr uint32_t kObjectNameNotFound = 0xC0000034;
inline constexpr uint32_t kObjectPathNotFound = 0xC000003A;
inline constexpr uint32_t kSharingViolation = 0xC0000043;
inline constexpr uint32_t kDeletePending = 0xC0000056;
inline constexpr uint32_t kInsufficientResources = 0xC000009A;
inline constexpr uint32_t kNotSupported = 0xC00000BB;
inline constexpr uint32_t kTooManyOpenedFiles = 0xC000011F;
}  // namespace nt_status

// The Windows error code of an NTSTATUS, from a table of the statuses a
// by-name query gives; for the system's own mapping where it cannot be had.
// Never 0 for a failure: an unknown failure is ERROR_GEN_FAILURE.
uint32_t WinErrorOfStatus(uint32_t status);

// What the by-name query gives.
struct StatAnswer {
  uint64_t index = 0;  // FILE_STAT_INFORMATION.FileId
  uint32_t attributes = 0;
  uint32_t links = 0;
};

// The system calls of one link query, in the order it may make them.
class LinkCalls {
 public:
  virtual ~LinkCalls() = default;
  // The by-name query relative to the open folder; an NTSTATUS.
  virtual uint32_t StatByName(StatAnswer& answer) = 0;
  // Opens the file for no data access, with backup intent; 0 or the error.
  virtual uint32_t Open() = 0;
  // Of the open file: its link count (FileStandardInfo); 0 or the error.
  virtual uint32_t QueryLinks(uint32_t& links) = 0;
  // Of the open file: volume serial and 64-bit index
  // (GetFileInformationByHandle); 0 or the error.
  virtual uint32_t QueryIndex(uint64_t& volume, uint64_t& index) = 0;
  // Of the open file: the whole 128-bit index (FileIdInfo, Windows 8 on);
  // false where it cannot be had.
  virtual bool QueryWideIndex(uint64_t& lower, uint64_t& upper) = 0;
  virtual void Close() = 0;
  // The system's Windows error code of an NTSTATUS.
  virtual uint32_t ErrorOf(uint32_t status) = 0;
};

// Where the query runs.
struct LinkQueryPlace {
  // The by-name query may be tried: the system has it (Windows 10 1709 on,
  // told by its build number) and the file's folder is open as a handle.
  bool statByName = false;
  // Set for the folder once its file system refuses the query.
  bool* folderLacksStat = nullptr;
  // The listed folder's volume serial, when its identity is known: the
  // by-name query names no volume.
  bool volumeKnown = false;
  uint64_t volume = 0;
  // The run's record of refusals per volume; a refusal on a known volume is
  // written there, so that its other folders are asked by opening at once.
  VolumeRefusals* refusals = nullptr;
  // The file's identity as its folder's record gave it, known and in the
  // form its own open gives; null where there is none.
  const FileId* listedId = nullptr;
};

// The link count and, for a file with more than one link, the identity of
// one file: both of the same file, even where its name is given to another
// file between two calls. False with a Windows error code on failure, as the open-based
// query always gave: a file that vanished fails with FILE_NOT_FOUND, one the
// account may not reach with ACCESS_DENIED, a shortage with its own code.
bool QueryLink(LinkCalls& calls, const LinkQueryPlace& place, LinkInfo& info, uint32_t& error);

}  // namespace quorrex::win32
