#include "console/display_text.h"

#include "support/utf.h"

namespace quorrex {

namespace {

// The character at `i` and how many UTF-16 units it takes.
char32_t CharAt(std::u16string_view text, size_t i, size_t& units) {
  units = 1;
  if (PairAt(text, i)) {
    units = 2;
    return PairValue(text, i);
  }
  return text[i];
}

}  // namespace

std::u16string MaskControlCharacters(std::u16string_view text) {
  std::u16string shown(text);
  for (size_t i = 0; i < shown.size(); ++i) {
    if (PairAt(shown, i)) {
      ++i;  // a character beyond the first plane: both halves stay
      continue;
    }
    char16_t& c = shown[i];
    // C0, DEL and C1; and every byte of a name that was not UTF-8 (a lone
    // surrogate U+DC80 to U+DCFF): written raw it would be no character to
    // the terminal, or a C1 control to some.
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0xDC80 && c <= 0xDCFF)) c = u'?';
  }
  return shown;
}

int64_t DisplayColumns(Platform& platform, std::u16string_view text) {
  int64_t columns = 0;
  size_t units = 0;
  for (size_t i = 0; i < text.size(); i += units)
    columns += platform.ColumnsOf(CharAt(text, i, units));
  return columns;
}

namespace {

// The middle of `text` replaced by "..." so that the whole costs at most
// `width`, where `costOf` gives what a character costs: never half a
// character, and no mark without its character. Returns the cost left.
template <typename Cost>
int32_t ShortenBy(std::u16string& text, int32_t width, Cost costOf) {
  if (width > 32768) width = 32768;
  int64_t columns = 0;
  size_t units = 0;
  for (size_t i = 0; i < text.size(); i += units) columns += costOf(CharAt(text, i, units));
  if (columns < width || width < 4) return static_cast<int32_t>(columns);
  const int32_t h = width / 2;
  // The head takes up to h - 2 columns (with the marks that go with its last
  // character), the tail up to width - h - 1, never half a character.
  size_t head = 0;
  int64_t used = 0;
  while (head < text.size()) {
    const int cost = costOf(CharAt(text, head, units));
    if (used + cost > h - 2) break;
    used += cost;
    head += units;
  }
  const int64_t headColumns = used;
  size_t tail = text.size();
  used = 0;
  while (tail > head) {
    size_t start = tail - 1;
    if (start > head && PairAt(text, start - 1)) --start;
    const int cost = costOf(CharAt(text, start, units));
    if (used + cost > width - h - 1) break;
    used += cost;
    tail = start;
  }
  // A tail does not begin with a mark that belonged to a character cut away.
  while (tail < text.size() && costOf(CharAt(text, tail, units)) == 0) {
    tail += units;
  }
  int64_t tailColumns = 0;
  for (size_t i = tail; i < text.size(); i += units) {
    tailColumns += costOf(CharAt(text, i, units));
  }
  std::u16string result = text.substr(0, head);
  result.append(u"...");
  result.append(text, tail);
  text = std::move(result);
  return static_cast<int32_t>(headColumns + 3 + tailColumns);
}

}  // namespace

int32_t ShortenMiddle(std::u16string& text, int32_t width) {
  // A console line counts UTF-16 units.
  return ShortenBy(text, width, [](char32_t c) { return c >= 0x10000 ? 2 : 1; });
}

int32_t ShortenToColumns(Platform& platform, std::u16string& text, int32_t width) {
  return ShortenBy(text, width, [&platform](char32_t c) { return platform.ColumnsOf(c); });
}

}  // namespace quorrex
