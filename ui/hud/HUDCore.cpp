#include "ui/hud/HUDCore.h"

#include <algorithm>
#include <cmath>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/uikit/UIAppearance.h"
#include "platform/uikit/UIApplication.h"

using namespace plat;

namespace hud_internal {

namespace {
constexpr double kPadding = 4.0;
constexpr UILayoutPriority kContentPriority = 998;
const char* const kMarginMetric = "margin";
}  // namespace

HUDCore::HUDCore(CGRect frame, bool legacy)
    : UIView(frame), legacy_(legacy), defaultMotionEffectsEnabled_(legacy) {
  // The label colour at alpha 0.7 (black in the light appearance).
  contentColor_ = UIColor::labelColor().colorWithAlphaComponent(0.7);
}

HUDCore::~HUDCore() {
  unregisterFromNotifications();
  if (displayLink_) displayLink_->invalidate();
  for (auto* t : {&graceTimer_, &minShowTimer_, &hideDelayTimer_})
    if (auto timer = t->lock()) timer->invalidate();
}

void HUDCore::didInit() {
  UIView::didInit();
  setOpaque(false);
  setBackgroundColor(UIColor::clearColor());
  setAlpha(0);
  setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);
  layer()->setAllowsGroupOpacity(false);
  setupViews();
  updateIndicators();
  registerForNotifications();
}

void HUDCore::registerForNotifications() {
  // Orientation changes re-fit the HUD to its superview.
  auto self = std::static_pointer_cast<HUDCore>(shared_from_this());
  std::weak_ptr<HUDCore> weak = self;
  NSNotificationCenter::defaultCenter().addObserverSelectorNameObject(
      self,
      [weak](const NSNotification&) {
        if (auto hud = weak.lock()) hud->statusBarOrientationDidChange();
      },
      UIApplicationDidChangeStatusBarOrientationNotification, Value());
}

void HUDCore::unregisterFromNotifications() {
  NSNotificationCenter::defaultCenter().removeObserver(static_cast<const void*>(this));
}

// ---------------------------------------------------------------------------------------------
// View tree

void HUDCore::setupViews() {
  UIColor color = contentColor_.value_or(UIColor::blackColor());

  backgroundView_ = makeBackgroundView(bounds());
  backgroundView_->setStyle(kBackgroundSolidColor);
  backgroundView_->setBackgroundColor(UIColor::clearColor());
  backgroundView_->setAutoresizingMask(UIViewAutoresizingFlexibleWidth |
                                       UIViewAutoresizingFlexibleHeight);
  backgroundView_->setAlpha(0);
  addSubview(backgroundView_);

  bezelView_ = makeBackgroundView(CGRectZero);
  bezelView_->setTranslatesAutoresizingMaskIntoConstraints(false);
  bezelView_->layer()->setCornerRadius(5.0);
  bezelView_->setAlpha(0);
  addSubview(bezelView_);
  if (legacy_) updateBezelMotionEffects();

  label_ = make<UILabel>();
  label_->setAdjustsFontSizeToFitWidth(false);
  label_->setTextAlignment(NSTextAlignmentCenter);
  label_->setTextColor(color);
  label_->setFont(UIFont::boldSystemFontOfSize(16));
  label_->setOpaque(false);
  label_->setBackgroundColor(UIColor::clearColor());

  detailsLabel_ = make<UILabel>();
  detailsLabel_->setAdjustsFontSizeToFitWidth(false);
  detailsLabel_->setTextAlignment(NSTextAlignmentCenter);
  detailsLabel_->setTextColor(color);
  detailsLabel_->setNumberOfLines(0);
  detailsLabel_->setFont(UIFont::boldSystemFontOfSize(12));
  detailsLabel_->setOpaque(false);
  detailsLabel_->setBackgroundColor(UIColor::clearColor());

  button_ = makeButton();
  button_->titleLabel()->setTextAlignment(NSTextAlignmentCenter);
  button_->titleLabel()->setFont(UIFont::boldSystemFontOfSize(12));
  button_->setTitleColorForState(color, UIControlStateNormal);

  for (UIViewRef v : {UIViewRef(label_), UIViewRef(detailsLabel_), UIViewRef(button_)}) {
    v->setTranslatesAutoresizingMaskIntoConstraints(false);
    v->setContentCompressionResistancePriorityForAxis(kContentPriority,
                                                      UILayoutConstraintAxisHorizontal);
    v->setContentCompressionResistancePriorityForAxis(kContentPriority,
                                                      UILayoutConstraintAxisVertical);
    bezelView_->addSubview(v);
  }

  topSpacer_ = make<UIView>();
  topSpacer_->setTranslatesAutoresizingMaskIntoConstraints(false);
  topSpacer_->setHidden(true);
  bezelView_->addSubview(topSpacer_);
  bottomSpacer_ = make<UIView>();
  bottomSpacer_->setTranslatesAutoresizingMaskIntoConstraints(false);
  bottomSpacer_->setHidden(true);
  bezelView_->addSubview(bottomSpacer_);
}

void HUDCore::updateIndicators() {
  auto current = indicator_;
  bool isActivity = std::dynamic_pointer_cast<UIActivityIndicatorView>(current) != nullptr;
  bool isRound = std::dynamic_pointer_cast<RoundProgressViewBase>(current) != nullptr;

  switch (mode_) {
    case HVHUDModeBar:
      if (current) current->removeFromSuperview();
      current = makeBarView();
      bezelView_->addSubview(current);
      break;
    case HVHUDModeSpinner:
      if (!isActivity) {
        if (current) current->removeFromSuperview();
        std::shared_ptr<UIActivityIndicatorView> spinner;
        if (legacy_) {
          spinner = make<UIActivityIndicatorView>(UIActivityIndicatorViewStyleWhiteLarge);
        } else {
          spinner = make<UIActivityIndicatorView>(UIActivityIndicatorViewStyleLarge);
          spinner->setColor(UIColor::whiteColor());
        }
        spinner->startAnimating();
        bezelView_->addSubview(spinner);
        current = spinner;
      }
      break;
    case HVHUDModeRound:
    case HVHUDModeRing: {
      if (!isRound) {
        if (current) current->removeFromSuperview();
        current = makeRoundView();
        bezelView_->addSubview(current);
      }
      if (mode_ == HVHUDModeRing) {
        auto round = std::static_pointer_cast<RoundProgressViewBase>(current);
        bool wasAnnular = round->isAnnular();
        round->setAnnular(true);
        // A pie that becomes a ring must be drawn again to show as one.
        if (!wasAnnular) round->setNeedsDisplay();
      }
      break;
    }
    case HVHUDModeCustomView:
      if (customView_ != current) {
        if (current) current->removeFromSuperview();
        current = customView_;
        if (current) bezelView_->addSubview(current);
      }
      break;
    case HVHUDModeText:
      if (current) current->removeFromSuperview();
      current = nullptr;
      break;
  }

  if (current) current->setTranslatesAutoresizingMaskIntoConstraints(false);
  indicator_ = current;
  if (auto receiver = std::dynamic_pointer_cast<ProgressReceiver>(current))
    receiver->setProgress(progress_);
  if (current) {
    current->setContentCompressionResistancePriorityForAxis(kContentPriority,
                                                            UILayoutConstraintAxisHorizontal);
    current->setContentCompressionResistancePriorityForAxis(kContentPriority,
                                                            UILayoutConstraintAxisVertical);
  }
  updateViewsForColor(contentColor_);
  setNeedsUpdateConstraints();
}

void HUDCore::updateViewsForColor(UIColorRef color) {
  if (!color) return;
  label_->setTextColor(color);
  detailsLabel_->setTextColor(color);
  button_->setTitleColorForState(color, UIControlStateNormal);

  UIColorRef override = indicatorColorOverride();
  UIColor c = override ? *override : *color;
  const std::string container = className();
  auto proxy = [&](const std::string& cls, const char* prop) {
    return UIAppearance::colorFor(cls, container, prop);
  };
  if (auto spinner = std::dynamic_pointer_cast<UIActivityIndicatorView>(indicator_)) {
    if (!proxy("UIActivityIndicatorView", "color")) spinner->setColor(c);
  } else if (auto round = std::dynamic_pointer_cast<RoundProgressViewBase>(indicator_)) {
    if (!proxy(round->className(), "progressTintColor")) round->setProgressTintColor(c);
    if (!proxy(round->className(), "backgroundTintColor"))
      round->setBackgroundTintColor(c.colorWithAlphaComponent(0.1));
  } else if (auto bar = std::dynamic_pointer_cast<BarProgressViewBase>(indicator_)) {
    if (!proxy(bar->className(), "progressColor")) bar->setProgressColor(c);
    if (!proxy(bar->className(), "lineColor")) bar->setLineColor(c);
  } else if (indicator_) {
    indicator_->setTintColor(c);
  }
}

void HUDCore::updateBezelMotionEffects() {
  if (legacy_) {
    if (!defaultMotionEffectsEnabled_) {
      for (auto e : bezelView_->motionEffects()) bezelView_->removeMotionEffect(e);
      return;
    }
  } else if (bezelMotionEffects_) {
    // An installed group stays while the effects are wanted, so that showing the HUD again
    // does not take its parallax away.
    if (defaultMotionEffectsEnabled_) return;
    bezelView_->removeMotionEffect(bezelMotionEffects_);
    bezelMotionEffects_.reset();
    return;
  } else if (!defaultMotionEffectsEnabled_) {
    return;
  }
  auto x = std::make_shared<UIInterpolatingMotionEffect>(
      "center.x", UIInterpolatingMotionEffectTypeTiltAlongHorizontalAxis);
  x->setMinimumRelativeValue(-10);
  x->setMaximumRelativeValue(10);
  auto y = std::make_shared<UIInterpolatingMotionEffect>(
      "center.y", UIInterpolatingMotionEffectTypeTiltAlongVerticalAxis);
  y->setMinimumRelativeValue(-10);
  y->setMaximumRelativeValue(10);
  auto group = std::make_shared<UIMotionEffectGroup>();
  group->setMotionEffects({x, y});
  bezelView_->addMotionEffect(group);
  if (!legacy_) bezelMotionEffects_ = group;
}

// ---------------------------------------------------------------------------------------------
// Setters

void HUDCore::setMode(HVProgressHUDMode m) {
  if (m == mode_) return;
  mode_ = m;
  updateIndicators();
}

void HUDCore::setCustomView(std::shared_ptr<UIView> v) {
  if (v == customView_) return;
  customView_ = std::move(v);
  if (mode_ == HVHUDModeCustomView) updateIndicators();
}

void HUDCore::setOffset(CGPoint o) {
  // A NaN would place the bezel nowhere; an infinite one nowhere sensible.
  if (!std::isfinite(o.x) || !std::isfinite(o.y)) return;
  if (o == offset_) return;
  offset_ = o;
  setNeedsUpdateConstraints();
}
void HUDCore::setMargin(double m) {
  if (m == margin_) return;
  margin_ = m;
  setNeedsUpdateConstraints();
}
void HUDCore::setMinSize(CGSize s) {
  if (s == minSize_) return;
  minSize_ = s;
  setNeedsUpdateConstraints();
}
void HUDCore::setSquare(bool s) {
  if (s == square_) return;
  square_ = s;
  setNeedsUpdateConstraints();
}

void HUDCore::setProgress(float p) {
  if (p == progress_) return;
  progress_ = p;
  if (auto receiver = std::dynamic_pointer_cast<ProgressReceiver>(indicator_))
    receiver->setProgress(p);
}

void HUDCore::setContentColor(UIColorRef c) {
  if (c == contentColor_) return;
  contentColor_ = c;
  updateViewsForColor(c);
}

void HUDCore::setDefaultMotionEffectsEnabled(bool e) {
  if (e == defaultMotionEffectsEnabled_) return;
  defaultMotionEffectsEnabled_ = e;
  updateBezelMotionEffects();
}

void HUDCore::setProgressObject(std::shared_ptr<NSProgress> p) {
  if (p == progressObject_) return;
  progressObject_ = std::move(p);
  setNSProgressDisplayLinkEnabled(true);
}

// ---------------------------------------------------------------------------------------------
// Timers and the display link

std::shared_ptr<NSTimer> HUDCore::scheduleTimer(
    double interval, std::function<void(HUDCore&, const NSTimerRef&)> fire, Value userInfo) {
  std::weak_ptr<HUDCore> weak = std::static_pointer_cast<HUDCore>(shared_from_this());
  auto timer = NSTimer::timerWithTimeIntervalTargetSelectorUserInfoRepeats(
      interval,
      [weak, fire](const NSTimerRef& t) {
        if (auto hud = weak.lock()) fire(*hud, t);
      },
      std::move(userInfo), false);
  RunLoop::current()->addTimer(timer, kCFRunLoopCommonModes);
  return timer;
}

void HUDCore::setNSProgressDisplayLinkEnabled(bool enabled) {
  if (enabled && progressObject_) {
    if (displayLink_) return;
    std::weak_ptr<HUDCore> weak = std::static_pointer_cast<HUDCore>(shared_from_this());
    auto link = CADisplayLink::displayLinkWithTargetSelector([weak](const CADisplayLinkRef&) {
      if (auto hud = weak.lock()) hud->updateProgressFromProgressObject();
    });
    link->addToRunLoopForMode(RunLoop::main(), kCFRunLoopDefaultMode);
    displayLink_ = link;
  } else if (displayLink_) {
    displayLink_->invalidate();
    displayLink_.reset();
  }
}

void HUDCore::updateProgressFromProgressObject() {
  if (progressObject_) setProgress(static_cast<float>(progressObject_->fractionCompleted()));
}

// ---------------------------------------------------------------------------------------------
// Show and hide

void HUDCore::showAnimated(bool animated) {
  if (auto t = minShowTimer_.lock()) t->invalidate();
  useAnimation_ = animated;
  finished_ = false;
  if (pendingHide_) {
    detachedHides_.push_back(pendingHide_);
    pendingHide_ = 0;
  }
  if (graceTime_ > 0) {
    if (auto t = graceTimer_.lock()) t->invalidate();
    graceTimer_ =
        scheduleTimer(graceTime_, [](HUDCore& hud, const NSTimerRef&) { hud.handleGraceTimer(); });
  } else {
    showUsingAnimation(useAnimation_);
  }
}

void HUDCore::handleGraceTimer() {
  if (!finished_) showUsingAnimation(useAnimation_);
}

void HUDCore::showUsingAnimation(bool animated) {
  bezelView_->layer()->removeAllAnimations();
  backgroundView_->layer()->removeAllAnimations();
  if (auto t = hideDelayTimer_.lock()) t->invalidate();
  showStarted_ = Clock::nowSeconds();
  setAlpha(1);
  setNSProgressDisplayLinkEnabled(true);
  if (!legacy_) updateBezelMotionEffects();
  if (animated) {
    animateInWithTypeCompletion(true, animationType_, nullptr);
  } else {
    bezelView_->setAlpha(shownBezelAlpha());
    backgroundView_->setAlpha(1);
  }
}

void HUDCore::hideAnimated(bool animated) {
  if (auto t = graceTimer_.lock()) t->invalidate();
  useAnimation_ = animated;
  finished_ = true;
  if (minShowTime_ > 0 && showStarted_) {
    double shown = Clock::nowSeconds() - *showStarted_;
    if (shown < minShowTime_) {
      // One pending minimum-show hide at a time: a second request replaces the first, so the
      // HUD is not finished twice.
      if (auto t = minShowTimer_.lock()) t->invalidate();
      minShowTimer_ = scheduleTimer(
          minShowTime_ - shown, [](HUDCore& hud, const NSTimerRef&) { hud.handleMinShowTimer(); });
      return;
    }
  }
  hideUsingAnimation(useAnimation_);
}

void HUDCore::handleMinShowTimer() { hideUsingAnimation(useAnimation_); }

void HUDCore::hideAnimatedAfterDelay(bool animated, double delay) {
  if (!legacy_) {
    if (auto t = hideDelayTimer_.lock()) t->invalidate();
  }
  hideDelayTimer_ = scheduleTimer(
      delay, [](HUDCore& hud, const NSTimerRef& t) { hud.handleHideTimer(t->userInfo()); },
      Value(animated));
}

void HUDCore::handleHideTimer(const Value& animated) { hideAnimated(animated.boolValue()); }

void HUDCore::hideUsingAnimation(bool animated) {
  if (!legacy_) {
    if (auto t = hideDelayTimer_.lock()) t->invalidate();
  }
  uint64_t generation = ++hideGeneration_;
  pendingHide_ = generation;
  if (animated && showStarted_) {
    showStarted_.reset();
    std::weak_ptr<HUDCore> weak = std::static_pointer_cast<HUDCore>(shared_from_this());
    animateInWithTypeCompletion(false, animationType_, [weak, generation](bool) {
      if (auto hud = weak.lock()) hud->done(generation);
    });
  } else {
    showStarted_.reset();
    bezelView_->setAlpha(0);
    backgroundView_->setAlpha(1);
    done(generation);
  }
}

void HUDCore::animateInWithTypeCompletion(bool animatingIn, HVHUDAnimation type,
                                          std::function<void(bool)> completion) {
  if (type == HVHUDAnimationZoom) type = animatingIn ? HVHUDAnimationGrow : HVHUDAnimationShrink;
  const CGAffineTransform small = CGAffineTransformMakeScale(0.5, 0.5);
  const CGAffineTransform large = CGAffineTransformMakeScale(1.5, 1.5);
  auto bezel = bezelView_;
  auto background = backgroundView_;
  if (animatingIn && bezel->alpha() == 0) {
    if (type == HVHUDAnimationGrow)
      bezel->setTransform(small);
    else if (type == HVHUDAnimationShrink)
      bezel->setTransform(large);
  }
  double shown = shownBezelAlpha();
  auto animations = [=] {
    if (animatingIn)
      bezel->setTransform(CGAffineTransformIdentity);
    else if (type == HVHUDAnimationShrink)
      bezel->setTransform(small);
    else if (type == HVHUDAnimationGrow)
      bezel->setTransform(large);
    double alpha = animatingIn ? shown : 0.0;
    bezel->setAlpha(alpha);
    background->setAlpha(animatingIn ? 1.0 : 0.0);
  };
  UIView::
      animateWithDurationDelayUsingSpringWithDampingInitialSpringVelocityOptionsAnimationsCompletion(
          0.3, 0, 1.0, 0, UIViewAnimationOptionBeginFromCurrentState, animations,
          std::move(completion));
}

void HUDCore::done(uint64_t generation) {
  // A hide that a show interrupted only reports that it ended: the HUD stays as the later
  // requests left it.
  bool interrupted = false;
  if (generation == pendingHide_) {
    pendingHide_ = 0;
  } else {
    auto it = std::find(detachedHides_.begin(), detachedHides_.end(), generation);
    if (it == detachedHides_.end()) return;  // superseded by a later hide of the same cycle
    detachedHides_.erase(it);
    interrupted = true;
  }
  auto self = sharedView();  // the completion may drop the last outside reference
  if (!interrupted) {
    if (legacy_) {
      if (auto t = hideDelayTimer_.lock()) t->invalidate();
    }
    setNSProgressDisplayLinkEnabled(false);
    if (finished_) {
      setAlpha(0);
      if (removeFromSuperViewOnHide_) removeFromSuperview();
    }
  }
  if (completionBlock_) {
    auto block = completionBlock_;
    block();
  }
  notifyDelegateHidden();
}

// ---------------------------------------------------------------------------------------------
// Layout

std::vector<UIViewRef> HUDCore::stackedViews() const {
  std::vector<UIViewRef> views{topSpacer_};
  if (indicator_) views.push_back(indicator_);
  views.push_back(label_);
  views.push_back(detailsLabel_);
  views.push_back(button_);
  views.push_back(bottomSpacer_);
  return views;
}

void HUDCore::applyPriorityToConstraints(UILayoutPriority p,
                                         const std::vector<NSLayoutConstraintRef>& cs) {
  for (auto& c : cs) c->setPriority(p);
}

void HUDCore::updateConstraints() {
  auto bezel = std::static_pointer_cast<UIView>(bezelView_);
  auto self = sharedView();
  std::vector<UIViewRef> subviews = stackedViews();
  std::map<std::string, double> metrics{{kMarginMetric, margin_}};

  removeConstraints(std::vector<NSLayoutConstraintRef>(constraints()));
  topSpacer_->removeConstraints(std::vector<NSLayoutConstraintRef>(topSpacer_->constraints()));
  bottomSpacer_->removeConstraints(
      std::vector<NSLayoutConstraintRef>(bottomSpacer_->constraints()));
  if (!bezelConstraints_.empty()) {
    bezel->removeConstraints(bezelConstraints_);
    bezelConstraints_.clear();
  }

  // Centre the bezel, offset, and keep it inside the margins.
  std::vector<NSLayoutConstraintRef> centering{
      NSLayoutConstraint::constraintWithItem(bezel, NSLayoutAttributeCenterX, NSLayoutRelationEqual,
                                             self, NSLayoutAttributeCenterX, 1, offset_.x),
      NSLayoutConstraint::constraintWithItem(bezel, NSLayoutAttributeCenterY, NSLayoutRelationEqual,
                                             self, NSLayoutAttributeCenterY, 1, offset_.y)};
  applyPriorityToConstraints(998, centering);
  addConstraints(centering);
  std::vector<NSLayoutConstraintRef> sides;
  for (const char* f :
       {"|-(>=margin)-[bezel]-(>=margin)-|", "V:|-(>=margin)-[bezel]-(>=margin)-|"}) {
    auto cs = NSLayoutConstraint::constraintsWithVisualFormat(f, metrics, {{"bezel", bezel}});
    sides.insert(sides.end(), cs.begin(), cs.end());
  }
  applyPriorityToConstraints(999, sides);
  addConstraints(sides);

  // Minimum size, square, equal spacers.
  std::vector<NSLayoutConstraintRef> bezelCs;
  if (minSize_ != CGSizeZero) {
    std::vector<NSLayoutConstraintRef> minCs{
        NSLayoutConstraint::constraintWithItem(bezel, NSLayoutAttributeWidth,
                                               NSLayoutRelationGreaterThanOrEqual, nullptr,
                                               NSLayoutAttributeNotAnAttribute, 1, minSize_.width),
        NSLayoutConstraint::constraintWithItem(
            bezel, NSLayoutAttributeHeight, NSLayoutRelationGreaterThanOrEqual, nullptr,
            NSLayoutAttributeNotAnAttribute, 1, minSize_.height)};
    applyPriorityToConstraints(997, minCs);
    bezelCs.insert(bezelCs.end(), minCs.begin(), minCs.end());
  }
  if (square_) {
    auto sq = NSLayoutConstraint::constraintWithItem(
        bezel, NSLayoutAttributeHeight, NSLayoutRelationEqual, bezel, NSLayoutAttributeWidth, 1, 0);
    sq->setPriority(997);
    bezelCs.push_back(sq);
  }
  bezelCs.push_back(NSLayoutConstraint::constraintWithItem(topSpacer_, NSLayoutAttributeHeight,
                                                           NSLayoutRelationEqual, bottomSpacer_,
                                                           NSLayoutAttributeHeight, 1, 0));
  for (auto& spacer : {topSpacer_, bottomSpacer_}) {
    spacer->addConstraint(NSLayoutConstraint::constraintWithItem(
        spacer, NSLayoutAttributeHeight, NSLayoutRelationGreaterThanOrEqual, nullptr,
        NSLayoutAttributeNotAnAttribute, 1, margin_));
  }

  // The stack.
  std::vector<NSLayoutConstraintRef> padding;
  for (size_t i = 0; i < subviews.size(); ++i) {
    auto& view = subviews[i];
    bezelCs.push_back(NSLayoutConstraint::constraintWithItem(view, NSLayoutAttributeCenterX,
                                                             NSLayoutRelationEqual, bezel,
                                                             NSLayoutAttributeCenterX, 1, 0));
    auto h = NSLayoutConstraint::constraintsWithVisualFormat("|-(>=margin)-[view]-(>=margin)-|",
                                                             metrics, {{"view", view}});
    bezelCs.insert(bezelCs.end(), h.begin(), h.end());
    if (i == 0) {
      bezelCs.push_back(NSLayoutConstraint::constraintWithItem(
          view, NSLayoutAttributeTop, NSLayoutRelationEqual, bezel, NSLayoutAttributeTop, 1, 0));
    } else {
      auto pad =
          NSLayoutConstraint::constraintWithItem(view, NSLayoutAttributeTop, NSLayoutRelationEqual,
                                                 subviews[i - 1], NSLayoutAttributeBottom, 1, 0);
      bezelCs.push_back(pad);
      padding.push_back(pad);
    }
    if (i == subviews.size() - 1) {
      bezelCs.push_back(NSLayoutConstraint::constraintWithItem(view, NSLayoutAttributeBottom,
                                                               NSLayoutRelationEqual, bezel,
                                                               NSLayoutAttributeBottom, 1, 0));
    }
  }
  bezel->addConstraints(bezelCs);
  bezelConstraints_ = bezelCs;
  paddingConstraints_ = padding;
  updatePaddingConstraints();
  UIView::updateConstraints();
}

namespace {
bool takesRoom(const UIViewRef& v) {
  if (!v || v->isHidden()) return false;
  CGSize s = v->intrinsicContentSize();
  return !(s.width == 0 && s.height == 0);
}
}  // namespace

void HUDCore::updatePaddingConstraints() {
  bool hasVisibleAncestors = false;
  for (auto& padding : paddingConstraints_) {
    auto first = padding->firstItem();
    auto second = padding->secondItem();
    bool firstVisible = takesRoom(first);
    bool secondVisible = takesRoom(second);
    padding->setConstant((firstVisible && (secondVisible || hasVisibleAncestors)) ? kPadding : 0);
    hasVisibleAncestors |= secondVisible;
  }
}

void HUDCore::layoutSubviews() {
  if (!needsUpdateConstraints()) updatePaddingConstraints();
  UIView::layoutSubviews();
  layoutBezel();
}

// Places the bezel and its stack as the constraints above say: content sizes and paddings, at
// least `margin` of spacer above and below and beside each view, the minimum size and square
// constraints, centred plus offset, kept inside the HUD's margins.
void HUDCore::layoutBezel() {
  CGSize hud = bounds().size;
  double m = margin_;
  double maxBezelW = std::max(0.0, hud.width - 2 * m);
  double maxBezelH = std::max(0.0, hud.height - 2 * m);
  double maxContentW = std::max(0.0, maxBezelW - 2 * m);

  std::vector<UIViewRef> views = stackedViews();
  std::vector<CGSize> sizes(views.size());
  double contentW = 0, stackH = 0;
  for (size_t i = 1; i + 1 < views.size(); ++i) {
    auto& v = views[i];
    CGSize s = v->intrinsicContentSize();
    if (s.width < 0) s.width = v->bounds().size.width;
    if (s.height < 0) s.height = v->bounds().size.height;
    if (s.width > maxContentW) {
      if (auto label = std::dynamic_pointer_cast<UILabel>(v); label && label->numberOfLines() != 1)
        s.height = label->sizeThatFits(CGSizeMake(maxContentW, 0)).height;
      s.width = maxContentW;
    }
    sizes[i] = s;
    contentW = std::max(contentW, s.width);
    stackH += s.height;
  }
  for (auto& p : paddingConstraints_) stackH += p->constant();
  double bezelW = contentW + 2 * m;
  double bezelH = stackH + 2 * m;
  if (minSize_ != CGSizeZero) {
    bezelW = std::max(bezelW, minSize_.width);
    bezelH = std::max(bezelH, minSize_.height);
  }
  if (square_) bezelW = bezelH = std::max(bezelW, bezelH);
  bezelW = std::min(bezelW, maxBezelW);
  bezelH = std::min(bezelH, maxBezelH);
  // The margins outrank the content: a stack taller than the room left inside them squeezes
  // the details label first, then the label, so no text runs into the bezel's margin.
  double overflow = stackH + 2 * m - bezelH;
  for (const auto& squeezable : {UIViewRef(detailsLabel_), UIViewRef(label_)}) {
    if (overflow <= 0) break;
    auto it = std::find(views.begin(), views.end(), squeezable);
    if (it == views.end()) continue;
    CGSize& s = sizes[it - views.begin()];
    double cut = std::min(overflow, s.height);
    s.height -= cut;
    stackH -= cut;
    overflow -= cut;
  }

  double cx = hud.width / 2 + offset_.x, cy = hud.height / 2 + offset_.y;
  cx = std::clamp(cx, m + bezelW / 2, std::max(m + bezelW / 2, hud.width - m - bezelW / 2));
  cy = std::clamp(cy, m + bezelH / 2, std::max(m + bezelH / 2, hud.height - m - bezelH / 2));
  // Centre and bounds, not the frame: an animation may be scaling the bezel.
  UIView::performWithoutAnimation([&] {
    bezelView_->setCenter(CGPointMake(cx, cy));
    bezelView_->setBounds(CGRectMake(0, 0, bezelW, bezelH));
  });

  double spacer = std::max(0.0, (bezelH - stackH) / 2);
  sizes.front() = CGSizeMake(0, spacer);
  sizes.back() = CGSizeMake(0, spacer);
  double y = 0;
  for (size_t i = 0; i < views.size(); ++i) {
    if (i > 0) y += paddingConstraints_.size() >= i ? paddingConstraints_[i - 1]->constant() : 0;
    CGSize s = sizes[i];
    views[i]->setFrame(CGRectMake((bezelW - s.width) / 2, y, s.width, s.height));
    y += s.height;
  }
}

void HUDCore::didMoveToSuperview() { updateForCurrentOrientationAnimated(false); }

void HUDCore::statusBarOrientationDidChange() {
  if (superview()) updateForCurrentOrientationAnimated(true);
}

void HUDCore::updateForCurrentOrientationAnimated(bool) {
  if (auto sv = superview()) setFrame(sv->bounds());
}

}  // namespace hud_internal
