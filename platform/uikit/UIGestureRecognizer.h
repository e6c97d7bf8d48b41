#pragma once
// Gesture recognizers (tap, pan, pinch, long press) fed by the touches that UITouchDriver
// delivers to the hit-tested view and its ancestors. Each recognizer has an observable state;
// actions run on Began, Changed, Ended (Recognized) and Cancelled.
// A recognizer's delegate may refuse a touch (gestureRecognizerShouldReceiveTouch); and a
// tap recognizer of an ancestor never sees a touch that starts on an enabled control, so the
// control's own tap wins, as on the platform.
// Main thread only.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/graphics/CGGeometry.h"
#include "platform/uikit/UIEvent.h"

namespace plat {

class UIView;
class UIGestureRecognizer;

// Optional operations: std::nullopt means "not implemented".
class UIGestureRecognizerDelegate {
 public:
  virtual ~UIGestureRecognizerDelegate() = default;
  // Whether the recognizer sees the touch at all (asked when the touch begins).
  virtual std::optional<bool> gestureRecognizerShouldReceiveTouch(UIGestureRecognizer& recognizer,
                                                                  const UITouch& touch) {
    return std::nullopt;
  }
};

enum UIGestureRecognizerState : int64_t {
  UIGestureRecognizerStatePossible = 0,
  UIGestureRecognizerStateBegan = 1,
  UIGestureRecognizerStateChanged = 2,
  UIGestureRecognizerStateEnded = 3,
  UIGestureRecognizerStateCancelled = 4,
  UIGestureRecognizerStateFailed = 5,
  UIGestureRecognizerStateRecognized = UIGestureRecognizerStateEnded
};

class UIGestureRecognizer : public Object {
 public:
  using Action = std::function<void(UIGestureRecognizer& recognizer)>;
  using StateObserver =
      std::function<void(UIGestureRecognizerState oldState, UIGestureRecognizerState newState)>;

  explicit UIGestureRecognizer(Action action = {});
  std::string className() const override { return "UIGestureRecognizer"; }

  void addTarget(Action action);
  // Held weakly.
  std::shared_ptr<UIGestureRecognizerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<UIGestureRecognizerDelegate> d) { delegate_ = std::move(d); }
  std::shared_ptr<UIView> view() const { return view_.lock(); }
  void setView(std::weak_ptr<UIView> v) { view_ = std::move(v); }
  UIGestureRecognizerState state() const { return state_; }
  // Runs the state observers on every set and the actions for Began/Changed/Ended/Cancelled.
  void setState(UIGestureRecognizerState s);
  // Observers of the state, called with the old and new value on every set. Returns a token
  // for removeStateObserver.
  int64_t addStateObserver(StateObserver observer);
  void removeStateObserver(int64_t token);
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool e);
  bool cancelsTouchesInView() const { return cancelsTouchesInView_; }
  void setCancelsTouchesInView(bool c) { cancelsTouchesInView_ = c; }
  // Centroid of the current (or last) touches in view's coordinates.
  CGPoint locationInView(const UIView* view) const;
  size_t numberOfTouches() const { return touches_.size(); }

  // Touch input (called by the touch dispatch).
  virtual void touchesBegan(const std::vector<UITouch>& touches, const UIEvent* event);
  virtual void touchesMoved(const std::vector<UITouch>& touches, const UIEvent* event);
  virtual void touchesEnded(const std::vector<UITouch>& touches, const UIEvent* event);
  virtual void touchesCancelled(const std::vector<UITouch>& touches, const UIEvent* event);
  // Back to Possible once a gesture finished (called by the dispatch after all touches end).
  virtual void reset();

 protected:
  std::map<int64_t, UITouch> touches_;
  CGPoint lastCentroid_;

 private:
  std::weak_ptr<UIView> view_;
  std::weak_ptr<UIGestureRecognizerDelegate> delegate_;
  std::vector<Action> actions_;
  std::map<int64_t, StateObserver> observers_;
  int64_t nextObserver_ = 1;
  UIGestureRecognizerState state_ = UIGestureRecognizerStatePossible;
  bool enabled_ = true;
  bool cancelsTouchesInView_ = true;
};

// Recognizes when the touches lift within 10 points of where they went down.
class UITapGestureRecognizer : public UIGestureRecognizer {
 public:
  using UIGestureRecognizer::UIGestureRecognizer;
  std::string className() const override { return "UITapGestureRecognizer"; }
  int64_t numberOfTapsRequired() const { return taps_; }
  void setNumberOfTapsRequired(int64_t n) { taps_ = n; }
  void touchesBegan(const std::vector<UITouch>& touches, const UIEvent* event) override;
  void touchesMoved(const std::vector<UITouch>& touches, const UIEvent* event) override;
  void touchesEnded(const std::vector<UITouch>& touches, const UIEvent* event) override;

 private:
  CGPoint start_;
  int64_t taps_ = 1;
  int64_t seen_ = 0;
};

// Begins once the touches moved 10 points; translation is measured from where they went down,
// so content dragged with it follows the finger exactly.
class UIPanGestureRecognizer : public UIGestureRecognizer {
 public:
  using UIGestureRecognizer::UIGestureRecognizer;
  std::string className() const override { return "UIPanGestureRecognizer"; }
  CGPoint translationInView(const UIView* view) const;
  void setTranslationInView(CGPoint t, const UIView* view);
  // Points per second over the last move.
  CGPoint velocityInView(const UIView* view) const;
  void touchesBegan(const std::vector<UITouch>& touches, const UIEvent* event) override;
  void touchesMoved(const std::vector<UITouch>& touches, const UIEvent* event) override;
  void touchesEnded(const std::vector<UITouch>& touches, const UIEvent* event) override;
  void touchesCancelled(const std::vector<UITouch>& touches, const UIEvent* event) override;
  void reset() override;

 private:
  CGPoint origin_;       // window coordinates
  CGPoint velocity_;     // window coordinates per second
  double lastTime_ = 0;
};

// Two touches: scale is the distance between them over the distance when the second landed.
class UIPinchGestureRecognizer : public UIGestureRecognizer {
 public:
  using UIGestureRecognizer::UIGestureRecognizer;
  std::string className() const override { return "UIPinchGestureRecognizer"; }
  double scale() const { return scale_; }
  void setScale(double s) { scale_ = s; }
  void touchesBegan(const std::vector<UITouch>& touches, const UIEvent* event) override;
  void touchesMoved(const std::vector<UITouch>& touches, const UIEvent* event) override;
  void touchesEnded(const std::vector<UITouch>& touches, const UIEvent* event) override;
  void reset() override;

 private:
  double distance() const;
  double startDistance_ = 0;
  double scale_ = 1;
};

// Begins when a touch stays down minimumPressDuration (on the clock) without moving more than
// allowableMovement.
class UILongPressGestureRecognizer : public UIGestureRecognizer {
 public:
  using UIGestureRecognizer::UIGestureRecognizer;
  std::string className() const override { return "UILongPressGestureRecognizer"; }
  double minimumPressDuration() const { return minimum_; }
  void setMinimumPressDuration(double d) { minimum_ = d; }
  double allowableMovement() const { return movement_; }
  void setAllowableMovement(double m) { movement_ = m; }
  void touchesBegan(const std::vector<UITouch>& touches, const UIEvent* event) override;
  void touchesMoved(const std::vector<UITouch>& touches, const UIEvent* event) override;
  void touchesEnded(const std::vector<UITouch>& touches, const UIEvent* event) override;
  void reset() override;

 private:
  double minimum_ = 0.5;
  double movement_ = 10;
  CGPoint start_;
  int64_t generation_ = 0;
};

// Delivers synthetic touches to a window: hit testing picks the view, the gesture recognizers
// of that view and its ancestors see the touches first, and the view gets them through the
// responder chain unless a recognizer that cancels touches recognized.
class UITouchDriver {
 public:
  static void touchDown(const std::shared_ptr<UIView>& window, CGPoint p, int64_t id = 1);
  static void touchMove(const std::shared_ptr<UIView>& window, CGPoint p, int64_t id = 1);
  static void touchUp(const std::shared_ptr<UIView>& window, CGPoint p, int64_t id = 1);
  static void touchCancel(const std::shared_ptr<UIView>& window, int64_t id = 1);
  // Down and up at one point.
  static void tap(const std::shared_ptr<UIView>& window, CGPoint p);
  // Down at from, `steps` moves to `to`, up at `to`.
  static void drag(const std::shared_ptr<UIView>& window, CGPoint from, CGPoint to, int steps = 5);
  static void resetForTesting();
};

}  // namespace plat
