#include "platform/uikit/UIBezierPath.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/uikit/UIGraphics.h"

namespace plat {

UIBezierPath::UIBezierPath()
    : scratchSurface_(cairo_image_surface_create(CAIRO_FORMAT_A8, 1, 1)),
      cr_(cairo_create(scratchSurface_)) {}

UIBezierPath::~UIBezierPath() {
  cairo_destroy(cr_);
  cairo_surface_destroy(scratchSurface_);
}

UIBezierPathRef UIBezierPath::bezierPath() { return std::make_shared<UIBezierPath>(); }

UIBezierPathRef UIBezierPath::bezierPathWithRect(CGRect r) {
  auto p = bezierPath();
  cairo_rectangle(p->cr_, r.origin.x, r.origin.y, r.size.width, r.size.height);
  return p;
}

UIBezierPathRef UIBezierPath::bezierPathWithOvalInRect(CGRect r) {
  auto p = bezierPath();
  r = CGRectStandardize(r);
  if (r.size.width <= 0 || r.size.height <= 0) return p;
  cairo_save(p->cr_);
  cairo_translate(p->cr_, CGRectGetMidX(r), CGRectGetMidY(r));
  cairo_scale(p->cr_, r.size.width / 2, r.size.height / 2);
  cairo_new_sub_path(p->cr_);
  cairo_arc(p->cr_, 0, 0, 1, 0, 2 * M_PI);
  cairo_close_path(p->cr_);
  cairo_restore(p->cr_);
  return p;
}

UIBezierPathRef UIBezierPath::bezierPathWithRoundedRectCornerRadius(CGRect r, double radius) {
  return bezierPathWithRoundedRectByRoundingCornersCornerRadii(r, UIRectCornerAllCorners,
                                                               CGSizeMake(radius, radius));
}

UIBezierPathRef UIBezierPath::bezierPathWithRoundedRectByRoundingCornersCornerRadii(
    CGRect r, uint64_t corners, CGSize radii) {
  auto p = bezierPath();
  r = CGRectStandardize(r);
  double rad = std::min({std::max(radii.width, 0.0), r.size.width / 2, r.size.height / 2});
  double x0 = r.origin.x, y0 = r.origin.y, x1 = CGRectGetMaxX(r), y1 = CGRectGetMaxY(r);
  auto R = [&](uint64_t c) { return (corners & c) ? rad : 0.0; };
  cairo_t* cr = p->cr_;
  cairo_new_sub_path(cr);
  double tl = R(UIRectCornerTopLeft), tr = R(UIRectCornerTopRight);
  double br = R(UIRectCornerBottomRight), bl = R(UIRectCornerBottomLeft);
  cairo_move_to(cr, x0 + tl, y0);
  cairo_line_to(cr, x1 - tr, y0);
  if (tr > 0) cairo_arc(cr, x1 - tr, y0 + tr, tr, -M_PI / 2, 0);
  cairo_line_to(cr, x1, y1 - br);
  if (br > 0) cairo_arc(cr, x1 - br, y1 - br, br, 0, M_PI / 2);
  cairo_line_to(cr, x0 + bl, y1);
  if (bl > 0) cairo_arc(cr, x0 + bl, y1 - bl, bl, M_PI / 2, M_PI);
  cairo_line_to(cr, x0, y0 + tl);
  if (tl > 0) cairo_arc(cr, x0 + tl, y0 + tl, tl, M_PI, 3 * M_PI / 2);
  cairo_close_path(cr);
  return p;
}

UIBezierPathRef UIBezierPath::bezierPathWithArcCenterRadiusStartAngleEndAngleClockwise(
    CGPoint center, double radius, double start, double end, bool clockwise) {
  auto p = bezierPath();
  p->addArcWithCenterRadiusStartAngleEndAngleClockwise(center, radius, start, end, clockwise);
  return p;
}

void UIBezierPath::moveToPoint(CGPoint p) { cairo_move_to(cr_, p.x, p.y); }
void UIBezierPath::addLineToPoint(CGPoint p) {
  if (!cairo_has_current_point(cr_)) return;  // the platform ignores a line without a start
  cairo_line_to(cr_, p.x, p.y);
}
void UIBezierPath::addArcWithCenterRadiusStartAngleEndAngleClockwise(CGPoint c, double r,
                                                                     double start, double end,
                                                                     bool clockwise) {
  if (!(r >= 0) || !internal::limitArcSweep(start, &end, clockwise)) return;
  // On screen (y down) clockwise runs towards increasing angles.
  if (clockwise) cairo_arc(cr_, c.x, c.y, r, start, end);
  else cairo_arc_negative(cr_, c.x, c.y, r, start, end);
}
void UIBezierPath::addCurveToPointControlPoint1ControlPoint2(CGPoint p, CGPoint c1, CGPoint c2) {
  if (!cairo_has_current_point(cr_)) return;
  cairo_curve_to(cr_, c1.x, c1.y, c2.x, c2.y, p.x, p.y);
}
void UIBezierPath::addQuadCurveToPointControlPoint(CGPoint p, CGPoint c) {
  if (!cairo_has_current_point(cr_)) return;
  double x0, y0;
  cairo_get_current_point(cr_, &x0, &y0);
  cairo_curve_to(cr_, x0 + 2.0 / 3 * (c.x - x0), y0 + 2.0 / 3 * (c.y - y0),
                 p.x + 2.0 / 3 * (c.x - p.x), p.y + 2.0 / 3 * (c.y - p.y), p.x, p.y);
}
void UIBezierPath::closePath() { cairo_close_path(cr_); }
void UIBezierPath::removeAllPoints() { cairo_new_path(cr_); }
void UIBezierPath::appendPath(const UIBezierPath& other) {
  cairo_path_t* path = cairo_copy_path(other.cr_);
  cairo_append_path(cr_, path);
  cairo_path_destroy(path);
}

UIBezierPathRef UIBezierPath::copy() const {
  auto p = bezierPath();
  p->appendPath(*this);
  p->lineWidth_ = lineWidth_;
  p->cap_ = cap_;
  p->join_ = join_;
  p->evenOdd_ = evenOdd_;
  return p;
}

UIBezierPathRef UIBezierPath::bezierPathByReversingPath() const {
  struct Segment {
    bool curve;
    CGPoint c1, c2, to;
  };
  struct Subpath {
    CGPoint start;
    std::vector<Segment> segments;
    bool closed = false;
  };
  std::vector<Subpath> subpaths;
  cairo_path_t* path = cairo_copy_path(cr_);
  for (int i = 0; i < path->num_data; i += path->data[i].header.length) {
    const cairo_path_data_t* d = &path->data[i];
    switch (d->header.type) {
      case CAIRO_PATH_MOVE_TO:
        subpaths.push_back({{d[1].point.x, d[1].point.y}, {}, false});
        break;
      case CAIRO_PATH_LINE_TO:
        if (subpaths.empty()) break;
        subpaths.back().segments.push_back({false, {}, {}, {d[1].point.x, d[1].point.y}});
        break;
      case CAIRO_PATH_CURVE_TO:
        if (subpaths.empty()) break;
        subpaths.back().segments.push_back({true,
                                            {d[1].point.x, d[1].point.y},
                                            {d[2].point.x, d[2].point.y},
                                            {d[3].point.x, d[3].point.y}});
        break;
      case CAIRO_PATH_CLOSE_PATH:
        if (!subpaths.empty()) subpaths.back().closed = true;
        break;
    }
  }
  cairo_path_destroy(path);
  auto out = copy();
  cairo_new_path(out->cr_);
  for (const auto& sp : subpaths) {
    if (sp.segments.empty()) continue;  // a lone move (cairo adds one after each close)
    cairo_t* cr = out->cr_;
    cairo_move_to(cr, sp.segments.back().to.x, sp.segments.back().to.y);
    for (size_t k = sp.segments.size(); k-- > 0;) {
      const Segment& s = sp.segments[k];
      CGPoint from = k == 0 ? sp.start : sp.segments[k - 1].to;
      if (s.curve) cairo_curve_to(cr, s.c2.x, s.c2.y, s.c1.x, s.c1.y, from.x, from.y);
      else cairo_line_to(cr, from.x, from.y);
    }
    if (sp.closed) cairo_close_path(cr);
  }
  return out;
}

bool UIBezierPath::isEmpty() const {
  cairo_path_t* path = cairo_copy_path(cr_);
  bool empty = path->num_data == 0;
  cairo_path_destroy(path);
  return empty;
}
CGRect UIBezierPath::bounds() const {
  if (isEmpty()) return CGRectNull;
  double x0, y0, x1, y1;
  cairo_path_extents(cr_, &x0, &y0, &x1, &y1);
  return CGRectMake(x0, y0, x1 - x0, y1 - y0);
}
CGPoint UIBezierPath::currentPoint() const {
  double x = 0, y = 0;
  if (cairo_has_current_point(cr_)) cairo_get_current_point(cr_, &x, &y);
  return {x, y};
}
bool UIBezierPath::containsPoint(CGPoint p) const {
  cairo_set_fill_rule(cr_, evenOdd_ ? CAIRO_FILL_RULE_EVEN_ODD : CAIRO_FILL_RULE_WINDING);
  return cairo_in_fill(cr_, p.x, p.y);
}

void UIBezierPath::addToContext(CGContextRef c) const {
  if (!c) return;
  cairo_path_t* path = cairo_copy_path(cr_);
  cairo_append_path(c->cairo(), path);
  cairo_path_destroy(path);
}

void UIBezierPath::fill() {
  CGContextRef c = UIGraphicsGetCurrentContext();
  if (!c) return;
  CGContextSaveGState(c);
  CGContextBeginPath(c);
  addToContext(c);
  CGContextDrawPath(c, evenOdd_ ? kCGPathEOFill : kCGPathFill);
  CGContextRestoreGState(c);
}
void UIBezierPath::stroke() {
  CGContextRef c = UIGraphicsGetCurrentContext();
  if (!c) return;
  CGContextSaveGState(c);
  CGContextBeginPath(c);
  addToContext(c);
  CGContextSetLineWidth(c, lineWidth_);
  CGContextSetLineCap(c, cap_);
  CGContextSetLineJoin(c, join_);
  CGContextStrokePath(c);
  CGContextRestoreGState(c);
}
void UIBezierPath::addClip() {
  CGContextRef c = UIGraphicsGetCurrentContext();
  if (!c) return;
  CGContextBeginPath(c);
  addToContext(c);
  if (evenOdd_) CGContextEOClip(c);
  else CGContextClip(c);
}

}  // namespace plat
