#include "platform/uikit/UIControl.h"

namespace plat {

void UIControl::addTargetActionForControlEvents(const std::shared_ptr<Object>& target,
                                                Action action, uint64_t events) {
  if (!action || events == 0) return;
  TargetAction ta;
  ta.target = target;
  ta.hasTarget = target != nullptr;
  ta.key = target.get();
  ta.action = std::move(action);
  ta.events = events;
  targets_.push_back(std::move(ta));
}

void UIControl::removeTargetForControlEvents(const Object* target, uint64_t events) {
  std::vector<TargetAction> keep;
  for (auto& t : targets_) {
    if (target == nullptr || t.key == target) {
      t.events &= ~events;
      if (t.events == 0) continue;
    }
    keep.push_back(std::move(t));
  }
  targets_ = std::move(keep);
}

uint64_t UIControl::allControlEvents() const {
  uint64_t all = 0;
  for (const auto& t : targets_) all |= t.events;
  return all;
}

void UIControl::sendActionsForControlEvents(uint64_t events) {
  auto self = sharedView();  // actions may remove the control
  auto snapshot = targets_;
  for (auto& t : snapshot) {
    if (!(t.events & events)) continue;
    if (t.hasTarget && t.target.expired()) continue;
    t.action(*this);
  }
}

void UIControl::setEnabled(bool e) {
  if (enabled_ == e) return;
  enabled_ = e;
  stateDidChange();
}
void UIControl::setSelected(bool s) {
  if (selected_ == s) return;
  selected_ = s;
  stateDidChange();
}
void UIControl::setHighlighted(bool h) {
  if (highlighted_ == h) return;
  highlighted_ = h;
  stateDidChange();
}

uint64_t UIControl::state() const {
  uint64_t s = UIControlStateNormal;
  if (highlighted_) s |= UIControlStateHighlighted;
  if (!enabled_) s |= UIControlStateDisabled;
  if (selected_) s |= UIControlStateSelected;
  return s;
}

void UIControl::setContentHorizontalAlignment(UIControlContentHorizontalAlignment a) {
  hAlign_ = a;
  setNeedsLayout();
}
void UIControl::setContentVerticalAlignment(UIControlContentVerticalAlignment a) {
  vAlign_ = a;
  setNeedsLayout();
}

void UIControl::touchesBegan(const std::vector<UITouch>& touches, const UIEvent* event) {
  if (!enabled_ || touches.empty()) return;
  tracking_ = true;
  touchInside_ = true;
  setHighlighted(true);
  sendActionsForControlEvents(UIControlEventTouchDown);
}

void UIControl::touchesMoved(const std::vector<UITouch>& touches, const UIEvent* event) {
  if (!tracking_ || touches.empty()) return;
  bool inside = pointInside(touches.front().locationInView(this), event);
  uint64_t events = inside ? UIControlEventTouchDragInside : UIControlEventTouchDragOutside;
  if (inside != touchInside_)
    events |= inside ? UIControlEventTouchDragEnter : UIControlEventTouchDragExit;
  touchInside_ = inside;
  setHighlighted(inside);
  sendActionsForControlEvents(events);
}

void UIControl::touchesEnded(const std::vector<UITouch>& touches, const UIEvent* event) {
  if (!tracking_ || touches.empty()) return;
  bool inside = pointInside(touches.front().locationInView(this), event);
  tracking_ = false;
  touchInside_ = false;
  setHighlighted(false);
  sendActionsForControlEvents(inside ? (UIControlEventTouchUpInside |
                                        UIControlEventPrimaryActionTriggered)
                                     : UIControlEventTouchUpOutside);
}

void UIControl::touchesCancelled(const std::vector<UITouch>& touches, const UIEvent* event) {
  if (!tracking_) return;
  tracking_ = false;
  touchInside_ = false;
  setHighlighted(false);
  sendActionsForControlEvents(UIControlEventTouchCancel);
}

}  // namespace plat
