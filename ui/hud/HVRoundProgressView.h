#pragma once
// HVRoundProgressView: pie (default) or ring progress drawn in drawRect:. 37 x 37 points by
// default and intrinsically. Progress and tint changes redraw; setAnnular: only stores (the
// HUD redraws it when it switches between pie and ring). Main thread only.

#include "ui/hud/HUDViewsInternal.h"

class HVRoundProgressView : public hud_internal::RoundProgressViewBase {
 public:
  using RoundProgressViewBase::RoundProgressViewBase;
  std::string className() const override { return "HVRoundProgressView"; }
};
