#pragma once
// The channel SDK's frame shorthands for views, in points. Main thread only.
// REQUIRES: a non-null view.

#include "platform/uikit/UIView.h"

struct UIView_Extension {
  static double width(const plat::UIView& view) { return view.frame().size.width; }
  static double height(const plat::UIView& view) { return view.frame().size.height; }
  static double top(const plat::UIView& view) { return view.frame().origin.y; }
  static double bottom(const plat::UIView& view) {
    return view.frame().origin.y + view.frame().size.height;
  }
};
