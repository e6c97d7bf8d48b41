#pragma once
// UIColor: an RGBA colour value (sRGB components 0..1, straight alpha). A nil colour is an
// empty std::optional<UIColor> (UIColorRef). Equality (isEqual:) compares components.
// Plain value; safe to use from any thread. setFill/setStroke/set need a current context
// (UIGraphicsGetCurrentContext) and do nothing without one.

#include <optional>
#include <string>

#include "platform/graphics/CGContext.h"

namespace plat {

class UIColor {
 public:
  constexpr UIColor() = default;  // clear
  constexpr UIColor(double r, double g, double b, double a) : r_(r), g_(g), b_(b), a_(a) {}

  static UIColor colorWithRedGreenBlueAlpha(double r, double g, double b, double a);
  static UIColor colorWithWhiteAlpha(double white, double a);
  static UIColor colorWithCGColor(plat::CGColor c) { return {c.r, c.g, c.b, c.a}; }
  static UIColor blackColor() { return {0, 0, 0, 1}; }
  static UIColor whiteColor() { return {1, 1, 1, 1}; }
  static UIColor clearColor() { return {0, 0, 0, 0}; }
  static UIColor redColor() { return {1, 0, 0, 1}; }
  static UIColor greenColor() { return {0, 1, 0, 1}; }
  static UIColor blueColor() { return {0, 0, 1, 1}; }
  static UIColor grayColor() { return {0.5, 0.5, 0.5, 1}; }
  static UIColor lightGrayColor() { return {2.0 / 3, 2.0 / 3, 2.0 / 3, 1}; }
  static UIColor darkGrayColor() { return {1.0 / 3, 1.0 / 3, 1.0 / 3, 1}; }
  static UIColor orangeColor() { return {1, 0.5, 0, 1}; }
  // The light appearance of the dynamic system colours.
  static UIColor labelColor() { return {0, 0, 0, 1}; }
  static UIColor systemBackgroundColor() { return {1, 1, 1, 1}; }
  static UIColor systemBlueColor() { return {0, 122 / 255.0, 1, 1}; }
  // The default tint of views without one of their own.
  static UIColor defaultTintColor() { return systemBlueColor(); }

  UIColor colorWithAlphaComponent(double a) const { return {r_, g_, b_, a}; }
  double red() const { return r_; }
  double green() const { return g_; }
  double blue() const { return b_; }
  double alpha() const { return a_; }
  void getRed(double* r, double* g, double* b, double* a) const;
  // Luminance-weighted white (exact for greys).
  void getWhite(double* white, double* a) const;
  plat::CGColor CGColor() const { return {r_, g_, b_, a_}; }

  void setFill() const;
  void setStroke() const;
  void set() const;

  bool isEqual(const UIColor& o) const { return *this == o; }
  bool operator==(const UIColor& o) const;
  // "UIExtendedSRGBColorSpace r g b a"
  std::string description() const;

 private:
  double r_ = 0, g_ = 0, b_ = 0, a_ = 0;
};

using UIColorRef = std::optional<UIColor>;

}  // namespace plat
