#pragma once
// Touches and touch events as the headless event driver (UITouchDriver) delivers them.
// Main thread only.

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/graphics/CGGeometry.h"

namespace plat {

class UIView;
class UIWindow;

enum UITouchPhase : int64_t {
  UITouchPhaseBegan = 0,
  UITouchPhaseMoved = 1,
  UITouchPhaseStationary = 2,
  UITouchPhaseEnded = 3,
  UITouchPhaseCancelled = 4
};

struct UITouch {
  int64_t identifier = 0;
  std::weak_ptr<UIView> view;  // the hit-tested view the touch belongs to
  std::weak_ptr<UIWindow> window;
  CGPoint windowLocation;
  CGPoint previousWindowLocation;
  UITouchPhase phase = UITouchPhaseBegan;
  int64_t tapCount = 1;
  double timestamp = 0;  // clock seconds

  // The location in view's bounds coordinates (window coordinates for nullptr).
  CGPoint locationInView(const UIView* view) const;
  CGPoint previousLocationInView(const UIView* view) const;
};

struct UIEvent {
  double timestamp = 0;
  std::vector<UITouch> allTouches;
};

}  // namespace plat
