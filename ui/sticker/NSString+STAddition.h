#pragma once
// Text measuring of the sticker controls. Safe from any thread (measurement is serialized
// internally by the platform).

#include <optional>
#include <string>

#include "platform/uikit/NSStringDrawing.h"

struct NSString_STAddition {
  // The bounding size of the text in the font (the system font when none is given), laid out
  // from the line-fragment origin within `size` with the line-break mode. Not rounded.
  static plat::CGSize st_sizeWithFontConstrainedToSizeLineBreakMode(
      const std::string& text, const std::optional<plat::UIFont>& font, plat::CGSize size,
      plat::NSLineBreakMode mode);
  // The same within (largest double, 1) with word wrapping.
  static plat::CGSize st_sizeWithFont(const std::string& text,
                                      const std::optional<plat::UIFont>& font);
};
