#include "ui/refresh/HVRefreshStateViews.h"

#include "ui/refresh/HVRefreshCategories.h"
#include "ui/refresh/HVRefreshConst.h"

using namespace plat;
using V = UIView_HVExtension;

bool HVRefreshStateTitles::set(std::optional<std::string> title, int64_t state) {
  if (!title) return false;
  titles_[state] = std::move(*title);
  return true;
}

std::optional<std::string> HVRefreshStateTitles::get(int64_t state) const {
  auto it = titles_.find(state);
  if (it == titles_.end()) return std::nullopt;
  return it->second;
}

std::string HVRefreshStateTitles::text(int64_t state) const { return get(state).value_or(""); }

std::shared_ptr<UIImageView> HVRefreshIndicatorViews::arrowView(UIView& owner) {
  return HVRefreshLazySubview(
      owner, arrowView_, [] { return make<UIImageView>(NSBundle_HVRefresh::HV_arrowImage()); });
}

std::shared_ptr<UIActivityIndicatorView> HVRefreshIndicatorViews::loadingView(UIView& owner) {
  auto view = loadingView_.lock();
  if (!view) {
    view = make<UIActivityIndicatorView>(style_);
    view->setHidesWhenStopped(true);
    owner.addSubview(view);
    loadingView_ = view;
  }
  return view;
}

void HVRefreshIndicatorViews::setStyle(UIView& owner, UIActivityIndicatorViewStyle style) {
  style_ = style;
  loadingView_.reset();
  owner.setNeedsLayout();
}

void HVRefreshIndicatorViews::placeIndicator(UIView& owner, CGPoint center) {
  auto loading = loadingView(owner);
  if (loading->constraints().empty()) loading->setCenter(center);
}

void HVRefreshIndicatorViews::placeArrowAndIndicator(UIView& owner, CGPoint center,
                                                     UIColorRef tint) {
  auto arrow = arrowView(owner);
  if (arrow->constraints().empty()) {
    if (arrow->image()) V::setHV_size(*arrow, arrow->image()->size());
    arrow->setCenter(center);
  }
  placeIndicator(owner, center);
  arrow->setTintColor(std::move(tint));
}

std::shared_ptr<UIImageView> HVRefreshGifView::view(UIView& owner) {
  return HVRefreshLazySubview(owner, view_, [] { return make<UIImageView>(); });
}

void HVRefreshGifView::setImages(UIView& owner,
                                 const std::optional<std::vector<UIImageRef>>& images,
                                 double duration, int64_t state) {
  double first = frames_.setImages(images, duration, state);
  if (first > V::HV_h(owner)) V::setHV_h(owner, first);
}

void HVRefreshGifView::followPull(UIView& owner, int64_t ownerState, double percent) {
  if (ownerState == HVRefreshStateIdle)
    frames_.showFrameForPercent(*view(owner), HVRefreshStateIdle, percent);
}

void HVRefreshGifView::showAndPlay(UIView& owner, int64_t state) {
  if (!frames_.imagesFor(state)) return;
  auto gif = view(owner);
  gif->setHidden(false);
  frames_.play(*gif, state);
}

void HVRefreshGifView::place(UIView& owner, bool textShown, double textWidth, double inset) {
  auto gif = view(owner);
  if (!gif->constraints().empty()) return;
  gif->setFrame(owner.bounds());
  if (!textShown) {
    gif->setContentMode(UIViewContentModeCenter);
    return;
  }
  gif->setContentMode(UIViewContentModeRight);
  V::setHV_w(*gif, HVRefreshLeftOfText(owner, textWidth, inset));
}
