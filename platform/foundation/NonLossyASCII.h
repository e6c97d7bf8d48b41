#pragma once
// The platform's non-lossy ASCII string encoding: ASCII characters stand for themselves, a
// backslash is written doubled, and every other UTF-16 code unit is written as "\u" and four
// lower-case hexadecimal digits (a character outside the BMP as its two surrogates).
// Thread-safe (pure functions).

#include <optional>
#include <string>
#include <string_view>

namespace plat {

// The encoded bytes of UTF-8 text (invalid UTF-8 bytes encode as U+FFFD).
std::string nonLossyASCIIEncode(std::string_view utf8);
// The UTF-8 text of encoded bytes. "\u" takes four hexadecimal digits of either case; an
// unpaired surrogate decodes as U+FFFD. Returns nullopt for a byte above 0x7F, any other
// escape, or a "\u" without four digits.
std::optional<std::string> nonLossyASCIIDecode(std::string_view bytes);

}  // namespace plat
