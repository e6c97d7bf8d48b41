#pragma once
// Conversion between emoji text and its escaped code text through the non-lossy ASCII
// encoding. Thread-safe (pure functions).

#include <optional>
#include <string>
#include <string_view>

struct NSString_emoji {
  // The escaped code text: characters outside ASCII as "\u" and four hexadecimal digits per
  // UTF-16 unit, a backslash doubled.
  static std::string emojiText(std::string_view text);
  // The characters of escaped code text (read up to a zero byte); nil when the text is not
  // valid escaped text (a byte outside ASCII, an unknown escape).
  static std::optional<std::string> emojiImage(std::string_view text);
};
