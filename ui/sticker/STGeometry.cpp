#include "ui/sticker/STGeometry.h"

#include <algorithm>
#include <mutex>

#include "platform/uikit/UIScreen.h"

double STScreenOnePixel() {
  static std::once_flag once;
  static double pixel = 1;
  std::call_once(once, [] { pixel = 1 / plat::UIScreen::mainScreen().scale(); });
  return pixel;
}

plat::CGRect STRectInsetClamped(plat::CGRect r, plat::UIEdgeInsets i) {
  return plat::CGRectMake(r.origin.x + i.left, r.origin.y + i.top,
                          std::max(r.size.width - i.left - i.right, 0.0),
                          std::max(r.size.height - i.top - i.bottom, 0.0));
}
