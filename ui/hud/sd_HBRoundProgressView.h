#pragma once
// sd_HBRoundProgressView: sd_HBProgressHUD's pie or ring progress (see HVRoundProgressView).

#include "ui/hud/HUDViewsInternal.h"

class sd_HBRoundProgressView : public hud_internal::RoundProgressViewBase {
 public:
  using RoundProgressViewBase::RoundProgressViewBase;
  std::string className() const override { return "sd_HBRoundProgressView"; }
};
