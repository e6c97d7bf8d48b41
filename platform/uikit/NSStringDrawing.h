#pragma once
// Text measurement and drawing with Pango over the pinned fonts (the platform's NSString
// drawing additions). Sizes are in points; measured sizes are not rounded (callers that need
// whole points apply ceil, as on the platform).
//
// Thread-safety: measurement may be called from any thread; drawing runs on the thread that
// owns the current graphics context. Both share one font map and are serialized internally.

#include <string>

#include "platform/graphics/CGGeometry.h"
#include "platform/uikit/UIColor.h"
#include "platform/uikit/UIFont.h"

namespace plat {

enum NSLineBreakMode : int64_t {
  NSLineBreakByWordWrapping = 0,
  NSLineBreakByCharWrapping = 1,
  NSLineBreakByClipping = 2,
  NSLineBreakByTruncatingHead = 3,
  NSLineBreakByTruncatingTail = 4,
  NSLineBreakByTruncatingMiddle = 5
};

enum NSTextAlignment : int64_t {
  NSTextAlignmentLeft = 0,
  NSTextAlignmentCenter = 1,
  NSTextAlignmentRight = 2,
  NSTextAlignmentJustified = 3,
  NSTextAlignmentNatural = 4
};

enum NSStringDrawingOptions : int64_t {
  NSStringDrawingTruncatesLastVisibleLine = 1 << 5,
  NSStringDrawingUsesLineFragmentOrigin = 1 << 0,
  NSStringDrawingUsesFontLeading = 1 << 1,
  NSStringDrawingUsesDeviceMetrics = 1 << 3
};

// What text is laid out with.
struct NSTextStyle {
  UIFont font;
  UIColorRef color;  // nil: black
  NSTextAlignment alignment = NSTextAlignmentNatural;
  NSLineBreakMode lineBreakMode = NSLineBreakByWordWrapping;
  int64_t numberOfLines = 0;  // 0: unlimited (with UsesLineFragmentOrigin or wrapping width)
};

// boundingRectWithSize:options:attributes:context:. Without
// NSStringDrawingUsesLineFragmentOrigin the text is measured as one line. size limits the
// width (wrapping) and, for multi-line text, the number of whole lines that fit the height.
// Empty text measures zero.
CGRect NSStringBoundingRectWithSize(const std::string& text, CGSize size, int64_t options,
                                    const NSTextStyle& style);
// The number of lines text takes when wrapped to size's width (none: no wrapping), counting
// only whole lines that fit size's height (none: all; at least one) and at most
// style.numberOfLines (0: no limit). Empty text takes none. allLines, when given, receives
// every line the text takes at that width, with neither limit.
int64_t NSStringLineCountWithSize(const std::string& text, CGSize size, const NSTextStyle& style,
                                  int64_t* allLines = nullptr);
// sizeWithAttributes:: one line per explicit line break, no wrapping.
CGSize NSStringSizeWithFont(const std::string& text, const UIFont& font);
// Draws text in rect with the style (wrapping to the rect's width, clipped to its height).
// Does nothing without a current context.
void NSStringDrawInRect(const std::string& text, CGRect rect, const NSTextStyle& style);

}  // namespace plat
