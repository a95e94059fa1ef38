#include "support/utf.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace quorrex {

void DecodeUtf8Lossless(std::string_view bytes, std::u16string& out) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  // Room for the longest result (a unit a byte at most: a sequence of four
  // gives a pair), written through a pointer and cut to size at the end.
  // Names are mostly ASCII: runs of it are widened as they stand, and picked
  // up again after each sequence that is not.
  const size_t start = out.size();
  out.resize(start + n);
  char16_t* const begin = out.data() + start;
  char16_t* to = begin;
  size_t i = 0;
  while (i < n) {
#if defined(__SSE2__) || defined(_M_X64)
    for (; i + 16 <= n; i += 16, to += 16) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
      if (_mm_movemask_epi8(block) != 0) break;
      const __m128i zero = _mm_setzero_si128();
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_unpacklo_epi8(block, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 8), _mm_unpackhi_epi8(block, zero));
    }
#endif
    while (i < n && s[i] < 0x80) *to++ = s[i++];
    if (i == n) break;
    const unsigned char b = s[i];
    // Length and smallest code point of the sequence that `b` starts.
    size_t len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2, cp = b & 0x1F, min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3, cp = b & 0x0F, min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4, cp = b & 0x07, min = 0x10000;
    }
    bool valid = len != 0 && i + len <= n;
    for (size_t k = 1; valid && k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) {
        valid = false;
      } else {
        cp = (cp << 6) | (s[i + k] & 0x3F);
      }
    }
    // Overlong forms, encoded surrogates and values past U+10FFFF are not
    // valid UTF-8: their bytes are kept one by one.
    if (valid && (cp < min || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)) valid = false;
    if (!valid) {
      *to++ = static_cast<char16_t>(0xDC00 + b);
      ++i;
      continue;
    }
    if (cp < 0x10000) {
      *to++ = static_cast<char16_t>(cp);
    } else {
      cp -= 0x10000;
      *to++ = static_cast<char16_t>(0xD800 + (cp >> 10));
      *to++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
    i += len;
  }
  out.resize(start + static_cast<size_t>(to - begin));
}

std::u16string DecodeUtf8Lossless(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  DecodeUtf8Lossless(bytes, out);
  return out;
}

void EncodeUtf8Lossless(std::u16string_view text, std::string& out) {
  const size_t n = text.size();
  // Room for the longest result (three bytes a unit; a pair takes four for
  // its two), written through a pointer and cut to size at the end. Paths
  // are mostly ASCII: runs of it are copied eight units at a time.
  const size_t start = out.size();
  out.resize(start + 3 * n);
  char* const begin = out.data() + start;
  char* to = begin;
  size_t i = 0;
  while (i < n) {
#if defined(__SSE2__) || defined(_M_X64)
    // Sixteen units at a time, narrowed with unsigned saturation, which
    // keeps every unit below 0x80 as it is.
    for (; i + 16 <= n; i += 16, to += 16) {
      const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
      const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i + 8));
      const __m128i above = _mm_and_si128(_mm_or_si128(low, high), _mm_set1_epi16(-0x80));
      if (_mm_movemask_epi8(_mm_cmpeq_epi16(above, _mm_setzero_si128())) != 0xFFFF) break;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_packus_epi16(low, high));
    }
#endif
    if constexpr (std::endian::native == std::endian::little) {
      // Unit k of a word is its bits 16k to 16k+7: gathered in place.
      for (; i + 8 <= n; i += 8, to += 8) {
        uint64_t low;
        uint64_t high;
        std::memcpy(&low, text.data() + i, sizeof low);
        std::memcpy(&high, text.data() + i + 4, sizeof high);
        if (((low | high) & 0xFF80FF80FF80FF80u) != 0) break;
        const auto gather = [](uint64_t x) {
          x = (x | (x >> 8)) & 0x0000FFFF0000FFFFu;
          return (x | (x >> 16)) & 0x00000000FFFFFFFFu;
        };
        const uint64_t bytes = gather(low) | (gather(high) << 32);
        std::memcpy(to, &bytes, sizeof bytes);
      }
    }
    while (i < n && text[i] < 0x80) *to++ = static_cast<char>(text[i++]);
    if (i == n) break;
    const char16_t u = text[i];
    char32_t cp = u;
    if (PairAt(text, i)) {
      cp = PairValue(text, i);
      ++i;
    } else if (u >= 0xDC80 && u <= 0xDCFF) {
      *to++ = static_cast<char>(u - 0xDC00);  // a byte that was not UTF-8
      ++i;
      continue;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      cp = 0xFFFD;
    }
    ++i;
    if (cp < 0x800) {
      *to++ = static_cast<char>(0xC0 | (cp >> 6));
      *to++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *to++ = static_cast<char>(0xE0 | (cp >> 12));
      *to++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *to++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *to++ = static_cast<char>(0xF0 | (cp >> 18));
      *to++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      *to++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *to++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  out.resize(start + static_cast<size_t>(to - begin));
}

std::string EncodeUtf8Lossless(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  EncodeUtf8Lossless(text, out);
  return out;
}

}  // namespace quorrex
