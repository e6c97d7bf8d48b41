#include "ui/refresh/HVRefreshAutoStateFooter.h"

#include "platform/uikit/UIGestureRecognizer.h"

using namespace plat;

std::shared_ptr<UILabel> HVRefreshAutoStateFooter::stateLabel() {
  return HVRefreshLazySubview(*this, stateLabel_, UILabel_HVRefresh::HV_label);
}

void HVRefreshAutoStateFooter::setTitleForState(std::optional<std::string> title,
                                                HVRefreshComponentState state) {
  if (stateTitles_.set(std::move(title), state))
    stateLabel()->setText(stateTitles_.text(this->state()));
}

std::optional<std::string> HVRefreshAutoStateFooter::titleForState(
    HVRefreshComponentState state) const {
  return stateTitles_.get(state);
}

void HVRefreshAutoStateFooter::stateLabelClick() {
  if (state() == HVRefreshStateIdle) beginRefreshing();
}

void HVRefreshAutoStateFooter::prepare() {
  HVRefreshAutoFooter::prepare();
  labelLeftInset_ = 25;
  setTitleForState(NSBundle_HVRefresh::HV_localizedStringForKey(HVRefreshAutoFooterIdleText),
                   HVRefreshStateIdle);
  setTitleForState(NSBundle_HVRefresh::HV_localizedStringForKey(HVRefreshAutoFooterRefreshingText),
                   HVRefreshStateRefreshing);
  setTitleForState(NSBundle_HVRefresh::HV_localizedStringForKey(HVRefreshAutoFooterNoMoreDataText),
                   HVRefreshStateNoMoreData);
  auto label = stateLabel();
  label->setUserInteractionEnabled(true);
  std::weak_ptr<HVRefreshComponent> weak = weakSelf();
  label->addGestureRecognizer(
      std::make_shared<UITapGestureRecognizer>([weak](UIGestureRecognizer&) {
        if (auto self = std::static_pointer_cast<HVRefreshAutoStateFooter>(weak.lock()))
          self->stateLabelClick();
      }));
}

void HVRefreshAutoStateFooter::placeSubviews() {
  HVRefreshAutoFooter::placeSubviews();
  auto label = stateLabel();
  if (label->constraints().empty()) label->setFrame(bounds());
}

void HVRefreshAutoStateFooter::setState(HVRefreshComponentState newState) {
  if (newState == state()) return;
  HVRefreshAutoFooter::setState(newState);
  if (refreshingTitleHidden_ && newState == HVRefreshStateRefreshing) {
    stateLabel()->setText("");
  } else {
    stateLabel()->setText(stateTitles_.text(newState));
  }
}
