// The layouts of the reparse data that a reparse point query returns, and
// their decoding into what the reparse point report prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quorrex {

// The tags that are decoded.
inline constexpr uint32_t kTagMountPoint = 0xA0000003u;
inline constexpr uint32_t kTagSymlink = 0xA000000Cu;
inline constexpr uint32_t kTagAppExecLink = 0x8000001Bu;
inline constexpr uint32_t kTagWof = 0x80000017u;
inline constexpr uint32_t kTagDedup = 0x80000013u;
// Set in every tag that the system's maker defines.
inline constexpr uint32_t kTagMicrosoftBit = 0x80000000u;

// The room a reparse point query gets: the largest data any tag may hold.
inline constexpr uint32_t kReparseBufferSize = 131072;

// Most strings an app execution link yields.
inline constexpr size_t kMaxAppExecStrings = 10;

enum class ReparseKind {
  kVolumeMountPoint,
  kDirectoryJunction,
  kSymbolicLink,
  kAppExecLink,
  kWofCompressed,
  kDeduplicated,
  kUnsupported,
};

struct ReparseInfo {
  uint32_t tag = 0;
  ReparseKind kind = ReparseKind::kUnsupported;
  // The substitute name; mount points, junctions and symbolic links only.
  std::u16string target;
  // What is printed of `target`: all of it, or all but its NT prefix.
  std::u16string shownTarget;
  // The print name of a mount point or symbolic link. Windows prints the
  // substitute name; where
  // paths are the system's own, the platform writes the target's printed
  // form here (a volume's source and type, which no substitute name holds).
  std::u16string printName;
  // A symbolic link whose target is relative to the link's folder.
  bool relative = false;
  // The strings of an app execution link, at most kMaxAppExecStrings.
  std::vector<std::u16string> strings;
  // WOF-compressed files only: the provider version and the algorithm's name.
  uint32_t wofVersion = 0;
  const char* wofAlgorithmName = "";
  // Bit 31 of `tag`, whatever the kind; the report uses it for unsupported
  // tags.
  bool microsoftTag = false;
};

// Decodes the reparse data at the start of `buffer`, of which the query
// returned `bytesReturned` bytes. Only those bytes are read (and never more
// than the buffer holds): a field that reaches past them reads as zero where
// it is missing, and a name that reaches past them is cut at that end, so
// whatever an earlier query left further on never shows. Every tag decodes
// to some kind.
// A symbolic link's print name is decoded only `withPrintName` (the text
// never shows it); a mount point's always.
ReparseInfo DecodeReparseData(std::span<const uint8_t> buffer, uint32_t bytesReturned,
                              bool withPrintName = true);

// The name of a WOF compression algorithm: "XPRESS4K", "LZX", "XPRESS8K",
// "XPRESS16K", or "unk" for any other number.
const char* WofAlgorithmName(uint32_t algorithm);

}  // namespace quorrex
