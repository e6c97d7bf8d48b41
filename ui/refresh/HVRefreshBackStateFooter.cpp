#include "ui/refresh/HVRefreshBackStateFooter.h"

using namespace plat;

std::shared_ptr<UILabel> HVRefreshBackStateFooter::stateLabel() {
  return HVRefreshLazySubview(*this, stateLabel_, UILabel_HVRefresh::HV_label);
}

void HVRefreshBackStateFooter::setTitleForState(std::optional<std::string> title,
                                                HVRefreshComponentState state) {
  if (stateTitles_.set(std::move(title), state))
    stateLabel()->setText(stateTitles_.text(this->state()));
}

std::optional<std::string> HVRefreshBackStateFooter::titleForState(
    HVRefreshComponentState state) const {
  return stateTitles_.get(state);
}

void HVRefreshBackStateFooter::prepare() {
  HVRefreshBackFooter::prepare();
  labelLeftInset_ = 25;
  setTitleForState(NSBundle_HVRefresh::HV_localizedStringForKey(HVRefreshBackFooterIdleText),
                   HVRefreshStateIdle);
  setTitleForState(NSBundle_HVRefresh::HV_localizedStringForKey(HVRefreshBackFooterPullingText),
                   HVRefreshStatePulling);
  setTitleForState(NSBundle_HVRefresh::HV_localizedStringForKey(HVRefreshBackFooterRefreshingText),
                   HVRefreshStateRefreshing);
  setTitleForState(NSBundle_HVRefresh::HV_localizedStringForKey(HVRefreshBackFooterNoMoreDataText),
                   HVRefreshStateNoMoreData);
}

void HVRefreshBackStateFooter::placeSubviews() {
  HVRefreshBackFooter::placeSubviews();
  auto label = stateLabel();
  if (label->constraints().empty()) label->setFrame(bounds());
}

void HVRefreshBackStateFooter::setState(HVRefreshComponentState newState) {
  if (newState == state()) return;
  HVRefreshBackFooter::setState(newState);
  stateLabel()->setText(stateTitles_.text(newState));
}
