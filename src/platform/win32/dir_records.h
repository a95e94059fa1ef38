// The directory records a Windows folder handle gives, read without the
// Windows headers, so that the same code is tested on every system.
//
// A query of FileIdBothDirectoryInfo (or, from Windows 8 on,
// FileIdExtdDirectoryInfo) fills a buffer with records chained by their
// NextEntryOffset (0 on the last one). Each has a fixed part and the entry's
// name, FileNameLength bytes of UTF-16 without a terminator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "platform/platform.h"

namespace quorrex::win32 {

// Byte offsets within one FILE_ID_BOTH_DIR_INFO record; the Win32 code checks
// them against the system's own declaration.
inline constexpr std::size_t kDirRecordNextOffset = 0;
inline constexpr std::size_t kDirRecordAttributes = 56;
inline constexpr std::size_t kDirRecordNameLength = 60;
inline constexpr std::size_t kDirRecordName = 104;
inline constexpr std::size_t kDirRecordFileId = 96;  // 8 bytes
// The same within one FILE_ID_EXTD_DIR_INFO record, whose file ID is the
// whole 128-bit one (FILE_ID_128); the parts before it are laid out alike.
inline constexpr std::size_t kExtdRecordFileId = 72;  // 16 bytes
inline constexpr std::size_t kExtdRecordName = 88;

// Where a kind of record keeps the file ID and the name.
struct DirRecordLayout {
  std::size_t fileId;
  std::size_t fileIdBytes;
  std::size_t name;
};
inline constexpr DirRecordLayout kIdBothRecords{kDirRecordFileId, 8, kDirRecordName};
inline constexpr DirRecordLayout kIdExtdRecords{kExtdRecordFileId, 16, kExtdRecordName};

// The room for one batch of records: names of every file system Windows
// mounts (255 units at most) fit many times over.
inline constexpr std::size_t kDirBatchBytes = 64 * 1024;

enum class DirRecord {
  kEntry,  // `entry` holds the next entry
  kEnd,    // the batch has no more records
  kCut,    // the batch ends in a record that does not fit in it
};

// Reads the record at `offset` of `batch` (the bytes the query returned) into
// `entry` and moves `offset` to the next record, or to the end of the batch
// after the last. A record that runs past the batch, or whose successor
// would lie outside it or overlap it, is never given out as an entry: a cut
// name would name another file. The records need not be aligned in memory.
// With `listIndex`, the entry carries the record's file ID as its listed
// index (FindData::indexListed).
DirRecord NextDirRecord(std::span<const uint8_t> batch, std::size_t& offset, FindData& entry,
                        const DirRecordLayout& layout = kIdBothRecords, bool listIndex = false);

// The 128-bit file index of a FILE_ID_INFO record: 16 bytes, the lower 64
// bits first, each half little-endian.
inline constexpr std::size_t kFileIndex128Bytes = 16;
struct FileIndex128 {
  uint64_t lower = 0;
  uint64_t upper = 0;
};
FileIndex128 ReadFileIndex128(const uint8_t (&bytes)[kFileIndex128Bytes]);

// How a folder is listed once its handle is open and the first batch asked
// for.
enum class FirstBatch {
  kEntries,   // list the records
  kEmpty,     // the folder has no entries at all (a root of an empty volume)
  kFallBack,  // list it the older way, whose outcome stands
};

// The choice after the first query of a folder opened for its records.
// Anything but success or an empty folder goes back to the older listing: a
// file system that lacks the information class (a network share, an older
// driver) lists there, and a folder that cannot be listed fails there with
// the error the walk has always printed.
FirstBatch AfterFirstQuery(bool succeeded, uint32_t error);

// The error a listing ended with, from a later batch query or a later
// FindNextFileW: 0 when it found no more files (the end of the folder), else
// the error itself, for the walk to report the folder as listed in part.
uint32_t EndOfListingError(uint32_t error);

// Whether the "." record of a folder, read with its IDs, names the folder
// its parent listed as `listed` (on the same volume).
inline bool DotRecordNames(const FindData& dot, const FileId& listed) {
  if (!dot.indexListed) return false;
  const FileId id{listed.volume, dot.index, dot.indexUpper};
  return IsKnownFileId(id) && id == listed;
}

// Whether a folder its parent listed as a plain one (`listed`), opened
// without following a link, is still that folder. Its "." record among the
// first records (null where there is none) says so without a call. Else the
// open handle's attributes (FileAttributeTagInfo) tell a link or a file put
// at its name since; and only where the volume's records and handles are
// known to number files alike (`idsAgree`) is the handle's identity
// compared with the record's: elsewhere the two may differ for one folder.
struct OpenFolderQueries {
  // The handle's attributes; kInvalidFileAttributes where they cannot be had.
  std::function<uint32_t()> attributes;
  // The handle's identity; false where it cannot be had.
  std::function<bool(FileId&)> identity;
};
bool StillTheListedFolder(const FindData* dot, const FileId& listed, bool idsAgree,
                          const OpenFolderQueries& ask);

// Whether a failed older listing of a folder's search mask only says that
// the folder, which exists, has no entries.
bool FindFailureMeansEmpty(uint32_t error, uint32_t folderAttributes);

}  // namespace quorrex::win32
