#include "platform/uikit/UIActivityIndicatorView.h"

#include <cmath>

namespace plat {

double UIActivityIndicatorView::sideForStyle(UIActivityIndicatorViewStyle s) {
  return (s == UIActivityIndicatorViewStyleWhiteLarge || s == UIActivityIndicatorViewStyleLarge)
             ? 37
             : 20;
}

UIColor UIActivityIndicatorView::defaultColorForStyle(UIActivityIndicatorViewStyle s) {
  switch (s) {
    case UIActivityIndicatorViewStyleWhiteLarge:
    case UIActivityIndicatorViewStyleWhite: return UIColor::whiteColor();
    case UIActivityIndicatorViewStyleGray: return UIColor::grayColor();
    default: return UIColor::colorWithRedGreenBlueAlpha(0.235, 0.235, 0.263, 0.6);
  }
}

UIActivityIndicatorView::UIActivityIndicatorView(UIActivityIndicatorViewStyle style)
    : UIView(CGRectMake(0, 0, sideForStyle(style), sideForStyle(style))),
      style_(style),
      color_(defaultColorForStyle(style)) {
  setOpaque(false);
  setUserInteractionEnabled(false);
  setHidden(true);  // stopped and hidesWhenStopped
}

void UIActivityIndicatorView::setActivityIndicatorViewStyle(UIActivityIndicatorViewStyle s) {
  if (s == style_) return;
  style_ = s;
  color_ = defaultColorForStyle(s);
  double side = sideForStyle(s);
  CGRect f = frame();
  setFrame(CGRectMake(f.origin.x, f.origin.y, side, side));
  invalidateIntrinsicContentSize();
  setNeedsDisplay();
}

void UIActivityIndicatorView::setColor(UIColorRef c) {
  color_ = c.value_or(defaultColorForStyle(style_));
  setNeedsDisplay();
}

void UIActivityIndicatorView::setHidesWhenStopped(bool h) {
  hidesWhenStopped_ = h;
  if (!animating_) setHidden(h);
}

void UIActivityIndicatorView::startAnimating() {
  animating_ = true;
  setHidden(false);
}

void UIActivityIndicatorView::stopAnimating() {
  animating_ = false;
  if (hidesWhenStopped_) setHidden(true);
}

CGSize UIActivityIndicatorView::intrinsicContentSize() const {
  double side = sideForStyle(style_);
  return CGSizeMake(side, side);
}

void UIActivityIndicatorView::drawBuiltInContent(CGContextRef c) const {
  if (!c) return;
  CGRect b = bounds();
  double side = std::min(b.size.width, b.size.height);
  if (side <= 0) return;
  double cx = CGRectGetMidX(b), cy = CGRectGetMidY(b);
  double outer = side / 2, inner = outer * 0.45, width = std::max(1.5, side * 0.09);
  CGContextSaveGState(c);
  CGContextSetLineCap(c, kCGLineCapRound);
  CGContextSetLineWidth(c, width);
  const int spokes = 12;
  for (int i = 0; i < spokes; ++i) {
    double angle = -M_PI / 2 + i * 2 * M_PI / spokes;
    double fade = 1.0 - 0.7 * i / (spokes - 1);
    CGContextSetRGBStrokeColor(c, color_.red(), color_.green(), color_.blue(),
                               color_.alpha() * fade);
    CGContextBeginPath(c);
    CGContextMoveToPoint(c, cx + std::cos(angle) * inner, cy + std::sin(angle) * inner);
    CGContextAddLineToPoint(c, cx + std::cos(angle) * (outer - width / 2),
                            cy + std::sin(angle) * (outer - width / 2));
    CGContextStrokePath(c);
  }
  CGContextRestoreGState(c);
}

}  // namespace plat
