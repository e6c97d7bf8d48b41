#include "ui/refresh/HVRefreshAutoFooter.h"

#include "platform/dispatch/Dispatch.h"

using namespace plat;
using E = UIScrollView_HVExtension;
using V = UIView_HVExtension;

namespace {
constexpr double kCallbackDelay = 0.5;

double pointY(const std::optional<UIScrollView::ObservedValue>& v) {
  if (!v) return 0;
  if (auto* p = std::get_if<CGPoint>(&*v)) return p->y;
  return 0;
}
}  // namespace

void HVRefreshAutoFooter::prepare() {
  HVRefreshFooter::prepare();
  triggerPercent_ = 1.0;
  automaticallyRefresh_ = true;
}

void HVRefreshAutoFooter::willMoveToSuperview(const UIViewRef& newSuperview) {
  auto previous = scrollView();
  HVRefreshFooter::willMoveToSuperview(newSuperview);
  double h = V::HV_h(*this);
  auto scroll = scrollView();  // set only when the new superview is a scroll view
  // Leaving a scroll view (for none, a plain view or another scroll view): give it its inset
  // back.
  if (previous && previous != scroll && !isHidden())
    E::setHV_insetB(*previous, E::HV_insetB(*previous) - h);
  if (!newSuperview || !scroll || scroll != newSuperview) return;
  if (!isHidden()) E::setHV_insetB(*scroll, E::HV_insetB(*scroll) + h);
  V::setHV_y(*this, E::HV_contentH(*scroll));
}

void HVRefreshAutoFooter::scrollViewContentSizeDidChange(const HVRefreshChange* change) {
  HVRefreshFooter::scrollViewContentSizeDidChange(change);
  if (auto scroll = scrollView()) V::setHV_y(*this, E::HV_contentH(*scroll));
}

void HVRefreshAutoFooter::scrollViewContentOffsetDidChange(const HVRefreshChange* change) {
  HVRefreshFooter::scrollViewContentOffsetDidChange(change);
  auto scroll = scrollView();
  if (!scroll) return;
  if (state() != HVRefreshStateIdle || !automaticallyRefresh_ || V::HV_y(*this) == 0) return;
  double h = V::HV_h(*this);
  double contentH = E::HV_contentH(*scroll), viewH = V::HV_h(*scroll);
  if (E::HV_insetT(*scroll) + contentH <= viewH) return;
  if (E::HV_offsetY(*scroll) < contentH - viewH + h * triggerPercent_ + E::HV_insetB(*scroll) - h)
    return;
  if (!change || pointY(change->newValue) <= pointY(change->oldValue)) return;
  beginRefreshing();
}

void HVRefreshAutoFooter::scrollViewPanStateDidChange(const HVRefreshChange* change) {
  HVRefreshFooter::scrollViewPanStateDidChange(change);
  auto scroll = scrollView();
  if (!scroll || state() != HVRefreshStateIdle) return;
  if (scroll->panGestureRecognizer()->state() != UIGestureRecognizerStateEnded) return;
  double offsetY = E::HV_offsetY(*scroll);
  if (E::HV_insetT(*scroll) + E::HV_contentH(*scroll) <= V::HV_h(*scroll)) {
    if (offsetY >= -E::HV_insetT(*scroll)) beginRefreshing();
  } else if (offsetY >= E::HV_contentH(*scroll) + E::HV_insetB(*scroll) - V::HV_h(*scroll)) {
    beginRefreshing();
  }
}

void HVRefreshAutoFooter::setState(HVRefreshComponentState newState) {
  HVRefreshComponentState old = state();
  if (newState == old) return;
  HVRefreshFooter::setState(newState);
  if (newState == HVRefreshStateRefreshing) {
    std::weak_ptr<HVRefreshComponent> weak = weakSelf();
    uint64_t generation = refreshGeneration();
    dispatch_after(kCallbackDelay, dispatch_get_main_queue(), [weak, generation] {
      if (auto self = std::static_pointer_cast<HVRefreshAutoFooter>(weak.lock()))
        self->executeRefreshingCallbackForRefresh(generation);
    });
  } else if ((newState == HVRefreshStateIdle || newState == HVRefreshStateNoMoreData) &&
             old == HVRefreshStateRefreshing) {
    if (auto block = endRefreshingCompletionBlock()) block();
  }
}

void HVRefreshAutoFooter::setHidden(bool hidden) {
  bool wasHidden = isHidden();
  HVRefreshFooter::setHidden(hidden);
  if (wasHidden == hidden) return;
  auto scroll = scrollView();
  double h = V::HV_h(*this);
  if (hidden) {
    setState(HVRefreshStateIdle);
    if (scroll) E::setHV_insetB(*scroll, E::HV_insetB(*scroll) - h);
  } else if (scroll) {
    E::setHV_insetB(*scroll, E::HV_insetB(*scroll) + h);
    V::setHV_y(*this, E::HV_contentH(*scroll));
  }
}
