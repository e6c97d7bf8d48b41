#include "ui/refresh/HVRefreshNormalHeader.h"

using namespace plat;

void HVRefreshNormalHeader::prepare() {
  HVRefreshStateHeader::prepare();
  views_.resetStyle();
}

void HVRefreshNormalHeader::placeSubviews() {
  HVRefreshStateHeader::placeSubviews();
  double centerX = UIView_HVExtension::HV_w(*this) * 0.5;
  if (!stateLabel()->isHidden())
    centerX = HVRefreshLeftOfText(*this, labelsTextWidth(), labelLeftInset());
  views_.placeArrowAndIndicator(*this, CGPointMake(centerX, UIView_HVExtension::HV_h(*this) * 0.5),
                                stateLabel()->textColor());
}

void HVRefreshNormalHeader::setState(HVRefreshComponentState newState) {
  HVRefreshComponentState old = state();
  if (newState == old) return;
  HVRefreshStateHeader::setState(newState);
  auto arrow = arrowView();
  auto loading = loadingView();
  if (newState == HVRefreshStateIdle) {
    if (old == HVRefreshStateRefreshing) {
      arrow->setTransform(CGAffineTransformIdentity);
      std::weak_ptr<HVRefreshComponent> weak = weakSelf();
      UIView::animateWithDurationAnimationsCompletion(
          HVRefreshSlowAnimationDuration, [&] { loading->setAlpha(0.0); },
          [weak](bool) {
            auto self = std::static_pointer_cast<HVRefreshNormalHeader>(weak.lock());
            // A refresh begun meanwhile keeps its indicator.
            if (!self || self->state() != HVRefreshStateIdle) return;
            auto loading = self->loadingView();
            loading->setAlpha(1.0);
            loading->stopAnimating();
            self->arrowView()->setHidden(false);
          });
    } else {
      loading->stopAnimating();
      arrow->setHidden(false);
      UIView::animateWithDurationAnimationsCompletion(
          HVRefreshFastAnimationDuration, [&] { arrow->setTransform(CGAffineTransformIdentity); });
    }
  } else if (newState == HVRefreshStatePulling) {
    loading->stopAnimating();
    arrow->setHidden(false);
    UIView::animateWithDurationAnimationsCompletion(HVRefreshFastAnimationDuration, [&] {
      arrow->setTransform(CGAffineTransformMakeRotation(HVRefreshArrowAngle));
    });
  } else if (newState == HVRefreshStateRefreshing) {
    loading->setAlpha(1.0);
    loading->startAnimating();
    arrow->setHidden(true);
  }
}
