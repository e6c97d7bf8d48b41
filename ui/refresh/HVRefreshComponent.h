#pragma once
// HVRefreshComponent: the base of the pull-to-refresh controls. A control lives inside a
// scroll view (added as a subview, usually through UIScrollView_HVRefresh), watches the
// scroll view's content offset, content size and pan state, moves through the states of
// HVRefreshComponentState and runs its refreshing callback (block, then target's action,
// then the begin completion block) in a later turn of the main queue.
//
// Create controls with plat::make<T>() (or the class factories of the subclasses): the
// defaults are set by prepare() after construction, and the control starts idle.
// Observation follows the current superview only: moving to another scroll view, or out of
// it stops observing the previous one; removing observers twice is harmless.
// Main thread only.

#include <functional>
#include <memory>

#include "platform/uikit/UIScrollView.h"
#include "ui/refresh/HVRefreshCategories.h"
#include "ui/refresh/HVRefreshConst.h"

class HVRefreshComponent : public plat::UIView {
 public:
  using Block = std::function<void()>;
  // The target/action alternative to the block: the action receives the control.
  using Action = std::function<void(plat::Object& target, HVRefreshComponent& control)>;

  HVRefreshComponent() : UIView(plat::CGRectZero) {}
  void didInit() override;
  std::string className() const override { return "HVRefreshComponent"; }

  plat::UIEdgeInsets scrollViewOriginalInset() const { return scrollViewOriginalInset_; }
  std::shared_ptr<plat::UIScrollView> scrollView() const { return scrollView_.lock(); }

  bool automaticallyChangeAlpha() const { return automaticallyChangeAlpha_; }
  virtual void setAutomaticallyChangeAlpha(bool a);
  bool isAutoChangeAlpha() const { return automaticallyChangeAlpha_; }
  void setAutoChangeAlpha(bool a) { setAutomaticallyChangeAlpha(a); }

  const Block& refreshingBlock() const { return refreshingBlock_; }
  void setRefreshingBlock(Block b) { refreshingBlock_ = std::move(b); }
  std::shared_ptr<plat::Object> refreshingTarget() const { return refreshingTarget_.lock(); }
  const Action& refreshingAction() const { return refreshingAction_; }
  // An empty action counts as one the target does not respond to.
  void setRefreshingTargetRefreshingAction(std::weak_ptr<plat::Object> target, Action action);
  const Block& beginRefreshingCompletionBlock() const { return beginCompletion_; }
  void setBeginRefreshingCompletionBlock(Block b) { beginCompletion_ = std::move(b); }
  const Block& endRefreshingCompletionBlock() const { return endCompletion_; }
  void setEndRefreshingCompletionBlock(Block b) { endCompletion_ = std::move(b); }

  HVRefreshComponentState state() const { return state_; }
  // Stores the state and asks for layout in a later turn of the main queue. Overrides call
  // the superclass first, and skip everything when the state does not change.
  virtual void setState(HVRefreshComponentState state);
  double pullingPercent() const { return pullingPercent_; }
  virtual void setPullingPercent(double percent);
  std::shared_ptr<plat::UIPanGestureRecognizer> pan() const { return pan_; }

  // Shows the control and refreshes; outside a window the state is will-refresh until the
  // control is next drawn.
  virtual void beginRefreshing();
  void beginRefreshingWithCompletionBlock(Block completion);
  // The base returns to idle at once.
  virtual void endRefreshing();
  void endRefreshingWithCompletionBlock(Block completion);
  // State refreshing or will refresh.
  bool isRefreshing() const;

  void layoutSubviews() override;
  void willMoveToSuperview(const plat::UIViewRef& newSuperview) override;
  bool implementsDrawRect() const override { return true; }
  void drawRect(plat::CGRect rect) override;

  void addObservers();
  // Idempotent; only the scroll view and pan actually observed are touched.
  void removeObservers();

 protected:
  // Defaults of the control: flexible width, clear background. Overrides call the superclass
  // first.
  virtual void prepare();
  // Lays out the control's own subviews (called from layoutSubviews).
  virtual void placeSubviews() {}
  // change is null when the control calls these itself.
  virtual void scrollViewContentOffsetDidChange(const HVRefreshChange* change) {}
  virtual void scrollViewContentSizeDidChange(const HVRefreshChange* change) {}
  virtual void scrollViewPanStateDidChange(const HVRefreshChange* change) {}
  // Posts the callbacks to the main queue.
  void executeRefreshingCallback();
  // Counts the entries into the refreshing state; a deferred step of one refresh carries it.
  uint64_t refreshGeneration() const { return refreshGeneration_; }
  // executeRefreshingCallback, but only while the refresh numbered generation is still on: a
  // refresh that ended (or was followed by another) before its deferred step runs asks for no
  // load.
  void executeRefreshingCallbackForRefresh(uint64_t generation);
  // The pull rule of the dragged controls, for a pull of percent that is or is not beyond the
  // threshold: while scroll is dragged the percent follows and crossing the threshold turns
  // idle into pulling and back; a release while pulling begins refreshing; otherwise a
  // percent below 1 is followed.
  void followPull(const plat::UIScrollView& scroll, double percent, bool beyondThreshold);
  // Runs animations over the slow duration; on completion the percent returns to 0 and the
  // end completion block runs.
  void animateEndOfRefreshing(const std::function<void()>& animations);

  // For subclasses that recapture the inset.
  void setScrollViewOriginalInset(plat::UIEdgeInsets i) { scrollViewOriginalInset_ = i; }
  std::weak_ptr<HVRefreshComponent> weakSelf() {
    return std::static_pointer_cast<HVRefreshComponent>(shared_from_this());
  }

 private:
  void observeValue(const std::string& keyPath, const HVRefreshChange& change);

  plat::UIEdgeInsets scrollViewOriginalInset_;
  std::weak_ptr<plat::UIScrollView> scrollView_;
  bool automaticallyChangeAlpha_ = false;
  Block refreshingBlock_;
  std::weak_ptr<plat::Object> refreshingTarget_;
  Action refreshingAction_;
  Block beginCompletion_, endCompletion_;
  HVRefreshComponentState state_ = HVRefreshStateIdle;
  uint64_t refreshGeneration_ = 0;
  double pullingPercent_ = 0;
  std::shared_ptr<plat::UIPanGestureRecognizer> pan_;
  // What addObservers registered with, so that removal touches only that.
  std::weak_ptr<plat::UIScrollView> observed_;
  int64_t offsetToken_ = 0, sizeToken_ = 0, panToken_ = 0;
};
