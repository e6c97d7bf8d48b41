#pragma once
// CoreGraphics geometry: points, sizes, rectangles, edge insets and affine transforms, with the
// platform's helper functions. Plain values; safe to use from any thread.

#include <cmath>
#include <ostream>
#include <string>

namespace plat {

struct CGPoint {
  double x = 0, y = 0;
  bool operator==(const CGPoint&) const = default;
};

struct CGSize {
  double width = 0, height = 0;
  bool operator==(const CGSize&) const = default;
};

struct CGRect {
  CGPoint origin;
  CGSize size;
  bool operator==(const CGRect&) const = default;
};

// Top, left, bottom, right, as the platform orders them.
struct UIEdgeInsets {
  double top = 0, left = 0, bottom = 0, right = 0;
  bool operator==(const UIEdgeInsets&) const = default;
};

// [a b 0; c d 0; tx ty 1]; a point maps to (a x + c y + tx, b x + d y + ty).
struct CGAffineTransform {
  double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;
  bool operator==(const CGAffineTransform&) const = default;
};

inline constexpr CGPoint CGPointZero{};
inline constexpr CGSize CGSizeZero{};
inline constexpr CGRect CGRectZero{};
inline constexpr UIEdgeInsets UIEdgeInsetsZero{};
inline constexpr CGAffineTransform CGAffineTransformIdentity{};

inline CGPoint CGPointMake(double x, double y) { return {x, y}; }
inline CGSize CGSizeMake(double w, double h) { return {w, h}; }
inline CGRect CGRectMake(double x, double y, double w, double h) { return {{x, y}, {w, h}}; }
inline UIEdgeInsets UIEdgeInsetsMake(double t, double l, double b, double r) { return {t, l, b, r}; }

// Edge functions work on the standardized rectangle (negative sizes flipped).
CGRect CGRectStandardize(CGRect r);
double CGRectGetMinX(CGRect r);
double CGRectGetMinY(CGRect r);
double CGRectGetMaxX(CGRect r);
double CGRectGetMaxY(CGRect r);
double CGRectGetMidX(CGRect r);
double CGRectGetMidY(CGRect r);
double CGRectGetWidth(CGRect r);
double CGRectGetHeight(CGRect r);
bool CGRectIsEmpty(CGRect r);  // zero width or height
bool CGRectIsNull(CGRect r);   // the null rectangle (infinite origin)
extern const CGRect CGRectNull;
CGRect CGRectInset(CGRect r, double dx, double dy);
CGRect CGRectOffset(CGRect r, double dx, double dy);
CGRect CGRectIntegral(CGRect r);
// Returns CGRectNull when the rectangles do not overlap.
CGRect CGRectIntersection(CGRect a, CGRect b);
CGRect CGRectUnion(CGRect a, CGRect b);
bool CGRectIntersectsRect(CGRect a, CGRect b);
// Half-open: the max edges are outside.
bool CGRectContainsPoint(CGRect r, CGPoint p);
bool CGRectContainsRect(CGRect outer, CGRect inner);
bool CGSizeEqualToSize(CGSize a, CGSize b);
bool CGRectEqualToRect(CGRect a, CGRect b);
CGRect UIEdgeInsetsInsetRect(CGRect r, UIEdgeInsets i);

CGAffineTransform CGAffineTransformMake(double a, double b, double c, double d, double tx, double ty);
CGAffineTransform CGAffineTransformMakeScale(double sx, double sy);
CGAffineTransform CGAffineTransformMakeTranslation(double tx, double ty);
CGAffineTransform CGAffineTransformMakeRotation(double angle);
// t1 then t2.
CGAffineTransform CGAffineTransformConcat(CGAffineTransform t1, CGAffineTransform t2);
CGAffineTransform CGAffineTransformScale(CGAffineTransform t, double sx, double sy);
CGAffineTransform CGAffineTransformTranslate(CGAffineTransform t, double tx, double ty);
CGAffineTransform CGAffineTransformRotate(CGAffineTransform t, double angle);
// A singular transform is returned unchanged, as the platform does.
CGAffineTransform CGAffineTransformInvert(CGAffineTransform t);
bool CGAffineTransformIsIdentity(CGAffineTransform t);
CGPoint CGPointApplyAffineTransform(CGPoint p, CGAffineTransform t);
CGSize CGSizeApplyAffineTransform(CGSize s, CGAffineTransform t);
// The bounding box of the transformed rectangle.
CGRect CGRectApplyAffineTransform(CGRect r, CGAffineTransform t);

std::string NSStringFromCGRect(CGRect r);  // "{{x, y}, {w, h}}"
std::string NSStringFromCGSize(CGSize s);  // "{w, h}"
std::string NSStringFromCGPoint(CGPoint p);  // "{x, y}"

// The same text forms on streams (readable test failures and logs).
inline std::ostream& operator<<(std::ostream& o, CGPoint p) { return o << NSStringFromCGPoint(p); }
inline std::ostream& operator<<(std::ostream& o, CGSize s) { return o << NSStringFromCGSize(s); }
inline std::ostream& operator<<(std::ostream& o, CGRect r) { return o << NSStringFromCGRect(r); }

}  // namespace plat
