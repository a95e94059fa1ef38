// Text as a console or terminal shows it: its control characters masked,
// its width in columns, and its middle cut out to fit.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace quorrex {

// Replaces the middle of `text` by "..." so that it is at most `width`
// UTF-16 units long (a console's count), when it is not already shorter than
// that, never cutting a surrogate pair in half. Widths below 4 leave it
// whole. Returns the length of what is left.
int32_t ShortenMiddle(std::u16string& text, int32_t width);

// `text` with every C0 and C1 control character, DEL and byte of a name that
// was not UTF-8 shown as "?", for a terminal (a name must not clear the
// screen or move the cursor, and shows where its stray bytes are).
std::u16string MaskControlCharacters(std::u16string_view text);

// The columns `text` takes on standard output's console, as the platform
// counts them.
int64_t DisplayColumns(Platform& platform, std::u16string_view text);

// ShortenMiddle by display columns: the head, "...", and the tail, never half
// a character and no mark without its character. Returns the columns left.
int32_t ShortenToColumns(Platform& platform, std::u16string& text, int32_t width);

}  // namespace quorrex
