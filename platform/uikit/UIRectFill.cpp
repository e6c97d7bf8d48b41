#include "platform/uikit/UIGraphics.h"

namespace plat {

void UIRectFill(CGRect rect) {
  if (CGContextRef c = UIGraphicsGetCurrentContext()) CGContextFillRect(c, rect);
}

}  // namespace plat
