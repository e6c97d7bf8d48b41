#include "ui/refresh/HVRefreshComponent.h"

#include "platform/dispatch/Dispatch.h"

using namespace plat;

void HVRefreshComponent::didInit() {
  UIView::didInit();
  prepare();
  // The control has no state until it is set idle, so that the idle code of every class runs
  // once (a back footer's arrow turns to point up).
  state_ = HVRefreshComponentState(0);
  setState(HVRefreshStateIdle);
}

void HVRefreshComponent::prepare() {
  setAutoresizingMask(UIViewAutoresizingFlexibleWidth);
  setBackgroundColor(UIColor::clearColor());
}

void HVRefreshComponent::layoutSubviews() {
  placeSubviews();
  UIView::layoutSubviews();
}

void HVRefreshComponent::willMoveToSuperview(const UIViewRef& newSuperview) {
  UIView::willMoveToSuperview(newSuperview);
  removeObservers();
  if (!newSuperview || !std::dynamic_pointer_cast<UIScrollView>(newSuperview)) {
    // A control leaving its scroll view, for no superview or for one that is not a scroll
    // view, no longer follows or acts on the scroll view it left (insets, offsets).
    scrollView_.reset();
    return;
  }
  auto scroll = std::static_pointer_cast<UIScrollView>(newSuperview);
  UIView_HVExtension::setHV_w(*this, UIView_HVExtension::HV_w(*scroll));
  UIView_HVExtension::setHV_x(*this, 0);
  scrollView_ = scroll;
  scroll->setAlwaysBounceVertical(true);
  scrollViewOriginalInset_ = scroll->contentInset();
  addObservers();
}

void HVRefreshComponent::addObservers() {
  auto scroll = scrollView();
  if (!scroll) return;
  removeObservers();
  std::weak_ptr<HVRefreshComponent> weak = weakSelf();
  auto forward = [weak](const std::string& keyPath, const UIScrollView::ObservedValue& oldValue,
                        const UIScrollView::ObservedValue& newValue) {
    if (auto self = weak.lock()) self->observeValue(keyPath, HVRefreshChange{oldValue, newValue});
  };
  observed_ = scroll;
  offsetToken_ = scroll->addObserverForKeyPath("contentOffset", forward);
  sizeToken_ = scroll->addObserverForKeyPath("contentSize", forward);
  pan_ = scroll->panGestureRecognizer();
  if (pan_)
    panToken_ = pan_->addStateObserver(
        [weak](UIGestureRecognizerState oldState, UIGestureRecognizerState newState) {
          if (auto self = weak.lock())
            self->observeValue("state", HVRefreshChange{int64_t(oldState), int64_t(newState)});
        });
}

void HVRefreshComponent::removeObservers() {
  if (auto observed = observed_.lock()) {
    if (offsetToken_) observed->removeObserver(offsetToken_);
    if (sizeToken_) observed->removeObserver(sizeToken_);
  }
  if (pan_ && panToken_) pan_->removeStateObserver(panToken_);
  observed_.reset();
  offsetToken_ = sizeToken_ = panToken_ = 0;
  pan_.reset();
}

void HVRefreshComponent::observeValue(const std::string& keyPath, const HVRefreshChange& change) {
  if (!isUserInteractionEnabled()) return;
  // A hidden control still follows the content size (footers place themselves by it).
  if (keyPath == "contentSize") scrollViewContentSizeDidChange(&change);
  if (isHidden()) return;
  if (keyPath == "contentOffset")
    scrollViewContentOffsetDidChange(&change);
  else if (keyPath == "state")
    scrollViewPanStateDidChange(&change);
}

void HVRefreshComponent::setRefreshingTargetRefreshingAction(std::weak_ptr<Object> target,
                                                             Action action) {
  refreshingTarget_ = std::move(target);
  refreshingAction_ = std::move(action);
}

void HVRefreshComponent::setState(HVRefreshComponentState state) {
  if (state == HVRefreshStateRefreshing && state_ != HVRefreshStateRefreshing) ++refreshGeneration_;
  state_ = state;
  std::weak_ptr<HVRefreshComponent> weak = weakSelf();
  dispatch_async(dispatch_get_main_queue(), [weak] {
    if (auto self = weak.lock()) self->setNeedsLayout();
  });
}

void HVRefreshComponent::beginRefreshing() {
  UIView::animateWithDurationAnimationsCompletion(HVRefreshFastAnimationDuration,
                                                  [this] { setAlpha(1.0); });
  setPullingPercent(1.0);
  if (window()) {
    setState(HVRefreshStateRefreshing);
  } else if (state_ != HVRefreshStateRefreshing) {
    setState(HVRefreshStateWillRefresh);
    setNeedsDisplay();
  }
}

void HVRefreshComponent::beginRefreshingWithCompletionBlock(Block completion) {
  beginCompletion_ = std::move(completion);
  beginRefreshing();
}

void HVRefreshComponent::endRefreshing() { setState(HVRefreshStateIdle); }

void HVRefreshComponent::endRefreshingWithCompletionBlock(Block completion) {
  endCompletion_ = std::move(completion);
  endRefreshing();
}

bool HVRefreshComponent::isRefreshing() const {
  return state_ == HVRefreshStateRefreshing || state_ == HVRefreshStateWillRefresh;
}

void HVRefreshComponent::drawRect(CGRect rect) {
  UIView::drawRect(rect);
  if (state_ == HVRefreshStateWillRefresh) setState(HVRefreshStateRefreshing);
}

void HVRefreshComponent::setAutomaticallyChangeAlpha(bool a) {
  automaticallyChangeAlpha_ = a;
  if (isRefreshing()) return;
  setAlpha(a ? pullingPercent_ : 1.0);
}

void HVRefreshComponent::setPullingPercent(double percent) {
  pullingPercent_ = percent;
  if (isRefreshing()) return;
  if (automaticallyChangeAlpha_) setAlpha(percent);
}

void HVRefreshComponent::followPull(const UIScrollView& scroll, double percent,
                                    bool beyondThreshold) {
  if (scroll.isDragging()) {
    setPullingPercent(percent);
    if (state() == HVRefreshStateIdle && beyondThreshold)
      setState(HVRefreshStatePulling);
    else if (state() == HVRefreshStatePulling && !beyondThreshold)
      setState(HVRefreshStateIdle);
  } else if (state() == HVRefreshStatePulling) {
    beginRefreshing();
  } else if (percent < 1) {
    setPullingPercent(percent);
  }
}

void HVRefreshComponent::animateEndOfRefreshing(const std::function<void()>& animations) {
  auto finish = [weak = weakSelf()](bool) {
    auto self = weak.lock();
    if (!self) return;
    self->setPullingPercent(0.0);
    if (auto block = self->endCompletion_) block();
  };
  UIView::animateWithDurationAnimationsCompletion(HVRefreshSlowAnimationDuration, animations,
                                                  finish);
}

void HVRefreshComponent::executeRefreshingCallbackForRefresh(uint64_t generation) {
  if (state_ == HVRefreshStateRefreshing && generation == refreshGeneration_)
    executeRefreshingCallback();
}

void HVRefreshComponent::executeRefreshingCallback() {
  std::weak_ptr<HVRefreshComponent> weak = weakSelf();
  dispatch_async(dispatch_get_main_queue(), [weak] {
    auto self = weak.lock();
    if (!self) return;
    // Copies: a callback may replace the stored blocks.
    if (auto block = self->refreshingBlock_) block();
    auto target = self->refreshingTarget_.lock();
    if (auto action = self->refreshingAction_; target && action) action(*target, *self);
    if (auto completion = self->beginCompletion_) completion();
  });
}
