#include "ui/refresh/HVRefreshGifHeader.h"

#include <algorithm>

using namespace plat;
using V = UIView_HVExtension;

std::shared_ptr<UIImageView> HVRefreshGifHeader::gifView() {
  if (!gifView_) {
    gifView_ = make<UIImageView>();
    addSubview(gifView_);
  }
  return gifView_;
}

void HVRefreshGifHeader::setImagesDurationForState(
    const std::optional<std::vector<UIImageRef>>& images, double duration,
    HVRefreshComponentState state) {
  double first = frames_.setImages(images, duration, state);
  if (first > V::HV_h(*this)) V::setHV_h(*this, first);
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
  if (state() == HVRefreshStateIdle)
    frames_.showFrameForPercent(*gifView(), HVRefreshStateIdle, percent);
}

void HVRefreshGifHeader::placeSubviews() {
  HVRefreshStateHeader::placeSubviews();
  auto gif = gifView();
  if (!gif->constraints().empty()) return;
  gif->setFrame(bounds());
  bool stateShown = !stateLabel()->isHidden(), timeShown = !lastUpdatedTimeLabel()->isHidden();
  if (!stateShown && !timeShown) {
    gif->setContentMode(UIViewContentModeCenter);
    return;
  }
  gif->setContentMode(UIViewContentModeRight);
  double textWidth = UILabel_HVRefresh::HV_textWith(*stateLabel());
  if (timeShown)
    textWidth = std::max(textWidth, UILabel_HVRefresh::HV_textWith(*lastUpdatedTimeLabel()));
  V::setHV_w(*gif, V::HV_w(*this) * 0.5 - textWidth * 0.5 - labelLeftInset());
}

void HVRefreshGifHeader::setState(HVRefreshComponentState newState) {
  if (newState == state()) return;
  HVRefreshStateHeader::setState(newState);
  if (newState == HVRefreshStatePulling || newState == HVRefreshStateRefreshing)
    frames_.play(*gifView(), newState);
  else if (newState == HVRefreshStateIdle)
    gifView()->stopAnimating();
}
