#include "ui/refresh/HVRefreshBackNormalFooter.h"

#include "ui/refresh/HVRefreshNormalHeader.h"

using namespace plat;

std::shared_ptr<UIImageView> HVRefreshBackNormalFooter::arrowView() {
  if (!arrowView_) {
    arrowView_ = make<UIImageView>(NSBundle_HVRefresh::HV_arrowImage());
    addSubview(arrowView_);
  }
  return arrowView_;
}

std::shared_ptr<UIActivityIndicatorView> HVRefreshBackNormalFooter::loadingView() {
  auto view = loadingView_.lock();
  if (!view) {
    view = make<UIActivityIndicatorView>(style_);
    view->setHidesWhenStopped(true);
    addSubview(view);
    loadingView_ = view;
  }
  return view;
}

void HVRefreshBackNormalFooter::setActivityIndicatorViewStyle(UIActivityIndicatorViewStyle style) {
  style_ = style;
  loadingView_.reset();
  setNeedsLayout();
}

void HVRefreshBackNormalFooter::prepare() {
  HVRefreshBackStateFooter::prepare();
  style_ = UIActivityIndicatorViewStyleGray;
}

void HVRefreshBackNormalFooter::placeSubviews() {
  HVRefreshBackStateFooter::placeSubviews();
  double centerX = UIView_HVExtension::HV_w(*this) * 0.5;
  if (!stateLabel()->isHidden())
    centerX -= labelLeftInset() + UILabel_HVRefresh::HV_textWith(*stateLabel()) * 0.5;
  CGPoint center = CGPointMake(centerX, UIView_HVExtension::HV_h(*this) * 0.5);
  auto arrow = arrowView();
  if (arrow->constraints().empty()) {
    if (arrow->image()) UIView_HVExtension::setHV_size(*arrow, arrow->image()->size());
    arrow->setCenter(center);
  }
  auto loading = loadingView();
  if (loading->constraints().empty()) loading->setCenter(center);
  arrow->setTintColor(stateLabel()->textColor());
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
            HVRefreshSlowAnimationDuration, [&] { loading->setAlpha(0.0); }, [weak](bool) {
              auto self = std::static_pointer_cast<HVRefreshBackNormalFooter>(weak.lock());
              if (!self) return;
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
