#include "ui/refresh/HVRefreshAutoGifFooter.h"

using namespace plat;
using V = UIView_HVExtension;

std::shared_ptr<UIImageView> HVRefreshAutoGifFooter::gifView() {
  if (!gifView_) {
    gifView_ = make<UIImageView>();
    addSubview(gifView_);
  }
  return gifView_;
}

void HVRefreshAutoGifFooter::setImagesDurationForState(
    const std::optional<std::vector<UIImageRef>>& images, double duration,
    HVRefreshComponentState state) {
  double first = frames_.setImages(images, duration, state);
  if (first > V::HV_h(*this)) V::setHV_h(*this, first);
}

void HVRefreshAutoGifFooter::setImagesForState(
    const std::optional<std::vector<UIImageRef>>& images, HVRefreshComponentState state) {
  setImagesDurationForState(images, HVRefreshFrameSequence::defaultDuration(images), state);
}

void HVRefreshAutoGifFooter::prepare() {
  HVRefreshAutoStateFooter::prepare();
  setLabelLeftInset(20);
}

void HVRefreshAutoGifFooter::placeSubviews() {
  HVRefreshAutoStateFooter::placeSubviews();
  auto gif = gifView();
  if (!gif->constraints().empty()) return;
  gif->setFrame(bounds());
  if (isRefreshingTitleHidden()) {
    gif->setContentMode(UIViewContentModeCenter);
    return;
  }
  gif->setContentMode(UIViewContentModeRight);
  V::setHV_w(*gif, V::HV_w(*this) * 0.5 - labelLeftInset() -
                       UILabel_HVRefresh::HV_textWith(*stateLabel()) * 0.5);
}

void HVRefreshAutoGifFooter::setState(HVRefreshComponentState newState) {
  if (newState == state()) return;
  HVRefreshAutoStateFooter::setState(newState);
  auto gif = gifView();
  if (newState == HVRefreshStateRefreshing) {
    if (frames_.imagesFor(newState)) {
      gif->setHidden(false);
      frames_.play(*gif, newState);
    }
  } else if (newState == HVRefreshStateIdle || newState == HVRefreshStateNoMoreData) {
    gif->stopAnimating();
    gif->setHidden(true);
  }
}
