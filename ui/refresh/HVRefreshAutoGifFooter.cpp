#include "ui/refresh/HVRefreshAutoGifFooter.h"

using namespace plat;

void HVRefreshAutoGifFooter::setImagesDurationForState(
    const std::optional<std::vector<UIImageRef>>& images, double duration,
    HVRefreshComponentState state) {
  gif_.setImages(*this, images, duration, state);
}

void HVRefreshAutoGifFooter::setImagesForState(const std::optional<std::vector<UIImageRef>>& images,
                                               HVRefreshComponentState state) {
  setImagesDurationForState(images, HVRefreshFrameSequence::defaultDuration(images), state);
}

void HVRefreshAutoGifFooter::prepare() {
  HVRefreshAutoStateFooter::prepare();
  setLabelLeftInset(20);
}

void HVRefreshAutoGifFooter::placeSubviews() {
  HVRefreshAutoStateFooter::placeSubviews();
  gif_.place(*this, !isRefreshingTitleHidden(), UILabel_HVRefresh::HV_textWith(*stateLabel()),
             labelLeftInset());
}

void HVRefreshAutoGifFooter::setState(HVRefreshComponentState newState) {
  if (newState == state()) return;
  HVRefreshAutoStateFooter::setState(newState);
  auto gif = gifView();
  if (newState == HVRefreshStateRefreshing) {
    gif_.showAndPlay(*this, newState);
  } else if (newState == HVRefreshStateIdle || newState == HVRefreshStateNoMoreData) {
    gif->stopAnimating();
    gif->setHidden(true);
  }
}
