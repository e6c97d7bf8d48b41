#include "platform/uikit/UIRenderer.h"

#include <algorithm>
#include <cmath>

#include "platform/uikit/UIBezierPath.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIImageView.h"

namespace plat {

namespace {
void addRoundedRect(cairo_t* cr, CGRect r, double radius) {
  radius = std::min({radius, r.size.width / 2, r.size.height / 2});
  if (radius <= 0) {
    cairo_rectangle(cr, r.origin.x, r.origin.y, r.size.width, r.size.height);
    return;
  }
  double x0 = r.origin.x, y0 = r.origin.y, x1 = x0 + r.size.width, y1 = y0 + r.size.height;
  cairo_new_sub_path(cr);
  cairo_arc(cr, x1 - radius, y0 + radius, radius, -M_PI / 2, 0);
  cairo_arc(cr, x1 - radius, y1 - radius, radius, 0, M_PI / 2);
  cairo_arc(cr, x0 + radius, y1 - radius, radius, M_PI / 2, M_PI);
  cairo_arc(cr, x0 + radius, y0 + radius, radius, M_PI, 3 * M_PI / 2);
  cairo_close_path(cr);
}

// The layer's contents: the part its contents rectangle selects, placed by the view's content
// mode (scale to fill by default) and clipped to where that part lands.
void drawLayerContents(CGContextRef c, const UIView& v, const CGImageRef& contents) {
  CGRect unit = CGRectIntersection(v.layer()->contentsRect(), CGRectMake(0, 0, 1, 1));
  if (CGRectIsEmpty(unit)) return;
  double scale = v.layer()->contentsScale() > 0 ? v.layer()->contentsScale() : 1;
  double w = static_cast<double>(contents->width());
  double h = static_cast<double>(contents->height());
  CGSize part = CGSizeMake(unit.size.width * w / scale, unit.size.height * h / scale);
  CGRect d = UIContentModeRect(v.contentMode(), v.bounds(), part);
  if (d.size.width <= 0 || d.size.height <= 0) return;
  double sx = d.size.width / unit.size.width, sy = d.size.height / unit.size.height;
  CGRect whole = CGRectMake(d.origin.x - unit.origin.x * sx, d.origin.y - unit.origin.y * sy,
                            sx, sy);
  c->save();
  cairo_t* cr = c->cairo();
  cairo_new_path(cr);
  cairo_rectangle(cr, d.origin.x, d.origin.y, d.size.width, d.size.height);
  cairo_clip(cr);
  UIDrawImageUpright(c, whole, contents, 1, kCGBlendModeNormal);
  c->restore();
}
}  // namespace

void UIRenderer::drawContents(CGContextRef c, const UIView& v) {
  cairo_t* cr = c->cairo();
  CALayer* layer = v.layer();
  CGRect b = v.bounds();
  double radius = layer->cornerRadius();
  bool group = v.alpha() < 1;
  cairo_save(cr);
  if (group) cairo_push_group(cr);
  if (layer->masksToBounds()) {
    cairo_new_path(cr);
    addRoundedRect(cr, b, radius);
    cairo_clip(cr);
  }
  if (auto bg = v.backgroundColor(); bg && bg->alpha() > 0) {
    cairo_new_path(cr);
    addRoundedRect(cr, b, radius);
    cairo_set_source_rgba(cr, bg->red(), bg->green(), bg->blue(), bg->alpha());
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    cairo_fill(cr);
  }
  if (v.implementsDrawRect()) {
    if (b.size.width > 0 && b.size.height > 0) {
      size_t depth = c->saveDepth();
      c->save();
      cairo_new_path(cr);
      cairo_rectangle(cr, b.origin.x, b.origin.y, b.size.width, b.size.height);
      cairo_clip(cr);
      // The view draws into a backing of its own that starts transparent, as a layer's
      // backing store does: its blend modes ("copy", "clear", ...) act on its own pixels only,
      // and the result is laid over what lies beneath (its background, its superviews).
      cairo_push_group(cr);
      c->save();
      UIGraphicsPushContext(c);
      const_cast<UIView&>(v).drawRect(b);
      UIGraphicsPopContext();
      while (c->saveDepth() > depth + 1) c->restore();  // saves drawRect left open
      cairo_pop_group_to_source(cr);
      cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
      cairo_paint(cr);
      c->restore();
      cairo_new_path(cr);
    }
  } else if (auto contents = layer->contents()) {
    drawLayerContents(c, v, contents);
  }
  c->save();
  v.drawBuiltInContent(c);
  c->restore();
  cairo_new_path(cr);
  for (const auto& s : v.subviews()) drawView(c, *s);
  if (layer->borderWidth() > 0) {
    CGColor bc = layer->borderColor();
    double w = layer->borderWidth();
    cairo_new_path(cr);
    addRoundedRect(cr, CGRectInset(b, w / 2, w / 2), std::max(0.0, radius - w / 2));
    cairo_set_line_width(cr, w);
    cairo_set_source_rgba(cr, bc.r, bc.g, bc.b, bc.a);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    cairo_stroke(cr);
  }
  if (group) {
    cairo_pop_group_to_source(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    cairo_paint_with_alpha(cr, v.alpha());
  }
  cairo_restore(cr);
}

void UIRenderer::drawView(CGContextRef c, const UIView& v) {
  if (v.isHidden() || v.alpha() <= 0.0) return;
  cairo_t* cr = c->cairo();
  cairo_save(cr);
  CGPoint center = v.center();
  CGRect b = v.bounds();
  cairo_translate(cr, center.x, center.y);
  CGAffineTransform t = v.transform();
  cairo_matrix_t m{t.a, t.b, t.c, t.d, t.tx, t.ty};
  if (std::fabs(t.a * t.d - t.b * t.c) < 1e-12) {  // a collapsed view shows nothing
    cairo_restore(cr);
    return;
  }
  cairo_transform(cr, &m);
  cairo_translate(cr, -b.size.width / 2 - b.origin.x, -b.size.height / 2 - b.origin.y);
  drawContents(c, v);
  cairo_restore(cr);
}

UIImageRef UIRenderer::renderView(const UIViewRef& view, double scale) {
  if (!view) return nullptr;
  view->layoutIfNeeded();
  CGRect b = view->bounds();
  if (b.size.width <= 0 || b.size.height <= 0) return nullptr;
  UIGraphicsBeginImageContextWithOptions(b.size, false, scale);
  CGContextRef c = UIGraphicsGetCurrentContext();
  if (!c) {
    UIGraphicsEndImageContext();
    return nullptr;
  }
  CGContextTranslateCTM(c, -b.origin.x, -b.origin.y);
  if (!view->isHidden()) drawContents(c, *view);
  UIImageRef img = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  return img;
}

bool UIRenderer::writePNG(const UIViewRef& view, const std::string& path, double scale) {
  UIImageRef img = renderView(view, scale);
  return img && CGImageWritePNGFile(img->CGImage(), path);
}

}  // namespace plat
