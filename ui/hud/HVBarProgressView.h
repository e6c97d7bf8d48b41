#pragma once
// HVBarProgressView: a rounded bar outline with the progress filled inside. 120 x 20 points
// by default, 120 x 10 intrinsically. Progress and fill colour changes redraw; the line colour
// only shows at the next redraw. Main thread only.

#include "ui/hud/HUDViewsInternal.h"

class HVBarProgressView : public hud_internal::BarProgressViewBase {
 public:
  using BarProgressViewBase::BarProgressViewBase;
  std::string className() const override { return "HVBarProgressView"; }
};
