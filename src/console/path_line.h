// Lines that carry one wide path or target, with their one-line shortening.
#pragma once

#include <cstdint>
#include <string_view>

#include "console/console.h"

namespace quorrex {

// Width of standard output's console buffer, and the cursor's column in it;
// both 0 when standard output is not a console.
int16_t ConsoleBufferWidth(Platform& platform);
int16_t CursorColumn(Platform& platform);

// Writes `format` (narrow, holding one "%S") with `text` in place of "%S":
// UTF-16 to a console, converted to the OEM code page when redirected. With
// the one-line option a line that would pass the console's last column is
// fitted by ShortenMiddle. Returns what the last write reported; 0 when
// nothing was written; -1 when `format` holds no "%S".
int PrintPathLine(Console& console, std::string_view format, std::u16string_view text);

// The member line of a hard-link group, " N: " and `text`, as the message
// " %i: " followed by the path line "%S\n" would write it, in one line.
int PrintMemberLine(Console& console, int32_t number, std::u16string_view text);

}  // namespace quorrex
