// The wildcard matcher that filters folder entries by name.
#pragma once

#include <string_view>

namespace quorrex {

// Whether the entry name `name` matches `pattern`, where `*` stands for any
// run of units (none included) and `?` for exactly one unit. Every other
// pattern unit equals a name unit when the two differ at most in bit 0x20, so
// ASCII letters match whatever their case (and so do other pairs such as `[`
// and `{`, or U+00C0 and U+00E0). The pattern `*` alone matches every name,
// the empty one included; otherwise an empty pattern or name never matches.
// Allocates nothing and does not recurse.
bool MatchNamePattern(std::u16string_view pattern, std::u16string_view name);

}  // namespace quorrex
