// What the Windows releases and their file systems answer the program's file
// queries with, and how the calls are counted: the part of the in-memory
// machine that plays a release. The machine's core keeps the tree of folders
// and files; it asks here which queries a volume answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/win32/link_query.h"

namespace quorrex::testing {

// The Windows release the machine plays, for the calls its file queries make.
enum class WindowsRelease {
  kWindows7,        // 64-bit file IDs only
  kWindows8,        // FileIdInfo and directory records with 128-bit IDs
  kWindows10v1703,  // NtQueryInformationByName, without FileStatInformation
  kWindows10v1709,  // the by-name stat
};

// The system calls the Windows program makes for its file queries, by kind:
// calls into the kernel (GetFileInformationByHandle counts its two; a call
// that kernel32 refuses before the kernel counts none).
struct CallCounts {
  size_t opens = 0;
  size_t queries = 0;  // information and directory queries of an open handle
  size_t statsByName = 0;
  size_t closes = 0;
  size_t total() const { return opens + queries + statsByName + closes; }
  friend bool operator==(const CallCounts&, const CallCounts&) = default;
};

// What one volume answers on one release.
struct VolumeAnswers {
  // The records with 128-bit IDs (FileIdExtdDirectoryInfo): asked from
  // Windows 8 on, refused by FAT and exFAT.
  bool wideRecordsAsked = false;
  bool wideRecords = false;
  // FileIdInfo of an open file: the same.
  bool fileIdInfoAsked = false;
  bool fileIdInfo = false;
  // What the by-name stat of a file that is there gives: 0, or the status
  // its refusal has.
  uint32_t stat = win32::nt_status::kSuccess;
};

inline bool IsFatFamily(std::u16string_view fsName) {
  return fsName == u"FAT" || fsName == u"FAT32" || fsName == u"exFAT";
}

inline VolumeAnswers AnswersOf(WindowsRelease release, std::u16string_view fsName) {
  VolumeAnswers answers;
  const bool fat = IsFatFamily(fsName);
  answers.wideRecordsAsked = answers.fileIdInfoAsked = release >= WindowsRelease::kWindows8;
  answers.wideRecords = answers.fileIdInfo = answers.wideRecordsAsked && !fat;
  if (release < WindowsRelease::kWindows10v1709) {
    // 1703 has the function and not the class; the releases before have
    // neither, and are never asked.
    answers.stat = win32::nt_status::kInvalidParameter;
  } else if (fat) {
    answers.stat = win32::nt_status::kInvalidInfoClass;
  }
  return answers;
}

}  // namespace quorrex::testing
