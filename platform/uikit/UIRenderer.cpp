#include "platform/uikit/UIRenderer.h"

#include <algorithm>
#include <cmath>
#include <vector>

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

// Three passes of a box blur over an A8 surface approach a Gaussian of the given sigma (pixels).
void blurAlpha(cairo_surface_t* s, double sigma) {
  int b = static_cast<int>(std::lround(sigma));
  if (b < 1) return;
  cairo_surface_flush(s);
  uint8_t* data = cairo_image_surface_get_data(s);
  int w = cairo_image_surface_get_width(s), h = cairo_image_surface_get_height(s);
  int stride = cairo_image_surface_get_stride(s);
  int n = std::max(w, h);
  std::vector<uint8_t> line(n);
  auto pass = [&](uint8_t* first, int count, int step) {
    for (int i = 0; i < count; i++) line[i] = first[i * step];
    int sum = 0, div = 2 * b + 1;
    for (int i = -b; i <= b; i++) sum += (i >= 0 && i < count) ? line[i] : 0;
    for (int i = 0; i < count; i++) {
      first[i * step] = static_cast<uint8_t>(sum / div);
      int out = i - b, in = i + b + 1;
      if (out >= 0) sum -= line[out];
      if (in < count) sum += line[in];
    }
  };
  for (int k = 0; k < 3; k++) {
    for (int y = 0; y < h; y++) pass(data + y * stride, w, 1);
    for (int x = 0; x < w; x++) pass(data + x, h, stride);
  }
  cairo_surface_mark_dirty(s);
}

void addRoundedRectPath(cairo_t* cr, CGRect r, double radius) { addRoundedRect(cr, r, radius); }

// Paints the layer's shadow: the alpha of `drawn` (or of the shadow path), blurred, offset and
// tinted.
void drawShadow(CGContextRef c, const CALayer& layer, cairo_pattern_t* drawn) {
  cairo_t* cr = c->cairo();
  cairo_pattern_t* shape = drawn;
  cairo_pattern_t* own = nullptr;
  if (auto path = layer.shadowPath()) {
    cairo_push_group(cr);
    cairo_new_path(cr);
    path->addToContext(c);
    cairo_set_source_rgba(cr, 0, 0, 0, 1);
    cairo_fill(cr);
    own = cairo_pop_group(cr);
    shape = own;
  }
  cairo_surface_t* surface = nullptr;
  if (cairo_pattern_get_surface(shape, &surface) != CAIRO_STATUS_SUCCESS ||
      cairo_surface_get_type(surface) != CAIRO_SURFACE_TYPE_IMAGE) {
    if (own) cairo_pattern_destroy(own);
    return;
  }
  cairo_surface_flush(surface);
  int w = cairo_image_surface_get_width(surface), h = cairo_image_surface_get_height(surface);
  cairo_surface_t* alpha = cairo_image_surface_create(CAIRO_FORMAT_A8, w, h);
  if (cairo_surface_status(alpha) == CAIRO_STATUS_SUCCESS && w > 0 && h > 0) {
    // A group's surface starts where its clip does (its device offset): copy its pixels one to
    // one, then give the mask the same offset so that it lies where the group does.
    double ox = 0, oy = 0;
    cairo_surface_get_device_offset(surface, &ox, &oy);
    cairo_t* ac = cairo_create(alpha);
    cairo_set_source_surface(ac, surface, ox, oy);
    cairo_set_operator(ac, CAIRO_OPERATOR_SOURCE);
    cairo_paint(ac);
    cairo_destroy(ac);
    double dx = 1, dy = 0;
    cairo_user_to_device_distance(cr, &dx, &dy);
    double unit = std::hypot(dx, dy);
    blurAlpha(alpha, layer.shadowRadius() * unit / 2);
    cairo_surface_set_device_offset(alpha, ox, oy);
    cairo_pattern_t* mask = cairo_pattern_create_for_surface(alpha);
    cairo_matrix_t m;
    cairo_pattern_get_matrix(shape, &m);
    cairo_pattern_set_matrix(mask, &m);
    cairo_save(cr);
    cairo_translate(cr, layer.shadowOffset().width, layer.shadowOffset().height);
    CGColor sc = layer.shadowColor();
    cairo_set_source_rgba(cr, sc.r, sc.g, sc.b, sc.a * std::clamp<double>(layer.shadowOpacity(), 0, 1));
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    cairo_mask(cr, mask);
    cairo_restore(cr);
    cairo_pattern_destroy(mask);
  }
  cairo_surface_destroy(alpha);
  if (own) cairo_pattern_destroy(own);
}

void drawPlainLayer(CGContextRef c, const CALayer& l);

// Draws a sublayer in its superlayer's bounds space: a view's layer as its view.
void drawSublayer(CGContextRef c, const CALayer& l) {
  if (l.isViewLayer()) {
    if (auto v = l.delegate()) UIRenderer::drawView(c, *v);
    return;
  }
  drawPlainLayer(c, l);
}

void drawSublayers(CGContextRef c, const CALayer& layer) {
  auto subs = layer.sublayers();
  for (const auto& s : subs) drawSublayer(c, *s);
}

// Runs body (the layer's drawing in its bounds space), then lays it down with the layer's
// shadow beneath, through its mask and at its opacity.
template <class Body>
void drawWithEffects(CGContextRef c, const CALayer& layer, double opacity, Body body) {
  cairo_t* cr = c->cairo();
  bool shadow = layer.shadowOpacity() > 0 && layer.shadowColor().a > 0;
  CALayerRef mask = layer.mask();
  if (!shadow && !mask && opacity >= 1) {
    body();
    return;
  }
  cairo_save(cr);
  cairo_push_group(cr);
  body();
  cairo_pattern_t* drawn = cairo_pop_group(cr);
  if (shadow) {
    cairo_push_group(cr);
    drawShadow(c, layer, drawn);
    cairo_set_source(cr, drawn);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    cairo_paint(cr);
    cairo_pattern_destroy(drawn);
    drawn = cairo_pop_group(cr);
  }
  if (mask) {
    cairo_push_group(cr);
    drawSublayer(c, *mask);
    cairo_pattern_t* coverage = cairo_pop_group(cr);
    cairo_push_group(cr);
    cairo_set_source(cr, drawn);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    cairo_mask(cr, coverage);
    cairo_pattern_destroy(coverage);
    cairo_pattern_destroy(drawn);
    drawn = cairo_pop_group(cr);
  }
  cairo_set_source(cr, drawn);
  cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
  cairo_paint_with_alpha(cr, std::clamp(opacity, 0.0, 1.0));
  cairo_pattern_destroy(drawn);
  cairo_restore(cr);
}

void drawBorder(cairo_t* cr, const CALayer& layer, CGRect b, double radius) {
  if (layer.borderWidth() <= 0) return;
  CGColor bc = layer.borderColor();
  double w = layer.borderWidth();
  cairo_new_path(cr);
  addRoundedRect(cr, CGRectInset(b, w / 2, w / 2), std::max(0.0, radius - w / 2));
  cairo_set_line_width(cr, w);
  cairo_set_source_rgba(cr, bc.r, bc.g, bc.b, bc.a);
  cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
  cairo_stroke(cr);
}

void drawPlainLayerBody(CGContextRef c, const CALayer& l) {
  cairo_t* cr = c->cairo();
  CGRect b = l.bounds();
  double radius = l.cornerRadius();
  cairo_save(cr);
  if (l.masksToBounds()) {
    cairo_new_path(cr);
    addRoundedRect(cr, b, radius);
    cairo_clip(cr);
  }
  if (auto bg = l.backgroundColor(); bg && bg->a > 0) {
    cairo_new_path(cr);
    addRoundedRect(cr, b, radius);
    cairo_set_source_rgba(cr, bg->r, bg->g, bg->b, bg->a);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    cairo_fill(cr);
  }
  if (auto contents = l.contents(); contents && b.size.width > 0 && b.size.height > 0) {
    CGRect unit = CGRectIntersection(l.contentsRect(), CGRectMake(0, 0, 1, 1));
    if (!CGRectIsEmpty(unit)) {
      double sx = b.size.width / unit.size.width, sy = b.size.height / unit.size.height;
      CGRect whole = CGRectMake(b.origin.x - unit.origin.x * sx, b.origin.y - unit.origin.y * sy,
                                sx, sy);
      c->save();
      cairo_new_path(cr);
      cairo_rectangle(cr, b.origin.x, b.origin.y, b.size.width, b.size.height);
      cairo_clip(cr);
      UIDrawImageUpright(c, whole, contents, 1, kCGBlendModeNormal);
      c->restore();
    }
  }
  c->save();
  l.drawInContext(c);
  c->restore();
  cairo_new_path(cr);
  drawSublayers(c, l);
  drawBorder(cr, l, b, radius);
  cairo_restore(cr);
}

void drawPlainLayer(CGContextRef c, const CALayer& l) {
  if (l.isHidden() || l.opacity() <= 0) return;
  CGAffineTransform t = l.affineTransform();
  if (std::fabs(t.a * t.d - t.b * t.c) < 1e-12) return;
  cairo_t* cr = c->cairo();
  CGRect b = l.bounds();
  CGPoint p = l.position(), a = l.anchorPoint();
  cairo_save(cr);
  cairo_translate(cr, p.x, p.y);
  cairo_matrix_t m{t.a, t.b, t.c, t.d, t.tx, t.ty};
  cairo_transform(cr, &m);
  cairo_translate(cr, -a.x * b.size.width - b.origin.x, -a.y * b.size.height - b.origin.y);
  drawWithEffects(c, l, l.opacity(), [&] { drawPlainLayerBody(c, l); });
  cairo_restore(cr);
}
}  // namespace

void UIRenderer::drawLayer(CGContextRef c, const CALayer& layer) { drawSublayer(c, layer); }

void UIRenderer::drawContents(CGContextRef c, const UIView& v) {
  cairo_t* cr = c->cairo();
  CALayer* layer = v.layer();
  drawWithEffects(c, *layer, v.alpha(), [&] { drawViewBody(c, v); });
  cairo_new_path(cr);
}

void UIRenderer::drawViewBody(CGContextRef c, const UIView& v) {
  cairo_t* cr = c->cairo();
  CALayer* layer = v.layer();
  CGRect b = v.bounds();
  double radius = layer->cornerRadius();
  cairo_save(cr);
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
  drawSublayers(c, *layer);
  drawBorder(cr, *layer, b, radius);
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
