#pragma once
// HVRefreshFooter: the base of the footers below a scroll view's content: height 44, the
// no-more-data state, and optional hiding while a table or collection view has no rows
// (applied when the scroll view's reload-data block runs).
// Main thread only.

#include "ui/refresh/HVRefreshComponent.h"

class HVRefreshFooter : public HVRefreshComponent {
 public:
  std::string className() const override { return "HVRefreshFooter"; }

  template <class T = HVRefreshFooter>
  static std::shared_ptr<T> footerWithRefreshingBlock(Block block) {
    auto footer = plat::make<T>();
    footer->setRefreshingBlock(std::move(block));
    return footer;
  }
  template <class T = HVRefreshFooter>
  static std::shared_ptr<T> footerWithRefreshingTargetRefreshingAction(
      std::weak_ptr<plat::Object> target, Action action) {
    auto footer = plat::make<T>();
    footer->setRefreshingTargetRefreshingAction(std::move(target), std::move(action));
    return footer;
  }

  bool isAutomaticallyHidden() const { return automaticallyHidden_; }
  void setAutomaticallyHidden(bool h) { automaticallyHidden_ = h; }
  double ignoredScrollViewContentInsetBottom() const { return ignoredInsetBottom_; }
  void setIgnoredScrollViewContentInsetBottom(double v) { ignoredInsetBottom_ = v; }

  // No more data, at once.
  virtual void endRefreshingWithNoMoreData();
  void noticeNoMoreData() { endRefreshingWithNoMoreData(); }
  // Back to idle, at once.
  void resetNoMoreData();

  void willMoveToSuperview(const plat::UIViewRef& newSuperview) override;

 protected:
  void prepare() override;

 private:
  bool automaticallyHidden_ = false;
  double ignoredInsetBottom_ = 0;
};
