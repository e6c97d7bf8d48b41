#include "platform/uikit/UIGestureRecognizer.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/uikit/UIControl.h"
#include "platform/uikit/UIView.h"
#include "platform/uikit/UIWindow.h"

namespace plat {

// ---- UITouch ----

CGPoint UITouch::locationInView(const UIView* v) const {
  return v ? v->convertPointFromView(windowLocation, nullptr) : windowLocation;
}
CGPoint UITouch::previousLocationInView(const UIView* v) const {
  return v ? v->convertPointFromView(previousWindowLocation, nullptr) : previousWindowLocation;
}

// ---- UIGestureRecognizer ----

UIGestureRecognizer::UIGestureRecognizer(Action action) {
  if (action) actions_.push_back(std::move(action));
}

void UIGestureRecognizer::addTarget(Action action) {
  if (action) actions_.push_back(std::move(action));
}

void UIGestureRecognizer::setState(UIGestureRecognizerState s) {
  UIGestureRecognizerState old = state_;
  state_ = s;
  auto observers = observers_;
  for (auto& [token, o] : observers) o(old, s);
  if (s == UIGestureRecognizerStateBegan || s == UIGestureRecognizerStateChanged ||
      s == UIGestureRecognizerStateEnded || s == UIGestureRecognizerStateCancelled) {
    auto actions = actions_;
    for (auto& a : actions) a(*this);
  }
}

int64_t UIGestureRecognizer::addStateObserver(StateObserver observer) {
  int64_t t = nextObserver_++;
  observers_[t] = std::move(observer);
  return t;
}
void UIGestureRecognizer::removeStateObserver(int64_t token) { observers_.erase(token); }

void UIGestureRecognizer::setEnabled(bool e) {
  enabled_ = e;
  if (!e && (state_ == UIGestureRecognizerStateBegan || state_ == UIGestureRecognizerStateChanged))
    setState(UIGestureRecognizerStateCancelled);
}

CGPoint UIGestureRecognizer::locationInView(const UIView* v) const {
  CGPoint c = lastCentroid_;
  if (!touches_.empty()) {
    c = {0, 0};
    for (auto& [id, t] : touches_) {
      c.x += t.windowLocation.x;
      c.y += t.windowLocation.y;
    }
    c.x /= touches_.size();
    c.y /= touches_.size();
  }
  return v ? v->convertPointFromView(c, nullptr) : c;
}

void UIGestureRecognizer::touchesBegan(const std::vector<UITouch>& touches, const UIEvent*) {
  for (auto& t : touches) touches_[t.identifier] = t;
  lastCentroid_ = locationInView(nullptr);
}
void UIGestureRecognizer::touchesMoved(const std::vector<UITouch>& touches, const UIEvent*) {
  for (auto& t : touches) touches_[t.identifier] = t;
  lastCentroid_ = locationInView(nullptr);
}
void UIGestureRecognizer::touchesEnded(const std::vector<UITouch>& touches, const UIEvent*) {
  for (auto& t : touches) touches_[t.identifier] = t;
  lastCentroid_ = locationInView(nullptr);
  for (auto& t : touches) touches_.erase(t.identifier);
}
void UIGestureRecognizer::touchesCancelled(const std::vector<UITouch>& touches, const UIEvent* e) {
  for (auto& t : touches) touches_.erase(t.identifier);
  if (state_ == UIGestureRecognizerStateBegan || state_ == UIGestureRecognizerStateChanged)
    setState(UIGestureRecognizerStateCancelled);
  else if (state_ == UIGestureRecognizerStatePossible)
    setState(UIGestureRecognizerStateFailed);
}
void UIGestureRecognizer::reset() {
  touches_.clear();
  if (state_ != UIGestureRecognizerStatePossible) setState(UIGestureRecognizerStatePossible);
}

static double distance(CGPoint a, CGPoint b) { return std::hypot(a.x - b.x, a.y - b.y); }

// ---- Tap ----

void UITapGestureRecognizer::touchesBegan(const std::vector<UITouch>& t, const UIEvent* e) {
  UIGestureRecognizer::touchesBegan(t, e);
  if (!t.empty() && seen_ == 0) start_ = t.front().windowLocation;
}
void UITapGestureRecognizer::touchesMoved(const std::vector<UITouch>& t, const UIEvent* e) {
  UIGestureRecognizer::touchesMoved(t, e);
  if (state() == UIGestureRecognizerStatePossible && !t.empty() &&
      distance(t.front().windowLocation, start_) > 10)
    setState(UIGestureRecognizerStateFailed);
}
void UITapGestureRecognizer::touchesEnded(const std::vector<UITouch>& t, const UIEvent* e) {
  UIGestureRecognizer::touchesEnded(t, e);
  if (state() != UIGestureRecognizerStatePossible || numberOfTouches() > 0) return;
  if (++seen_ >= taps_) {
    seen_ = 0;
    setState(UIGestureRecognizerStateRecognized);
  }
}

// ---- Pan ----

CGPoint UIPanGestureRecognizer::translationInView(const UIView* v) const {
  CGPoint now = locationInView(nullptr);
  CGPoint d{now.x - origin_.x, now.y - origin_.y};
  if (!v) return d;
  CGPoint a = v->convertPointFromView({0, 0}, nullptr);
  CGPoint b = v->convertPointFromView(d, nullptr);
  return {b.x - a.x, b.y - a.y};
}
void UIPanGestureRecognizer::setTranslationInView(CGPoint t, const UIView* v) {
  CGPoint now = locationInView(nullptr);
  CGPoint tw = t;
  if (v) {
    CGPoint a = v->convertPointToView({0, 0}, nullptr);
    CGPoint b = v->convertPointToView(t, nullptr);
    tw = {b.x - a.x, b.y - a.y};
  }
  origin_ = {now.x - tw.x, now.y - tw.y};
}
CGPoint UIPanGestureRecognizer::velocityInView(const UIView* v) const {
  if (!v) return velocity_;
  CGPoint a = v->convertPointFromView({0, 0}, nullptr);
  CGPoint b = v->convertPointFromView(velocity_, nullptr);
  return {b.x - a.x, b.y - a.y};
}
void UIPanGestureRecognizer::touchesBegan(const std::vector<UITouch>& t, const UIEvent* e) {
  UIGestureRecognizer::touchesBegan(t, e);
  origin_ = locationInView(nullptr);
  velocity_ = {0, 0};
  lastTime_ = t.empty() ? 0 : t.front().timestamp;
}
void UIPanGestureRecognizer::touchesMoved(const std::vector<UITouch>& t, const UIEvent* e) {
  CGPoint before = locationInView(nullptr);
  UIGestureRecognizer::touchesMoved(t, e);
  CGPoint after = locationInView(nullptr);
  double now = t.empty() ? lastTime_ : t.front().timestamp;
  double dt = now - lastTime_;
  if (dt > 0) velocity_ = {(after.x - before.x) / dt, (after.y - before.y) / dt};
  lastTime_ = now;
  if (state() == UIGestureRecognizerStatePossible) {
    if (distance(after, origin_) >= 10) setState(UIGestureRecognizerStateBegan);
  } else if (state() == UIGestureRecognizerStateBegan || state() == UIGestureRecognizerStateChanged) {
    setState(UIGestureRecognizerStateChanged);
  }
}
void UIPanGestureRecognizer::touchesEnded(const std::vector<UITouch>& t, const UIEvent* e) {
  UIGestureRecognizer::touchesEnded(t, e);
  if (numberOfTouches() > 0) return;
  if (state() == UIGestureRecognizerStateBegan || state() == UIGestureRecognizerStateChanged)
    setState(UIGestureRecognizerStateEnded);
  else if (state() == UIGestureRecognizerStatePossible)
    setState(UIGestureRecognizerStateFailed);
}
void UIPanGestureRecognizer::touchesCancelled(const std::vector<UITouch>& t, const UIEvent* e) {
  UIGestureRecognizer::touchesCancelled(t, e);
}
void UIPanGestureRecognizer::reset() {
  UIGestureRecognizer::reset();
  velocity_ = {0, 0};
}

// ---- Pinch ----

double UIPinchGestureRecognizer::distance() const {
  if (touches_.size() < 2) return 0;
  auto it = touches_.begin();
  CGPoint a = it->second.windowLocation;
  CGPoint b = (++it)->second.windowLocation;
  return std::hypot(a.x - b.x, a.y - b.y);
}
void UIPinchGestureRecognizer::touchesBegan(const std::vector<UITouch>& t, const UIEvent* e) {
  UIGestureRecognizer::touchesBegan(t, e);
  if (touches_.size() == 2) startDistance_ = distance();
}
void UIPinchGestureRecognizer::touchesMoved(const std::vector<UITouch>& t, const UIEvent* e) {
  UIGestureRecognizer::touchesMoved(t, e);
  if (touches_.size() < 2 || startDistance_ <= 0) return;
  scale_ = distance() / startDistance_;
  if (state() == UIGestureRecognizerStatePossible) {
    if (std::fabs(scale_ - 1) > 0.05) setState(UIGestureRecognizerStateBegan);
  } else if (state() == UIGestureRecognizerStateBegan || state() == UIGestureRecognizerStateChanged) {
    setState(UIGestureRecognizerStateChanged);
  }
}
void UIPinchGestureRecognizer::touchesEnded(const std::vector<UITouch>& t, const UIEvent* e) {
  UIGestureRecognizer::touchesEnded(t, e);
  if (touches_.size() >= 2) return;
  if (state() == UIGestureRecognizerStateBegan || state() == UIGestureRecognizerStateChanged)
    setState(UIGestureRecognizerStateEnded);
  else if (state() == UIGestureRecognizerStatePossible && touches_.empty())
    setState(UIGestureRecognizerStateFailed);
}
void UIPinchGestureRecognizer::reset() {
  UIGestureRecognizer::reset();
  startDistance_ = 0;
  scale_ = 1;
}

// ---- Long press ----

void UILongPressGestureRecognizer::touchesBegan(const std::vector<UITouch>& t, const UIEvent* e) {
  UIGestureRecognizer::touchesBegan(t, e);
  if (t.empty()) return;
  start_ = t.front().windowLocation;
  int64_t gen = ++generation_;
  std::weak_ptr<UILongPressGestureRecognizer> weak =
      std::static_pointer_cast<UILongPressGestureRecognizer>(shared_from_this());
  dispatch_after(minimum_, dispatch_get_main_queue(), [weak, gen] {
    auto self = weak.lock();
    if (!self || self->generation_ != gen) return;
    if (self->state() == UIGestureRecognizerStatePossible && self->numberOfTouches() > 0)
      self->setState(UIGestureRecognizerStateBegan);
  });
}
void UILongPressGestureRecognizer::touchesMoved(const std::vector<UITouch>& t, const UIEvent* e) {
  UIGestureRecognizer::touchesMoved(t, e);
  if (t.empty()) return;
  if (state() == UIGestureRecognizerStatePossible) {
    if (distance(t.front().windowLocation, start_) > movement_) {
      ++generation_;
      setState(UIGestureRecognizerStateFailed);
    }
  } else if (state() == UIGestureRecognizerStateBegan || state() == UIGestureRecognizerStateChanged) {
    setState(UIGestureRecognizerStateChanged);
  }
}
void UILongPressGestureRecognizer::touchesEnded(const std::vector<UITouch>& t, const UIEvent* e) {
  UIGestureRecognizer::touchesEnded(t, e);
  if (numberOfTouches() > 0) return;
  ++generation_;
  if (state() == UIGestureRecognizerStateBegan || state() == UIGestureRecognizerStateChanged)
    setState(UIGestureRecognizerStateEnded);
  else if (state() == UIGestureRecognizerStatePossible)
    setState(UIGestureRecognizerStateFailed);
}
void UILongPressGestureRecognizer::reset() {
  UIGestureRecognizer::reset();
  ++generation_;
}

// ---- Touch dispatch ----

namespace {
struct TouchRecord {
  UITouch touch;
  std::weak_ptr<UIView> view;
  std::vector<std::weak_ptr<UIGestureRecognizer>> recognizers;
  bool viewCancelled = false;
};
std::map<int64_t, TouchRecord>& active() {
  static auto* m = new std::map<int64_t, TouchRecord>;
  return *m;
}

bool recognized(const UIGestureRecognizer& g) {
  auto s = g.state();
  return s == UIGestureRecognizerStateBegan || s == UIGestureRecognizerStateChanged ||
         s == UIGestureRecognizerStateEnded;
}

void deliver(TouchRecord& rec, UITouchPhase phase) {
  rec.touch.phase = phase;
  rec.touch.timestamp = Clock::nowSeconds();
  UIEvent event{rec.touch.timestamp, {rec.touch}};
  std::vector<UITouch> touches{rec.touch};
  bool cancelView = false;
  for (auto& wg : rec.recognizers) {
    auto g = wg.lock();
    if (!g || !g->isEnabled()) continue;
    if (g->state() == UIGestureRecognizerStateFailed ||
        g->state() == UIGestureRecognizerStateCancelled)
      continue;
    switch (phase) {
      case UITouchPhaseBegan: g->touchesBegan(touches, &event); break;
      case UITouchPhaseMoved: g->touchesMoved(touches, &event); break;
      case UITouchPhaseEnded: g->touchesEnded(touches, &event); break;
      default: g->touchesCancelled(touches, &event); break;
    }
    if (recognized(*g) && g->cancelsTouchesInView()) cancelView = true;
  }
  auto view = rec.view.lock();
  if (view && !rec.viewCancelled) {
    if (cancelView && phase != UITouchPhaseBegan) {
      rec.viewCancelled = true;
      view->touchesCancelled(touches, &event);
    } else {
      switch (phase) {
        case UITouchPhaseBegan:
          if (cancelView) rec.viewCancelled = true;
          else view->touchesBegan(touches, &event);
          break;
        case UITouchPhaseMoved: view->touchesMoved(touches, &event); break;
        case UITouchPhaseEnded: view->touchesEnded(touches, &event); break;
        default: view->touchesCancelled(touches, &event); break;
      }
    }
  }
  if (phase == UITouchPhaseEnded || phase == UITouchPhaseCancelled) {
    // Recognizers go back to Possible once none of their touches remain.
    auto recognizers = rec.recognizers;
    active().erase(rec.touch.identifier);
    for (auto& wg : recognizers) {
      auto g = wg.lock();
      if (!g) continue;
      bool stillUsed = false;
      for (auto& [id, other] : active())
        for (auto& og : other.recognizers)
          if (og.lock() == g) stillUsed = true;
      if (!stillUsed) g->reset();
    }
  }
}
}  // namespace

void UITouchDriver::touchDown(const std::shared_ptr<UIView>& window, CGPoint p, int64_t id) {
  if (!window) return;
  if (active().count(id)) touchCancel(window, id);
  auto hit = window->hitTest(window->convertPointFromView(p, nullptr), nullptr);
  TouchRecord rec;
  rec.touch.identifier = id;
  rec.touch.view = hit;
  rec.touch.window = std::dynamic_pointer_cast<UIWindow>(window);
  rec.touch.windowLocation = rec.touch.previousWindowLocation = p;
  rec.view = hit;
  // A control's own tap beats the tap recognizers of its ancestors.
  std::shared_ptr<UIView> control;
  for (auto v = hit; v && !control; v = v->superview())
    if (auto c = std::dynamic_pointer_cast<UIControl>(v); c && c->isEnabled()) control = c;
  bool aboveControl = false;
  for (auto v = hit; v; v = v->superview()) {
    for (auto& g : v->gestureRecognizers()) {
      if (aboveControl && std::dynamic_pointer_cast<UITapGestureRecognizer>(g)) continue;
      if (auto d = g->delegate())
        if (d->gestureRecognizerShouldReceiveTouch(*g, rec.touch) == false) continue;
      rec.recognizers.push_back(g);
    }
    if (v == control) aboveControl = true;
  }
  active()[id] = rec;
  deliver(active()[id], UITouchPhaseBegan);
}

void UITouchDriver::touchMove(const std::shared_ptr<UIView>& window, CGPoint p, int64_t id) {
  auto it = active().find(id);
  if (it == active().end()) return;
  it->second.touch.previousWindowLocation = it->second.touch.windowLocation;
  it->second.touch.windowLocation = p;
  deliver(it->second, UITouchPhaseMoved);
}

void UITouchDriver::touchUp(const std::shared_ptr<UIView>& window, CGPoint p, int64_t id) {
  auto it = active().find(id);
  if (it == active().end()) return;
  it->second.touch.previousWindowLocation = it->second.touch.windowLocation;
  it->second.touch.windowLocation = p;
  deliver(it->second, UITouchPhaseEnded);
}

void UITouchDriver::touchCancel(const std::shared_ptr<UIView>& window, int64_t id) {
  auto it = active().find(id);
  if (it == active().end()) return;
  deliver(it->second, UITouchPhaseCancelled);
}

void UITouchDriver::tap(const std::shared_ptr<UIView>& window, CGPoint p) {
  touchDown(window, p);
  touchUp(window, p);
}

void UITouchDriver::drag(const std::shared_ptr<UIView>& window, CGPoint from, CGPoint to,
                         int steps) {
  touchDown(window, from);
  steps = std::max(1, steps);
  for (int i = 1; i <= steps; ++i) {
    double k = double(i) / steps;
    touchMove(window, {from.x + (to.x - from.x) * k, from.y + (to.y - from.y) * k});
  }
  touchUp(window, to);
}

void UITouchDriver::resetForTesting() { active().clear(); }

}  // namespace plat
