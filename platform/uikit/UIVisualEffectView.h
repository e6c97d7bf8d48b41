#pragma once
// UIBlurEffect, UIVisualEffectView and UIToolbar: stored-only stand-ins for the platform's blur
// views. There is no blur here: the renderer draws each as a flat tint of its style.
// Main thread only.

#include <memory>

#include "platform/uikit/UIView.h"
// UIToolbar, which the blurred backgrounds use, lives with the navigation controller.
#include "platform/uikit/UINavigationController.h"

namespace plat {

enum UIBlurEffectStyle : int64_t {
  UIBlurEffectStyleExtraLight = 0,
  UIBlurEffectStyleLight = 1,
  UIBlurEffectStyleDark = 2,
  UIBlurEffectStyleRegular = 4,
  UIBlurEffectStyleProminent = 5,
  UIBlurEffectStyleSystemUltraThinMaterial = 6,
  UIBlurEffectStyleSystemThinMaterial = 7,
  UIBlurEffectStyleSystemMaterial = 8,
  UIBlurEffectStyleSystemThickMaterial = 9,
  UIBlurEffectStyleSystemChromeMaterial = 10,
};

class UIVisualEffect : public Object {
 public:
  std::string className() const override { return "UIVisualEffect"; }
};

class UIBlurEffect : public UIVisualEffect {
 public:
  explicit UIBlurEffect(UIBlurEffectStyle style) : style_(style) {}
  static std::shared_ptr<UIBlurEffect> effectWithStyle(UIBlurEffectStyle style) {
    return std::make_shared<UIBlurEffect>(style);
  }
  UIBlurEffectStyle style() const { return style_; }
  // The flat colour drawn in place of the blur.
  UIColor tint() const;
  std::string className() const override { return "UIBlurEffect"; }

 private:
  UIBlurEffectStyle style_;
};

class UIVisualEffectView : public UIView {
 public:
  explicit UIVisualEffectView(std::shared_ptr<UIVisualEffect> effect = nullptr);
  void didInit() override;
  std::string className() const override { return "UIVisualEffectView"; }

  std::shared_ptr<UIVisualEffect> effect() const { return effect_; }
  void setEffect(std::shared_ptr<UIVisualEffect> e);
  // Subviews of the effect go here (sized with the view).
  std::shared_ptr<UIView> contentView() const { return contentView_; }
  void drawBuiltInContent(CGContextRef c) const override;

 private:
  std::shared_ptr<UIVisualEffect> effect_;
  std::shared_ptr<UIView> contentView_;
};


}  // namespace plat
