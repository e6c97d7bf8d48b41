#pragma once
// UIActivityIndicatorView: the spinner. Large styles measure 37 x 37 points, the others
// 20 x 20. With hidesWhenStopped (the default) the view is hidden while stopped. Drawn as
// twelve spokes fading round the circle. Main thread only.

#include "platform/uikit/UIView.h"

namespace plat {

enum UIActivityIndicatorViewStyle : int64_t {
  UIActivityIndicatorViewStyleWhiteLarge = 0,
  UIActivityIndicatorViewStyleWhite = 1,
  UIActivityIndicatorViewStyleGray = 2,
  UIActivityIndicatorViewStyleMedium = 100,
  UIActivityIndicatorViewStyleLarge = 101,
};

class UIActivityIndicatorView : public UIView {
 public:
  explicit UIActivityIndicatorView(
      UIActivityIndicatorViewStyle style = UIActivityIndicatorViewStyleMedium);
  std::string className() const override { return "UIActivityIndicatorView"; }

  UIActivityIndicatorViewStyle activityIndicatorViewStyle() const { return style_; }
  // Resets the colour to the style's default and the size to the style's.
  void setActivityIndicatorViewStyle(UIActivityIndicatorViewStyle s);
  UIColor color() const { return color_; }
  void setColor(UIColorRef c);  // nil: the style's default
  bool hidesWhenStopped() const { return hidesWhenStopped_; }
  void setHidesWhenStopped(bool h);
  void startAnimating();
  void stopAnimating();
  bool isAnimating() const { return animating_; }

  CGSize intrinsicContentSize() const override;
  CGSize sizeThatFits(CGSize) const override { return intrinsicContentSize(); }
  void drawBuiltInContent(CGContextRef c) const override;

  static double sideForStyle(UIActivityIndicatorViewStyle s);
  static UIColor defaultColorForStyle(UIActivityIndicatorViewStyle s);

 private:
  UIActivityIndicatorViewStyle style_;
  UIColor color_;
  bool hidesWhenStopped_ = true;
  bool animating_ = false;
};

}  // namespace plat
