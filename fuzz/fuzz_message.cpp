// The message formatter and the line-end conversion, for any format.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "console/message.h"
#include "memory_machine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quorrex;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t cut = input.find('\0');
  const std::string_view format = input.substr(0, cut);
  std::u16string wide;
  if (cut != std::string_view::npos) {
    for (char c : input.substr(cut + 1)) wide.push_back(static_cast<unsigned char>(c));
  }
  testing::MemoryMachine machine;
  Platform& platform = machine;
  const FormatArg args[] = {FormatArg(7u), FormatArg(int32_t{-3}), FormatArg("narrow"),
                            FormatArg(std::u16string_view(wide))};
  const std::string text = FormatText(platform, format, args);
  const std::string converted = ConvertLineEnds(text);
  // Every LF is preceded by a CR, and nothing but CRs was added.
  size_t added = 0;
  for (size_t i = 0; i < converted.size(); ++i) {
    if (converted[i] == '\n' && (i == 0 || converted[i - 1] != '\r')) std::abort();
  }
  for (size_t i = 0, j = 0; i < converted.size(); ++i) {
    if (j < text.size() && converted[i] == text[j]) {
      ++j;
    } else if (converted[i] == '\r') {
      ++added;
    } else {
      std::abort();
    }
  }
  if (converted.size() != text.size() + added) std::abort();
  return 0;
}
