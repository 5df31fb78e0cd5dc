// UTF-8 / UTF-16 helpers shared by both backends and the core.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace chimewell::platform {

// Valid UTF-8 as it is; every invalid byte becomes U+FFFD. Encoded surrogates
// (WTF-8, from \u escapes) are kept.
std::string SanitizeUtf8(std::string_view bytes);

// Strict UTF-8: like SanitizeUtf8, but encoded surrogates become U+FFFD too,
// as a UTF-8 encoder or decoder of the platform would make them.
std::string StrictUtf8(std::string_view bytes);

// Length in UTF-16 code units of a UTF-8 (or WTF-8) text: 1 per code point
// below U+10000, 2 above; an invalid byte counts as 1 (it becomes U+FFFD).
std::size_t Utf16Length(std::string_view utf8);

// Byte offset in `utf8` after the first `units` UTF-16 code units (never
// splitting a character; a character that would straddle the boundary is
// placed after it).
std::size_t Utf8OffsetOfUtf16Units(std::string_view utf8, std::size_t units);

// True when the texts have the same length and equal bytes once the ASCII
// letters A-Z are folded onto a-z; other characters must match exactly.
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);

// UTF-8 <-> UTF-16 (lone surrogates round-trip through WTF-8).
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

}  // namespace chimewell::platform
