// Any name, whatever its units, makes a record that a strict JSON reader
// takes, and from which the name comes back as the system holds it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "console/json_line.h"
#include "json_records.h"
#include "support/utf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the system: names of bytes (POSIX) or of units.
  const bool namesAreBytes = (data[0] & 1) != 0;
  std::u16string name;
  if (namesAreBytes) {
    name =
        quorrex::DecodeUtf8Lossless(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  } else {
    for (size_t i = 1; i + 1 < size; i += 2) {
      name.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    }
  }
  std::string buffer;
  quorrex::JsonLine line(buffer, namesAreBytes);
  const std::u16string list[] = {name, u"plain"};
  const std::string record(line.Begin("t").Name("name", name).Names("list", list).End());
  try {
    const quorrex::testing::RunRecords back(record, namesAreBytes);
    const auto& parsed = back.records.front();
    if (back.Name(parsed, "name") != name) std::abort();
    if (back.Names(parsed, "list")[0] != name) std::abort();
  } catch (...) {
    std::abort();
  }
  return 0;
}
