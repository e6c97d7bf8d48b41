#pragma once
// STButton: a button whose touch area can be enlarged by negative touch insets.
// Main thread only.

#include "platform/uikit/UIButton.h"

class STButton : public plat::UIButton {
 public:
  using plat::UIButton::UIButton;
  std::string className() const override { return "STButton"; }

  // Top, left, bottom, right; negative values enlarge the area that accepts touches.
  plat::UIEdgeInsets touchInsets() const { return touchInsets_; }
  void setTouchInsets(plat::UIEdgeInsets insets) { touchInsets_ = insets; }

  // Inside the bounds adjusted by the insets, or inside the plain bounds: positive insets
  // never shrink the area.
  bool pointInside(plat::CGPoint p, const plat::UIEvent* event) const override;

 private:
  plat::UIEdgeInsets touchInsets_;
};
