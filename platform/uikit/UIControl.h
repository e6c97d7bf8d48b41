#pragma once
// UIControl: a view that turns touches into control events (down, drag, up inside or outside,
// cancel) and sends them to its targets; it has the enabled, selected and highlighted states.
// A touch ends "inside" when it lifts within the control's bounds.
// Main thread only.

#include <functional>
#include <memory>
#include <vector>

#include "platform/uikit/UIEvent.h"
#include "platform/uikit/UIView.h"

namespace plat {

enum UIControlState : uint64_t {
  UIControlStateNormal = 0,
  UIControlStateHighlighted = 1 << 0,
  UIControlStateDisabled = 1 << 1,
  UIControlStateSelected = 1 << 2,
};

enum UIControlEvents : uint64_t {
  UIControlEventTouchDown = 1 << 0,
  UIControlEventTouchDownRepeat = 1 << 1,
  UIControlEventTouchDragInside = 1 << 2,
  UIControlEventTouchDragOutside = 1 << 3,
  UIControlEventTouchDragEnter = 1 << 4,
  UIControlEventTouchDragExit = 1 << 5,
  UIControlEventTouchUpInside = 1 << 6,
  UIControlEventTouchUpOutside = 1 << 7,
  UIControlEventTouchCancel = 1 << 8,
  UIControlEventValueChanged = 1 << 12,
  UIControlEventPrimaryActionTriggered = 1 << 13,
  UIControlEventEditingChanged = 1 << 17,
  UIControlEventAllTouchEvents = 0x00000FFF,
  UIControlEventAllEvents = 0xFFFFFFFF,
};

enum UIControlContentHorizontalAlignment : int64_t {
  UIControlContentHorizontalAlignmentCenter = 0,
  UIControlContentHorizontalAlignmentLeft = 1,
  UIControlContentHorizontalAlignmentRight = 2,
  UIControlContentHorizontalAlignmentFill = 3,
};

enum UIControlContentVerticalAlignment : int64_t {
  UIControlContentVerticalAlignmentCenter = 0,
  UIControlContentVerticalAlignmentTop = 1,
  UIControlContentVerticalAlignmentBottom = 2,
  UIControlContentVerticalAlignmentFill = 3,
};

class UIControl : public UIView {
 public:
  using Action = std::function<void(UIControl& sender)>;

  using UIView::UIView;
  std::string className() const override { return "UIControl"; }

  // target may be null (the action is then always sent); a target that is gone is skipped.
  void addTargetActionForControlEvents(const std::shared_ptr<Object>& target, Action action,
                                       uint64_t events);
  // Removes the actions of target (null: every target) for the given events.
  void removeTargetForControlEvents(const Object* target, uint64_t events);
  uint64_t allControlEvents() const;
  size_t targetActionCount() const { return targets_.size(); }
  // Sends the actions registered for any of the events, in registration order.
  void sendActionsForControlEvents(uint64_t events);

  bool isEnabled() const { return enabled_; }
  virtual void setEnabled(bool e);
  bool isSelected() const { return selected_; }
  virtual void setSelected(bool s);
  bool isHighlighted() const { return highlighted_; }
  virtual void setHighlighted(bool h);
  uint64_t state() const;
  bool isTracking() const { return tracking_; }
  bool isTouchInside() const { return touchInside_; }
  UIControlContentHorizontalAlignment contentHorizontalAlignment() const { return hAlign_; }
  void setContentHorizontalAlignment(UIControlContentHorizontalAlignment a);
  UIControlContentVerticalAlignment contentVerticalAlignment() const { return vAlign_; }
  void setContentVerticalAlignment(UIControlContentVerticalAlignment a);

  void touchesBegan(const std::vector<UITouch>& touches, const UIEvent* event) override;
  void touchesMoved(const std::vector<UITouch>& touches, const UIEvent* event) override;
  void touchesEnded(const std::vector<UITouch>& touches, const UIEvent* event) override;
  void touchesCancelled(const std::vector<UITouch>& touches, const UIEvent* event) override;

 protected:
  // Called after any of enabled, selected or highlighted changed.
  virtual void stateDidChange() {}

 private:
  struct TargetAction {
    std::weak_ptr<Object> target;
    bool hasTarget = false;
    const Object* key = nullptr;
    Action action;
    uint64_t events = 0;
  };
  std::vector<TargetAction> targets_;
  bool enabled_ = true, selected_ = false, highlighted_ = false;
  bool tracking_ = false, touchInside_ = false;
  UIControlContentHorizontalAlignment hAlign_ = UIControlContentHorizontalAlignmentCenter;
  UIControlContentVerticalAlignment vAlign_ = UIControlContentVerticalAlignmentCenter;
};

}  // namespace plat
