#include "ui/refresh/HVRefreshBackGifFooter.h"

using namespace plat;
using V = UIView_HVExtension;

std::shared_ptr<UIImageView> HVRefreshBackGifFooter::gifView() {
  if (!gifView_) {
    gifView_ = make<UIImageView>();
    addSubview(gifView_);
  }
  return gifView_;
}

void HVRefreshBackGifFooter::setImagesDurationForState(
    const std::optional<std::vector<UIImageRef>>& images, double duration,
    HVRefreshComponentState state) {
  double first = frames_.setImages(images, duration, state);
  if (first > V::HV_h(*this)) V::setHV_h(*this, first);
}

void HVRefreshBackGifFooter::setImagesForState(
    const std::optional<std::vector<UIImageRef>>& images, HVRefreshComponentState state) {
  setImagesDurationForState(images, HVRefreshFrameSequence::defaultDuration(images), state);
}

void HVRefreshBackGifFooter::prepare() {
  HVRefreshBackStateFooter::prepare();
  setLabelLeftInset(20);
}

void HVRefreshBackGifFooter::setPullingPercent(double percent) {
  HVRefreshBackStateFooter::setPullingPercent(percent);
  if (state() == HVRefreshStateIdle)
    frames_.showFrameForPercent(*gifView(), HVRefreshStateIdle, percent);
}

void HVRefreshBackGifFooter::placeSubviews() {
  HVRefreshBackStateFooter::placeSubviews();
  auto gif = gifView();
  if (!gif->constraints().empty()) return;
  gif->setFrame(bounds());
  if (stateLabel()->isHidden()) {
    gif->setContentMode(UIViewContentModeCenter);
    return;
  }
  gif->setContentMode(UIViewContentModeRight);
  V::setHV_w(*gif, V::HV_w(*this) * 0.5 - labelLeftInset() -
                       UILabel_HVRefresh::HV_textWith(*stateLabel()) * 0.5);
}

void HVRefreshBackGifFooter::setState(HVRefreshComponentState newState) {
  if (newState == state()) return;
  HVRefreshBackStateFooter::setState(newState);
  auto gif = gifView();
  if (newState == HVRefreshStatePulling || newState == HVRefreshStateRefreshing) {
    if (frames_.imagesFor(newState)) {
      gif->setHidden(false);
      frames_.play(*gif, newState);
    }
  } else if (newState == HVRefreshStateIdle) {
    gif->setHidden(false);
  } else if (newState == HVRefreshStateNoMoreData) {
    gif->setHidden(true);
  }
}
