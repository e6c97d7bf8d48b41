#include "ui/refresh/HVRefreshBackNormalFooter.h"

#include "ui/refresh/HVRefreshNormalHeader.h"

using namespace plat;

void HVRefreshBackNormalFooter::prepare() {
  HVRefreshBackStateFooter::prepare();
  views_.resetStyle();
}

void HVRefreshBackNormalFooter::placeSubviews() {
  HVRefreshBackStateFooter::placeSubviews();
  double centerX = UIView_HVExtension::HV_w(*this) * 0.5;
  if (!stateLabel()->isHidden())
    centerX =
        HVRefreshLeftOfText(*this, UILabel_HVRefresh::HV_textWith(*stateLabel()), labelLeftInset());
  views_.placeArrowAndIndicator(*this, CGPointMake(centerX, UIView_HVExtension::HV_h(*this) * 0.5),
                                stateLabel()->textColor());
}

void HVRefreshBackNormalFooter::setState(HVRefreshComponentState newState) {
  HVRefreshComponentState old = state();
  if (newState == old) return;
  HVRefreshBackStateFooter::setState(newState);
  auto arrow = arrowView();
  auto loading = loadingView();
  CGAffineTransform away = CGAffineTransformMakeRotation(HVRefreshArrowAngle);
  switch (newState) {
    case HVRefreshStateIdle:
      if (old == HVRefreshStateRefreshing) {
        arrow->setTransform(away);
        std::weak_ptr<HVRefreshComponent> weak = weakSelf();
        UIView::animateWithDurationAnimationsCompletion(
            HVRefreshSlowAnimationDuration, [&] { loading->setAlpha(0.0); },
            [weak](bool) {
              auto self = std::static_pointer_cast<HVRefreshBackNormalFooter>(weak.lock());
              // A refresh begun meanwhile keeps its indicator and hidden arrow.
              if (!self || self->state() != HVRefreshStateIdle) return;
              auto loading = self->loadingView();
              loading->setAlpha(1.0);
              loading->stopAnimating();
              self->arrowView()->setHidden(false);
            });
      } else {
        arrow->setHidden(false);
        loading->stopAnimating();
        UIView::animateWithDurationAnimationsCompletion(HVRefreshFastAnimationDuration,
                                                        [&] { arrow->setTransform(away); });
      }
      break;
    case HVRefreshStatePulling:
      arrow->setHidden(false);
      loading->stopAnimating();
      UIView::animateWithDurationAnimationsCompletion(
          HVRefreshFastAnimationDuration, [&] { arrow->setTransform(CGAffineTransformIdentity); });
      break;
    case HVRefreshStateRefreshing:
      arrow->setHidden(true);
      loading->startAnimating();
      break;
    case HVRefreshStateNoMoreData:
      arrow->setHidden(true);
      loading->stopAnimating();
      break;
    default:
      break;
  }
}
