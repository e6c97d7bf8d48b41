#pragma once
// UTF-8 and UTF-16 helpers for the places where the system counts text the platform's way,
// in UTF-16 code units (text lengths, ranges, character indexes). Texts are UTF-8
// std::strings elsewhere. Thread-safe (pure functions).
//
// Invalid UTF-8 never fails: each byte of an invalid or truncated sequence reads as U+FFFD
// (one UTF-16 unit). An unpaired surrogate converts to UTF-8 as U+FFFD.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace plat {

// Appends `cp` to `out` as UTF-8. Surrogates and values past U+10FFFF append U+FFFD.
void appendUTF8(std::string& out, uint32_t cp);
// Decodes the UTF-8 sequence at s[i] and advances i past it. An invalid, overlong or
// truncated sequence gives U+FFFD, advances one byte and sets *valid (when given) to false.
// REQUIRES: i < s.size().
uint32_t decodeUTF8(std::string_view s, size_t& i, bool* valid = nullptr);
bool isValidUTF8(std::string_view s);

// Number of UTF-16 code units of the text (a character outside the BMP counts 2).
size_t utf16Length(std::string_view utf8);
std::u16string toUTF16(std::string_view utf8);
std::string fromUTF16(std::u16string_view utf16);
// The text of the UTF-16 range [location, location + length), clamped to the text (a range
// past the end gives the part inside, or ""). Half of a surrogate pair cut by the range
// becomes U+FFFD.
std::string utf16Substring(std::string_view utf8, size_t location, size_t length = SIZE_MAX);
// The UTF-16 code unit at `index`, or 0 past the end.
char16_t utf16CharacterAt(std::string_view utf8, size_t index);

}  // namespace plat
