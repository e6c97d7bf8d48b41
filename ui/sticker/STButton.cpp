#include "ui/sticker/STButton.h"

using namespace plat;

bool STButton::pointInside(CGPoint p, const UIEvent* event) const {
  CGRect b = bounds();
  CGRect area = CGRectMake(b.origin.x + touchInsets_.left, b.origin.y + touchInsets_.top,
                           b.size.width - touchInsets_.left - touchInsets_.right,
                           b.size.height - touchInsets_.top - touchInsets_.bottom);
  if (area.size.width > 0 && area.size.height > 0 && CGRectContainsPoint(area, p)) return true;
  return UIButton::pointInside(p, event);
}
