#pragma once
// Internal base of the two progress HUDs (HVProgressHUD and sd_HBProgressHUD): the view tree,
// indicator choice, colouring, layout, show/hide life cycle with grace, minimum-show and
// delayed-hide timers, animations, motion effects, the progress-object display link and the
// orientation observer. The public classes derive from it; neither is a kind of the other.
//
// Main thread only. Timers run on the run loop of the thread that scheduled them, in the
// common modes; the display link on the main run loop in the default mode.

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/CADisplayLink.h"
#include "platform/dispatch/NSTimer.h"
#include "platform/network/NSProgress.h"
#include "platform/uikit/UIActivityIndicatorView.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIMotionEffect.h"
#include "ui/hud/HUDViewsInternal.h"

enum HVProgressHUDMode : int64_t {
  HVHUDModeSpinner = 0,
  HVHUDModeRound = 1,
  HVHUDModeBar = 2,
  HVHUDModeRing = 3,
  HVHUDModeCustomView = 4,
  HVHUDModeText = 5,
};

enum HVHUDAnimation : int64_t {
  HVHUDAnimationFade = 0,
  HVHUDAnimationZoom = 1,
  HVHUDAnimationShrink = 2,
  HVHUDAnimationGrow = 3,
};

namespace hud_internal {

class HUDCore : public plat::UIView {
 public:
  // legacy: the older HUD's behaviour (see sd_HBProgressHUD.h).
  HUDCore(plat::CGRect frame, bool legacy);
  ~HUDCore() override;
  // The common initialiser: view tree, indicator, notification observer. There is no
  // initWithCoder: here, since no view tree is ever decoded from an archive on this platform.
  void didInit() override;

  // ---- Showing and hiding ----
  void showAnimated(bool animated);
  void hideAnimated(bool animated);
  void hideAnimatedAfterDelay(bool animated, double delay);

  // ---- Properties ----
  std::function<void()> completionBlock() const { return completionBlock_; }
  void setCompletionBlock(std::function<void()> b) { completionBlock_ = std::move(b); }
  double graceTime() const { return graceTime_; }
  void setGraceTime(double t) { graceTime_ = t; }
  double minShowTime() const { return minShowTime_; }
  void setMinShowTime(double t) { minShowTime_ = t; }
  bool removeFromSuperViewOnHide() const { return removeFromSuperViewOnHide_; }
  void setRemoveFromSuperViewOnHide(bool r) { removeFromSuperViewOnHide_ = r; }
  HVHUDAnimation animationType() const { return animationType_; }
  void setAnimationType(HVHUDAnimation a) { animationType_ = a; }
  bool hasFinished() const { return finished_; }

  HVProgressHUDMode mode() const { return mode_; }
  void setMode(HVProgressHUDMode m);
  std::shared_ptr<plat::UIView> customView() const { return customView_; }
  void setCustomView(std::shared_ptr<plat::UIView> v);
  plat::CGPoint offset() const { return offset_; }
  // An offset with a non-finite coordinate is ignored (the old one stays).
  void setOffset(plat::CGPoint o);
  double margin() const { return margin_; }
  void setMargin(double m);
  plat::CGSize minSize() const { return minSize_; }
  void setMinSize(plat::CGSize s);
  bool isSquare() const { return square_; }
  void setSquare(bool s);
  float progress() const { return progress_; }
  void setProgress(float p);
  plat::UIColorRef contentColor() const { return contentColor_; }
  void setContentColor(plat::UIColorRef c);
  bool areDefaultMotionEffectsEnabled() const { return defaultMotionEffectsEnabled_; }
  void setDefaultMotionEffectsEnabled(bool e);
  std::shared_ptr<plat::NSProgress> progressObject() const { return progressObject_; }
  void setProgressObject(std::shared_ptr<plat::NSProgress> p);

  std::shared_ptr<BackgroundViewBase> bezelViewBase() const { return bezelView_; }
  std::shared_ptr<BackgroundViewBase> backgroundViewBase() const { return backgroundView_; }
  std::shared_ptr<plat::UILabel> label() const { return label_; }
  std::shared_ptr<plat::UILabel> detailsLabel() const { return detailsLabel_; }
  std::shared_ptr<RoundedButtonBase> buttonBase() const { return button_; }
  std::shared_ptr<plat::UIView> indicator() const { return indicator_; }
  std::shared_ptr<plat::UIView> topSpacer() const { return topSpacer_; }
  std::shared_ptr<plat::UIView> bottomSpacer() const { return bottomSpacer_; }
  const std::vector<plat::NSLayoutConstraintRef>& paddingConstraints() const {
    return paddingConstraints_;
  }
  const std::vector<plat::NSLayoutConstraintRef>& bezelConstraints() const {
    return bezelConstraints_;
  }
  std::shared_ptr<plat::UIMotionEffectGroup> bezelMotionEffects() const {
    return bezelMotionEffects_;
  }
  // Clock seconds when the current visible period began; nullopt when not shown.
  std::optional<double> showStarted() const { return showStarted_; }
  std::shared_ptr<plat::NSTimer> graceTimer() const { return graceTimer_.lock(); }
  std::shared_ptr<plat::NSTimer> minShowTimer() const { return minShowTimer_.lock(); }
  std::shared_ptr<plat::NSTimer> hideDelayTimer() const { return hideDelayTimer_.lock(); }
  std::shared_ptr<plat::CADisplayLink> progressObjectDisplayLink() const { return displayLink_; }

  // ---- Steps (named as the system names them) ----
  void updateIndicators();
  void updateViewsForColor(plat::UIColorRef color);
  void updateBezelMotionEffects();
  void updatePaddingConstraints();
  static void applyPriorityToConstraints(plat::UILayoutPriority p,
                                         const std::vector<plat::NSLayoutConstraintRef>& cs);
  void updateForCurrentOrientationAnimated(bool animated);
  // Observes "UIApplicationDidChangeStatusBarOrientationNotification" (run by the common
  // initialiser); unregisterFromNotifications stops it (run by the destructor too). Registering
  // twice delivers each change twice, as on the phone.
  void registerForNotifications();
  void unregisterFromNotifications();
  void statusBarOrientationDidChange();
  void updateProgressFromProgressObject();
  void setNSProgressDisplayLinkEnabled(bool enabled);

  void updateConstraints() override;
  void layoutSubviews() override;
  void didMoveToSuperview() override;

 protected:
  // Family hooks.
  virtual std::shared_ptr<BackgroundViewBase> makeBackgroundView(plat::CGRect frame) const = 0;
  virtual std::shared_ptr<RoundProgressViewBase> makeRoundView() const = 0;
  virtual std::shared_ptr<BarProgressViewBase> makeBarView() const = 0;
  virtual std::shared_ptr<RoundedButtonBase> makeButton() const = 0;
  // Tells the family's delegate that the HUD was hidden.
  virtual void notifyDelegateHidden() = 0;
  // Alpha of the bezel while shown (the older HUD's opacity).
  virtual double shownBezelAlpha() const { return 1.0; }
  // A colour that replaces the content colour for the indicator, or nil.
  virtual plat::UIColorRef indicatorColorOverride() const { return std::nullopt; }
  // The animated flag of the last show or hide request.
  bool useAnimation() const { return useAnimation_; }

  // Finds the topmost unfinished HUD of type T among view's subviews.
  template <class T>
  static std::shared_ptr<T> findHUD(const plat::UIViewRef& view) {
    if (!view) return nullptr;
    const auto& subs = view->subviews();
    for (auto it = subs.rbegin(); it != subs.rend(); ++it) {
      auto hud = std::dynamic_pointer_cast<T>(*it);
      if (hud && !hud->hasFinished()) return hud;
    }
    return nullptr;
  }

 private:
  void setupViews();
  void showUsingAnimation(bool animated);
  void hideUsingAnimation(bool animated);
  void animateInWithTypeCompletion(bool animatingIn, HVHUDAnimation type,
                                   std::function<void(bool)> completion);
  void done(uint64_t hideGeneration);
  void handleGraceTimer();
  void handleMinShowTimer();
  void handleHideTimer(const plat::Value& animated);
  std::shared_ptr<plat::NSTimer> scheduleTimer(
      double interval, std::function<void(HUDCore&, const plat::NSTimerRef&)> fire,
      plat::Value userInfo = {});
  std::vector<plat::UIViewRef> stackedViews() const;
  void layoutBezel();

  const bool legacy_;
  bool removeFromSuperViewOnHide_ = false;
  bool square_ = false;
  bool defaultMotionEffectsEnabled_;
  bool useAnimation_ = false;
  bool finished_ = false;
  float progress_ = 0;
  std::function<void()> completionBlock_;
  double graceTime_ = 0;
  double minShowTime_ = 0;
  HVProgressHUDMode mode_ = HVHUDModeSpinner;
  plat::UIColorRef contentColor_;
  HVHUDAnimation animationType_ = HVHUDAnimationFade;
  double margin_ = 20.0;
  std::shared_ptr<plat::NSProgress> progressObject_;
  std::shared_ptr<BackgroundViewBase> bezelView_;
  std::shared_ptr<BackgroundViewBase> backgroundView_;
  std::shared_ptr<plat::UIView> customView_;
  std::shared_ptr<plat::UILabel> label_;
  std::shared_ptr<plat::UILabel> detailsLabel_;
  std::shared_ptr<RoundedButtonBase> button_;
  std::shared_ptr<plat::UIView> indicator_;
  std::optional<double> showStarted_;
  std::vector<plat::NSLayoutConstraintRef> paddingConstraints_;
  std::vector<plat::NSLayoutConstraintRef> bezelConstraints_;
  std::shared_ptr<plat::UIView> topSpacer_, bottomSpacer_;
  std::shared_ptr<plat::UIMotionEffectGroup> bezelMotionEffects_;
  std::weak_ptr<plat::NSTimer> graceTimer_, minShowTimer_, hideDelayTimer_;
  std::shared_ptr<plat::CADisplayLink> displayLink_;
  plat::CGPoint offset_;
  plat::CGSize minSize_;
  // Each hide that will end in `done` gets a generation; `done` of a hide that a later hide
  // superseded does nothing, so one hide cycle finishes (completion, delegate) exactly once.
  // A show detaches the pending hide instead: that hide still finishes when it ends, even if
  // a new hide starts before it does.
  uint64_t hideGeneration_ = 0;
  uint64_t pendingHide_ = 0;
  std::vector<uint64_t> detachedHides_;
};

}  // namespace hud_internal
