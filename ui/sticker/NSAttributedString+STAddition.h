#pragma once
// Text-backed runs of attributed text: a run carrying the "STTextBackedString" attribute
// reads back, as plain text, as the attribute's text instead of its own characters.
// Main thread only.

#include <optional>
#include <string>

#include "platform/foundation/NSAttributedString.h"
#include "ui/sticker/STTextBackedString.h"

struct NSAttributedString_STAddition {
  // {0, length}.
  static plat::NSRange st_rangeOfAll(const plat::NSAttributedString& text);
  // The plain text of the range: each run of the text-backed attribute inside it contributes
  // its whole backed text (also when the range starts inside the run), other runs their own
  // characters. Returns nil when the location or length is NSNotFound, or when the range lies
  // outside the text.
  static std::optional<std::string> st_plainTextForRange(const plat::NSAttributedString& text,
                                                         plat::NSRange range);
};

struct NSMutableAttributedString_STAddition {
  // Adds the text-backed attribute over the range, or removes it there when `value` is nil
  // (nil or the null object). A range outside the text changes nothing.
  static void st_setTextBackedStringRange(plat::NSMutableAttributedString& text,
                                          const plat::Value& value, plat::NSRange range);
};
