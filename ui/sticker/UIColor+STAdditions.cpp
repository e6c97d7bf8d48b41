#include "ui/sticker/UIColor+STAdditions.h"

#include <cstdlib>
#include <cstring>
#include <string>

using plat::UIColor;
using plat::UIColorRef;

UIColorRef UIColor_STAdditions::st_colorWithRGBString(std::string_view text) {
  return st_colorWithRGBStringAlpha(text, 1.0);
}

UIColorRef UIColor_STAdditions::st_colorWithRGBStringAlpha(std::string_view text, double alpha) {
  if (text.size() < 6) return std::nullopt;
  for (unsigned char c : text)
    if (c > 0x7F) return std::nullopt;
  // The C string stops at an embedded zero, as the platform's does.
  std::string ascii(text.data(), ::strnlen(text.data(), text.size()));
  const char* digits = ascii.c_str();
  if (text.size() > 6 && !ascii.empty()) ++digits;  // the leading "#"
  long value = std::strtol(digits, nullptr, 16);
  return st_colorWithRGBHexAlpha(static_cast<uint32_t>(value), alpha);
}

UIColor UIColor_STAdditions::st_colorWithRGBHex(uint32_t hex) {
  return st_colorWithRGBHexAlpha(hex, 1.0);
}

UIColor UIColor_STAdditions::st_colorWithRGBHexAlpha(uint32_t hex, double alpha) {
  return UIColor::colorWithRedGreenBlueAlpha(((hex >> 16) & 0xFF) / 255.0,
                                             ((hex >> 8) & 0xFF) / 255.0, (hex & 0xFF) / 255.0,
                                             alpha);
}
