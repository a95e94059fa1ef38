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

}  // namespace quorrex
