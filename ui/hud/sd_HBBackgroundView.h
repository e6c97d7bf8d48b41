#pragma once
// sd_HBBackgroundView: sd_HBProgressHUD's bezel and background. Defaults to the blur style with
// white 0.8 at alpha 0.6; the blur (always the light style) is added above existing subviews.
// The toolbar of older systems is never made here (it stays nil). Main thread only.

#include "ui/hud/HUDViewsInternal.h"

enum sd_HBHUDBackgroundStyle : int64_t {
  sd_HBHUDBackgroundSolidColor = hud_internal::kBackgroundSolidColor,
  sd_HBHUDBackgroundBlur = hud_internal::kBackgroundBlur,
};

class sd_HBBackgroundView : public hud_internal::BackgroundViewBase {
 public:
  explicit sd_HBBackgroundView(plat::CGRect frame = plat::CGRectZero)
      : BackgroundViewBase(frame, plat::UIColor::colorWithWhiteAlpha(0.8, 0.6),
                           /*blurBelowContent=*/false) {}
  std::string className() const override { return "sd_HBBackgroundView"; }
  std::shared_ptr<plat::UIToolbar> toolbar() const { return toolbar_; }

 protected:
  plat::UIBlurEffectStyle blurStyleForEffect() const override {
    return plat::UIBlurEffectStyleLight;
  }

 private:
  std::shared_ptr<plat::UIToolbar> toolbar_;
};
