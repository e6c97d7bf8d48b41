#pragma once
// UIScrollView: content offset (the bounds origin), content size and inset, dragging through its
// pan gesture recognizer, a delegate, and observers of "contentOffset", "contentSize",
// "contentInset" and "panGestureRecognizer.state" that receive the old and new value on every
// set (also when the value does not change), as key-value observation does.
// Dragging moves the offset opposite the finger on the axes that scroll; with bounces the
// offset may pass the edges while dragging and snaps back when the drag ends (the release
// point is reported once more, with isDragging false, before the snap).
// An offset change marks the view for layout. With paging on, a drag ends by settling, in a
// 0.3 s animation, on the nearest multiple of the bounds size (the next one in the direction
// of a fling faster than kPagingVelocityThreshold), within the allowed offsets; the delegate
// then hears scrollViewDidEndDecelerating. Setting the offset while dragging (a view that
// re-centres its content) moves the drag's reference with it, so the finger keeps its place.
// Values that categories keep on a scroll view announce their changes through the manual
// key-value observing of plat::NSKeyValueObservable (willChangeValueForKey, observers added
// with a one-argument observer).
// Main thread only.

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <variant>

#include "platform/foundation/NSKeyValueObserving.h"
#include "platform/uikit/UIGestureRecognizer.h"
#include "platform/uikit/UIView.h"

namespace plat {

class UIScrollView;

// How the safe area adds to the content inset. Stored only: here adjustedContentInset is the
// content inset whatever the behaviour.
enum UIScrollViewContentInsetAdjustmentBehavior : int64_t {
  UIScrollViewContentInsetAdjustmentAutomatic = 0,
  UIScrollViewContentInsetAdjustmentScrollableAxes = 1,
  UIScrollViewContentInsetAdjustmentNever = 2,
  UIScrollViewContentInsetAdjustmentAlways = 3
};

// Optional operations; the defaults do nothing.
class UIScrollViewDelegate {
 public:
  virtual ~UIScrollViewDelegate() = default;
  virtual void scrollViewDidScroll(UIScrollView& scrollView) {}
  virtual void scrollViewWillBeginDragging(UIScrollView& scrollView) {}
  virtual void scrollViewDidEndDraggingWillDecelerate(UIScrollView& scrollView, bool decelerate) {}
  virtual void scrollViewDidEndDecelerating(UIScrollView& scrollView) {}
  virtual void scrollViewDidEndScrollingAnimation(UIScrollView& scrollView) {}
};

class UIScrollView : public UIView {
 public:
  using ObservedValue = std::variant<CGPoint, CGSize, UIEdgeInsets, int64_t>;
  using Observer = std::function<void(const std::string& keyPath, const ObservedValue& oldValue,
                                      const ObservedValue& newValue)>;

  explicit UIScrollView(CGRect frame = CGRectZero);
  void didInit() override;
  std::string className() const override { return "UIScrollView"; }

  CGPoint contentOffset() const { return bounds().origin; }
  void setContentOffset(CGPoint p);
  // Animated: the offset is set at once inside an animation of 0.3 s, and
  // scrollViewDidEndScrollingAnimation follows when it completes.
  void setContentOffsetAnimated(CGPoint p, bool animated);
  CGSize contentSize() const { return contentSize_; }
  void setContentSize(CGSize s);
  UIEdgeInsets contentInset() const { return contentInset_; }
  // While the content is at rest (no drag, no paged settle), an offset outside the new range
  // of offsets is then moved to the nearest one inside it.
  void setContentInset(UIEdgeInsets i);
  UIEdgeInsets adjustedContentInset() const { return contentInset_; }
  // Default: automatic.
  UIScrollViewContentInsetAdjustmentBehavior contentInsetAdjustmentBehavior() const {
    return insetAdjustment_;
  }
  void setContentInsetAdjustmentBehavior(UIScrollViewContentInsetAdjustmentBehavior b) {
    insetAdjustment_ = b;
  }

  std::shared_ptr<UIScrollViewDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<UIScrollViewDelegate> d) { delegate_ = std::move(d); }
  std::shared_ptr<UIPanGestureRecognizer> panGestureRecognizer() const { return pan_; }

  bool isDragging() const { return dragging_; }
  bool isTracking() const { return tracking_; }
  // True while a paged drag settles.
  bool isDecelerating() const { return decelerating_; }
  // Points per second a released drag must exceed to turn to the next page.
  static constexpr double kPagingVelocityThreshold = 300;
  bool isScrollEnabled() const { return scrollEnabled_; }
  void setScrollEnabled(bool e);
  bool bounces() const { return bounces_; }
  void setBounces(bool b) { bounces_ = b; }
  bool alwaysBounceVertical() const { return alwaysBounceVertical_; }
  void setAlwaysBounceVertical(bool b) { alwaysBounceVertical_ = b; }
  bool alwaysBounceHorizontal() const { return alwaysBounceHorizontal_; }
  void setAlwaysBounceHorizontal(bool b) { alwaysBounceHorizontal_ = b; }
  bool isPagingEnabled() const { return pagingEnabled_; }
  void setPagingEnabled(bool p) { pagingEnabled_ = p; }
  bool showsVerticalScrollIndicator() const { return showsVertical_; }
  void setShowsVerticalScrollIndicator(bool s) { showsVertical_ = s; }
  bool showsHorizontalScrollIndicator() const { return showsHorizontal_; }
  void setShowsHorizontalScrollIndicator(bool s) { showsHorizontal_ = s; }
  bool scrollsToTop() const { return scrollsToTop_; }
  void setScrollsToTop(bool s) { scrollsToTop_ = s; }

  // Observers of keyPath ("contentOffset", "contentSize", "contentInset",
  // "panGestureRecognizer.state"); returns a token for removeObserver.
  int64_t addObserverForKeyPath(const std::string& keyPath, Observer observer);
  void removeObserver(int64_t token);
  // Observers of announced keys (NSKeyValueObservable).
  using NSKeyValueObservable::addObserverForKeyPath;

  // The offsets the content may rest at (from -inset to the far edge).
  CGPoint minimumContentOffset() const;
  CGPoint maximumContentOffset() const;

 private:
  void notify(const std::string& keyPath, const ObservedValue& oldValue,
              const ObservedValue& newValue);
  void handlePan();
  CGPoint clampedOffset(CGPoint p) const;
  // The page offset a paged drag settles on.
  CGPoint pagingTarget(CGPoint velocity) const;
  // Ends a paged drag: animates to target, then reports the end of deceleration.
  void settle(CGPoint target);

  CGSize contentSize_;
  UIEdgeInsets contentInset_;
  UIScrollViewContentInsetAdjustmentBehavior insetAdjustment_ =
      UIScrollViewContentInsetAdjustmentAutomatic;
  std::weak_ptr<UIScrollViewDelegate> delegate_;
  std::shared_ptr<UIPanGestureRecognizer> pan_;
  struct Registration {
    std::string keyPath;
    Observer observer;
  };
  std::map<int64_t, Registration> observers_;
  int64_t nextToken_ = 1;
  CGPoint dragStartOffset_;
  bool dragging_ = false, tracking_ = false, decelerating_ = false;
  bool panning_ = false;  // the pan itself is moving the offset
  int64_t settleGeneration_ = 0;
  bool scrollEnabled_ = true, bounces_ = true;
  bool alwaysBounceVertical_ = false, alwaysBounceHorizontal_ = false;
  bool pagingEnabled_ = false;
  bool showsVertical_ = true, showsHorizontal_ = true, scrollsToTop_ = true;
};

}  // namespace plat
