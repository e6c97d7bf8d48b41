#include "ui/refresh/HVRefreshNormalHeader.h"

#include <algorithm>

using namespace plat;

std::shared_ptr<UIImageView> HVRefreshNormalHeader::arrowView() {
  if (!arrowView_) {
    arrowView_ = make<UIImageView>(NSBundle_HVRefresh::HV_arrowImage());
    addSubview(arrowView_);
  }
  return arrowView_;
}

std::shared_ptr<UIActivityIndicatorView> HVRefreshNormalHeader::loadingView() {
  auto view = loadingView_.lock();
  if (!view) {
    view = make<UIActivityIndicatorView>(style_);
    view->setHidesWhenStopped(true);
    addSubview(view);
    loadingView_ = view;
  }
  return view;
}

void HVRefreshNormalHeader::setActivityIndicatorViewStyle(UIActivityIndicatorViewStyle style) {
  style_ = style;
  loadingView_.reset();
  setNeedsLayout();
}

void HVRefreshNormalHeader::prepare() {
  HVRefreshStateHeader::prepare();
  style_ = UIActivityIndicatorViewStyleGray;
}

void HVRefreshNormalHeader::placeSubviews() {
  HVRefreshStateHeader::placeSubviews();
  double centerX = UIView_HVExtension::HV_w(*this) * 0.5;
  if (!stateLabel()->isHidden()) {
    double textWidth = UILabel_HVRefresh::HV_textWith(*stateLabel());
    if (!lastUpdatedTimeLabel()->isHidden())
      textWidth = std::max(textWidth, UILabel_HVRefresh::HV_textWith(*lastUpdatedTimeLabel()));
    centerX -= textWidth / 2 + labelLeftInset();
  }
  double centerY = UIView_HVExtension::HV_h(*this) * 0.5;
  CGPoint center = CGPointMake(centerX, centerY);
  auto arrow = arrowView();
  if (arrow->constraints().empty()) {
    if (arrow->image()) UIView_HVExtension::setHV_size(*arrow, arrow->image()->size());
    arrow->setCenter(center);
  }
  auto loading = loadingView();
  if (loading->constraints().empty()) loading->setCenter(center);
  arrow->setTintColor(stateLabel()->textColor());
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
