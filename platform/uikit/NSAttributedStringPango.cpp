#include "platform/uikit/NSAttributedStringPango.h"

#include "platform/foundation/UTF16.h"
#include "platform/uikit/PangoText.h"

namespace plat {

bool NSFontValue::isEqual(const Object& other) const {
  auto* o = dynamic_cast<const NSFontValue*>(&other);
  return o && o->font == font;
}
Value NSFontValue::make(const UIFont& font) { return Value(std::make_shared<NSFontValue>(font)); }

bool NSColorValue::isEqual(const Object& other) const {
  auto* o = dynamic_cast<const NSColorValue*>(&other);
  return o && o->color == color;
}
Value NSColorValue::make(const UIColor& color) {
  return Value(std::make_shared<NSColorValue>(color));
}

UIFont fontOfAttribute(const Value& value, const UIFont& fallback) {
  auto f = value.objectAs<NSFontValue>();
  return f ? f->font : fallback;
}

UIColor colorOfAttribute(const Value& value, const UIColor& fallback) {
  auto c = value.objectAs<NSColorValue>();
  return c ? c->color : fallback;
}

int utf8OffsetOfUTF16(const std::u16string& text, uint64_t offset) {
  if (offset > text.size()) offset = text.size();
  return int(fromUTF16(std::u16string_view(text).substr(0, offset)).size());
}

void setAttributedTextOfLayout(PangoLayout* layout, const NSAttributedString& text,
                               const UIFont& defaultFont, const UIColor& defaultColor,
                               double width) {
  std::string utf8 = text.string();
  pango_layout_set_text(layout, utf8.c_str(), int(utf8.size()));
  PangoFontDescription* base = defaultFont.newPangoDescription();
  pango_layout_set_font_description(layout, base);
  pango_font_description_free(base);
  pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
  pango_layout_set_width(layout, width < 0 ? -1 : int(width * PANGO_SCALE));

  PangoAttrList* list = pango_attr_list_new();
  const std::u16string& units = text.utf16();
  uint64_t start = 0;
  for (const auto& run : text.runs()) {
    guint from = guint(utf8OffsetOfUTF16(units, start));
    guint to = guint(utf8OffsetOfUTF16(units, start + run.length));
    start += run.length;
    auto f = run.attributes.find(NSFontAttributeName);
    if (f != run.attributes.end()) {
      PangoFontDescription* d = fontOfAttribute(f->second, defaultFont).newPangoDescription();
      PangoAttribute* a = pango_attr_font_desc_new(d);
      pango_font_description_free(d);
      a->start_index = from;
      a->end_index = to;
      pango_attr_list_insert(list, a);
    }
    UIColor color = defaultColor;
    auto c = run.attributes.find(NSForegroundColorAttributeName);
    if (c != run.attributes.end()) color = colorOfAttribute(c->second, defaultColor);
    PangoAttribute* fg = pango_attr_foreground_new(guint16(color.red() * 65535),
                                                   guint16(color.green() * 65535),
                                                   guint16(color.blue() * 65535));
    fg->start_index = from;
    fg->end_index = to;
    pango_attr_list_insert(list, fg);
  }
  pango_layout_set_attributes(layout, list);
  pango_attr_list_unref(list);
  internal::shapeEmojiAsNeutral(layout);
}

}  // namespace plat
