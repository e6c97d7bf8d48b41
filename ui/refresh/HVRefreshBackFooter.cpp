#include "ui/refresh/HVRefreshBackFooter.h"

#include <algorithm>

#include "platform/dispatch/Dispatch.h"

using namespace plat;
using E = UIScrollView_HVExtension;
using V = UIView_HVExtension;

double HVRefreshBackFooter::heightForContentBreakView() const {
  auto scroll = scrollView();
  if (!scroll) return 0;
  UIEdgeInsets original = scrollViewOriginalInset();
  return E::HV_contentH(*scroll) - (V::HV_h(*scroll) - original.bottom - original.top);
}

double HVRefreshBackFooter::happenOffsetY() const {
  double delta = heightForContentBreakView();
  double top = scrollViewOriginalInset().top;
  return delta > 0 ? delta - top : -top;
}

void HVRefreshBackFooter::willMoveToSuperview(const UIViewRef& newSuperview) {
  HVRefreshFooter::willMoveToSuperview(newSuperview);
  scrollViewContentSizeDidChange(nullptr);
}

void HVRefreshBackFooter::scrollViewContentSizeDidChange(const HVRefreshChange* change) {
  HVRefreshFooter::scrollViewContentSizeDidChange(change);
  auto scroll = scrollView();
  if (!scroll) return;
  UIEdgeInsets original = scrollViewOriginalInset();
  double ignored = ignoredScrollViewContentInsetBottom();
  double contentBottom = E::HV_contentH(*scroll) + ignored;
  double viewBottom = V::HV_h(*scroll) - original.top - original.bottom + ignored;
  V::setHV_y(*this, std::max(contentBottom, viewBottom));
}

void HVRefreshBackFooter::scrollViewContentOffsetDidChange(const HVRefreshChange* change) {
  HVRefreshFooter::scrollViewContentOffsetDidChange(change);
  auto scroll = scrollView();
  if (!scroll || state() == HVRefreshStateRefreshing) return;
  setScrollViewOriginalInset(scroll->contentInset());
  double current = E::HV_offsetY(*scroll);
  double happen = happenOffsetY();
  if (current <= happen) return;
  double h = V::HV_h(*this);
  double percent = (current - happen) / h;
  if (state() == HVRefreshStateNoMoreData) {
    setPullingPercent(percent);
    return;
  }
  followPull(*scroll, percent, current > happen + h);
}

void HVRefreshBackFooter::setState(HVRefreshComponentState newState) {
  HVRefreshComponentState old = state();
  if (newState == old) return;
  HVRefreshFooter::setState(newState);
  auto scroll = scrollView();
  std::weak_ptr<HVRefreshComponent> weak = weakSelf();
  if (newState == HVRefreshStateIdle || newState == HVRefreshStateNoMoreData) {
    if (old != HVRefreshStateRefreshing) return;
    animateEndOfRefreshing([&] {
      if (scroll) E::setHV_insetB(*scroll, E::HV_insetB(*scroll) - lastBottomDelta_);
      if (automaticallyChangeAlpha()) setAlpha(0.0);
    });
    // New rows arrived: settle the offset where it is.
    if (scroll && heightForContentBreakView() > 0 &&
        UIScrollView_HVRefresh::HV_totalDataCount(*scroll) != lastRefreshCount_)
      E::setHV_offsetY(*scroll, E::HV_offsetY(*scroll));
  } else if (newState == HVRefreshStateRefreshing) {
    if (scroll) lastRefreshCount_ = UIScrollView_HVRefresh::HV_totalDataCount(*scroll);
    UIView::animateWithDurationAnimationsCompletion(
        HVRefreshFastAnimationDuration,
        [&] {
          if (!scroll) return;
          double bottom = V::HV_h(*this) + scrollViewOriginalInset().bottom;
          double delta = heightForContentBreakView();
          if (delta < 0) bottom -= delta;
          lastBottomDelta_ = bottom - E::HV_insetB(*scroll);
          E::setHV_insetB(*scroll, bottom);
          E::setHV_offsetY(*scroll, happenOffsetY() + V::HV_h(*this));
        },
        [weak, generation = refreshGeneration()](bool) {
          if (auto self = std::static_pointer_cast<HVRefreshBackFooter>(weak.lock()))
            self->executeRefreshingCallbackForRefresh(generation);
        });
  }
}

void HVRefreshBackFooter::endRefreshing() {
  std::weak_ptr<HVRefreshComponent> weak = weakSelf();
  dispatch_async(dispatch_get_main_queue(), [weak] {
    if (auto self = weak.lock()) self->setState(HVRefreshStateIdle);
  });
}

void HVRefreshBackFooter::endRefreshingWithNoMoreData() {
  std::weak_ptr<HVRefreshComponent> weak = weakSelf();
  dispatch_async(dispatch_get_main_queue(), [weak] {
    if (auto self = weak.lock()) self->setState(HVRefreshStateNoMoreData);
  });
}
