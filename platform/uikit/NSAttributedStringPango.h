#pragma once
// Pango layouts of attributed text, for measuring and drawing. Fonts and colours travel as
// attributes (NSFontAttributeName, NSForegroundColorAttributeName) whose values are
// NSFontValue / NSColorValue objects; runs without them use the defaults given.
// Thread-safety: the helpers take the text lock themselves (see PangoText.h).

#include <pango/pangocairo.h>

#include <string>

#include "platform/foundation/NSAttributedString.h"
#include "platform/foundation/Object.h"
#include "platform/uikit/UIColor.h"
#include "platform/uikit/UIFont.h"

namespace plat {

inline constexpr const char* NSFontAttributeName = "NSFont";
inline constexpr const char* NSForegroundColorAttributeName = "NSColor";

// A font as an attribute value; equal to another with the same font.
class NSFontValue : public Object {
 public:
  explicit NSFontValue(UIFont font) : font(font) {}
  std::string className() const override { return "UIFont"; }
  bool isEqual(const Object& other) const override;
  static Value make(const UIFont& font);
  UIFont font;
};

// A colour as an attribute value; equal to another with the same components.
class NSColorValue : public Object {
 public:
  explicit NSColorValue(UIColor color) : color(color) {}
  std::string className() const override { return "UIColor"; }
  bool isEqual(const Object& other) const override;
  static Value make(const UIColor& color);
  UIColor color;
};

// The font / colour an attribute value holds, or the fallback.
UIFont fontOfAttribute(const Value& value, const UIFont& fallback);
UIColor colorOfAttribute(const Value& value, const UIColor& fallback);

// The UTF-8 byte offset of a UTF-16 offset of the text (clamped to the end).
int utf8OffsetOfUTF16(const std::u16string& text, uint64_t offset);

// Fills `layout` with the text, its fonts and colours, wrapping by words then characters at
// `width` points (no wrapping when width < 0). REQUIRES: the text lock held.
void setAttributedTextOfLayout(PangoLayout* layout, const NSAttributedString& text,
                               const UIFont& defaultFont, const UIColor& defaultColor,
                               double width);

}  // namespace plat
