#pragma once
// HVRefreshAutoFooter: a footer right under the content that refreshes by itself when it
// comes fully into view while the user scrolls toward it, or when a drag ends at the end of
// the content. It adds its height to the scroll view's bottom inset while shown. The
// refreshing callback runs 0.5 s after refreshing begins.
// Main thread only.

#include "ui/refresh/HVRefreshFooter.h"

class HVRefreshAutoFooter : public HVRefreshFooter {
 public:
  std::string className() const override { return "HVRefreshAutoFooter"; }

  bool isAutomaticallyRefresh() const { return automaticallyRefresh_; }
  void setAutomaticallyRefresh(bool a) { automaticallyRefresh_ = a; }
  double triggerAutomaticallyRefreshPercent() const { return triggerPercent_; }
  void setTriggerAutomaticallyRefreshPercent(double p) { triggerPercent_ = p; }
  double appearencePercentTriggerAutoRefresh() const { return triggerPercent_; }
  void setAppearencePercentTriggerAutoRefresh(double p) { triggerPercent_ = p; }

  void willMoveToSuperview(const plat::UIViewRef& newSuperview) override;
  void setState(HVRefreshComponentState state) override;
  // Hiding returns the footer to idle and takes its height out of the bottom inset; showing
  // puts it back. Without a scroll view no inset changes.
  void setHidden(bool hidden) override;

 protected:
  void prepare() override;
  void scrollViewContentSizeDidChange(const HVRefreshChange* change) override;
  void scrollViewContentOffsetDidChange(const HVRefreshChange* change) override;
  void scrollViewPanStateDidChange(const HVRefreshChange* change) override;

 private:
  bool automaticallyRefresh_ = true;
  double triggerPercent_ = 1.0;
};
