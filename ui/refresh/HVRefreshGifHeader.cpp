#include "ui/refresh/HVRefreshGifHeader.h"

using namespace plat;

void HVRefreshGifHeader::setImagesDurationForState(
    const std::optional<std::vector<UIImageRef>>& images, double duration,
    HVRefreshComponentState state) {
  gif_.setImages(*this, images, duration, state);
}

void HVRefreshGifHeader::setImagesForState(const std::optional<std::vector<UIImageRef>>& images,
                                           HVRefreshComponentState state) {
  setImagesDurationForState(images, HVRefreshFrameSequence::defaultDuration(images), state);
}

void HVRefreshGifHeader::prepare() {
  HVRefreshStateHeader::prepare();
  setLabelLeftInset(20);
}

void HVRefreshGifHeader::setPullingPercent(double percent) {
  HVRefreshStateHeader::setPullingPercent(percent);
  gif_.followPull(*this, state(), percent);
}

void HVRefreshGifHeader::placeSubviews() {
  HVRefreshStateHeader::placeSubviews();
  bool textShown = !stateLabel()->isHidden() || !lastUpdatedTimeLabel()->isHidden();
  gif_.place(*this, textShown, labelsTextWidth(), labelLeftInset());
}

void HVRefreshGifHeader::setState(HVRefreshComponentState newState) {
  if (newState == state()) return;
  HVRefreshStateHeader::setState(newState);
  if (newState == HVRefreshStatePulling || newState == HVRefreshStateRefreshing)
    gif_.frames().play(*gifView(), newState);
  else if (newState == HVRefreshStateIdle)
    gifView()->stopAnimating();
}
