#pragma once
// Colours from "#RRGGBB" strings and from 0xRRGGBB numbers. Thread-safe (pure functions).

#include <cstdint>
#include <string_view>

#include "platform/uikit/UIColor.h"

struct UIColor_STAdditions {
  // st_colorWithRGBString:alpha: with alpha 1.
  static plat::UIColorRef st_colorWithRGBString(std::string_view text);
  // The colour of a "#" and six hexadecimal digits (or the six digits alone). Returns nil when
  // the text is shorter than 6 characters or holds characters outside ASCII. The digits are
  // read as strtol reads base 16: parsing stops at the first non-digit, nothing parsed is 0.
  static plat::UIColorRef st_colorWithRGBStringAlpha(std::string_view text, double alpha);
  static plat::UIColor st_colorWithRGBHex(uint32_t hex);
  // Only the low 24 bits count: red 16-23, green 8-15, blue 0-7.
  static plat::UIColor st_colorWithRGBHexAlpha(uint32_t hex, double alpha);
};
