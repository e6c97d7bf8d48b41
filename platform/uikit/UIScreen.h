#pragma once
// UIScreen: the one screen, with settable bounds (points) and scale. The scale is also the
// default scale of image contexts and of the display pass. Main thread only.

#include "platform/graphics/CGGeometry.h"

namespace plat {

class UIScreen {
 public:
  // The process-wide screen (375 x 667 points at scale 2 until set).
  static UIScreen& mainScreen();
  CGRect bounds() const { return bounds_; }
  void setBounds(CGRect b) { bounds_ = b; }
  double scale() const { return scale_; }
  // Values <= 0 are ignored.
  void setScale(double s);
  CGRect nativeBounds() const;
  void resetForTesting();

 private:
  CGRect bounds_ = CGRectMake(0, 0, 375, 667);
  double scale_ = 2;
};

}  // namespace plat
