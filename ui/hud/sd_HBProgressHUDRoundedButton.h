#pragma once
// sd_HBProgressHUDRoundedButton: sd_HBProgressHUD's button. Unlike the newer HUD's, a button
// with an action takes room even without a title. Main thread only.

#include "ui/hud/HUDViewsInternal.h"

class sd_HBProgressHUDRoundedButton : public hud_internal::RoundedButtonBase {
 public:
  explicit sd_HBProgressHUDRoundedButton(plat::CGRect frame = plat::CGRectZero)
      : RoundedButtonBase(frame, /*needsTitle=*/false) {}
  std::string className() const override { return "sd_HBProgressHUDRoundedButton"; }
};
