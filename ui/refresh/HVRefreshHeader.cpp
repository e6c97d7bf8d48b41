#include "ui/refresh/HVRefreshHeader.h"

#include <algorithm>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSUserDefaults.h"

using namespace plat;
using E = UIScrollView_HVExtension;

void HVRefreshHeader::prepare() {
  HVRefreshComponent::prepare();
  setLastUpdatedTimeKey(HVRefreshHeaderLastUpdatedTimeKey);
  UIView_HVExtension::setHV_h(*this, HVRefreshHeaderHeight);
}

void HVRefreshHeader::placeSubviews() {
  HVRefreshComponent::placeSubviews();
  UIView_HVExtension::setHV_y(*this, -UIView_HVExtension::HV_h(*this) - ignoredInsetTop_);
}

std::optional<NSDate> HVRefreshHeader::lastUpdatedTime() const {
  Value v = NSUserDefaults::standardUserDefaults()->objectForKey(lastUpdatedTimeKey_);
  if (const NSDate* d = v.date()) return *d;
  return std::nullopt;
}

void HVRefreshHeader::scrollViewContentOffsetDidChange(const HVRefreshChange* change) {
  HVRefreshComponent::scrollViewContentOffsetDidChange(change);
  auto scroll = scrollView();
  if (!scroll) return;
  double height = UIView_HVExtension::HV_h(*this);
  if (state() == HVRefreshStateRefreshing) {
    // Keep the header in view while the user scrolls during a refresh.
    if (!window()) return;
    double top = std::max(-E::HV_offsetY(*scroll), scrollViewOriginalInset().top);
    top = std::min(top, height + scrollViewOriginalInset().top);
    E::setHV_insetT(*scroll, top);
    insetTDelta_ = scrollViewOriginalInset().top - top;
    return;
  }
  setScrollViewOriginalInset(scroll->contentInset());
  double offsetY = E::HV_offsetY(*scroll);
  double happen = -scrollViewOriginalInset().top;
  if (offsetY > happen) return;
  double threshold = happen - height;
  double percent = (happen - offsetY) / height;
  followPull(*scroll, percent, offsetY < threshold);
}

void HVRefreshHeader::setState(HVRefreshComponentState newState) {
  HVRefreshComponentState old = state();
  if (newState == old) return;
  HVRefreshComponent::setState(newState);
  std::weak_ptr<HVRefreshComponent> weak = weakSelf();
  if (newState == HVRefreshStateRefreshing) {
    uint64_t generation = refreshGeneration();
    dispatch_async(dispatch_get_main_queue(), [weak, generation] {
      auto self = std::static_pointer_cast<HVRefreshHeader>(weak.lock());
      if (!self) return;
      UIView::animateWithDurationAnimationsCompletion(
          HVRefreshFastAnimationDuration,
          [&] {
            auto scroll = self->scrollView();
            if (!scroll) return;
            double top = self->scrollViewOriginalInset().top + UIView_HVExtension::HV_h(*self);
            E::setHV_insetT(*scroll, top);
            scroll->setContentOffsetAnimated(CGPointMake(0, -top), false);
          },
          [weak, generation](bool) {
            if (auto self = std::static_pointer_cast<HVRefreshHeader>(weak.lock()))
              self->executeRefreshingCallbackForRefresh(generation);
          });
    });
  } else if (newState == HVRefreshStateIdle && old == HVRefreshStateRefreshing) {
    auto defaults = NSUserDefaults::standardUserDefaults();
    defaults->setObjectForKey(Value(Clock::current()->date()), lastUpdatedTimeKey_);
    defaults->synchronize();
    animateEndOfRefreshing([this] {
      if (auto scroll = scrollView())
        E::setHV_insetT(*scroll, E::HV_insetT(*scroll) + insetTDelta_);
      if (automaticallyChangeAlpha()) setAlpha(0.0);
    });
  }
}

void HVRefreshHeader::endRefreshing() {
  std::weak_ptr<HVRefreshComponent> weak = weakSelf();
  dispatch_async(dispatch_get_main_queue(), [weak] {
    if (auto self = weak.lock()) self->setState(HVRefreshStateIdle);
  });
}
