// Lossless conversion between file-name bytes and UTF-16.
//
// POSIX file names are bytes. Valid UTF-8 decodes to the UTF-16 it stands
// for; every byte that is not part of a valid UTF-8 sequence becomes the lone
// surrogate U+DC00 plus the byte (U+DC80..U+DCFF), which encodes back to that
// byte, so any name survives the round trip unchanged.
#pragma once

#include <string>
#include <string_view>

namespace quorrex {

std::u16string DecodeUtf8Lossless(std::string_view bytes);
void DecodeUtf8Lossless(std::string_view bytes, std::u16string& out);  // appends

// Encodes UTF-16 back to bytes: lone surrogates U+DC80..U+DCFF give their
// byte, any other lone surrogate gives U+FFFD's UTF-8.
std::string EncodeUtf8Lossless(std::u16string_view text);
void EncodeUtf8Lossless(std::u16string_view text, std::string& out);  // appends

inline bool IsHighSurrogate(char32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
inline bool IsLowSurrogate(char32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}
// Whether a surrogate pair starts at unit `i`.
inline bool PairAt(std::u16string_view text, size_t i) {
  return i + 1 < text.size() && IsHighSurrogate(text[i]) && IsLowSurrogate(text[i + 1]);
}
// The character of the pair at unit `i`.
inline char32_t PairValue(std::u16string_view text, size_t i) {
  return 0x10000 + ((char32_t{text[i]} - 0xD800) << 10) + (char32_t{text[i + 1]} - 0xDC00);
}

}  // namespace quorrex
