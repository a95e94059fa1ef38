// Every byte string comes back unchanged from UTF-16 and back again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "support/utf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::u16string text = quorrex::DecodeUtf8Lossless(bytes);
  if (quorrex::EncodeUtf8Lossless(text) != bytes) std::abort();
  return 0;
}
