#pragma once
// HVProgressHUD: a busy/progress overlay laid over a host view. It centres a rounded bezel that
// stacks an indicator (spinner, pie, bar, ring, a custom view, or none), a bold label, a
// details label and a button; it fades or zooms in and out, can wait a grace time before it
// shows, stays at least minShowTime once shown, and can hide itself after a delay.
//
// The class operations find only HVProgressHUDs (never the older sd_HBProgressHUD).
// A hide cycle ends exactly once: the completion block and the delegate run once even when a
// second hide arrives while the first is waiting or animating. A hide that a show cuts short
// still reports its end (completion block, delegate) but leaves the shown HUD as it is.
//
// Main thread only.

#include <memory>

#include "ui/hud/HUDCore.h"
#include "ui/hud/HVBackgroundView.h"
#include "ui/hud/HVBarProgressView.h"
#include "ui/hud/HVProgressHUDRoundedButton.h"
#include "ui/hud/HVRoundProgressView.h"

class HVProgressHUD;

// Optional operations; the defaults do nothing.
class HVProgressHUDDelegate {
 public:
  virtual ~HVProgressHUDDelegate() = default;
  virtual void hudWasHidden(HVProgressHUD& hud) {}
};

class HVProgressHUD : public hud_internal::HUDCore {
 public:
  explicit HVProgressHUD(plat::CGRect frame = plat::CGRectZero) : HUDCore(frame, false) {}
  std::string className() const override { return "HVProgressHUD"; }

  // A HUD the size of view's bounds (not added to it). A null view gives a zero-size HUD.
  static std::shared_ptr<HVProgressHUD> initWithView(const plat::UIViewRef& view);
  static std::shared_ptr<HVProgressHUD> initWithFrame(plat::CGRect frame);

  // Creates a HUD for view, flags it to be removed when hidden, adds it as view's topmost
  // subview and shows it. Returns it (nullptr for a null view).
  static std::shared_ptr<HVProgressHUD> showHUDAddedToAnimated(const plat::UIViewRef& view,
                                                               bool animated);
  // Hides (and removes once hidden) the topmost unfinished HVProgressHUD of view. Returns
  // false, changing nothing, when there is none.
  static bool hideHUDForViewAnimated(const plat::UIViewRef& view, bool animated);
  // The topmost subview of view that is an HVProgressHUD and not hiding; nullptr when none.
  static std::shared_ptr<HVProgressHUD> HUDForView(const plat::UIViewRef& view);

  std::shared_ptr<HVProgressHUDDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<HVProgressHUDDelegate> d) { delegate_ = std::move(d); }
  std::shared_ptr<HVBackgroundView> bezelView() const;
  std::shared_ptr<HVBackgroundView> backgroundView() const;
  std::shared_ptr<HVProgressHUDRoundedButton> button() const;

 protected:
  std::shared_ptr<hud_internal::BackgroundViewBase> makeBackgroundView(
      plat::CGRect frame) const override;
  std::shared_ptr<hud_internal::RoundProgressViewBase> makeRoundView() const override;
  std::shared_ptr<hud_internal::BarProgressViewBase> makeBarView() const override;
  std::shared_ptr<hud_internal::RoundedButtonBase> makeButton() const override;
  void notifyDelegateHidden() override;

 private:
  std::weak_ptr<HVProgressHUDDelegate> delegate_;
};
