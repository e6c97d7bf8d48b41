#pragma once
// UIPageControl: a row of dots, one per page, the current one in its own tint. Drawn centred
// in the bounds (7-point dots, 9 points apart). With hidesForSinglePage it draws nothing
// while there is at most one page. Main thread only.

#include "platform/uikit/UIControl.h"

namespace plat {

class UIPageControl : public UIControl {
 public:
  using UIControl::UIControl;
  std::string className() const override { return "UIPageControl"; }

  int64_t numberOfPages() const { return pages_; }
  // Negative counts read as 0; the current page is kept within the pages.
  void setNumberOfPages(int64_t pages);
  int64_t currentPage() const { return current_; }
  // Clamped to 0 ... numberOfPages - 1.
  void setCurrentPage(int64_t page);
  bool hidesForSinglePage() const { return hidesForSinglePage_; }
  void setHidesForSinglePage(bool hides);
  // Nil: translucent white (others) and white (current), as on the platform.
  UIColorRef pageIndicatorTintColor() const { return tint_; }
  void setPageIndicatorTintColor(UIColorRef color);
  UIColorRef currentPageIndicatorTintColor() const { return currentTint_; }
  void setCurrentPageIndicatorTintColor(UIColorRef color);

  // Whether dots are drawn now (pages exist and are not hidden for a single page).
  bool showsDots() const;
  // The rectangle of the dot of a page, in bounds coordinates.
  CGRect dotRectForPage(int64_t page) const;
  void drawBuiltInContent(CGContextRef c) const override;

  static constexpr double kDotSize = 7, kDotSpacing = 9;

 private:
  int64_t pages_ = 0, current_ = 0;
  bool hidesForSinglePage_ = false;
  UIColorRef tint_, currentTint_;
};

}  // namespace plat
