#include "ui/refresh/HVRefreshAutoNormalFooter.h"

using namespace plat;

std::shared_ptr<UIActivityIndicatorView> HVRefreshAutoNormalFooter::loadingView() {
  auto view = loadingView_.lock();
  if (!view) {
    view = make<UIActivityIndicatorView>(style_);
    view->setHidesWhenStopped(true);
    addSubview(view);
    loadingView_ = view;
  }
  return view;
}

void HVRefreshAutoNormalFooter::setActivityIndicatorViewStyle(UIActivityIndicatorViewStyle style) {
  style_ = style;
  loadingView_.reset();
  setNeedsLayout();
}

void HVRefreshAutoNormalFooter::prepare() {
  HVRefreshAutoStateFooter::prepare();
  style_ = UIActivityIndicatorViewStyleGray;
}

void HVRefreshAutoNormalFooter::placeSubviews() {
  HVRefreshAutoStateFooter::placeSubviews();
  auto loading = loadingView();
  if (!loading->constraints().empty()) return;
  double centerX = UIView_HVExtension::HV_w(*this) * 0.5;
  if (!isRefreshingTitleHidden())
    centerX -= UILabel_HVRefresh::HV_textWith(*stateLabel()) * 0.5 + labelLeftInset();
  loading->setCenter(CGPointMake(centerX, UIView_HVExtension::HV_h(*this) * 0.5));
}

void HVRefreshAutoNormalFooter::setState(HVRefreshComponentState newState) {
  if (newState == state()) return;
  HVRefreshAutoStateFooter::setState(newState);
  if (newState == HVRefreshStateIdle || newState == HVRefreshStateNoMoreData)
    loadingView()->stopAnimating();
  else if (newState == HVRefreshStateRefreshing)
    loadingView()->startAnimating();
}
