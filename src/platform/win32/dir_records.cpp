#include "platform/win32/dir_records.h"

namespace quorrex::win32 {
namespace {

// Windows error codes, by value: this file sees no Windows header.
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorNoMoreFiles = 18;

// Records are little-endian, read byte by byte: neither their alignment in
// memory nor the byte order of the system that tests this code matters.
uint32_t ReadU32(std::span<const uint8_t> bytes, std::size_t offset) {
  return uint32_t{bytes[offset]} | uint32_t{bytes[offset + 1]} << 8 |
         uint32_t{bytes[offset + 2]} << 16 | uint32_t{bytes[offset + 3]} << 24;
}

uint64_t ReadU64(std::span<const uint8_t> bytes, std::size_t offset) {
  return uint64_t{ReadU32(bytes, offset)} | uint64_t{ReadU32(bytes, offset + 4)} << 32;
}

}  // namespace

FileIndex128 ReadFileIndex128(const uint8_t (&bytes)[kFileIndex128Bytes]) {
  FileIndex128 index;
  for (std::size_t i = 8; i-- > 0;) index.lower = (index.lower << 8) | bytes[i];
  for (std::size_t i = 16; i-- > 8;) index.upper = (index.upper << 8) | bytes[i];
  return index;
}

DirRecord NextDirRecord(std::span<const uint8_t> batch, std::size_t& offset, FindData& entry,
                        const DirRecordLayout& layout, bool listIndex) {
  const std::size_t size = batch.size();
  const std::size_t nameAt = layout.name;
  if (offset >= size) return DirRecord::kEnd;
  if (size - offset < nameAt) return DirRecord::kCut;
  const uint32_t nameBytes = ReadU32(batch, offset + kDirRecordNameLength);
  if (size - offset - nameAt < nameBytes) return DirRecord::kCut;
  const uint32_t next = ReadU32(batch, offset + kDirRecordNextOffset);
  if (next != 0 && (next < nameAt + nameBytes || next >= size - offset)) {
    return DirRecord::kCut;
  }

  entry.attributes = ReadU32(batch, offset + kDirRecordAttributes);
  entry.directoryUnresolved = false;
  entry.bytes = {};  // Windows names files in UTF-16 only
  entry.indexListed = listIndex;
  entry.index = listIndex ? ReadU64(batch, offset + layout.fileId) : 0;
  entry.indexUpper =
      listIndex && layout.fileIdBytes == 16 ? ReadU64(batch, offset + layout.fileId + 8) : 0;
  // An odd byte left over is no unit of the name.
  const std::size_t units = nameBytes / 2;
  entry.name.resize(units);
  const uint8_t* name = batch.data() + offset + nameAt;
  for (std::size_t i = 0; i < units; ++i) {
    entry.name[i] = static_cast<char16_t>(name[2 * i] | name[2 * i + 1] << 8);
  }
  offset = next == 0 ? size : offset + next;
  return DirRecord::kEntry;
}

FirstBatch AfterFirstQuery(bool succeeded, uint32_t error) {
  if (succeeded) return FirstBatch::kEntries;
  // The first query of a folder without a single entry, not even "." and
  // "..", finds no file; later ones find no more.
  if (error == kErrorFileNotFound || error == kErrorNoMoreFiles) return FirstBatch::kEmpty;
  return FirstBatch::kFallBack;
}

bool StillTheListedFolder(const FindData* dot, const FileId& listed, bool idsAgree,
                          const OpenFolderQueries& ask) {
  if (dot != nullptr && DotRecordNames(*dot, listed)) return true;
  const uint32_t attributes = ask.attributes();
  if (attributes != kInvalidFileAttributes &&
      ((attributes & kAttrReparsePoint) != 0 || (attributes & kAttrDirectory) == 0)) {
    return false;  // a link, or a file, has its name now
  }
  if (!idsAgree) return true;
  FileId own;
  if (!ask.identity(own) || !IsKnownFileId(own)) return true;  // nothing to compare
  return own == listed;
}

uint32_t EndOfListingError(uint32_t error) {
  return error == kErrorNoMoreFiles ? 0 : error;
}

bool FindFailureMeansEmpty(uint32_t error, uint32_t folderAttributes) {
  // The search opened the folder and found nothing under "*"; a folder that
  // is missing fails with PATH_NOT_FOUND instead.
  return error == kErrorFileNotFound && folderAttributes != kInvalidFileAttributes &&
         (folderAttributes & kAttrDirectory) != 0;
}

}  // namespace quorrex::win32
