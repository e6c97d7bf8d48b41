#include "platform/graphics/CGGeometry.h"

#include <algorithm>
#include <limits>

#include "platform/foundation/Value.h"

namespace plat {

const CGRect CGRectNull{{std::numeric_limits<double>::infinity(),
                         std::numeric_limits<double>::infinity()},
                        {0, 0}};

CGRect CGRectStandardize(CGRect r) {
  if (r.size.width < 0) {
    r.origin.x += r.size.width;
    r.size.width = -r.size.width;
  }
  if (r.size.height < 0) {
    r.origin.y += r.size.height;
    r.size.height = -r.size.height;
  }
  return r;
}
double CGRectGetMinX(CGRect r) { return CGRectStandardize(r).origin.x; }
double CGRectGetMinY(CGRect r) { return CGRectStandardize(r).origin.y; }
double CGRectGetMaxX(CGRect r) { r = CGRectStandardize(r); return r.origin.x + r.size.width; }
double CGRectGetMaxY(CGRect r) { r = CGRectStandardize(r); return r.origin.y + r.size.height; }
double CGRectGetMidX(CGRect r) { r = CGRectStandardize(r); return r.origin.x + r.size.width / 2; }
double CGRectGetMidY(CGRect r) { r = CGRectStandardize(r); return r.origin.y + r.size.height / 2; }
double CGRectGetWidth(CGRect r) { return std::fabs(r.size.width); }
double CGRectGetHeight(CGRect r) { return std::fabs(r.size.height); }
bool CGRectIsNull(CGRect r) { return std::isinf(r.origin.x) || std::isinf(r.origin.y); }
bool CGRectIsEmpty(CGRect r) {
  return CGRectIsNull(r) || r.size.width == 0 || r.size.height == 0;
}

CGRect CGRectInset(CGRect r, double dx, double dy) {
  if (CGRectIsNull(r)) return r;
  r = CGRectStandardize(r);
  r.origin.x += dx;
  r.origin.y += dy;
  r.size.width -= 2 * dx;
  r.size.height -= 2 * dy;
  if (r.size.width < 0 || r.size.height < 0) return CGRectNull;
  return r;
}

CGRect CGRectOffset(CGRect r, double dx, double dy) {
  if (CGRectIsNull(r)) return r;
  r = CGRectStandardize(r);
  r.origin.x += dx;
  r.origin.y += dy;
  return r;
}

CGRect CGRectIntegral(CGRect r) {
  if (CGRectIsNull(r)) return r;
  r = CGRectStandardize(r);
  double x0 = std::floor(r.origin.x), y0 = std::floor(r.origin.y);
  double x1 = std::ceil(r.origin.x + r.size.width), y1 = std::ceil(r.origin.y + r.size.height);
  return CGRectMake(x0, y0, x1 - x0, y1 - y0);
}

CGRect CGRectIntersection(CGRect a, CGRect b) {
  if (CGRectIsNull(a) || CGRectIsNull(b)) return CGRectNull;
  a = CGRectStandardize(a);
  b = CGRectStandardize(b);
  double x0 = std::max(a.origin.x, b.origin.x), y0 = std::max(a.origin.y, b.origin.y);
  double x1 = std::min(CGRectGetMaxX(a), CGRectGetMaxX(b));
  double y1 = std::min(CGRectGetMaxY(a), CGRectGetMaxY(b));
  if (x1 < x0 || y1 < y0) return CGRectNull;
  return CGRectMake(x0, y0, x1 - x0, y1 - y0);
}

CGRect CGRectUnion(CGRect a, CGRect b) {
  if (CGRectIsNull(a)) return b;
  if (CGRectIsNull(b)) return a;
  a = CGRectStandardize(a);
  b = CGRectStandardize(b);
  double x0 = std::min(a.origin.x, b.origin.x), y0 = std::min(a.origin.y, b.origin.y);
  double x1 = std::max(CGRectGetMaxX(a), CGRectGetMaxX(b));
  double y1 = std::max(CGRectGetMaxY(a), CGRectGetMaxY(b));
  return CGRectMake(x0, y0, x1 - x0, y1 - y0);
}

bool CGRectIntersectsRect(CGRect a, CGRect b) {
  CGRect i = CGRectIntersection(a, b);
  return !CGRectIsNull(i) && i.size.width > 0 && i.size.height > 0;
}

bool CGRectContainsPoint(CGRect r, CGPoint p) {
  if (CGRectIsNull(r)) return false;
  r = CGRectStandardize(r);
  return p.x >= r.origin.x && p.x < CGRectGetMaxX(r) && p.y >= r.origin.y &&
         p.y < CGRectGetMaxY(r);
}

bool CGRectContainsRect(CGRect outer, CGRect inner) {
  if (CGRectIsNull(outer) || CGRectIsNull(inner)) return false;
  outer = CGRectStandardize(outer);
  inner = CGRectStandardize(inner);
  return inner.origin.x >= outer.origin.x && inner.origin.y >= outer.origin.y &&
         CGRectGetMaxX(inner) <= CGRectGetMaxX(outer) &&
         CGRectGetMaxY(inner) <= CGRectGetMaxY(outer);
}

bool CGSizeEqualToSize(CGSize a, CGSize b) { return a == b; }
bool CGRectEqualToRect(CGRect a, CGRect b) {
  return CGRectStandardize(a) == CGRectStandardize(b);
}

CGRect UIEdgeInsetsInsetRect(CGRect r, UIEdgeInsets i) {
  r.origin.x += i.left;
  r.origin.y += i.top;
  r.size.width -= i.left + i.right;
  r.size.height -= i.top + i.bottom;
  return r;
}

CGAffineTransform CGAffineTransformMake(double a, double b, double c, double d, double tx,
                                        double ty) {
  return {a, b, c, d, tx, ty};
}
CGAffineTransform CGAffineTransformMakeScale(double sx, double sy) { return {sx, 0, 0, sy, 0, 0}; }
CGAffineTransform CGAffineTransformMakeTranslation(double tx, double ty) {
  return {1, 0, 0, 1, tx, ty};
}
CGAffineTransform CGAffineTransformMakeRotation(double angle) {
  double c = std::cos(angle), s = std::sin(angle);
  return {c, s, -s, c, 0, 0};
}

CGAffineTransform CGAffineTransformConcat(CGAffineTransform t1, CGAffineTransform t2) {
  return {t1.a * t2.a + t1.b * t2.c,
          t1.a * t2.b + t1.b * t2.d,
          t1.c * t2.a + t1.d * t2.c,
          t1.c * t2.b + t1.d * t2.d,
          t1.tx * t2.a + t1.ty * t2.c + t2.tx,
          t1.tx * t2.b + t1.ty * t2.d + t2.ty};
}
CGAffineTransform CGAffineTransformScale(CGAffineTransform t, double sx, double sy) {
  return CGAffineTransformConcat(CGAffineTransformMakeScale(sx, sy), t);
}
CGAffineTransform CGAffineTransformTranslate(CGAffineTransform t, double tx, double ty) {
  return CGAffineTransformConcat(CGAffineTransformMakeTranslation(tx, ty), t);
}
CGAffineTransform CGAffineTransformRotate(CGAffineTransform t, double angle) {
  return CGAffineTransformConcat(CGAffineTransformMakeRotation(angle), t);
}
CGAffineTransform CGAffineTransformInvert(CGAffineTransform t) {
  double det = t.a * t.d - t.b * t.c;
  if (det == 0) return t;
  CGAffineTransform r;
  r.a = t.d / det;
  r.b = -t.b / det;
  r.c = -t.c / det;
  r.d = t.a / det;
  r.tx = -(r.a * t.tx + r.c * t.ty);
  r.ty = -(r.b * t.tx + r.d * t.ty);
  return r;
}
bool CGAffineTransformIsIdentity(CGAffineTransform t) { return t == CGAffineTransformIdentity; }

CGPoint CGPointApplyAffineTransform(CGPoint p, CGAffineTransform t) {
  return {t.a * p.x + t.c * p.y + t.tx, t.b * p.x + t.d * p.y + t.ty};
}
CGSize CGSizeApplyAffineTransform(CGSize s, CGAffineTransform t) {
  return {t.a * s.width + t.c * s.height, t.b * s.width + t.d * s.height};
}
CGRect CGRectApplyAffineTransform(CGRect r, CGAffineTransform t) {
  if (CGRectIsNull(r)) return r;
  r = CGRectStandardize(r);
  CGPoint pts[4] = {r.origin,
                    {CGRectGetMaxX(r), r.origin.y},
                    {r.origin.x, CGRectGetMaxY(r)},
                    {CGRectGetMaxX(r), CGRectGetMaxY(r)}};
  double x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
  for (auto& p : pts) {
    CGPoint q = CGPointApplyAffineTransform(p, t);
    x0 = std::min(x0, q.x);
    y0 = std::min(y0, q.y);
    x1 = std::max(x1, q.x);
    y1 = std::max(y1, q.y);
  }
  return CGRectMake(x0, y0, x1 - x0, y1 - y0);
}

static std::string num(double d) { return Value(d).description(); }
std::string NSStringFromCGPoint(CGPoint p) { return "{" + num(p.x) + ", " + num(p.y) + "}"; }
std::string NSStringFromCGSize(CGSize s) {
  return "{" + num(s.width) + ", " + num(s.height) + "}";
}
std::string NSStringFromCGRect(CGRect r) {
  return "{" + NSStringFromCGPoint(r.origin) + ", " + NSStringFromCGSize(r.size) + "}";
}

}  // namespace plat
