// A table of names by number, searched row by row (the tables are short).
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorrex {

struct NameRow {
  uint32_t value;
  const char* name;
};

template <size_t N>
const char* FindName(const NameRow (&table)[N], uint32_t value) {
  for (const NameRow& row : table) {
    if (row.value == value) return row.name;
  }
  return nullptr;
}

}  // namespace quorrex
