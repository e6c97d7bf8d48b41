#include "ui/refresh/HVRefreshAutoNormalFooter.h"

using namespace plat;

void HVRefreshAutoNormalFooter::prepare() {
  HVRefreshAutoStateFooter::prepare();
  views_.resetStyle();
}

void HVRefreshAutoNormalFooter::placeSubviews() {
  HVRefreshAutoStateFooter::placeSubviews();
  double centerX = UIView_HVExtension::HV_w(*this) * 0.5;
  if (!isRefreshingTitleHidden())
    centerX =
        HVRefreshLeftOfText(*this, UILabel_HVRefresh::HV_textWith(*stateLabel()), labelLeftInset());
  views_.placeIndicator(*this, CGPointMake(centerX, UIView_HVExtension::HV_h(*this) * 0.5));
}

void HVRefreshAutoNormalFooter::setState(HVRefreshComponentState newState) {
  if (newState == state()) return;
  HVRefreshAutoStateFooter::setState(newState);
  if (newState == HVRefreshStateIdle || newState == HVRefreshStateNoMoreData)
    loadingView()->stopAnimating();
  else if (newState == HVRefreshStateRefreshing)
    loadingView()->startAnimating();
}
