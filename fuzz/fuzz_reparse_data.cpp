// Decodes arbitrary reparse data with an arbitrary returned byte count and
// checks what the reparse point report relies on.
//
// Input: four bytes (little-endian) from which the byte count is taken, then
// the buffer itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "scan/reparse_data.h"

namespace {

using quorrex::ReparseInfo;
using quorrex::ReparseKind;

void Require(bool condition) {
  if (!condition) std::abort();
}

bool Same(const ReparseInfo& a, const ReparseInfo& b) {
  return a.tag == b.tag && a.kind == b.kind && a.target == b.target &&
         a.shownTarget == b.shownTarget && a.strings == b.strings && a.wofVersion == b.wofVersion &&
         std::strcmp(a.wofAlgorithmName, b.wofAlgorithmName) == 0 &&
         a.microsoftTag == b.microsoftTag;
}

bool IsLink(ReparseKind kind) {
  return kind == ReparseKind::kVolumeMountPoint || kind == ReparseKind::kDirectoryJunction ||
         kind == ReparseKind::kSymbolicLink;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint32_t raw = uint32_t{data[0]} | uint32_t{data[1]} << 8 | uint32_t{data[2]} << 16 |
                       uint32_t{data[3]} << 24;
  // A copy of exactly the buffer's size, so that any read past it is caught.
  std::vector<uint8_t> buffer(data + 4, data + size);
  // Counts both within the buffer and (by up to 64 bytes) beyond it.
  const auto count = static_cast<uint32_t>(raw % (uint64_t{buffer.size()} + 65));
  const size_t readable = count < buffer.size() ? count : buffer.size();

  const ReparseInfo info = quorrex::DecodeReparseData(buffer, count);

  Require(info.strings.size() <= quorrex::kMaxAppExecStrings);
  Require(info.target.size() * 2 <= readable);
  for (const std::u16string& text : info.strings) Require(text.size() * 2 <= readable);
  Require(info.target.ends_with(info.shownTarget));
  Require(info.wofAlgorithmName != nullptr);
  Require(info.microsoftTag == ((info.tag & quorrex::kTagMicrosoftBit) != 0));
  if (!IsLink(info.kind)) Require(info.target.empty() && info.shownTarget.empty());
  if (info.kind != ReparseKind::kAppExecLink) Require(info.strings.empty());
  if (info.kind == ReparseKind::kAppExecLink) Require(!info.strings.empty());

  // Whatever lies past the returned bytes never changes the result.
  if (count < buffer.size()) {
    std::vector<uint8_t> other = buffer;
    for (size_t i = count; i < other.size(); ++i) other[i] = static_cast<uint8_t>(~other[i]);
    Require(Same(info, quorrex::DecodeReparseData(other, count)));
  }
  return 0;
}
