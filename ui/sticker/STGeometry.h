#pragma once
// Geometry helpers of the sticker keyboard.

#include "platform/graphics/CGGeometry.h"

// One physical pixel in points (1 / the main screen's scale), computed on the first call and
// unchanged afterwards. Safe from any thread after the main screen is set up.
double STScreenOnePixel();

// The rectangle shrunk by the insets, its width and height never below 0.
plat::CGRect STRectInsetClamped(plat::CGRect rect, plat::UIEdgeInsets insets);
