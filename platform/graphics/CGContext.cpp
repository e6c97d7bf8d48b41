#include "platform/graphics/CGContext.h"

#include <algorithm>
#include <cmath>

namespace plat {

namespace {
cairo_operator_t operatorFor(CGBlendMode m) {
  switch (m) {
    case kCGBlendModeMultiply:
      return CAIRO_OPERATOR_MULTIPLY;
    case kCGBlendModeScreen:
      return CAIRO_OPERATOR_SCREEN;
    case kCGBlendModeOverlay:
      return CAIRO_OPERATOR_OVERLAY;
    case kCGBlendModeDarken:
      return CAIRO_OPERATOR_DARKEN;
    case kCGBlendModeLighten:
      return CAIRO_OPERATOR_LIGHTEN;
    case kCGBlendModeColorDodge:
      return CAIRO_OPERATOR_COLOR_DODGE;
    case kCGBlendModeColorBurn:
      return CAIRO_OPERATOR_COLOR_BURN;
    case kCGBlendModeSoftLight:
      return CAIRO_OPERATOR_SOFT_LIGHT;
    case kCGBlendModeHardLight:
      return CAIRO_OPERATOR_HARD_LIGHT;
    case kCGBlendModeDifference:
      return CAIRO_OPERATOR_DIFFERENCE;
    case kCGBlendModeExclusion:
      return CAIRO_OPERATOR_EXCLUSION;
    case kCGBlendModeHue:
      return CAIRO_OPERATOR_HSL_HUE;
    case kCGBlendModeSaturation:
      return CAIRO_OPERATOR_HSL_SATURATION;
    case kCGBlendModeColor:
      return CAIRO_OPERATOR_HSL_COLOR;
    case kCGBlendModeLuminosity:
      return CAIRO_OPERATOR_HSL_LUMINOSITY;
    case kCGBlendModeClear:
      return CAIRO_OPERATOR_CLEAR;
    case kCGBlendModeCopy:
      return CAIRO_OPERATOR_SOURCE;
    case kCGBlendModeSourceIn:
      return CAIRO_OPERATOR_IN;
    case kCGBlendModeSourceOut:
      return CAIRO_OPERATOR_OUT;
    case kCGBlendModeSourceAtop:
      return CAIRO_OPERATOR_ATOP;
    case kCGBlendModeDestinationOver:
      return CAIRO_OPERATOR_DEST_OVER;
    case kCGBlendModeDestinationIn:
      return CAIRO_OPERATOR_DEST_IN;
    case kCGBlendModeDestinationOut:
      return CAIRO_OPERATOR_DEST_OUT;
    case kCGBlendModeDestinationAtop:
      return CAIRO_OPERATOR_DEST_ATOP;
    case kCGBlendModeXOR:
      return CAIRO_OPERATOR_XOR;
    case kCGBlendModePlusDarker:
      return CAIRO_OPERATOR_SATURATE;
    case kCGBlendModePlusLighter:
      return CAIRO_OPERATOR_ADD;
    default:
      return CAIRO_OPERATOR_OVER;
  }
}
cairo_matrix_t toCairo(CGAffineTransform t) { return {t.a, t.b, t.c, t.d, t.tx, t.ty}; }
CGAffineTransform fromCairo(const cairo_matrix_t& m) {
  return {m.xx, m.yx, m.xy, m.yy, m.x0, m.y0};
}
}  // namespace

CGContext::CGContext(cairo_surface_t* surface, CGAffineTransform base)
    : surface_(cairo_surface_reference(surface)), cr_(cairo_create(surface)), base_(base) {
  states_.emplace_back();
  cairo_matrix_t m = toCairo(base);
  cairo_set_matrix(cr_, &m);
  cairo_set_line_width(cr_, 1.0);
  cairo_set_miter_limit(cr_, 10.0);
  cairo_set_fill_rule(cr_, CAIRO_FILL_RULE_WINDING);
}

CGContext::~CGContext() {
  cairo_destroy(cr_);
  cairo_surface_destroy(surface_);
}

void CGContext::save() {
  cairo_save(cr_);
  states_.push_back(states_.back());
  states_.back().masks.clear();
}

void CGContext::restore() {
  if (states_.size() <= 1) return;  // unbalanced restore is ignored
  auto& masks = states_.back().masks;
  for (auto it = masks.rbegin(); it != masks.rend(); ++it) internal::compositeMask(cr_, **it);
  masks.clear();
  // cairo_restore drops the path too; CoreGraphics keeps it, so carry it over.
  cairo_path_t* path = cairo_copy_path(cr_);
  cairo_matrix_t before;
  cairo_get_matrix(cr_, &before);
  cairo_restore(cr_);
  states_.pop_back();
  cairo_new_path(cr_);
  if (path && path->num_data > 0) {
    cairo_matrix_t after;
    cairo_get_matrix(cr_, &after);
    cairo_set_matrix(cr_, &before);
    cairo_append_path(cr_, path);
    cairo_set_matrix(cr_, &after);
  }
  if (path) cairo_path_destroy(path);
}

static void useColor(CGContext* c, const CGColor& col) {
  const auto& s = c->state();
  cairo_set_source_rgba(c->cairo(), col.r, col.g, col.b, col.a * s.alpha);
  cairo_set_operator(c->cairo(), operatorFor(s.blend));
}
void CGContext::useFill() { useColor(this, state().fill); }
void CGContext::useStroke() { useColor(this, state().stroke); }

std::shared_ptr<CGContext> CGBitmapContextCreate(int width, int height, bool opaque) {
  CGImageRef probe = CGImage::create(width, height, opaque);
  if (!probe) return nullptr;
  return std::make_shared<CGContext>(probe->surface(),
                                     CGAffineTransform{1, 0, 0, -1, 0, double(height)});
}

CGImageRef CGBitmapContextCreateImage(CGContextRef c) {
  if (!c) return nullptr;
  if (CGImageRef grey = internal::createGreyContextImage(c)) return grey;
  cairo_surface_t* s = c->surface();
  cairo_surface_flush(s);
  int w = cairo_image_surface_get_width(s), h = cairo_image_surface_get_height(s);
  bool opaque = cairo_image_surface_get_format(s) == CAIRO_FORMAT_RGB24;
  CGImageRef img = CGImage::create(w, h, opaque);
  if (!img) return nullptr;
  cairo_t* cr = cairo_create(img->surface());
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_set_source_surface(cr, s, 0, 0);
  cairo_paint(cr);
  cairo_destroy(cr);
  cairo_surface_flush(img->surface());
  return img;
}

size_t CGBitmapContextGetWidth(CGContextRef c) {
  return c ? cairo_image_surface_get_width(c->surface()) : 0;
}
size_t CGBitmapContextGetHeight(CGContextRef c) {
  return c ? cairo_image_surface_get_height(c->surface()) : 0;
}

void CGContextSaveGState(CGContextRef c) {
  if (c) c->save();
}
void CGContextRestoreGState(CGContextRef c) {
  if (c) c->restore();
}
void CGContextSetRGBFillColor(CGContextRef c, double r, double g, double b, double a) {
  if (c) c->state().fill = {r, g, b, a};
}
void CGContextSetRGBStrokeColor(CGContextRef c, double r, double g, double b, double a) {
  if (c) c->state().stroke = {r, g, b, a};
}
void CGContextSetFillColorWithColor(CGContextRef c, CGColor color) {
  if (c) c->state().fill = color;
}
void CGContextSetStrokeColorWithColor(CGContextRef c, CGColor color) {
  if (c) c->state().stroke = color;
}
void CGContextSetGrayFillColor(CGContextRef c, double white, double a) {
  if (c) c->state().fill = {white, white, white, a};
}
void CGContextSetAlpha(CGContextRef c, double a) {
  if (c) c->state().alpha = std::clamp(a, 0.0, 1.0);
}
void CGContextSetLineWidth(CGContextRef c, double w) {
  if (c) cairo_set_line_width(c->cairo(), std::max(0.0, w));
}
void CGContextSetLineCap(CGContextRef c, CGLineCap cap) {
  if (!c) return;
  cairo_set_line_cap(c->cairo(), cap == kCGLineCapRound    ? CAIRO_LINE_CAP_ROUND
                                 : cap == kCGLineCapSquare ? CAIRO_LINE_CAP_SQUARE
                                                           : CAIRO_LINE_CAP_BUTT);
}
void CGContextSetLineJoin(CGContextRef c, CGLineJoin join) {
  if (!c) return;
  cairo_set_line_join(c->cairo(), join == kCGLineJoinRound   ? CAIRO_LINE_JOIN_ROUND
                                  : join == kCGLineJoinBevel ? CAIRO_LINE_JOIN_BEVEL
                                                             : CAIRO_LINE_JOIN_MITER);
}
void CGContextSetBlendMode(CGContextRef c, CGBlendMode mode) {
  if (c) c->state().blend = mode;
}
void CGContextSetShouldAntialias(CGContextRef c, bool on) {
  if (c) cairo_set_antialias(c->cairo(), on ? CAIRO_ANTIALIAS_DEFAULT : CAIRO_ANTIALIAS_NONE);
}

void CGContextBeginPath(CGContextRef c) {
  if (c) cairo_new_path(c->cairo());
}
void CGContextMoveToPoint(CGContextRef c, double x, double y) {
  if (c) cairo_move_to(c->cairo(), x, y);
}
void CGContextAddLineToPoint(CGContextRef c, double x, double y) {
  if (!c) return;
  if (!cairo_has_current_point(c->cairo()))
    cairo_move_to(c->cairo(), x, y);
  else
    cairo_line_to(c->cairo(), x, y);
}
bool internal::limitArcSweep(double start, double* end, bool increasing) {
  if (!std::isfinite(start) || !std::isfinite(*end)) return false;
  double sweep = increasing ? *end - start : start - *end;
  if (sweep > 4 * M_PI) {
    sweep = 2 * M_PI + std::fmod(sweep, 2 * M_PI);
    *end = increasing ? start + sweep : start - sweep;
  }
  return true;
}

void CGContextAddArc(CGContextRef c, double x, double y, double radius, double startAngle,
                     double endAngle, int clockwise) {
  if (!c || !(radius >= 0)) return;
  if (!internal::limitArcSweep(startAngle, &endAngle, !clockwise)) return;
  if (clockwise)
    cairo_arc_negative(c->cairo(), x, y, radius, startAngle, endAngle);
  else
    cairo_arc(c->cairo(), x, y, radius, startAngle, endAngle);
}

void CGContextAddArcToPoint(CGContextRef c, double x1, double y1, double x2, double y2,
                            double radius) {
  if (!c) return;
  cairo_t* cr = c->cairo();
  if (!cairo_has_current_point(cr)) {
    cairo_move_to(cr, x1, y1);
    return;
  }
  double x0, y0;
  cairo_get_current_point(cr, &x0, &y0);
  double v1x = x0 - x1, v1y = y0 - y1, v2x = x2 - x1, v2y = y2 - y1;
  double l1 = std::hypot(v1x, v1y), l2 = std::hypot(v2x, v2y);
  double cross = v1x * v2y - v1y * v2x;
  if (radius <= 0 || l1 == 0 || l2 == 0 || std::fabs(cross) < 1e-12 * l1 * l2) {
    cairo_line_to(cr, x1, y1);
    return;
  }
  v1x /= l1;
  v1y /= l1;
  v2x /= l2;
  v2y /= l2;
  double cosT = std::clamp(v1x * v2x + v1y * v2y, -1.0, 1.0);
  double theta = std::acos(cosT);
  double d = radius / std::tan(theta / 2);
  double t1x = x1 + v1x * d, t1y = y1 + v1y * d;
  double t2x = x1 + v2x * d, t2y = y1 + v2y * d;
  double bx = v1x + v2x, by = v1y + v2y, bl = std::hypot(bx, by);
  double h = radius / std::sin(theta / 2);
  double cx = x1 + bx / bl * h, cy = y1 + by / bl * h;
  double a1 = std::atan2(t1y - cy, t1x - cx), a2 = std::atan2(t2y - cy, t2x - cx);
  // Heading from p0 to p1 then p1 to p2: a left turn in angle terms runs the arc forward.
  double turn = (x1 - x0) * (y2 - y1) - (y1 - y0) * (x2 - x1);
  cairo_line_to(cr, t1x, t1y);
  if (turn > 0)
    cairo_arc(cr, cx, cy, radius, a1, a2);
  else
    cairo_arc_negative(cr, cx, cy, radius, a1, a2);
}

void CGContextAddCurveToPoint(CGContextRef c, double cp1x, double cp1y, double cp2x, double cp2y,
                              double x, double y) {
  if (!c) return;
  if (!cairo_has_current_point(c->cairo())) cairo_move_to(c->cairo(), cp1x, cp1y);
  cairo_curve_to(c->cairo(), cp1x, cp1y, cp2x, cp2y, x, y);
}
void CGContextAddQuadCurveToPoint(CGContextRef c, double cpx, double cpy, double x, double y) {
  if (!c) return;
  cairo_t* cr = c->cairo();
  if (!cairo_has_current_point(cr)) cairo_move_to(cr, cpx, cpy);
  double x0, y0;
  cairo_get_current_point(cr, &x0, &y0);
  cairo_curve_to(cr, x0 + 2.0 / 3 * (cpx - x0), y0 + 2.0 / 3 * (cpy - y0), x + 2.0 / 3 * (cpx - x),
                 y + 2.0 / 3 * (cpy - y), x, y);
}
void CGContextAddRect(CGContextRef c, CGRect r) {
  if (c) cairo_rectangle(c->cairo(), r.origin.x, r.origin.y, r.size.width, r.size.height);
}
void CGContextAddEllipseInRect(CGContextRef c, CGRect r) {
  if (!c) return;
  r = CGRectStandardize(r);
  if (r.size.width <= 0 || r.size.height <= 0) return;
  cairo_t* cr = c->cairo();
  cairo_matrix_t saved;
  cairo_get_matrix(cr, &saved);
  cairo_new_sub_path(cr);
  cairo_translate(cr, CGRectGetMidX(r), CGRectGetMidY(r));
  cairo_scale(cr, r.size.width / 2, r.size.height / 2);
  cairo_arc(cr, 0, 0, 1, 0, 2 * M_PI);
  cairo_close_path(cr);
  cairo_set_matrix(cr, &saved);
}
void CGContextClosePath(CGContextRef c) {
  if (c) cairo_close_path(c->cairo());
}
bool CGContextIsPathEmpty(CGContextRef c) {
  if (!c) return true;
  cairo_path_t* p = cairo_copy_path(c->cairo());
  bool empty = !p || p->num_data == 0;
  if (p) cairo_path_destroy(p);
  return empty;
}

void CGContextDrawPath(CGContextRef c, CGPathDrawingMode mode) {
  if (!c) return;
  cairo_t* cr = c->cairo();
  bool fill = mode != kCGPathStroke;
  bool stroke = mode == kCGPathStroke || mode == kCGPathFillStroke || mode == kCGPathEOFillStroke;
  cairo_set_fill_rule(cr, (mode == kCGPathEOFill || mode == kCGPathEOFillStroke)
                              ? CAIRO_FILL_RULE_EVEN_ODD
                              : CAIRO_FILL_RULE_WINDING);
  if (fill) {
    c->useFill();
    cairo_fill_preserve(cr);
  }
  if (stroke) {
    c->useStroke();
    cairo_stroke_preserve(cr);
  }
  cairo_new_path(cr);
  cairo_set_fill_rule(cr, CAIRO_FILL_RULE_WINDING);
}
void CGContextFillPath(CGContextRef c) { CGContextDrawPath(c, kCGPathFill); }
void CGContextEOFillPath(CGContextRef c) { CGContextDrawPath(c, kCGPathEOFill); }
void CGContextStrokePath(CGContextRef c) { CGContextDrawPath(c, kCGPathStroke); }

// Rectangle and ellipse conveniences draw a path of their own and leave the current one alone.
static void withOwnPath(CGContextRef c, CGPathDrawingMode mode, void (*add)(CGContextRef, CGRect),
                        CGRect r) {
  if (!c) return;
  cairo_path_t* saved = cairo_copy_path(c->cairo());
  cairo_new_path(c->cairo());
  add(c, r);
  CGContextDrawPath(c, mode);
  if (saved) {
    cairo_append_path(c->cairo(), saved);
    cairo_path_destroy(saved);
  }
}
void CGContextFillRect(CGContextRef c, CGRect r) {
  withOwnPath(c, kCGPathFill, CGContextAddRect, r);
}
void CGContextStrokeRect(CGContextRef c, CGRect r) {
  withOwnPath(c, kCGPathStroke, CGContextAddRect, r);
}
void CGContextFillEllipseInRect(CGContextRef c, CGRect r) {
  withOwnPath(c, kCGPathFill, CGContextAddEllipseInRect, r);
}
void CGContextStrokeEllipseInRect(CGContextRef c, CGRect r) {
  withOwnPath(c, kCGPathStroke, CGContextAddEllipseInRect, r);
}
void CGContextClearRect(CGContextRef c, CGRect r) {
  if (!c) return;
  cairo_t* cr = c->cairo();
  cairo_save(cr);
  cairo_new_path(cr);
  cairo_rectangle(cr, r.origin.x, r.origin.y, r.size.width, r.size.height);
  cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
  cairo_fill(cr);
  cairo_restore(cr);
}
void CGContextClip(CGContextRef c) {
  if (!c) return;
  cairo_set_fill_rule(c->cairo(), CAIRO_FILL_RULE_WINDING);
  cairo_clip(c->cairo());
}
void CGContextEOClip(CGContextRef c) {
  if (!c) return;
  cairo_set_fill_rule(c->cairo(), CAIRO_FILL_RULE_EVEN_ODD);
  cairo_clip(c->cairo());
  cairo_set_fill_rule(c->cairo(), CAIRO_FILL_RULE_WINDING);
}
void CGContextClipToRect(CGContextRef c, CGRect r) {
  if (!c) return;
  cairo_path_t* saved = cairo_copy_path(c->cairo());
  cairo_new_path(c->cairo());
  CGContextAddRect(c, r);
  cairo_clip(c->cairo());
  if (saved) {
    cairo_append_path(c->cairo(), saved);
    cairo_path_destroy(saved);
  }
}
CGRect CGContextGetClipBoundingBox(CGContextRef c) {
  if (!c) return CGRectNull;
  double x0, y0, x1, y1;
  cairo_clip_extents(c->cairo(), &x0, &y0, &x1, &y1);
  return CGRectMake(x0, y0, x1 - x0, y1 - y0);
}

void CGContextTranslateCTM(CGContextRef c, double tx, double ty) {
  if (c) cairo_translate(c->cairo(), tx, ty);
}
void CGContextScaleCTM(CGContextRef c, double sx, double sy) {
  if (c) cairo_scale(c->cairo(), sx, sy);
}
void CGContextRotateCTM(CGContextRef c, double angle) {
  if (c) cairo_rotate(c->cairo(), angle);
}
void CGContextConcatCTM(CGContextRef c, CGAffineTransform t) {
  if (!c) return;
  cairo_matrix_t m = toCairo(t);
  cairo_transform(c->cairo(), &m);
}
CGAffineTransform CGContextGetCTM(CGContextRef c) {
  if (!c) return CGAffineTransformIdentity;
  cairo_matrix_t m;
  cairo_get_matrix(c->cairo(), &m);
  return fromCairo(m);
}

void CGContextDrawImage(CGContextRef c, CGRect rect, const CGImageRef& image) {
  if (!c || !image) return;
  rect = CGRectStandardize(rect);
  if (rect.size.width <= 0 || rect.size.height <= 0) return;
  cairo_t* cr = c->cairo();
  // A rectangle whose mapping cannot be inverted (not finite, or scaled to nothing or past
  // the range) would put the context into an error state that ends all later drawing on it:
  // such an image is not drawn.
  cairo_matrix_t mapping;
  cairo_get_matrix(cr, &mapping);
  cairo_matrix_translate(&mapping, rect.origin.x, rect.origin.y + rect.size.height);
  cairo_matrix_scale(&mapping, rect.size.width / image->width(),
                     -rect.size.height / image->height());
  const double det = mapping.xx * mapping.yy - mapping.xy * mapping.yx;
  if (!std::isfinite(det) || det == 0 || !std::isfinite(mapping.x0) || !std::isfinite(mapping.y0) ||
      cairo_matrix_invert(&mapping) != CAIRO_STATUS_SUCCESS)
    return;
  cairo_path_t* saved = cairo_copy_path(cr);
  cairo_save(cr);
  cairo_new_path(cr);
  cairo_rectangle(cr, rect.origin.x, rect.origin.y, rect.size.width, rect.size.height);
  cairo_clip(cr);
  // The image's first row goes to the rectangle's maximum y.
  cairo_translate(cr, rect.origin.x, rect.origin.y + rect.size.height);
  cairo_scale(cr, rect.size.width / image->width(), -rect.size.height / image->height());
  cairo_set_source_surface(cr, image->surface(), 0, 0);
  cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
  cairo_pattern_set_filter(cairo_get_source(cr), internal::filterFor(c->state().interpolation));
  cairo_set_operator(cr, operatorFor(c->state().blend));
  cairo_paint_with_alpha(cr, c->state().alpha);
  cairo_restore(cr);
  cairo_new_path(cr);
  if (saved) {
    cairo_append_path(cr, saved);
    cairo_path_destroy(saved);
  }
}

}  // namespace plat
