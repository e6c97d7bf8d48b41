#pragma once
// UILabel: text in one font and colour, measured and drawn with Pango over the pinned fonts.
// The intrinsic size is the text's size rounded up to whole points (zero for empty text);
// multi-line labels wrap at preferredMaxLayoutWidth when set. Text is drawn vertically centred.
// Main thread only.

#include <string>

#include "platform/uikit/NSStringDrawing.h"
#include "platform/uikit/UIView.h"

namespace plat {

class UILabel : public UIView {
 public:
  explicit UILabel(CGRect frame = CGRectZero);
  std::string className() const override { return "UILabel"; }

  const std::string& text() const { return text_; }
  void setText(std::string t);
  const UIFont& font() const { return font_; }
  void setFont(const UIFont& f);
  UIColor textColor() const { return textColor_; }
  void setTextColor(UIColorRef c);  // nil: the default black
  NSTextAlignment textAlignment() const { return alignment_; }
  void setTextAlignment(NSTextAlignment a);
  int64_t numberOfLines() const { return lines_; }
  void setNumberOfLines(int64_t n);
  NSLineBreakMode lineBreakMode() const { return lineBreak_; }
  void setLineBreakMode(NSLineBreakMode m);
  double preferredMaxLayoutWidth() const { return preferredMax_; }
  void setPreferredMaxLayoutWidth(double w);
  bool adjustsFontSizeToFitWidth() const { return adjusts_; }
  void setAdjustsFontSizeToFitWidth(bool a) { adjusts_ = a; }
  double minimumScaleFactor() const { return minScale_; }
  void setMinimumScaleFactor(double s) { minScale_ = s; }
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool e);

  CGSize intrinsicContentSize() const override;
  // The text's size when wrapped to size.width (multi-line) or on one line.
  CGSize sizeThatFits(CGSize size) const override;
  void drawBuiltInContent(CGContextRef c) const override;
  // The rectangle the text occupies inside bounds (limited to numberOfLines).
  CGRect textRectForBoundsLimitedToNumberOfLines(CGRect bounds, int64_t lines) const;

 private:
  NSTextStyle style() const;
  std::string text_;
  UIFont font_ = UIFont::systemFontOfSize(17);
  UIColor textColor_ = UIColor::labelColor();
  NSTextAlignment alignment_ = NSTextAlignmentNatural;
  int64_t lines_ = 1;
  NSLineBreakMode lineBreak_ = NSLineBreakByTruncatingTail;
  double preferredMax_ = 0;
  bool adjusts_ = false;
  double minScale_ = 0;
  bool enabled_ = true;
};

}  // namespace plat
