#include "platform/uikit/UIView.h"

#include <algorithm>
#include <cmath>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/uikit/UIGestureRecognizer.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIMotionEffect.h"
#include "platform/uikit/UIWindow.h"

namespace plat {

// ---------------------------------------------------------------------------------------------
// Animation state

namespace {
struct ActiveBlock {
  std::shared_ptr<UIViewAnimationGroup> group;
  double duration = 0, delay = 0;
  uint64_t options = 0;
  bool spring = false;
  double damping = 0, velocity = 0;
  bool any = false;
};
std::vector<ActiveBlock>& blockStack() {
  static auto* s = new std::vector<ActiveBlock>;
  return *s;
}
int gWithoutAnimation = 0;
bool gAnimationsEnabled = true;
std::vector<UIViewAnimationRecord>& logRecords() {
  static auto* r = new std::vector<UIViewAnimationRecord>;
  return *r;
}

void finishGroup(const std::shared_ptr<UIViewAnimationGroup>& g, bool finished) {
  if (g->done) return;
  g->done = true;
  for (auto& wl : g->layers) {
    if (auto l = wl.lock()) {
      auto& anims = l->runningAnimations();
      anims.erase(std::remove_if(anims.begin(), anims.end(),
                                 [&](const CALayer::RunningAnimation& a) { return a.group == g; }),
                  anims.end());
    }
  }
  g->layers.clear();
  auto completion = std::move(g->completion);
  g->completion = nullptr;
  if (completion) completion(finished);
}

void runAnimationBlock(ActiveBlock block, const std::function<void()>& animations,
                       std::function<void(bool)> completion) {
  block.group = std::make_shared<UIViewAnimationGroup>();
  block.group->completion = std::move(completion);
  blockStack().push_back(block);
  if (animations) animations();
  ActiveBlock done = blockStack().back();
  blockStack().pop_back();
  auto group = done.group;
  if (done.any) {
    double total = std::max(0.0, done.delay) + std::max(0.0, done.duration);
    dispatch_after(total, dispatch_get_main_queue(), [group] { finishGroup(group, true); });
  } else {
    // Nothing to animate: the completion still comes, on the next turn, finished.
    dispatch_async(dispatch_get_main_queue(), [group] { finishGroup(group, true); });
  }
}
}  // namespace

const std::vector<UIViewAnimationRecord>& UIViewAnimationLog::records() { return logRecords(); }
std::vector<UIViewAnimationRecord> UIViewAnimationLog::recordsFor(const UIView* view,
                                                                  const std::string& key) {
  std::vector<UIViewAnimationRecord> out;
  for (const auto& r : logRecords()) {
    if (r.view.lock().get() == view && (key.empty() || r.key == key)) out.push_back(r);
  }
  return out;
}
void UIViewAnimationLog::clear() { logRecords().clear(); }

std::vector<std::string> CALayer::animationKeys() const {
  std::vector<std::string> keys;
  for (const auto& a : animations_) keys.push_back(a.key);
  return keys;
}

void CALayer::removeAllAnimations() {
  std::vector<std::shared_ptr<UIViewAnimationGroup>> groups;
  for (auto& a : animations_)
    if (a.group && std::find(groups.begin(), groups.end(), a.group) == groups.end())
      groups.push_back(a.group);
  animations_.clear();
  for (auto& g : groups) {
    if (g->done) continue;
    auto completion = std::move(g->completion);
    g->completion = nullptr;
    finishGroup(g, false);  // marks done and detaches from other layers; no completion left
    if (completion)
      dispatch_async(dispatch_get_main_queue(), [completion] { completion(false); });
  }
}

void CALayer::removeAnimationForKey(const std::string& key) {
  std::vector<RunningAnimation> keep, drop;
  for (auto& a : animations_) (a.key == key ? drop : keep).push_back(a);
  animations_ = keep;
  for (auto& a : drop) {
    auto g = a.group;
    if (!g) continue;  // an added animation: nothing waits for it
    bool stillHere = std::any_of(animations_.begin(), animations_.end(),
                                 [&](const RunningAnimation& r) { return r.group == g; });
    if (g->done || stillHere) continue;
    auto completion = std::move(g->completion);
    g->completion = nullptr;
    finishGroup(g, false);
    if (completion)
      dispatch_async(dispatch_get_main_queue(), [completion] { completion(false); });
  }
}

void UIView::recordAnimatedChange(const std::string& key, UIAnimatedValue from,
                                  UIAnimatedValue to) {
  if (blockStack().empty() || gWithoutAnimation > 0 || !gAnimationsEnabled) return;
  if (from == to) return;
  ActiveBlock& b = blockStack().back();
  UIViewAnimationRecord r;
  r.view = std::static_pointer_cast<UIView>(shared_from_this());
  r.key = key;
  r.from = std::move(from);
  r.to = std::move(to);
  r.duration = b.duration;
  r.delay = b.delay;
  r.options = b.options;
  r.spring = b.spring;
  r.damping = b.damping;
  r.velocity = b.velocity;
  r.startTime = Clock::nowSeconds();
  logRecords().push_back(std::move(r));
  layer_->runningAnimations().push_back({key, b.group});
  b.group->layers.push_back(layer_);
  b.any = true;
}

void UIView::animateWithDurationAnimationsCompletion(double duration,
                                                     const std::function<void()>& animations,
                                                     std::function<void(bool)> completion) {
  ActiveBlock b;
  b.duration = duration;
  runAnimationBlock(b, animations, std::move(completion));
}

void UIView::animateWithDurationDelayOptionsAnimationsCompletion(
    double duration, double delay, uint64_t options, const std::function<void()>& animations,
    std::function<void(bool)> completion) {
  ActiveBlock b;
  b.duration = duration;
  b.delay = delay;
  b.options = options;
  runAnimationBlock(b, animations, std::move(completion));
}

void UIView::
    animateWithDurationDelayUsingSpringWithDampingInitialSpringVelocityOptionsAnimationsCompletion(
        double duration, double delay, double damping, double velocity, uint64_t options,
        const std::function<void()>& animations, std::function<void(bool)> completion) {
  ActiveBlock b;
  b.duration = duration;
  b.delay = delay;
  b.options = options;
  b.spring = true;
  b.damping = damping;
  b.velocity = velocity;
  runAnimationBlock(b, animations, std::move(completion));
}

void UIView::performWithoutAnimation(const std::function<void()>& actions) {
  ++gWithoutAnimation;
  if (actions) actions();
  --gWithoutAnimation;
}
bool UIView::areAnimationsEnabled() { return gAnimationsEnabled; }
void UIView::setAnimationsEnabled(bool enabled) { gAnimationsEnabled = enabled; }

// ---------------------------------------------------------------------------------------------
// Construction and geometry

UIView::UIView(CGRect frame) : layer_(std::make_shared<CALayer>()) {
  layer_->markViewLayer();
  bounds_ = CGRectMake(0, 0, frame.size.width, frame.size.height);
  center_ = CGPointMake(frame.origin.x + frame.size.width / 2,
                        frame.origin.y + frame.size.height / 2);
}

void UIView::didInit() { layer_->setDelegate(sharedView()); }

UIView::~UIView() {
  for (auto& s : subviews_) s->superview_.reset();
}

CGRect UIView::frame() const {
  CGRect local = CGRectMake(-bounds_.size.width / 2, -bounds_.size.height / 2, bounds_.size.width,
                            bounds_.size.height);
  CGRect r = CGAffineTransformIsIdentity(transform_) ? local
                                                     : CGRectApplyAffineTransform(local, transform_);
  return CGRectOffset(r, center_.x, center_.y);
}

void UIView::setFrame(CGRect f) {
  f = CGRectStandardize(f);
  CGSize size = f.size;
  if (!CGAffineTransformIsIdentity(transform_)) {
    // Keep the transform: the untransformed size is the frame's size through its inverse.
    CGSize t = CGSizeApplyAffineTransform(size, CGAffineTransformInvert(transform_));
    size = CGSizeMake(std::fabs(t.width), std::fabs(t.height));
  }
  willChangeValueForKey("frame");
  applyCenter(CGPointMake(CGRectGetMidX(f), CGRectGetMidY(f)));
  applyBounds(CGRectMake(bounds_.origin.x, bounds_.origin.y, size.width, size.height));
  didChangeValueForKey("frame");
}

void UIView::setBounds(CGRect b) { applyBounds(b); }

void UIView::setCenter(CGPoint c) {
  willChangeValueForKey("center");
  applyCenter(c);
  didChangeValueForKey("center");
}

void UIView::applyBounds(CGRect b) {
  if (b == bounds_) return;
  CGRect old = bounds_;
  recordAnimatedChange("bounds", old, b);
  bounds_ = b;
  if (old.size != b.size) boundsSizeChanged(old.size);
}

void UIView::applyCenter(CGPoint c) {
  if (c == center_) return;
  recordAnimatedChange("position", center_, c);
  center_ = c;
}

void UIView::setTransform(CGAffineTransform t) {
  if (t == transform_) return;
  recordAnimatedChange("transform", transform_, t);
  transform_ = t;
}

void UIView::boundsSizeChanged(CGSize oldSize) {
  if (autoresizesSubviews_) resizeSubviewsWithOldSize(oldSize);
  setNeedsLayout();
  if (contentMode_ == UIViewContentModeRedraw) setNeedsDisplay();
}

namespace {
// Distributes delta over the flexible parts of (leading margin, size, trailing margin).
void autoresizeAxis(double& start, double& size, double oldTotal, double newTotal, bool flexLead,
                    bool flexSize, bool flexTrail) {
  double delta = newTotal - oldTotal;
  if (delta == 0 || (!flexLead && !flexSize && !flexTrail)) return;
  double lead = start, trail = oldTotal - start - size;
  double sum = (flexLead ? lead : 0) + (flexSize ? size : 0) + (flexTrail ? trail : 0);
  int count = int(flexLead) + int(flexSize) + int(flexTrail);
  auto share = [&](bool flex, double part) {
    if (!flex) return 0.0;
    return sum > 0 ? delta * part / sum : delta / count;
  };
  double dLead = share(flexLead, lead), dSize = share(flexSize, size);
  start += dLead;
  size = std::max(0.0, size + dSize);
}
}  // namespace

void UIView::resizeSubviewsWithOldSize(CGSize oldSize) {
  CGSize n = bounds_.size;
  for (auto& s : subviews_) {
    uint64_t m = s->autoresizingMask_;
    if (m == UIViewAutoresizingNone) continue;
    CGRect f = s->frame();
    autoresizeAxis(f.origin.x, f.size.width, oldSize.width, n.width,
                   m & UIViewAutoresizingFlexibleLeftMargin, m & UIViewAutoresizingFlexibleWidth,
                   m & UIViewAutoresizingFlexibleRightMargin);
    autoresizeAxis(f.origin.y, f.size.height, oldSize.height, n.height,
                   m & UIViewAutoresizingFlexibleTopMargin, m & UIViewAutoresizingFlexibleHeight,
                   m & UIViewAutoresizingFlexibleBottomMargin);
    s->setFrame(f);
  }
}

// ---------------------------------------------------------------------------------------------
// Tree

std::shared_ptr<UIWindow> UIView::window() const {
  for (const UIView* v = this; v; v = v->superview_.lock().get()) {
    if (auto* w = dynamic_cast<const UIWindow*>(v))
      return std::static_pointer_cast<UIWindow>(const_cast<UIWindow*>(w)->shared_from_this());
  }
  return nullptr;
}

bool UIView::isDescendantOfView(const UIView* view) const {
  if (!view) return false;
  for (const UIView* v = this; v; v = v->superview_.lock().get())
    if (v == view) return true;
  return false;
}

void UIView::moveToWindow(const std::shared_ptr<UIWindow>& oldWindow,
                          const std::shared_ptr<UIWindow>& newWindow) {
  (void)oldWindow;
  didMoveToWindow();
  for (auto s : subviews_) s->moveToWindow(oldWindow, newWindow);
}

namespace {
void willMoveWindowTree(UIView* v, const std::shared_ptr<UIWindow>& w) {
  v->willMoveToWindow(w);
  for (auto s : v->subviews()) willMoveWindowTree(s.get(), w);
}
bool hasPendingWork(const UIView* v) {
  if (v->needsLayout() || v->needsDisplay() || v->needsUpdateConstraints()) return true;
  for (const auto& s : v->subviews())
    if (hasPendingWork(s.get())) return true;
  return false;
}
}  // namespace

void UIView::detachFromSuperview(bool notify) {
  auto sv = superview_.lock();
  if (!sv) return;
  auto self = sharedView();
  auto& list = sv->subviews_;
  list.erase(std::remove(list.begin(), list.end(), self), list.end());
  superview_.reset();
  if (layer_->superlayer().get() == sv->layer_.get()) layer_->removeFromSuperlayer();
  (void)notify;
}

void UIView::placeSubviewLayer(const UIViewRef& view) {
  auto it = std::find(subviews_.begin(), subviews_.end(), view);
  if (it == subviews_.end()) return;
  if (it + 1 == subviews_.end()) {
    layer_->addSublayer(view->layer_);
  } else {
    // insertSublayerBelow puts it on top when the next layer was taken elsewhere.
    layer_->insertSublayerBelow(view->layer_, (*(it + 1))->layer_);
  }
}

void UIView::addSubview(const UIViewRef& view) {
  insertSubviewAtIndex(view, static_cast<int64_t>(subviews_.size()));
}

void UIView::insertSubviewAtIndex(const UIViewRef& view, int64_t index) {
  if (!view || view.get() == this || isDescendantOfView(view.get())) return;
  auto self = sharedView();
  auto keep = view;
  if (view->superview_.lock().get() == this) {
    // Reordering among siblings: no moves to report.
    auto& list = subviews_;
    list.erase(std::remove(list.begin(), list.end(), view), list.end());
    index = std::clamp<int64_t>(index, 0, static_cast<int64_t>(list.size()));
    list.insert(list.begin() + index, view);
    placeSubviewLayer(view);
    return;
  }
  auto oldWindow = view->window();
  auto newWindow = window();
  view->willMoveToSuperview(self);
  if (oldWindow != newWindow) willMoveWindowTree(view.get(), newWindow);
  if (auto old = view->superview()) {
    old->willRemoveSubview(view);
    view->detachFromSuperview(false);
  }
  index = std::clamp<int64_t>(index, 0, static_cast<int64_t>(subviews_.size()));
  subviews_.insert(subviews_.begin() + index, view);
  view->superview_ = self;
  placeSubviewLayer(view);
  if (oldWindow != newWindow) view->moveToWindow(oldWindow, newWindow);
  view->didMoveToSuperview();
  didAddSubview(view);
  setNeedsLayout();
  if (newWindow && hasPendingWork(view.get())) scheduleDisplayPass();
}

void UIView::insertSubviewBelowSubview(const UIViewRef& view, const UIViewRef& sibling) {
  auto it = std::find(subviews_.begin(), subviews_.end(), sibling);
  if (it == subviews_.end()) return addSubview(view);
  if (view && view->superview_.lock().get() == this) {
    auto pos = std::find(subviews_.begin(), subviews_.end(), view) - subviews_.begin();
    auto spos = it - subviews_.begin();
    insertSubviewAtIndex(view, pos < spos ? spos - 1 : spos);
    return;
  }
  insertSubviewAtIndex(view, it - subviews_.begin());
}

void UIView::insertSubviewAboveSubview(const UIViewRef& view, const UIViewRef& sibling) {
  auto it = std::find(subviews_.begin(), subviews_.end(), sibling);
  if (it == subviews_.end()) return addSubview(view);
  if (view && view->superview_.lock().get() == this) {
    auto pos = std::find(subviews_.begin(), subviews_.end(), view) - subviews_.begin();
    auto spos = it - subviews_.begin();
    insertSubviewAtIndex(view, pos < spos ? spos : spos + 1);
    return;
  }
  insertSubviewAtIndex(view, (it - subviews_.begin()) + 1);
}

void UIView::removeFromSuperview() {
  auto sv = superview_.lock();
  if (!sv) return;
  auto self = sharedView();
  auto oldWindow = window();
  sv->willRemoveSubview(self);
  willMoveToSuperview(nullptr);
  if (oldWindow) willMoveWindowTree(this, nullptr);
  detachFromSuperview(true);
  if (oldWindow) moveToWindow(oldWindow, nullptr);
  didMoveToSuperview();
  sv->setNeedsLayout();
}

void UIView::bringSubviewToFront(const UIViewRef& view) {
  auto it = std::find(subviews_.begin(), subviews_.end(), view);
  if (it == subviews_.end()) return;
  subviews_.erase(it);
  subviews_.push_back(view);
  layer_->addSublayer(view->layer_);
}

void UIView::sendSubviewToBack(const UIViewRef& view) {
  auto it = std::find(subviews_.begin(), subviews_.end(), view);
  if (it == subviews_.end()) return;
  subviews_.erase(it);
  subviews_.insert(subviews_.begin(), view);
  layer_->insertSublayerAtIndex(view->layer_, 0);
}

void UIView::exchangeSubviewAtIndexWithSubviewAtIndex(int64_t a, int64_t b) {
  int64_t n = static_cast<int64_t>(subviews_.size());
  if (a < 0 || b < 0 || a >= n || b >= n) return;
  if (a == b) return;
  std::swap(subviews_[a], subviews_[b]);
  // The two layers trade places among the sublayers.
  auto la = subviews_[a]->layer_, lb = subviews_[b]->layer_;
  if (la->superlayer().get() != layer_.get() || lb->superlayer().get() != layer_.get()) return;
  auto placeholder = CALayer::layer();
  layer_->replaceSublayerWith(lb, placeholder);
  layer_->replaceSublayerWith(la, lb);
  layer_->replaceSublayerWith(placeholder, la);
}

UIViewRef UIView::viewWithTag(int64_t tag) {
  if (tag_ == tag) return sharedView();
  for (auto& s : subviews_)
    if (auto v = s->viewWithTag(tag)) return v;
  return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Appearance

void UIView::setHidden(bool h) {
  hidden_ = h;
  layer_->setHidden(h);
}

void UIView::setAlpha(double a) {
  double old = layer_->opacity();
  float nv = static_cast<float>(a);
  if (nv == static_cast<float>(old)) return;
  recordAnimatedChange("opacity", static_cast<double>(static_cast<float>(old)),
                       static_cast<double>(nv));
  layer_->setOpacity(nv);
}

void UIView::setBackgroundColor(UIColorRef c) {
  if (c == backgroundColor_) return;
  recordAnimatedChange("backgroundColor", backgroundColor_, c);
  backgroundColor_ = c;
}

UIColor UIView::tintColor() const {
  for (const UIView* v = this; v; v = v->superview_.lock().get())
    if (v->tintColor_) return *v->tintColor_;
  return UIColor::defaultTintColor();
}

namespace {
void tintChanged(UIView* v) {
  v->tintColorDidChange();
  for (auto& s : v->subviews()) tintChanged(s.get());
}
}  // namespace

void UIView::setTintColor(UIColorRef c) {
  tintColor_ = c;
  tintChanged(this);
}

// ---------------------------------------------------------------------------------------------
// Layout and display

void UIView::scheduleDisplayPass() {
  static bool scheduled = false;
  if (scheduled) return;
  scheduled = true;
  RunLoop::main()->perform([] {
    scheduled = false;
    UIView::runDisplayPass();
  });
}

void UIView::setNeedsLayout() {
  needsLayout_ = true;
  if (window()) scheduleDisplayPass();
}

void UIView::invalidateIntrinsicContentSize() {
  for (UIView* v = this; v; v = v->superview_.lock().get()) v->needsLayout_ = true;
  if (window()) scheduleDisplayPass();
}

void UIView::updateConstraintsIfNeeded() {
  for (auto s : subviews_) s->updateConstraintsIfNeeded();
  if (needsUpdateConstraints_) {
    needsUpdateConstraints_ = false;
    updateConstraints();
  }
}

void UIView::layoutIfNeeded() {
  updateConstraintsIfNeeded();
  if (needsLayout_) {
    needsLayout_ = false;
    layoutSubviews();
  }
  auto subs = subviews_;
  for (auto& s : subs) s->layoutIfNeeded();
}

void UIView::sizeToFit() {
  CGSize s = sizeThatFits(bounds_.size);
  CGRect f = frame();
  setFrame(CGRectMake(f.origin.x, f.origin.y, s.width, s.height));
}

UIEdgeInsets UIView::safeAreaInsets() const {
  auto w = window();
  if (!w) return UIEdgeInsetsZero;
  UIEdgeInsets wi = w->windowSafeAreaInsets();
  CGRect f = convertRectToView(bounds_, w.get());
  CGRect wb = w->bounds();
  UIEdgeInsets r;
  r.top = std::max(0.0, wi.top - (f.origin.y - wb.origin.y));
  r.left = std::max(0.0, wi.left - (f.origin.x - wb.origin.x));
  r.bottom = std::max(0.0, wi.bottom - (CGRectGetMaxY(wb) - CGRectGetMaxY(f)));
  r.right = std::max(0.0, wi.right - (CGRectGetMaxX(wb) - CGRectGetMaxX(f)));
  return r;
}

void UIView::addConstraint(const NSLayoutConstraintRef& c) {
  if (!c) return;
  if (std::find(constraints_.begin(), constraints_.end(), c) != constraints_.end()) return;
  constraints_.push_back(c);
  c->setActive(true);
  setNeedsLayout();
}
void UIView::addConstraints(const std::vector<NSLayoutConstraintRef>& cs) {
  for (auto& c : cs) addConstraint(c);
}
void UIView::removeConstraint(const NSLayoutConstraintRef& c) {
  auto it = std::find(constraints_.begin(), constraints_.end(), c);
  if (it == constraints_.end()) return;
  (*it)->setActive(false);
  constraints_.erase(it);
  setNeedsLayout();
}
void UIView::removeConstraints(const std::vector<NSLayoutConstraintRef>& cs) {
  for (auto& c : cs) removeConstraint(c);
}
void UIView::setNeedsUpdateConstraints() {
  needsUpdateConstraints_ = true;
  setNeedsLayout();
}

UILayoutPriority UIView::contentCompressionResistancePriorityForAxis(UILayoutConstraintAxis a) const {
  return compression_[a == UILayoutConstraintAxisVertical];
}
void UIView::setContentCompressionResistancePriorityForAxis(UILayoutPriority p,
                                                            UILayoutConstraintAxis a) {
  compression_[a == UILayoutConstraintAxisVertical] = p;
}
UILayoutPriority UIView::contentHuggingPriorityForAxis(UILayoutConstraintAxis a) const {
  return hugging_[a == UILayoutConstraintAxisVertical];
}
void UIView::setContentHuggingPriorityForAxis(UILayoutPriority p, UILayoutConstraintAxis a) {
  hugging_[a == UILayoutConstraintAxisVertical] = p;
}

void UIView::setNeedsDisplay() {
  needsDisplay_ = true;
  if (window()) scheduleDisplayPass();
}

void UIView::displayIfNeeded() {
  if (!needsDisplay_) return;
  needsDisplay_ = false;
  if (implementsDisplayLayer()) {
    displayLayer(layer_.get());
    return;
  }
  if (!implementsDrawRect() || bounds_.size.width <= 0 || bounds_.size.height <= 0) return;
  double scale = UIGraphicsDefaultScale();
  UIGraphicsBeginImageContextWithOptions(bounds_.size, opaque_, scale);
  CGContextRef c = UIGraphicsGetCurrentContext();
  CGContextTranslateCTM(c, -bounds_.origin.x, -bounds_.origin.y);
  drawRect(bounds_);
  auto img = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  layer_->setContents(img ? img->CGImage() : nullptr);
  layer_->setContentsScale(scale);
}

namespace {
void displayTree(UIView* v) {
  v->displayIfNeeded();
  auto subs = v->subviews();
  for (auto& s : subs) displayTree(s.get());
}
}  // namespace

void UIView::runDisplayPass() {
  for (auto& w : UIWindow::allWindows()) {
    w->layoutIfNeeded();
    displayTree(w.get());
  }
}

// ---------------------------------------------------------------------------------------------
// Coordinates and hit testing

CGPoint UIView::toSuperview(CGPoint p) const {
  CGPoint rel{p.x - (bounds_.origin.x + bounds_.size.width / 2),
              p.y - (bounds_.origin.y + bounds_.size.height / 2)};
  CGPoint t = CGPointApplyAffineTransform(rel, transform_);
  return {t.x + center_.x, t.y + center_.y};
}

CGPoint UIView::fromSuperview(CGPoint p) const {
  CGPoint rel{p.x - center_.x, p.y - center_.y};
  CGPoint t = CGPointApplyAffineTransform(rel, CGAffineTransformInvert(transform_));
  return {t.x + bounds_.origin.x + bounds_.size.width / 2,
          t.y + bounds_.origin.y + bounds_.size.height / 2};
}

CGPoint UIView::convertPointToView(CGPoint p, const UIView* view) const {
  // Up to the root (the window's space), then down into view.
  for (const UIView* v = this; v->superview_.lock(); v = v->superview_.lock().get())
    p = v->toSuperview(p);
  if (!view) return p;
  return view->convertPointFromView(p, nullptr);
}

CGPoint UIView::convertPointFromView(CGPoint p, const UIView* view) const {
  if (view) p = view->convertPointToView(p, nullptr);
  std::vector<const UIView*> chain;
  for (const UIView* v = this; v->superview_.lock(); v = v->superview_.lock().get())
    chain.push_back(v);
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) p = (*it)->fromSuperview(p);
  return p;
}

static CGRect boundingBox(const CGPoint (&pts)[4]) {
  double x0 = pts[0].x, y0 = pts[0].y, x1 = x0, y1 = y0;
  for (auto& p : pts) {
    x0 = std::min(x0, p.x);
    y0 = std::min(y0, p.y);
    x1 = std::max(x1, p.x);
    y1 = std::max(y1, p.y);
  }
  return CGRectMake(x0, y0, x1 - x0, y1 - y0);
}

CGRect UIView::convertRectToView(CGRect r, const UIView* view) const {
  r = CGRectStandardize(r);
  CGPoint pts[4] = {convertPointToView(r.origin, view),
                    convertPointToView({CGRectGetMaxX(r), r.origin.y}, view),
                    convertPointToView({r.origin.x, CGRectGetMaxY(r)}, view),
                    convertPointToView({CGRectGetMaxX(r), CGRectGetMaxY(r)}, view)};
  return boundingBox(pts);
}

CGRect UIView::convertRectFromView(CGRect r, const UIView* view) const {
  r = CGRectStandardize(r);
  CGPoint pts[4] = {convertPointFromView(r.origin, view),
                    convertPointFromView({CGRectGetMaxX(r), r.origin.y}, view),
                    convertPointFromView({r.origin.x, CGRectGetMaxY(r)}, view),
                    convertPointFromView({CGRectGetMaxX(r), CGRectGetMaxY(r)}, view)};
  return boundingBox(pts);
}

bool UIView::pointInside(CGPoint p, const UIEvent*) const {
  return CGRectContainsPoint(bounds_, p);
}

UIViewRef UIView::hitTest(CGPoint p, const UIEvent* event) {
  if (hidden_ || !userInteractionEnabled_ || alpha() < 0.01) return nullptr;
  if (!pointInside(p, event)) return nullptr;
  auto subs = subviews_;
  for (auto it = subs.rbegin(); it != subs.rend(); ++it) {
    CGPoint q = (*it)->fromSuperview(p);
    if (auto hit = (*it)->hitTest(q, event)) return hit;
  }
  return sharedView();
}

void UIView::touchesBegan(const std::vector<UITouch>& t, const UIEvent* e) {
  if (auto s = superview()) s->touchesBegan(t, e);
}
void UIView::touchesMoved(const std::vector<UITouch>& t, const UIEvent* e) {
  if (auto s = superview()) s->touchesMoved(t, e);
}
void UIView::touchesEnded(const std::vector<UITouch>& t, const UIEvent* e) {
  if (auto s = superview()) s->touchesEnded(t, e);
}
void UIView::touchesCancelled(const std::vector<UITouch>& t, const UIEvent* e) {
  if (auto s = superview()) s->touchesCancelled(t, e);
}

// ---------------------------------------------------------------------------------------------
// Recognizers and motion effects

void UIView::addGestureRecognizer(const UIGestureRecognizerRef& g) {
  if (!g || std::find(gestures_.begin(), gestures_.end(), g) != gestures_.end()) return;
  if (auto old = g->view()) old->removeGestureRecognizer(g);
  gestures_.push_back(g);
  g->setView(sharedView());
}
void UIView::removeGestureRecognizer(const UIGestureRecognizerRef& g) {
  auto it = std::find(gestures_.begin(), gestures_.end(), g);
  if (it == gestures_.end()) return;
  gestures_.erase(it);
  g->setView({});
}
void UIView::addMotionEffect(const UIMotionEffectRef& e) {
  if (e && std::find(motionEffects_.begin(), motionEffects_.end(), e) == motionEffects_.end())
    motionEffects_.push_back(e);
}
void UIView::removeMotionEffect(const UIMotionEffectRef& e) {
  motionEffects_.erase(std::remove(motionEffects_.begin(), motionEffects_.end(), e),
                       motionEffects_.end());
}

}  // namespace plat
