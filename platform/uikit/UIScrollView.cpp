#include "platform/uikit/UIScrollView.h"

#include <algorithm>
#include <cmath>

namespace plat {

UIScrollView::UIScrollView(CGRect frame) : UIView(frame) { setClipsToBounds(true); }

void UIScrollView::didInit() {
  UIView::didInit();
  std::weak_ptr<UIScrollView> weak = std::static_pointer_cast<UIScrollView>(shared_from_this());
  pan_ = std::make_shared<UIPanGestureRecognizer>([weak](UIGestureRecognizer&) {
    if (auto self = weak.lock()) self->handlePan();
  });
  pan_->setCancelsTouchesInView(true);
  pan_->addStateObserver([weak](UIGestureRecognizerState oldState,
                                UIGestureRecognizerState newState) {
    if (auto self = weak.lock())
      self->notify("panGestureRecognizer.state", int64_t(oldState), int64_t(newState));
  });
  addGestureRecognizer(pan_);
}

void UIScrollView::notify(const std::string& keyPath, const ObservedValue& oldValue,
                          const ObservedValue& newValue) {
  auto snapshot = observers_;
  for (auto& [token, reg] : snapshot) {
    if (reg.keyPath == keyPath && observers_.count(token)) reg.observer(keyPath, oldValue, newValue);
  }
}

int64_t UIScrollView::addObserverForKeyPath(const std::string& keyPath, Observer observer) {
  int64_t token = nextToken_++;
  observers_[token] = {keyPath, std::move(observer)};
  return token;
}

void UIScrollView::removeObserver(int64_t token) { observers_.erase(token); }

void UIScrollView::setContentOffset(CGPoint p) {
  CGPoint old = contentOffset();
  CGRect b = bounds();
  setBounds(CGRectMake(p.x, p.y, b.size.width, b.size.height));
  if (old != p) {
    setNeedsLayout();
    if (dragging_ && !panning_) {
      dragStartOffset_.x += p.x - old.x;
      dragStartOffset_.y += p.y - old.y;
    }
  }
  notify("contentOffset", old, p);
  if (auto d = delegate()) d->scrollViewDidScroll(*this);
}

void UIScrollView::setContentOffsetAnimated(CGPoint p, bool animated) {
  if (!animated) {
    setContentOffset(p);
    return;
  }
  std::weak_ptr<UIScrollView> weak = std::static_pointer_cast<UIScrollView>(shared_from_this());
  UIView::animateWithDurationAnimationsCompletion(
      0.3, [&] { setContentOffset(p); },
      [weak](bool) {
        if (auto self = weak.lock())
          if (auto d = self->delegate()) d->scrollViewDidEndScrollingAnimation(*self);
      });
}

void UIScrollView::setContentSize(CGSize s) {
  CGSize old = contentSize_;
  contentSize_ = s;
  notify("contentSize", old, s);
}

void UIScrollView::setContentInset(UIEdgeInsets i) {
  UIEdgeInsets old = contentInset_;
  contentInset_ = i;
  notify("contentInset", old, i);
  // An offset the new inset leaves out of range is brought back into it, as the platform does
  // when the content is at rest (a drag or a paged settle brings it back when it ends).
  if (dragging_ || decelerating_) return;
  CGPoint clamped = clampedOffset(contentOffset());
  if (clamped != contentOffset()) setContentOffset(clamped);
}

void UIScrollView::setScrollEnabled(bool e) {
  scrollEnabled_ = e;
  pan_->setEnabled(e);
}

CGPoint UIScrollView::minimumContentOffset() const {
  return {-contentInset_.left, -contentInset_.top};
}

CGPoint UIScrollView::maximumContentOffset() const {
  CGSize b = bounds().size;
  CGPoint min = minimumContentOffset();
  return {std::max(min.x, contentSize_.width + contentInset_.right - b.width),
          std::max(min.y, contentSize_.height + contentInset_.bottom - b.height)};
}

CGPoint UIScrollView::clampedOffset(CGPoint p) const {
  CGPoint lo = minimumContentOffset(), hi = maximumContentOffset();
  return {std::clamp(p.x, lo.x, hi.x), std::clamp(p.y, lo.y, hi.y)};
}

void UIScrollView::handlePan() {
  auto state = pan_->state();
  if (state == UIGestureRecognizerStateBegan) {
    dragging_ = true;
    tracking_ = true;
    dragStartOffset_ = contentOffset();
    if (auto d = delegate()) d->scrollViewWillBeginDragging(*this);
  }
  if (state == UIGestureRecognizerStateBegan || state == UIGestureRecognizerStateChanged) {
    CGPoint t = pan_->translationInView(this);
    // translationInView is in bounds space, which moves with the offset: undo that.
    CGPoint moved = {t.x, t.y};
    CGSize b = bounds().size;
    bool vertical = alwaysBounceVertical_ ||
                    contentSize_.height + contentInset_.top + contentInset_.bottom > b.height;
    bool horizontal = alwaysBounceHorizontal_ ||
                      contentSize_.width + contentInset_.left + contentInset_.right > b.width;
    CGPoint p = dragStartOffset_;
    if (horizontal) p.x -= moved.x;
    if (vertical) p.y -= moved.y;
    if (!bounces_) p = clampedOffset(p);
    panning_ = true;
    setContentOffset(p);
    panning_ = false;
    return;
  }
  if (state == UIGestureRecognizerStateEnded || state == UIGestureRecognizerStateCancelled) {
    bool wasDragging = dragging_;
    dragging_ = false;
    tracking_ = false;
    if (wasDragging && pagingEnabled_) {
      settle(pagingTarget(pan_->velocityInView(this)));
      return;
    }
    if (wasDragging)
      if (auto d = delegate()) d->scrollViewDidEndDraggingWillDecelerate(*this, false);
    // Past an edge, the release point is reported once with dragging over (as the first frame
    // of the bounce), so observers see where the finger let go; then the offset settles
    // within the insets as they are by then.
    if (wasDragging && clampedOffset(contentOffset()) != contentOffset())
      setContentOffset(contentOffset());
    CGPoint clamped = clampedOffset(contentOffset());
    if (clamped != contentOffset()) setContentOffset(clamped);
  }
}

CGPoint UIScrollView::pagingTarget(CGPoint velocity) const {
  CGSize page = bounds().size;
  CGPoint p = contentOffset();
  auto axis = [](double offset, double size, double start, double v) {
    if (size <= 0) return offset;
    double moved = (offset - start) / size;
    double target = std::round(offset / size);
    // A fling turns at least one page in its direction (the finger moves against the offset).
    if (v < -kPagingVelocityThreshold && moved > 0) target = std::max(target, std::ceil(offset / size));
    if (v > kPagingVelocityThreshold && moved < 0) target = std::min(target, std::floor(offset / size));
    return target * size;
  };
  return clampedOffset({axis(p.x, page.width, dragStartOffset_.x, velocity.x),
                        axis(p.y, page.height, dragStartOffset_.y, velocity.y)});
}

void UIScrollView::settle(CGPoint target) {
  bool moves = target != contentOffset();
  if (auto d = delegate()) d->scrollViewDidEndDraggingWillDecelerate(*this, true);
  decelerating_ = true;
  int64_t generation = ++settleGeneration_;
  std::weak_ptr<UIScrollView> weak = std::static_pointer_cast<UIScrollView>(shared_from_this());
  auto done = [weak, generation](bool) {
    auto self = weak.lock();
    if (!self || self->settleGeneration_ != generation) return;
    self->decelerating_ = false;
    if (auto d = self->delegate()) d->scrollViewDidEndDecelerating(*self);
  };
  if (moves)
    UIView::animateWithDurationAnimationsCompletion(0.3, [&] { setContentOffset(target); }, done);
  else
    UIView::animateWithDurationAnimationsCompletion(0.3, [] {}, done);
}

}  // namespace plat
