#include "platform/uikit/UILabel.h"

#include <cmath>

#include "platform/uikit/UIGraphics.h"

namespace plat {

UILabel::UILabel(CGRect frame) : UIView(frame) {
  setOpaque(false);
  setUserInteractionEnabled(false);
}

void UILabel::setText(std::string t) {
  if (t == text_) return;
  text_ = std::move(t);
  invalidateIntrinsicContentSize();
  setNeedsDisplay();
}
void UILabel::setFont(const UIFont& f) {
  font_ = f;
  invalidateIntrinsicContentSize();
  setNeedsDisplay();
}
void UILabel::setTextColor(UIColorRef c) {
  textColor_ = c.value_or(UIColor::labelColor());
  setNeedsDisplay();
}
void UILabel::setTextAlignment(NSTextAlignment a) {
  alignment_ = a;
  setNeedsDisplay();
}
void UILabel::setNumberOfLines(int64_t n) {
  lines_ = n < 0 ? 0 : n;
  invalidateIntrinsicContentSize();
  setNeedsDisplay();
}
void UILabel::setLineBreakMode(NSLineBreakMode m) {
  lineBreak_ = m;
  setNeedsDisplay();
}
void UILabel::setPreferredMaxLayoutWidth(double w) {
  preferredMax_ = w;
  invalidateIntrinsicContentSize();
}
void UILabel::setEnabled(bool e) {
  enabled_ = e;
  setNeedsDisplay();
}

NSTextStyle UILabel::style() const {
  NSTextStyle s;
  s.font = font_;
  s.color = enabled_ ? textColor_ : textColor_.colorWithAlphaComponent(textColor_.alpha() * 0.5);
  s.alignment = alignment_;
  s.lineBreakMode = lineBreak_;
  s.numberOfLines = lines_;
  return s;
}

CGRect UILabel::textRectForBoundsLimitedToNumberOfLines(CGRect bounds, int64_t lines) const {
  if (text_.empty()) return CGRectMake(bounds.origin.x, bounds.origin.y, 0, 0);
  NSTextStyle s = style();
  s.numberOfLines = lines;
  CGSize limit = bounds.size;
  int64_t options = NSStringDrawingUsesLineFragmentOrigin;
  if (lines == 1) {
    s.lineBreakMode = NSLineBreakByClipping;
    limit.width = 1e9;
  }
  CGRect r = NSStringBoundingRectWithSize(text_, limit, options, s);
  return CGRectMake(bounds.origin.x, bounds.origin.y, std::ceil(std::min(r.size.width, bounds.size.width)),
                    std::ceil(r.size.height));
}

CGSize UILabel::sizeThatFits(CGSize size) const {
  if (text_.empty()) return CGSizeZero;
  NSTextStyle s = style();
  double width = (lines_ != 1 && size.width > 0) ? size.width : 1e9;
  if (lines_ == 1) s.lineBreakMode = NSLineBreakByClipping;
  CGRect r = NSStringBoundingRectWithSize(text_, CGSizeMake(width, 1e9),
                                          NSStringDrawingUsesLineFragmentOrigin, s);
  return CGSizeMake(std::ceil(r.size.width), std::ceil(r.size.height));
}

CGSize UILabel::intrinsicContentSize() const {
  if (text_.empty()) return CGSizeZero;
  double width = (lines_ != 1 && preferredMax_ > 0) ? preferredMax_ : 0;
  return sizeThatFits(CGSizeMake(width, 0));
}

void UILabel::drawBuiltInContent(CGContextRef c) const {
  if (text_.empty() || !c) return;
  CGRect b = bounds();
  // The text lives in the label's own backing, which is the size of its bounds: what lies
  // outside them (all of it when the label has no width or height) is not drawn.
  if (b.size.width <= 0 || b.size.height <= 0) return;
  cairo_t* cr = c->cairo();
  cairo_new_path(cr);
  cairo_rectangle(cr, b.origin.x, b.origin.y, b.size.width, b.size.height);
  cairo_clip(cr);
  CGRect t = textRectForBoundsLimitedToNumberOfLines(b, lines_);
  // Vertically centred, as the platform draws labels.
  double y = b.origin.y + (b.size.height - t.size.height) / 2;
  NSTextStyle s = style();
  if (lines_ == 1 && lineBreak_ == NSLineBreakByWordWrapping) s.lineBreakMode = NSLineBreakByClipping;
  // A truncating label too short for its text ends its last whole line with an ellipsis, as a
  // label limited by its number of lines does.
  if (lines_ != 1 && lineBreak_ >= NSLineBreakByTruncatingHead) {
    int64_t all = 0;
    int64_t shown = NSStringLineCountWithSize(text_, b.size, s, &all);
    if (shown < all) s.numberOfLines = shown;
  }
  UIGraphicsPushContext(c);
  NSStringDrawInRect(text_, CGRectMake(b.origin.x, y, b.size.width, t.size.height), s);
  UIGraphicsPopContext();
}

}  // namespace plat
