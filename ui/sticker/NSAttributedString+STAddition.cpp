#include "ui/sticker/NSAttributedString+STAddition.h"

using namespace plat;

NSRange NSAttributedString_STAddition::st_rangeOfAll(const NSAttributedString& text) {
  return {0, text.length()};
}

std::optional<std::string> NSAttributedString_STAddition::st_plainTextForRange(
    const NSAttributedString& text, NSRange range) {
  if (range.location == NSNotFound || range.length == NSNotFound) return std::nullopt;
  if (!NSRangeFitsLength(range, text.length())) return std::nullopt;
  std::string plain;
  if (range.length == 0) return plain;
  text.enumerateAttributeInRangeUsingBlock(
      STTextBackedStringAttributeName, range, [&](const Value& value, NSRange run, bool*) {
        auto backed = value.objectAs<STTextBackedString>();
        if (backed)
          plain += backed->string();
        else
          plain += text.substringWithRange(run);
      });
  return plain;
}

void NSMutableAttributedString_STAddition::st_setTextBackedStringRange(
    NSMutableAttributedString& text, const Value& value, NSRange range) {
  if (!value.isNil() && !value.isNull())
    text.addAttributeValueRange(STTextBackedStringAttributeName, value, range);
  else
    text.removeAttributeRange(STTextBackedStringAttributeName, range);
}
