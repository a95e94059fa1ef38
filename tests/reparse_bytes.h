// Reparse data built byte by byte, as the system returns it, for the tests
// and the in-memory machine.
#pragma once

#include <cstddef>
#include <cstdint>
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

}  // namespace quorrex::testing
