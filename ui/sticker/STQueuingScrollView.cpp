#include "ui/sticker/STQueuingScrollView.h"

#include <algorithm>

using namespace plat;

namespace {
STReusablePage* asPage(const UIViewRef& view) { return dynamic_cast<STReusablePage*>(view.get()); }
}  // namespace

STQueuingScrollView::STQueuingScrollView(CGRect frame) : UIScrollView(frame) {}

void STQueuingScrollView::didInit() {
  UIScrollView::didInit();
  setShowsHorizontalScrollIndicator(false);
  setShowsVerticalScrollIndicator(false);
  setPagingEnabled(true);
  CGSize size = frame().size;
  setContentSize({3 * size.width, size.height});
}

std::shared_ptr<STQueuingScrollViewDelegate> STQueuingScrollView::queuingDelegate() const {
  return std::dynamic_pointer_cast<STQueuingScrollViewDelegate>(delegate());
}

bool STQueuingScrollView::isShown(const UIView* page) const {
  return page && (page == leftView_.get() || page == centerView_.get() || page == rightView_.get());
}

void STQueuingScrollView::unfile(const UIViewRef& page) {
  if (!page) return;
  for (auto& [identifier, filed] : reusableViewSets_)
    filed.erase(std::remove(filed.begin(), filed.end(), page), filed.end());
}

void STQueuingScrollView::setLeftView(UIViewRef page) {
  unfile(page);
  leftView_ = std::move(page);
}

void STQueuingScrollView::setCenterView(UIViewRef page) {
  unfile(page);
  centerView_ = std::move(page);
}

void STQueuingScrollView::setRightView(UIViewRef page) {
  unfile(page);
  rightView_ = std::move(page);
}

void STQueuingScrollView::setReusableViewSets(std::map<std::string, std::vector<UIViewRef>> sets) {
  for (auto& [identifier, filed] : sets)
    filed.erase(std::remove_if(filed.begin(), filed.end(),
                               [this](const UIViewRef& page) { return isShown(page.get()); }),
                filed.end());
  reusableViewSets_ = std::move(sets);
}

void STQueuingScrollView::retire(const UIViewRef& page) {
  if (!page || isShown(page.get())) return;
  recycleView(page);
  page->removeFromSuperview();
}

void STQueuingScrollView::displayView(const UIViewRef& page) {
  if (!page || !asPage(page)) return;
  UIViewRef oldLeft = leftView_, oldCenter = centerView_, oldRight = rightView_;
  leftView_ = rightView_ = nullptr;
  centerView_ = page;
  location_ = -1;
  for (auto& old : {oldLeft, oldRight, oldCenter}) retire(old);
  // A filed page shown again is no longer free: left filed, it would be handed out as a
  // neighbour of itself.
  unfile(page);
  addSubview(page);
  setFocusView(page);
  setContentOffset({bounds().size.width, 0});
  setNeedsLayout();
}

UIViewRef STQueuingScrollView::reusableViewWithIdentifer(const std::string& identifier) {
  auto it = reusableViewSets_.find(identifier);
  if (it == reusableViewSets_.end() || it->second.empty()) return nullptr;
  UIViewRef page = it->second.front();
  it->second.erase(it->second.begin());
  asPage(page)->prepareForReuse();
  return page;
}

void STQueuingScrollView::recycleView(const UIViewRef& view) {
  STReusablePage* page = asPage(view);
  if (!page || page->reuseIdentifier().empty() || page->nonreusable() || isShown(view.get()))
    return;
  auto& filed = reusableViewSets_[page->reuseIdentifier()];
  if (std::find(filed.begin(), filed.end(), view) == filed.end()) filed.push_back(view);
}

UIViewRef STQueuingScrollView::viewBeforeCenterView() {
  auto d = queuingDelegate();
  return d && centerView_ ? d->queuingScrollViewViewBeforeView(*this, centerView_) : nullptr;
}

UIViewRef STQueuingScrollView::viewAfterCenterView() {
  auto d = queuingDelegate();
  return d && centerView_ ? d->queuingScrollViewViewAfterView(*this, centerView_) : nullptr;
}

UIViewRef STQueuingScrollView::calculateFocusView() const {
  double x = contentOffset().x, w = bounds().size.width;
  UIViewRef chosen = centerView_;
  if (x < 0.5 * w)
    chosen = leftView_;
  else if (x > 1.5 * w)
    chosen = rightView_;
  return chosen ? chosen : centerView_;
}

std::vector<UIViewRef> STQueuingScrollView::allViews() const {
  std::vector<UIViewRef> views;
  for (auto& v : {leftView_, centerView_, rightView_})
    if (v) views.push_back(v);
  return views;
}

void STQueuingScrollView::scrollToNextPageAnimated(bool animated) {
  if (!contentOffsetIsValid() || !rightView_) return;
  CGPoint p = contentOffset();
  targetContentOffset_ = {p.x + bounds().size.width, p.y};
  setContentOffsetAnimated(targetContentOffset_, animated);
}

void STQueuingScrollView::scrollToPreviousPageAnimated(bool animated) {
  if (!contentOffsetIsValid() || !leftView_) return;
  CGPoint p = contentOffset();
  targetContentOffset_ = {p.x - bounds().size.width, p.y};
  setContentOffsetAnimated(targetContentOffset_, animated);
}

bool STQueuingScrollView::contentOffsetIsValid() const {
  double x = contentOffset().x, w = bounds().size.width;
  return x == 0 || x == w || x == 2 * w;
}

void STQueuingScrollView::locateTargetContentOffset() { setContentOffset(targetContentOffset_); }

CGRect STQueuingScrollView::contentBounds() const {
  CGSize s = bounds().size;
  return CGRectMake(0, 0, s.width - 2 * pagePadding_, s.height);
}

CGRect STQueuingScrollView::centerViewFrameForBounds(CGRect b) const {
  return CGRectMake(b.size.width + pagePadding_, 0, b.size.width - 2 * pagePadding_, b.size.height);
}

CGRect STQueuingScrollView::leftViewFrameForBoundsCenterFrame(CGRect b, CGRect c) const {
  return CGRectOffset(c, -b.size.width, 0);
}

CGRect STQueuingScrollView::rightViewFrameForBoundsCenterFrame(CGRect b, CGRect c) const {
  return CGRectOffset(c, b.size.width, 0);
}

void STQueuingScrollView::updateForBounds(CGRect b) {
  double w = b.size.width, x = b.origin.x;
  // At zero width every offset would count as a full page both ways.
  if (!centerView_ || w <= 0) return;
  CGRect centerFrame = centerViewFrameForBounds(b);
  bool changed = true, initialize = false;
  double translation = 0;
  if (location_ == -1) {
    leftView_ = viewBeforeCenterView();
    unfile(leftView_);
    rightView_ = viewAfterCenterView();
    unfile(rightView_);
    for (auto& v : {leftView_, rightView_})
      if (v) addSubview(v);
    initialize = true;
  } else if (x >= 2 * w && rightView_) {
    UIViewRef oldLeft = leftView_;
    leftView_ = centerView_;
    centerView_ = rightView_;
    rightView_ = nullptr;
    retire(oldLeft);  // before asking, so the delegate may take it back from reuse
    rightView_ = viewAfterCenterView();
    unfile(rightView_);
    if (rightView_) addSubview(rightView_);
    translation = -w;
  } else if (x <= 0 && leftView_) {
    UIViewRef oldRight = rightView_;
    rightView_ = centerView_;
    centerView_ = leftView_;
    leftView_ = nullptr;
    retire(oldRight);
    leftView_ = viewBeforeCenterView();
    unfile(leftView_);
    if (leftView_) addSubview(leftView_);
    translation = w;
  } else {
    changed = false;
  }
  if (leftView_) leftView_->setFrame(leftViewFrameForBoundsCenterFrame(b, centerFrame));
  if (centerView_) centerView_->setFrame(centerFrame);
  if (rightView_) rightView_->setFrame(rightViewFrameForBoundsCenterFrame(b, centerFrame));
  if (changed) updateInsetsOffsetTranlationInitialize(b, translation, initialize);
}

void STQueuingScrollView::updateInsetsOffsetTranlationInitialize(CGRect b, double translation,
                                                                 bool initialize) {
  double w = b.size.width;
  double left = leftView_ ? 10 * w : -w, right = rightView_ ? 10 * w : -w;
  setContentInset({0, left, 0, right});
  location_ = leftView_ ? (rightView_ ? 2 : 3) : (rightView_ ? 1 : 0);
  setContentOffset({initialize ? w : b.origin.x + translation, 0});
}

void STQueuingScrollView::setFocusView(const UIViewRef& page) {
  if (page == focusView_) return;
  UIViewRef previous = focusView_;
  if (auto* old = asPage(previous)) {
    old->setFocused(false);
    old->didResignFocusPage();
  }
  if (auto* now = asPage(page)) {
    now->setFocused(true);
    now->didBecomeFocusPage();
  }
  focusView_ = page;
  if (auto d = queuingDelegate())
    d->queuingScrollViewChangedFocusViewPreviousFocusView(*this, previous);
}

void STQueuingScrollView::layoutSubviews() {
  UIScrollView::layoutSubviews();
  CGRect b = bounds();
  double w = b.size.width;
  setContentSize({3 * w, b.size.height});
  // After a width change the offset and insets still measure the old page width: bring the
  // offset to the same page at the new width (a completed swipe still shifts below), else
  // back onto the centre page.
  bool resized = w > 0 && laidOutWidth_ > 0 && w != laidOutWidth_ && centerView_ && location_ != -1;
  if (resized) {
    double x = contentOffset().x * w / laidOutWidth_;
    if (x >= 2 * w && rightView_)
      x = 2 * w;
    else if (x <= 0 && leftView_)
      x = 0;
    else
      x = w;
    setContentOffset({x, contentOffset().y});
    b = bounds();
  }
  if (w > 0) laidOutWidth_ = w;
  updateForBounds(b);
  if (resized) updateInsetsOffsetTranlationInitialize(bounds(), 0, false);
  setFocusView(calculateFocusView());
}

CGPoint UIScrollView_STAddition::st_maximumContentOffset(const UIScrollView& s) {
  return s.maximumContentOffset();
}
