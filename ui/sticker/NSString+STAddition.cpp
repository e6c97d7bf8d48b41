#include "ui/sticker/NSString+STAddition.h"

#include <limits>

using namespace plat;

CGSize NSString_STAddition::st_sizeWithFontConstrainedToSizeLineBreakMode(
    const std::string& text, const std::optional<UIFont>& font, CGSize size,
    NSLineBreakMode mode) {
  NSTextStyle style;
  if (font) style.font = *font;
  style.lineBreakMode = mode;
  return NSStringBoundingRectWithSize(text, size, NSStringDrawingUsesLineFragmentOrigin, style)
      .size;
}

CGSize NSString_STAddition::st_sizeWithFont(const std::string& text,
                                            const std::optional<UIFont>& font) {
  return st_sizeWithFontConstrainedToSizeLineBreakMode(
      text, font, {std::numeric_limits<double>::max(), 1.0}, NSLineBreakByWordWrapping);
}
