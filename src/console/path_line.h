// Lines that carry one wide path or target, with their one-line shortening.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "run/run_state.h"

namespace quorrex {

inline constexpr size_t kConsoleWriteLimit = 25000;

// Width of standard output's console buffer, and the cursor's column in it;
// both 0 when standard output is not a console.
int16_t ConsoleBufferWidth(Run& run);
int16_t CursorColumn(Run& run);

// Replaces the middle of `text` by "..." so that it is at most `width`
// UTF-16 units long (a console's count), when it is not already shorter than
// that, never cutting a surrogate pair in half. Widths below 4 leave it
// whole. Returns the length of what is left.
int32_t ShortenMiddle(std::u16string& text, int32_t width);

// `text` with every C0 and C1 control character and DEL shown as "?", for a
// terminal (a name must not clear the screen or move the cursor).
std::u16string MaskControlCharacters(std::u16string_view text);

// The columns `text` takes on standard output's console, as the platform
// counts them.
int64_t DisplayColumns(Run& run, std::u16string_view text);

// ShortenMiddle by display columns: the head, "...", and the tail, never half
// a character and no mark without its character. Returns the columns left.
int32_t ShortenToColumns(Run& run, std::u16string& text, int32_t width);

// Writes `format` (narrow, holding one "%S") with `text` in place of "%S":
// UTF-16 to a console, converted to the OEM code page when redirected. With
// the one-line option a line that would pass the console's last column is
// fitted by ShortenMiddle. Returns what the last write reported; 0 when
// nothing was written; -1 when `format` holds no "%S".
int PrintPathLine(Run& run, std::string_view format, std::u16string_view text);

}  // namespace quorrex
