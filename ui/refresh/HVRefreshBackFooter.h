#pragma once
// HVRefreshBackFooter: a footer revealed by pulling the content up past its end. Past its
// own height it becomes pulling; releasing then refreshes, adding bottom inset so that it
// stays in view while the callback runs. Both endings are deferred to the main queue and give
// the added inset back over 0.4 s.
// Main thread only.

#include "ui/refresh/HVRefreshFooter.h"

class HVRefreshBackFooter : public HVRefreshFooter {
 public:
  std::string className() const override { return "HVRefreshBackFooter"; }

  int64_t lastRefreshCount() const { return lastRefreshCount_; }
  void setLastRefreshCount(int64_t c) { lastRefreshCount_ = c; }
  double lastBottomDelta() const { return lastBottomDelta_; }
  void setLastBottomDelta(double d) { lastBottomDelta_ = d; }

  // How far the content reaches beyond the visible area (negative when it is shorter).
  double heightForContentBreakView() const;
  // The offset y at which the footer begins to show.
  double happenOffsetY() const;

  void willMoveToSuperview(const plat::UIViewRef& newSuperview) override;
  void setState(HVRefreshComponentState state) override;
  void endRefreshing() override;
  void endRefreshingWithNoMoreData() override;

 protected:
  void scrollViewContentOffsetDidChange(const HVRefreshChange* change) override;
  void scrollViewContentSizeDidChange(const HVRefreshChange* change) override;

 private:
  int64_t lastRefreshCount_ = 0;
  double lastBottomDelta_ = 0;
};
