#include "platform/uikit/UIVisualEffectView.h"

namespace plat {

UIColor UIBlurEffect::tint() const {
  switch (style_) {
    case UIBlurEffectStyleExtraLight: return UIColor::colorWithWhiteAlpha(0.97, 0.85);
    case UIBlurEffectStyleLight: return UIColor::colorWithWhiteAlpha(0.97, 0.8);
    case UIBlurEffectStyleDark: return UIColor::colorWithWhiteAlpha(0.11, 0.73);
    case UIBlurEffectStyleSystemUltraThinMaterial: return UIColor::colorWithWhiteAlpha(0.95, 0.5);
    case UIBlurEffectStyleSystemThinMaterial: return UIColor::colorWithWhiteAlpha(0.95, 0.7);
    case UIBlurEffectStyleSystemThickMaterial: return UIColor::colorWithWhiteAlpha(0.93, 0.92);
    case UIBlurEffectStyleSystemChromeMaterial: return UIColor::colorWithWhiteAlpha(0.96, 0.9);
    default: return UIColor::colorWithWhiteAlpha(0.95, 0.82);
  }
}

UIVisualEffectView::UIVisualEffectView(std::shared_ptr<UIVisualEffect> effect)
    : effect_(std::move(effect)) {
  setOpaque(false);
}

void UIVisualEffectView::didInit() {
  UIView::didInit();
  contentView_ = make<UIView>(bounds());
  contentView_->setAutoresizingMask(UIViewAutoresizingFlexibleWidth |
                                    UIViewAutoresizingFlexibleHeight);
  addSubview(contentView_);
}

void UIVisualEffectView::setEffect(std::shared_ptr<UIVisualEffect> e) {
  effect_ = std::move(e);
  setNeedsDisplay();
}

void UIVisualEffectView::drawBuiltInContent(CGContextRef c) const {
  auto blur = std::dynamic_pointer_cast<UIBlurEffect>(effect_);
  if (!blur || !c) return;
  CGContextSetFillColorWithColor(c, blur->tint().CGColor());
  CGContextFillRect(c, bounds());
}

}  // namespace plat
