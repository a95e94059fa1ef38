// Reparse data built byte by byte, as the system returns it, for the tests
// and the in-memory machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace quorrex::testing {

// Little-endian fields written into a buffer that may be longer than the
// data it describes.
class ReparseBytes {
 public:
  explicit ReparseBytes(size_t size, uint8_t fill = 0) : bytes_(size, fill) {}

  ReparseBytes& U16(size_t offset, uint32_t value) {
    bytes_.at(offset) = static_cast<uint8_t>(value);
    bytes_.at(offset + 1) = static_cast<uint8_t>(value >> 8);
    return *this;
  }
  ReparseBytes& U32(size_t offset, uint32_t value) {
    U16(offset, value & 0xFFFFu);
    return U16(offset + 2, value >> 16);
  }
  ReparseBytes& Units(size_t offset, std::u16string_view text) {
    for (size_t i = 0; i < text.size(); ++i) U16(offset + 2 * i, text[i]);
    return *this;
  }
  // The common header: the tag and the length of what follows it.
  ReparseBytes& Header(uint32_t tag, uint32_t dataLength) {
    return U32(0, tag).U16(4, dataLength).U16(6, 0);
  }
  std::vector<uint8_t>& raw() { return bytes_; }
  const std::vector<uint8_t>& raw() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// The UTF-16 units of `text`, little-endian.
inline std::vector<uint8_t> Utf16Bytes(std::u16string_view text) {
  ReparseBytes b(2 * text.size());
  b.Units(0, text);
  return b.raw();
}

// Reparse data with the common header in front of `payload`.
inline std::vector<uint8_t> RawReparseData(uint32_t tag, const std::vector<uint8_t>& payload) {
  ReparseBytes b(8 + payload.size());
  b.Header(tag, static_cast<uint32_t>(payload.size()));
  for (size_t i = 0; i < payload.size(); ++i) b.raw()[8 + i] = payload[i];
  return b.raw();
}

// --- Data as Windows writes it -------------------------------------------------
// A mount point (tag 0xA0000003) and a symbolic link (0xA000000C) share one
// layout: after the header, the substitute name's offset and length, the
// print name's offset and length (bytes, from the start of the path buffer),
// for a symbolic link four bytes of flags (1: relative), then the path
// buffer, at byte 16 or 20. The names may stand in either order, each with
// or without a zero unit after it that its length does not count.
inline constexpr uint32_t kSymlinkRelative = 1;

enum class NameOrder { kSubstituteFirst, kPrintFirst };

inline std::vector<uint8_t> LinkData(uint32_t tag, std::u16string_view substitute,
                                     std::u16string_view print, NameOrder order, bool zeros,
                                     uint32_t flags = 0) {
  const bool symlink = tag == 0xA000000Cu;
  const size_t names = symlink ? 20 : 16;
  const size_t end = zeros ? 2 : 0;  // bytes after each name
  const std::u16string_view first = order == NameOrder::kSubstituteFirst ? substitute : print;
  const std::u16string_view second = order == NameOrder::kSubstituteFirst ? print : substitute;
  const size_t secondAt = 2 * first.size() + end;
  const size_t size = names + secondAt + 2 * second.size() + end;
  const size_t substituteAt = order == NameOrder::kSubstituteFirst ? 0 : secondAt;
  const size_t printAt = order == NameOrder::kSubstituteFirst ? secondAt : 0;
  ReparseBytes b(size);
  b.Header(tag, static_cast<uint32_t>(size - 8))
      .U16(8, static_cast<uint32_t>(substituteAt))
      .U16(10, static_cast<uint32_t>(2 * substitute.size()))
      .U16(12, static_cast<uint32_t>(printAt))
      .U16(14, static_cast<uint32_t>(2 * print.size()))
      .Units(names, first)
      .Units(names + secondAt, second);
  if (symlink) b.U32(16, flags);
  return b.raw();
}

// A mount point's or symbolic link's data as the system returns it for a
// link made by the system's own calls: the substitute name first, each name
// with its zero unit.
inline std::vector<uint8_t> MountPointData(std::u16string_view substitute,
                                           std::u16string_view print = u"") {
  return LinkData(0xA0000003u, substitute, print, NameOrder::kSubstituteFirst, true);
}
inline std::vector<uint8_t> SymlinkData(std::u16string_view substitute,
                                        std::u16string_view print = u"", uint32_t flags = 0) {
  return LinkData(0xA000000Cu, substitute, print, NameOrder::kSubstituteFirst, true, flags);
}

// An app execution link as the system writes it: version 3 from byte 8,
// then the strings from byte 12, each ended by a zero unit.
inline std::vector<uint8_t> AppExecData(std::initializer_list<std::u16string_view> strings) {
  size_t size = 12;
  for (std::u16string_view s : strings) size += 2 * s.size() + 2;
  ReparseBytes b(size);
  b.Header(0x8000001Bu, static_cast<uint32_t>(size - 8)).U32(8, 3);
  size_t at = 12;
  for (std::u16string_view s : strings) {
    b.Units(at, s);
    at += 2 * s.size() + 2;
  }
  return b.raw();
}

}  // namespace quorrex::testing
