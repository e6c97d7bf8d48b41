#pragma once
// HVBackgroundView: the HUD's bezel and full-size background: a blur of blurEffectStyle (drawn
// as a tint here) under `color`, or `color` alone in the solid style. The blur view is the
// lowest subview. Clips to bounds; intrinsic size zero. Main thread only.

#include "ui/hud/HUDViewsInternal.h"

enum HVHUDBackgroundStyle : int64_t {
  HVHUDBackgroundSolidColor = hud_internal::kBackgroundSolidColor,
  HVHUDBackgroundBlur = hud_internal::kBackgroundBlur,
};

class HVBackgroundView : public hud_internal::BackgroundViewBase {
 public:
  explicit HVBackgroundView(plat::CGRect frame = plat::CGRectZero)
      : BackgroundViewBase(frame, std::nullopt, /*blurBelowContent=*/true) {}
  std::string className() const override { return "HVBackgroundView"; }

  plat::UIBlurEffectStyle blurEffectStyle() const { return blurEffectStyle_; }
  // Stores and rebuilds the blur when changed.
  void setBlurEffectStyle(plat::UIBlurEffectStyle s) {
    if (s == blurEffectStyle_) return;
    blurEffectStyle_ = s;
    updateForBackgroundStyle();
  }

 protected:
  plat::UIBlurEffectStyle blurStyleForEffect() const override { return blurEffectStyle_; }

 private:
  plat::UIBlurEffectStyle blurEffectStyle_ = plat::UIBlurEffectStyleSystemThickMaterial;
};
