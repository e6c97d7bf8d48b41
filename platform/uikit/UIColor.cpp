#include "platform/uikit/UIColor.h"

#include <algorithm>
#include <cmath>

#include "platform/foundation/Value.h"
#include "platform/uikit/UIGraphics.h"

namespace plat {

static double clamp01(double v) { return std::clamp(v, 0.0, 1.0); }

UIColor UIColor::colorWithRedGreenBlueAlpha(double r, double g, double b, double a) {
  return {r, g, b, clamp01(a)};
}
UIColor UIColor::colorWithWhiteAlpha(double white, double a) {
  return {white, white, white, clamp01(a)};
}

void UIColor::getRed(double* r, double* g, double* b, double* a) const {
  if (r) *r = r_;
  if (g) *g = g_;
  if (b) *b = b_;
  if (a) *a = a_;
}
void UIColor::getWhite(double* white, double* a) const {
  if (white) *white = 0.299 * r_ + 0.587 * g_ + 0.114 * b_;
  if (a) *a = a_;
}

void UIColor::setFill() const { CGContextSetFillColorWithColor(UIGraphicsGetCurrentContext(), CGColor()); }
void UIColor::setStroke() const {
  CGContextSetStrokeColorWithColor(UIGraphicsGetCurrentContext(), CGColor());
}
void UIColor::set() const {
  setFill();
  setStroke();
}

bool UIColor::operator==(const UIColor& o) const {
  // Components that differ only by float rounding are the same colour.
  auto eq = [](double x, double y) { return std::fabs(x - y) < 1e-6; };
  return eq(r_, o.r_) && eq(g_, o.g_) && eq(b_, o.b_) && eq(a_, o.a_);
}

std::string UIColor::description() const {
  auto n = [](double d) { return Value(d).description(); };
  return "UIExtendedSRGBColorSpace " + n(r_) + " " + n(g_) + " " + n(b_) + " " + n(a_);
}

}  // namespace plat
