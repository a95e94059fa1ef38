#include "scan/reparse_data.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string_view>

#include "paths/path_forms.h"

namespace quorrex {
namespace {

// Offsets inside the reparse data.
constexpr size_t kTagOffset = 0;
constexpr size_t kDataLengthOffset = 4;
constexpr size_t kDataStart = 8;
constexpr size_t kSubstituteOffsetField = 8;
constexpr size_t kSubstituteLengthField = 10;
constexpr size_t kPrintOffsetField = 12;
constexpr size_t kPrintLengthField = 14;
constexpr size_t kMountPointPathBuffer = 16;
constexpr size_t kSymlinkFlags = 16;
constexpr size_t kSymlinkPathBuffer = 20;
constexpr uint32_t kSymlinkRelative = 1;
constexpr size_t kAppExecFirstString = 12;
// The app execution link scan looks for a zero unit from data byte 6 on, so
// that the first unit it tests is the second unit of the first string.
constexpr size_t kAppExecScanStart = 6;
constexpr size_t kWofProviderVersion = 16;
constexpr size_t kWofAlgorithm = 20;

// Units of the NT prefix that a junction's shown target drops.
constexpr size_t kNtPrefixUnits = 4;
constexpr std::u16string_view kNtPrefix = u"\\??\\";
constexpr std::u16string_view kVolumePrefix = u"\\??\\Volume{";

// The bytes that decoding may read: what the query returned, within the
// buffer.
class Data {
 public:
  Data(std::span<const uint8_t> buffer, uint32_t bytesReturned)
      : bytes_(buffer.first(std::min<size_t>(buffer.size(), bytesReturned))) {}

  size_t size() const { return bytes_.size(); }

  // Little-endian; bytes past the end read as zero.
  uint32_t Read(size_t offset, size_t width) const {
    uint32_t value = 0;
    for (size_t i = 0; i < width; ++i) {
      if (offset + i < bytes_.size()) value |= uint32_t{bytes_[offset + i]} << (8 * i);
    }
    return value;
  }
  uint16_t U16(size_t offset) const { return static_cast<uint16_t>(Read(offset, 2)); }
  uint32_t U32(size_t offset) const { return Read(offset, 4); }

  // Whether the whole unit at `offset` was returned.
  bool HasUnit(size_t offset) const { return offset + 2 <= bytes_.size(); }

  // The units from byte `start` up to the first zero unit, or up to `end`
  // (cut down to whole units) when none comes first.
  std::u16string Text(size_t start, size_t end) const {
    end = std::min(end, bytes_.size());
    size_t stop = start;
    while (stop + 2 <= end && (bytes_[stop] | bytes_[stop + 1]) != 0) stop += 2;
    std::u16string text(stop > start ? (stop - start) / 2 : 0, u'\0');
    if constexpr (std::endian::native == std::endian::little) {
      // The units are little-endian, as this machine's are.
      if (!text.empty()) std::memcpy(text.data(), bytes_.data() + start, text.size() * 2);
    } else {
      for (size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char16_t>(bytes_[start + 2 * i] | (bytes_[start + 2 * i + 1] << 8));
      }
    }
    return text;
  }

 private:
  std::span<const uint8_t> bytes_;
};

// The substitute name of a mount point or symbolic link whose path buffer
// starts at `pathBuffer`. The offset is rounded down to whole units, and an
// odd length's last byte, which fills no unit, is left out.
std::u16string SubstituteName(const Data& data, size_t pathBuffer) {
  const size_t offset = data.U16(kSubstituteOffsetField) & ~size_t{1};
  const size_t length = data.U16(kSubstituteLengthField) & ~size_t{1};
  const size_t start = pathBuffer + offset;
  return data.Text(start, start + length);
}

// The print name, by the same rules as the substitute name.
std::u16string PrintName(const Data& data, size_t pathBuffer) {
  const size_t start = pathBuffer + (data.U16(kPrintOffsetField) & ~size_t{1});
  return data.Text(start, start + (data.U16(kPrintLengthField) & ~size_t{1}));
}

void DecodeMountPoint(const Data& data, ReparseInfo& info) {
  info.target = SubstituteName(data, kMountPointPathBuffer);
  info.printName = PrintName(data, kMountPointPathBuffer);
  if (StartsWithNoCase(info.target, kVolumePrefix)) {
    info.kind = ReparseKind::kVolumeMountPoint;
    info.shownTarget = info.target;
  } else {
    // The first four units are the NT prefix whatever they hold; a target
    // shorter than that shows what is left, possibly nothing.
    info.kind = ReparseKind::kDirectoryJunction;
    info.shownTarget = info.target.substr(std::min(kNtPrefixUnits, info.target.size()));
  }
}

void DecodeSymlink(const Data& data, ReparseInfo& info, bool withPrintName) {
  info.kind = ReparseKind::kSymbolicLink;
  info.target = SubstituteName(data, kSymlinkPathBuffer);
  if (withPrintName) info.printName = PrintName(data, kSymlinkPathBuffer);
  info.relative = (data.Read(kSymlinkFlags, 4) & kSymlinkRelative) != 0;
  if (StartsWithNoCase(info.target, kNtPrefix) && !StartsWithNoCase(info.target, kVolumePrefix)) {
    info.shownTarget = info.target.substr(kNtPrefix.size());
  } else {
    info.shownTarget = info.target;
  }
}

// The first string always starts at byte 12. Further strings start right
// after a zero unit that lies inside the data (as ReparseDataLength gives it,
// and as far as the query returned it), from data byte 6 on; a run of empty
// strings yields only the next non-empty one. A string without a zero unit
// ends where the returned bytes end.
void DecodeAppExecLink(const Data& data, ReparseInfo& info) {
  info.kind = ReparseKind::kAppExecLink;
  info.strings.push_back(data.Text(kAppExecFirstString, data.size()));

  const size_t dataLength = data.U16(kDataLengthOffset);
  for (size_t k = kAppExecScanStart; k < dataLength; k += 2) {
    if (info.strings.size() == kMaxAppExecStrings) break;
    const size_t zeroAt = kDataStart + k;
    const size_t nextAt = zeroAt + 2;
    if (!data.HasUnit(nextAt) || k + 4 > dataLength) break;
    if (data.U16(zeroAt) == 0 && data.U16(nextAt) != 0) {
      info.strings.push_back(data.Text(nextAt, data.size()));
    }
  }
}

void DecodeWof(const Data& data, ReparseInfo& info) {
  info.kind = ReparseKind::kWofCompressed;
  info.wofVersion = data.U32(kWofProviderVersion);
  info.wofAlgorithmName = WofAlgorithmName(data.U32(kWofAlgorithm));
}

}  // namespace

const char* WofAlgorithmName(uint32_t algorithm) {
  switch (algorithm) {
    case 0:
      return "XPRESS4K";
    case 1:
      return "LZX";
    case 2:
      return "XPRESS8K";
    case 3:
      return "XPRESS16K";
    default:
      return "unk";
  }
}

ReparseInfo DecodeReparseData(std::span<const uint8_t> buffer, uint32_t bytesReturned,
                              bool withPrintName) {
  const Data data(buffer, bytesReturned);
  ReparseInfo info;
  info.tag = data.U32(kTagOffset);
  info.microsoftTag = (info.tag & kTagMicrosoftBit) != 0;
  switch (info.tag) {
    case kTagMountPoint:
      DecodeMountPoint(data, info);
      break;
    case kTagSymlink:
      DecodeSymlink(data, info, withPrintName);
      break;
    case kTagAppExecLink:
      DecodeAppExecLink(data, info);
      break;
    case kTagWof:
      DecodeWof(data, info);
      break;
    case kTagDedup:
      info.kind = ReparseKind::kDeduplicated;
      break;
    default:
      info.kind = ReparseKind::kUnsupported;
      break;
  }
  return info;
}

}  // namespace quorrex
