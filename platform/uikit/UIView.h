#pragma once
// UIView: a node of the headless view tree. Geometry is stored as center, bounds and transform;
// frame is derived from them. Views are created with plat::make<T>(...), which constructs the
// object and then runs its didInit() step (where subclasses add their subviews, since a view
// cannot hand out shared pointers to itself from its constructor).
//
// Layout and display: setNeedsLayout / setNeedsDisplay mark a view; for views inside a window a
// pass runs on the next main run-loop turn (layout first, then drawRect: into the layer's
// contents). layoutIfNeeded runs the layout at once.
//
// Key-value observing: "frame" is announced on every setFrame and "center" on every setCenter
// (also when the value stays), after the change; frames that change through setBounds or
// setTransform are not announced, as on the platform.
//
// The view's layer lists its subviews' layers among its sublayers, in the subviews' order; a
// plain layer added to it stays where it was put among them.
//
// Animations: inside an animateWithDuration block, changes of alpha, transform, center, bounds
// and background colour take their new (model) value at once and are recorded in
// UIViewAnimationLog; the completion runs after delay + duration on plat::Clock with
// finished = YES, or soon with NO when removeAllAnimations ends one of its animations.
//
// Main thread only, like the platform's views.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/foundation/NSKeyValueObserving.h"
#include "platform/foundation/Object.h"
#include "platform/graphics/CGContext.h"
#include "platform/graphics/CGGeometry.h"
#include "platform/uikit/CALayer.h"
#include "platform/uikit/NSLayoutConstraint.h"
#include "platform/uikit/UIColor.h"

namespace plat {

class UIView;
class UIWindow;
class UIGestureRecognizer;
class UIMotionEffect;
struct UITouch;
struct UIEvent;
using UIViewRef = std::shared_ptr<UIView>;
using UIMotionEffectRef = std::shared_ptr<UIMotionEffect>;
using UIGestureRecognizerRef = std::shared_ptr<UIGestureRecognizer>;

// Constructs a view (or any class with a didInit() step) and runs didInit().
template <class T, class... Args>
std::shared_ptr<T> make(Args&&... args) {
  auto object = std::make_shared<T>(std::forward<Args>(args)...);
  object->didInit();
  return object;
}

enum UIViewAutoresizing : uint64_t {
  UIViewAutoresizingNone = 0,
  UIViewAutoresizingFlexibleLeftMargin = 1 << 0,
  UIViewAutoresizingFlexibleWidth = 1 << 1,
  UIViewAutoresizingFlexibleRightMargin = 1 << 2,
  UIViewAutoresizingFlexibleTopMargin = 1 << 3,
  UIViewAutoresizingFlexibleHeight = 1 << 4,
  UIViewAutoresizingFlexibleBottomMargin = 1 << 5
};

enum UIViewContentMode : int64_t {
  UIViewContentModeScaleToFill = 0,
  UIViewContentModeScaleAspectFit,
  UIViewContentModeScaleAspectFill,
  UIViewContentModeRedraw,
  UIViewContentModeCenter,
  UIViewContentModeTop,
  UIViewContentModeBottom,
  UIViewContentModeLeft,
  UIViewContentModeRight,
  UIViewContentModeTopLeft,
  UIViewContentModeTopRight,
  UIViewContentModeBottomLeft,
  UIViewContentModeBottomRight
};

enum UILayoutConstraintAxis : int64_t {
  UILayoutConstraintAxisHorizontal = 0,
  UILayoutConstraintAxisVertical = 1
};

enum UIViewAnimationOptions : uint64_t {
  UIViewAnimationOptionLayoutSubviews = 1 << 0,
  UIViewAnimationOptionAllowUserInteraction = 1 << 1,
  UIViewAnimationOptionBeginFromCurrentState = 1 << 2,
  UIViewAnimationOptionRepeat = 1 << 3,
  UIViewAnimationOptionAutoreverse = 1 << 4,
  UIViewAnimationOptionCurveEaseInOut = 0 << 16,
  UIViewAnimationOptionCurveEaseIn = 1 << 16,
  UIViewAnimationOptionCurveEaseOut = 2 << 16,
  UIViewAnimationOptionCurveLinear = 3 << 16,
};

inline constexpr double UIViewNoIntrinsicMetric = -1;

// A value an animation moves between.
using UIAnimatedValue = std::variant<double, CGPoint, CGRect, CGAffineTransform, UIColorRef>;

// One animated property change, as tests read it.
struct UIViewAnimationRecord {
  std::weak_ptr<UIView> view;
  std::string key;  // "opacity", "transform", "position", "bounds", "backgroundColor"
  UIAnimatedValue from, to;
  double duration = 0, delay = 0;
  uint64_t options = 0;
  bool spring = false;
  double damping = 0, velocity = 0;
  double startTime = 0;  // clock seconds when the block ran
};

// The process-wide log of animations. Main thread only.
class UIViewAnimationLog {
 public:
  static const std::vector<UIViewAnimationRecord>& records();
  // Records of one view (optionally of one key), oldest first.
  static std::vector<UIViewAnimationRecord> recordsFor(const UIView* view,
                                                       const std::string& key = "");
  static void clear();
};

// Internal: one animation block's shared state.
struct UIViewAnimationGroup {
  std::function<void(bool)> completion;
  bool done = false;
  std::vector<std::weak_ptr<CALayer>> layers;
};

class UIView : public Object, public NSKeyValueObservable {
 public:
  explicit UIView(CGRect frame = CGRectZero);
  ~UIView() override;
  // Post-construction step (see make<T>): ties the layer to its view. Subclasses call their
  // superclass's first.
  virtual void didInit();

  std::string className() const override { return "UIView"; }
  std::shared_ptr<UIView> sharedView() { return std::static_pointer_cast<UIView>(shared_from_this()); }

  // ---- Geometry ----
  CGRect frame() const;
  virtual void setFrame(CGRect f);
  CGRect bounds() const { return bounds_; }
  // setFrame changes the centre and bounds without calling these two.
  virtual void setBounds(CGRect b);
  CGPoint center() const { return center_; }
  virtual void setCenter(CGPoint c);
  CGAffineTransform transform() const { return transform_; }
  void setTransform(CGAffineTransform t);

  // ---- Tree ----
  std::shared_ptr<UIView> superview() const { return superview_.lock(); }
  const std::vector<UIViewRef>& subviews() const { return subviews_; }
  // The window the view is in, or nullptr.
  std::shared_ptr<UIWindow> window() const;
  // Adding a view that is already a subview moves it to the top. Adding a view to itself or to
  // one of its own descendants is refused (nothing changes).
  void addSubview(const UIViewRef& view);
  void insertSubviewAtIndex(const UIViewRef& view, int64_t index);
  void insertSubviewBelowSubview(const UIViewRef& view, const UIViewRef& sibling);
  void insertSubviewAboveSubview(const UIViewRef& view, const UIViewRef& sibling);
  void removeFromSuperview();
  void bringSubviewToFront(const UIViewRef& view);
  void sendSubviewToBack(const UIViewRef& view);
  void exchangeSubviewAtIndexWithSubviewAtIndex(int64_t a, int64_t b);
  bool isDescendantOfView(const UIView* view) const;
  // Depth-first search of the view and its descendants; nullptr when none has the tag.
  UIViewRef viewWithTag(int64_t tag);
  virtual void willMoveToSuperview(const UIViewRef& newSuperview) {}
  virtual void didMoveToSuperview() {}
  virtual void willMoveToWindow(const std::shared_ptr<UIWindow>& newWindow) {}
  virtual void didMoveToWindow() {}
  virtual void didAddSubview(const UIViewRef& subview) {}
  virtual void willRemoveSubview(const UIViewRef& subview) {}

  // ---- Appearance ----
  bool isHidden() const { return hidden_; }
  virtual void setHidden(bool h);
  double alpha() const { return layer_->opacity(); }
  void setAlpha(double a);
  bool isOpaque() const { return opaque_; }
  void setOpaque(bool o) { opaque_ = o; }
  UIColorRef backgroundColor() const { return backgroundColor_; }
  virtual void setBackgroundColor(UIColorRef c);
  bool clipsToBounds() const { return layer_->masksToBounds(); }
  void setClipsToBounds(bool c) { layer_->setMasksToBounds(c); }
  // The own tint colour, else the nearest ancestor's, else the default tint.
  UIColor tintColor() const;
  void setTintColor(UIColorRef c);
  virtual void tintColorDidChange() {}
  int64_t tag() const { return tag_; }
  void setTag(int64_t t) { tag_ = t; }
  const std::string& accessibilityIdentifier() const { return accessibilityIdentifier_; }
  void setAccessibilityIdentifier(std::string id) { accessibilityIdentifier_ = std::move(id); }
  bool isUserInteractionEnabled() const { return userInteractionEnabled_; }
  void setUserInteractionEnabled(bool e) { userInteractionEnabled_ = e; }
  bool isMultipleTouchEnabled() const { return multipleTouchEnabled_; }
  void setMultipleTouchEnabled(bool e) { multipleTouchEnabled_ = e; }
  UIViewContentMode contentMode() const { return contentMode_; }
  void setContentMode(UIViewContentMode m) { contentMode_ = m; }
  CALayer* layer() const { return layer_.get(); }
  std::shared_ptr<CALayer> layerRef() const { return layer_; }

  // ---- Layout ----
  uint64_t autoresizingMask() const { return autoresizingMask_; }
  void setAutoresizingMask(uint64_t m) { autoresizingMask_ = m; }
  bool autoresizesSubviews() const { return autoresizesSubviews_; }
  void setAutoresizesSubviews(bool a) { autoresizesSubviews_ = a; }
  void setNeedsLayout();
  bool needsLayout() const { return needsLayout_; }
  // Runs pending constraint updates and layout of this view and its descendants now.
  void layoutIfNeeded();
  virtual void layoutSubviews() {}
  virtual CGSize intrinsicContentSize() const {
    return {UIViewNoIntrinsicMetric, UIViewNoIntrinsicMetric};
  }
  // Marks this view and its ancestors for layout: their layout may depend on this size.
  void invalidateIntrinsicContentSize();
  // Default: the current size.
  virtual CGSize sizeThatFits(CGSize size) const { return bounds_.size; }
  void sizeToFit();
  UIEdgeInsets layoutMargins() const { return layoutMargins_; }
  void setLayoutMargins(UIEdgeInsets m) { layoutMargins_ = m; }
  // The window's safe-area insets clipped to this view's frame in window coordinates.
  UIEdgeInsets safeAreaInsets() const;

  // ---- Constraints (records; see NSLayoutConstraint.h) ----
  bool translatesAutoresizingMaskIntoConstraints() const { return translatesAutoresizing_; }
  void setTranslatesAutoresizingMaskIntoConstraints(bool v) { translatesAutoresizing_ = v; }
  const std::vector<NSLayoutConstraintRef>& constraints() const { return constraints_; }
  void addConstraint(const NSLayoutConstraintRef& c);
  void addConstraints(const std::vector<NSLayoutConstraintRef>& cs);
  void removeConstraint(const NSLayoutConstraintRef& c);
  void removeConstraints(const std::vector<NSLayoutConstraintRef>& cs);
  void setNeedsUpdateConstraints();
  bool needsUpdateConstraints() const { return needsUpdateConstraints_; }
  void updateConstraintsIfNeeded();
  virtual void updateConstraints() {}
  UILayoutPriority contentCompressionResistancePriorityForAxis(UILayoutConstraintAxis a) const;
  void setContentCompressionResistancePriorityForAxis(UILayoutPriority p,
                                                      UILayoutConstraintAxis a);
  UILayoutPriority contentHuggingPriorityForAxis(UILayoutConstraintAxis a) const;
  void setContentHuggingPriorityForAxis(UILayoutPriority p, UILayoutConstraintAxis a);

  // ---- Display ----
  void setNeedsDisplay();
  void setNeedsDisplayInRect(CGRect r) { setNeedsDisplay(); }
  bool needsDisplay() const { return needsDisplay_; }
  // Draws into UIGraphicsGetCurrentContext(), in bounds coordinates.
  virtual void drawRect(CGRect rect) {}
  // True for classes that draw their content in drawRect:.
  virtual bool implementsDrawRect() const { return false; }
  // Views that fill their layer's contents themselves (displayLayer:) instead of drawing in
  // drawRect:. The display pass calls displayLayer with the view's layer.
  virtual bool implementsDisplayLayer() const { return false; }
  virtual void displayLayer(CALayer* layer) {}
  // Runs displayLayer: or drawRect: into the layer's contents when marked, and clears the mark.
  void displayIfNeeded();
  // Built-in content of platform classes (labels, buttons, images, spinners), drawn by the
  // renderer after the background and before subviews. In bounds coordinates.
  virtual void drawBuiltInContent(CGContextRef c) const {}

  // ---- Coordinates and hit testing ----
  CGPoint convertPointToView(CGPoint p, const UIView* view) const;
  CGPoint convertPointFromView(CGPoint p, const UIView* view) const;
  CGRect convertRectToView(CGRect r, const UIView* view) const;
  CGRect convertRectFromView(CGRect r, const UIView* view) const;
  // Hidden views, views without user interaction and views with alpha below 0.01 are skipped.
  virtual UIViewRef hitTest(CGPoint p, const UIEvent* event);
  virtual bool pointInside(CGPoint p, const UIEvent* event) const;

  // ---- Touches (responder chain: the default passes them to the superview) ----
  virtual void touchesBegan(const std::vector<UITouch>& touches, const UIEvent* event);
  virtual void touchesMoved(const std::vector<UITouch>& touches, const UIEvent* event);
  virtual void touchesEnded(const std::vector<UITouch>& touches, const UIEvent* event);
  virtual void touchesCancelled(const std::vector<UITouch>& touches, const UIEvent* event);

  // ---- Gesture recognizers and motion effects (stored) ----
  const std::vector<UIGestureRecognizerRef>& gestureRecognizers() const { return gestures_; }
  void addGestureRecognizer(const UIGestureRecognizerRef& g);
  void removeGestureRecognizer(const UIGestureRecognizerRef& g);
  const std::vector<UIMotionEffectRef>& motionEffects() const { return motionEffects_; }
  void addMotionEffect(const UIMotionEffectRef& e);
  void removeMotionEffect(const UIMotionEffectRef& e);

  // ---- Animations ----
  static void animateWithDurationAnimationsCompletion(double duration,
                                                      const std::function<void()>& animations,
                                                      std::function<void(bool)> completion = {});
  static void animateWithDurationDelayOptionsAnimationsCompletion(
      double duration, double delay, uint64_t options, const std::function<void()>& animations,
      std::function<void(bool)> completion = {});
  static void animateWithDurationDelayUsingSpringWithDampingInitialSpringVelocityOptionsAnimationsCompletion(
      double duration, double delay, double damping, double velocity, uint64_t options,
      const std::function<void()>& animations, std::function<void(bool)> completion = {});
  // Runs the block with no animation recorded.
  static void performWithoutAnimation(const std::function<void()>& actions);
  static bool areAnimationsEnabled();
  static void setAnimationsEnabled(bool enabled);

  // Internal: records a change of an animatable property when inside an animation block.
  void recordAnimatedChange(const std::string& key, UIAnimatedValue from, UIAnimatedValue to);

 protected:
  // Moves subviews by their autoresizing masks after this view's size changed.
  void resizeSubviewsWithOldSize(CGSize oldSize);

 private:
  friend class UIWindow;
  void boundsSizeChanged(CGSize oldSize);
  void applyBounds(CGRect b);
  void applyCenter(CGPoint c);
  // Puts a subview's layer among this view's sublayers where its place among the subviews
  // says: below the next subview's layer, or on top for the last subview.
  void placeSubviewLayer(const UIViewRef& view);
  void moveToWindow(const std::shared_ptr<UIWindow>& oldWindow,
                    const std::shared_ptr<UIWindow>& newWindow);
  void detachFromSuperview(bool notify);
  // Maps a point of this view's bounds into the superview's bounds space.
  CGPoint toSuperview(CGPoint p) const;
  CGPoint fromSuperview(CGPoint p) const;
  void scheduleDisplayPass();

  CGPoint center_;
  CGRect bounds_;
  CGAffineTransform transform_ = CGAffineTransformIdentity;
  std::weak_ptr<UIView> superview_;
  std::vector<UIViewRef> subviews_;
  std::shared_ptr<CALayer> layer_;
  bool hidden_ = false;
  bool opaque_ = true;
  UIColorRef backgroundColor_;
  UIColorRef tintColor_;
  int64_t tag_ = 0;
  std::string accessibilityIdentifier_;
  bool userInteractionEnabled_ = true;
  bool multipleTouchEnabled_ = false;
  UIViewContentMode contentMode_ = UIViewContentModeScaleToFill;
  uint64_t autoresizingMask_ = UIViewAutoresizingNone;
  bool autoresizesSubviews_ = true;
  bool needsLayout_ = true;
  bool needsDisplay_ = false;
  bool needsUpdateConstraints_ = true;
  bool translatesAutoresizing_ = true;
  UIEdgeInsets layoutMargins_{8, 8, 8, 8};
  std::vector<NSLayoutConstraintRef> constraints_;
  UILayoutPriority compression_[2] = {750, 750};
  UILayoutPriority hugging_[2] = {250, 250};
  std::vector<UIGestureRecognizerRef> gestures_;
  std::vector<UIMotionEffectRef> motionEffects_;

 public:
  // Runs the layout and display pass over every window now (what each run-loop turn does).
  static void runDisplayPass();
};

}  // namespace plat
