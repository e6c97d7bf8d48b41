#pragma once
// sd_HBProgressHUD: the older progress HUD, kept beside HVProgressHUD with its own view classes
// and delegate protocol. It behaves like HVProgressHUD except that: motion effects are on by
// default and installed when the HUD is made; the bezel shows at `opacity`; the spinner is the
// white-large style with the content colour (or activityIndicatorColor); each
// hideAnimatedAfterDelay schedules one more hide; and it adds the older interface: text,
// font and colour properties of the labels, offsets, a dimmed background, hiding every HUD of
// a view, and showing the HUD while a task runs on a queue.
//
// The class operations find only sd_HBProgressHUDs. This system reports a modern platform
// version, so the fallbacks for systems before iOS 7 and 8 are not taken.
//
// Main thread only, except the task of the showWhileExecuting family, which runs on the given
// queue (its clean-up comes back to the main queue); taskInProgress is atomic for that reason.

#include <atomic>
#include <memory>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "ui/hud/HUDCore.h"
#include "ui/hud/sd_HBBackgroundView.h"
#include "ui/hud/sd_HBBarProgressView.h"
#include "ui/hud/sd_HBProgressHUDRoundedButton.h"
#include "ui/hud/sd_HBRoundProgressView.h"

class sd_HBProgressHUD;

class sd_HBProgressHUDDelegate {
 public:
  virtual ~sd_HBProgressHUDDelegate() = default;
  virtual void hudWasHidden(sd_HBProgressHUD& hud) {}
};

class sd_HBProgressHUD : public hud_internal::HUDCore {
 public:
  explicit sd_HBProgressHUD(plat::CGRect frame = plat::CGRectZero) : HUDCore(frame, true) {}
  std::string className() const override { return "sd_HBProgressHUD"; }

  static std::shared_ptr<sd_HBProgressHUD> initWithView(const plat::UIViewRef& view);
  static std::shared_ptr<sd_HBProgressHUD> initWithWindow(const plat::UIViewRef& window);
  static std::shared_ptr<sd_HBProgressHUD> showHUDAddedToAnimated(const plat::UIViewRef& view,
                                                                  bool animated);
  static bool hideHUDForViewAnimated(const plat::UIViewRef& view, bool animated);
  static std::shared_ptr<sd_HBProgressHUD> HUDForView(const plat::UIViewRef& view);
  // Every sd_HBProgressHUD subview of view, finished or not, bottom first.
  static std::vector<std::shared_ptr<sd_HBProgressHUD>> allHUDsForView(const plat::UIViewRef& view);
  // Flags each of allHUDsForView to be removed and hides it; returns how many there were.
  static uint64_t hideAllHUDsForViewAnimated(const plat::UIViewRef& view, bool animated);

  void show(bool animated) { showAnimated(animated); }
  void hide(bool animated) { hideAnimated(animated); }
  void hideAfterDelay(bool animated, double delay) { hideAnimatedAfterDelay(animated, delay); }

  // Shows the HUD, runs task on queue (a default-priority global queue when null), then hides
  // the HUD on the main queue and runs completion as the completion block (replacing any
  // earlier one). The HUD stays alive until the clean-up ran.
  void showAnimatedWhileExecutingBlockOnQueueCompletionBlock(bool animated,
                                                             std::function<void()> task,
                                                             plat::DispatchQueueRef queue,
                                                             std::function<void()> completion);
  void showAnimatedWhileExecutingBlock(bool animated, std::function<void()> task);
  void showAnimatedWhileExecutingBlockCompletionBlock(bool animated, std::function<void()> task,
                                                      std::function<void()> completion);
  void showAnimatedWhileExecutingBlockOnQueue(bool animated, std::function<void()> task,
                                              plat::DispatchQueueRef queue);
  // The task calls `method` with `object` while keeping `target` alive.
  void showWhileExecutingOnTargetWithObjectAnimated(
      std::function<void(const plat::Value& object)> method,
      std::shared_ptr<plat::Object> target, plat::Value object, bool animated);
  // taskInProgress = NO, then hides with the last animated flag.
  void cleanUp();
  bool taskInProgress() const { return taskInProgress_.load(); }
  void setTaskInProgress(bool t) { taskInProgress_.store(t); }

  // The older property interface.
  std::string labelText() const { return label()->text(); }
  void setLabelText(std::string t) { label()->setText(std::move(t)); }
  plat::UIFont labelFont() const { return label()->font(); }
  void setLabelFont(const plat::UIFont& f) { label()->setFont(f); }
  plat::UIColor labelColor() const { return label()->textColor(); }
  void setLabelColor(plat::UIColorRef c) { label()->setTextColor(c); }
  std::string detailsLabelText() const { return detailsLabel()->text(); }
  void setDetailsLabelText(std::string t) { detailsLabel()->setText(std::move(t)); }
  plat::UIFont detailsLabelFont() const { return detailsLabel()->font(); }
  void setDetailsLabelFont(const plat::UIFont& f) { detailsLabel()->setFont(f); }
  plat::UIColor detailsLabelColor() const { return detailsLabel()->textColor(); }
  void setDetailsLabelColor(plat::UIColorRef c) { detailsLabel()->setTextColor(c); }
  double opacity() const { return opacity_; }
  void setOpacity(double o) { opacity_ = o; }
  plat::UIColorRef color() const { return bezelViewBase()->color(); }
  void setColor(plat::UIColorRef c) { bezelViewBase()->setColor(c); }
  double xOffset() const { return offset().x; }
  void setXOffset(double x) { setOffset(plat::CGPointMake(x, offset().y)); }
  double yOffset() const { return offset().y; }
  void setYOffset(double y) { setOffset(plat::CGPointMake(offset().x, y)); }
  double cornerRadius() const { return bezelViewBase()->layer()->cornerRadius(); }
  void setCornerRadius(double r) { bezelViewBase()->layer()->setCornerRadius(r); }
  // YES: the background view becomes solid black at alpha 0.2; NO: solid clear.
  bool disd_HBackground() const;
  void setDisd_HBackground(bool dim);
  plat::CGSize size() const { return bezelViewBase()->frame().size; }
  plat::UIColorRef activityIndicatorColor() const { return activityIndicatorColor_; }
  void setActivityIndicatorColor(plat::UIColorRef c);

  std::shared_ptr<sd_HBProgressHUDDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<sd_HBProgressHUDDelegate> d) { delegate_ = std::move(d); }
  std::shared_ptr<sd_HBBackgroundView> bezelView() const;
  std::shared_ptr<sd_HBBackgroundView> backgroundView() const;
  std::shared_ptr<sd_HBProgressHUDRoundedButton> button() const;

 protected:
  std::shared_ptr<hud_internal::BackgroundViewBase> makeBackgroundView(
      plat::CGRect frame) const override;
  std::shared_ptr<hud_internal::RoundProgressViewBase> makeRoundView() const override;
  std::shared_ptr<hud_internal::BarProgressViewBase> makeBarView() const override;
  std::shared_ptr<hud_internal::RoundedButtonBase> makeButton() const override;
  void notifyDelegateHidden() override;
  double shownBezelAlpha() const override { return opacity_; }
  plat::UIColorRef indicatorColorOverride() const override { return activityIndicatorColor_; }

 private:
  std::weak_ptr<sd_HBProgressHUDDelegate> delegate_;
  plat::UIColorRef activityIndicatorColor_;
  double opacity_ = 1.0;
  std::atomic<bool> taskInProgress_{false};
};
