#include "ui/refresh/HVRefreshBackStateFooter.h"

using namespace plat;

std::shared_ptr<UILabel> HVRefreshBackStateFooter::stateLabel() {
  if (!stateLabel_) {
    stateLabel_ = UILabel_HVRefresh::HV_label();
    addSubview(stateLabel_);
  }
  return stateLabel_;
}

void HVRefreshBackStateFooter::setTitleForState(std::optional<std::string> title,
                                                HVRefreshComponentState state) {
  if (!title) return;
  stateTitles_[state] = std::move(*title);
  auto it = stateTitles_.find(this->state());
  stateLabel()->setText(it == stateTitles_.end() ? "" : it->second);
}

std::optional<std::string> HVRefreshBackStateFooter::titleForState(
    HVRefreshComponentState state) const {
  auto it = stateTitles_.find(state);
  if (it == stateTitles_.end()) return std::nullopt;
  return it->second;
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
  auto it = stateTitles_.find(newState);
  stateLabel()->setText(it == stateTitles_.end() ? "" : it->second);
}
