#include "platform/uikit/UIPageControl.h"

#include <algorithm>

namespace plat {

void UIPageControl::setNumberOfPages(int64_t pages) {
  pages_ = std::max<int64_t>(pages, 0);
  current_ = std::clamp<int64_t>(current_, 0, std::max<int64_t>(pages_ - 1, 0));
  setNeedsDisplay();
}

void UIPageControl::setCurrentPage(int64_t page) {
  current_ = std::clamp<int64_t>(page, 0, std::max<int64_t>(pages_ - 1, 0));
  setNeedsDisplay();
}

void UIPageControl::setHidesForSinglePage(bool hides) {
  hidesForSinglePage_ = hides;
  setNeedsDisplay();
}

void UIPageControl::setPageIndicatorTintColor(UIColorRef color) {
  tint_ = color;
  setNeedsDisplay();
}

void UIPageControl::setCurrentPageIndicatorTintColor(UIColorRef color) {
  currentTint_ = color;
  setNeedsDisplay();
}

bool UIPageControl::showsDots() const {
  return pages_ > 0 && !(hidesForSinglePage_ && pages_ == 1);
}

CGRect UIPageControl::dotRectForPage(int64_t page) const {
  CGRect b = bounds();
  double total = pages_ * kDotSize + std::max<int64_t>(pages_ - 1, 0) * kDotSpacing;
  double x = b.origin.x + (b.size.width - total) / 2 + page * (kDotSize + kDotSpacing);
  double y = b.origin.y + (b.size.height - kDotSize) / 2;
  return CGRectMake(x, y, kDotSize, kDotSize);
}

void UIPageControl::drawBuiltInContent(CGContextRef c) const {
  if (!showsDots()) return;
  UIColor other = tint_.value_or(UIColor::whiteColor().colorWithAlphaComponent(0.2));
  UIColor current = currentTint_.value_or(UIColor::whiteColor());
  for (int64_t i = 0; i < pages_; ++i) {
    CGContextSetFillColorWithColor(c, (i == current_ ? current : other).CGColor());
    CGContextFillEllipseInRect(c, dotRectForPage(i));
  }
}

}  // namespace plat
