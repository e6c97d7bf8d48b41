#pragma once
// HVProgressHUDRoundedButton: the HUD's pill-shaped button. It takes no room (intrinsic size
// zero) unless it has an action and a normal-state title; then it is the plain button's size
// plus 20 points of width. Main thread only.

#include "ui/hud/HUDViewsInternal.h"

class HVProgressHUDRoundedButton : public hud_internal::RoundedButtonBase {
 public:
  explicit HVProgressHUDRoundedButton(plat::CGRect frame = plat::CGRectZero)
      : RoundedButtonBase(frame, /*needsTitle=*/true) {}
  std::string className() const override { return "HVProgressHUDRoundedButton"; }
};
