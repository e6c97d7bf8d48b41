#pragma once
// sd_HBBarProgressView: sd_HBProgressHUD's bar progress (see HVBarProgressView).

#include "ui/hud/HUDViewsInternal.h"

class sd_HBBarProgressView : public hud_internal::BarProgressViewBase {
 public:
  using BarProgressViewBase::BarProgressViewBase;
  std::string className() const override { return "sd_HBBarProgressView"; }
};
