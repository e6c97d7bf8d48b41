#include "ui/refresh/HVRefreshBackGifFooter.h"

using namespace plat;

void HVRefreshBackGifFooter::setImagesDurationForState(
    const std::optional<std::vector<UIImageRef>>& images, double duration,
    HVRefreshComponentState state) {
  gif_.setImages(*this, images, duration, state);
}

void HVRefreshBackGifFooter::setImagesForState(const std::optional<std::vector<UIImageRef>>& images,
                                               HVRefreshComponentState state) {
  setImagesDurationForState(images, HVRefreshFrameSequence::defaultDuration(images), state);
}

void HVRefreshBackGifFooter::prepare() {
  HVRefreshBackStateFooter::prepare();
  setLabelLeftInset(20);
}

void HVRefreshBackGifFooter::setPullingPercent(double percent) {
  HVRefreshBackStateFooter::setPullingPercent(percent);
  gif_.followPull(*this, state(), percent);
}

void HVRefreshBackGifFooter::placeSubviews() {
  HVRefreshBackStateFooter::placeSubviews();
  gif_.place(*this, !stateLabel()->isHidden(), UILabel_HVRefresh::HV_textWith(*stateLabel()),
             labelLeftInset());
}

void HVRefreshBackGifFooter::setState(HVRefreshComponentState newState) {
  if (newState == state()) return;
  HVRefreshBackStateFooter::setState(newState);
  auto gif = gifView();
  if (newState == HVRefreshStatePulling || newState == HVRefreshStateRefreshing) {
    gif_.showAndPlay(*this, newState);
  } else if (newState == HVRefreshStateIdle) {
    gif->setHidden(false);
  } else if (newState == HVRefreshStateNoMoreData) {
    gif->setHidden(true);
  }
}
