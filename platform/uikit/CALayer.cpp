#include "platform/uikit/CALayer.h"

#include <algorithm>
#include <cmath>

#include "platform/dispatch/Dispatch.h"
#include "platform/uikit/UIView.h"

namespace plat {

// ---- Geometry ----

CGRect CALayer::bounds() const {
  if (auto v = delegate()) return v->bounds();
  return bounds_;
}

void CALayer::setBounds(CGRect b) {
  if (auto v = delegate()) return v->setBounds(b);
  bounds_ = b;
}

CGPoint CALayer::position() const {
  if (auto v = delegate()) return v->center();
  return position_;
}

void CALayer::setPosition(CGPoint p) {
  if (auto v = delegate()) return v->setCenter(p);
  position_ = p;
}

void CALayer::setAnchorPoint(CGPoint p) {
  if (viewLayer_) return;  // a view is placed by its centre
  anchorPoint_ = p;
}

CGAffineTransform CALayer::affineTransform() const {
  if (auto v = delegate()) return v->transform();
  return transform_;
}

void CALayer::setAffineTransform(CGAffineTransform t) {
  if (auto v = delegate()) return v->setTransform(t);
  transform_ = t;
}

CGRect CALayer::frame() const {
  if (auto v = delegate()) return v->frame();
  CGRect local = CGRectMake(-anchorPoint_.x * bounds_.size.width,
                            -anchorPoint_.y * bounds_.size.height, bounds_.size.width,
                            bounds_.size.height);
  CGRect r = CGAffineTransformIsIdentity(transform_) ? local
                                                     : CGRectApplyAffineTransform(local, transform_);
  return CGRectOffset(r, position_.x, position_.y);
}

void CALayer::setFrame(CGRect f) {
  if (auto v = delegate()) return v->setFrame(f);
  f = CGRectStandardize(f);
  CGSize size = f.size;
  if (!CGAffineTransformIsIdentity(transform_)) {
    CGSize t = CGSizeApplyAffineTransform(size, CGAffineTransformInvert(transform_));
    size = CGSizeMake(std::fabs(t.width), std::fabs(t.height));
  }
  bounds_.size = size;
  // The anchor lands at the same relative place of the new frame.
  position_ = CGPointMake(f.origin.x + anchorPoint_.x * f.size.width,
                          f.origin.y + anchorPoint_.y * f.size.height);
}

// ---- Tree ----

bool CALayer::isDescendantOf(const CALayer* layer) const {
  if (!layer) return false;
  for (const CALayer* l = this; l; l = l->superlayer_.lock().get())
    if (l == layer) return true;
  return false;
}

void CALayer::detach() {
  if (auto s = superlayer_.lock()) {
    auto& list = s->sublayers_;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [this](const CALayerRef& l) { return l.get() == this; }),
               list.end());
  }
  superlayer_.reset();
}

void CALayer::addSublayer(const CALayerRef& layer) {
  insertSublayerAtIndex(layer, static_cast<int64_t>(sublayers_.size()));
}

void CALayer::insertSublayerAtIndex(const CALayerRef& layer, int64_t index) {
  if (!layer || isDescendantOf(layer.get())) return;
  CALayerRef keep = layer;  // detaching may drop the last other reference
  keep->detach();
  index = std::clamp<int64_t>(index, 0, static_cast<int64_t>(sublayers_.size()));
  sublayers_.insert(sublayers_.begin() + index, keep);
  keep->superlayer_ = self();
}

void CALayer::insertSublayerBelow(const CALayerRef& layer, const CALayerRef& sibling) {
  if (!layer || layer == sibling) return;
  CALayerRef keep = layer;
  if (keep->superlayer_.lock().get() == this) keep->detach();
  auto it = std::find(sublayers_.begin(), sublayers_.end(), sibling);
  if (it == sublayers_.end()) return addSublayer(keep);
  insertSublayerAtIndex(keep, it - sublayers_.begin());
}

void CALayer::insertSublayerAbove(const CALayerRef& layer, const CALayerRef& sibling) {
  if (!layer || layer == sibling) return;
  CALayerRef keep = layer;
  if (keep->superlayer_.lock().get() == this) keep->detach();
  auto it = std::find(sublayers_.begin(), sublayers_.end(), sibling);
  if (it == sublayers_.end()) return addSublayer(keep);
  insertSublayerAtIndex(keep, (it - sublayers_.begin()) + 1);
}

void CALayer::replaceSublayerWith(const CALayerRef& old, const CALayerRef& layer) {
  auto it = std::find(sublayers_.begin(), sublayers_.end(), old);
  if (it == sublayers_.end() || !layer || old == layer || isDescendantOf(layer.get())) return;
  CALayerRef keepOld = old, keepNew = layer;
  int64_t index = it - sublayers_.begin();
  keepOld->detach();
  if (keepNew->superlayer_.lock().get() == this) {
    auto pos = std::find(sublayers_.begin(), sublayers_.end(), keepNew) - sublayers_.begin();
    if (pos < index) index--;
  }
  insertSublayerAtIndex(keepNew, index);
}

void CALayer::removeFromSuperlayer() {
  CALayerRef keep = superlayer_.lock() ? self() : nullptr;
  detach();
}

void CALayer::setMask(CALayerRef mask) {
  if (mask && isDescendantOf(mask.get())) return;
  if (mask) mask->detach();
  mask_ = std::move(mask);
}

// ---- Appearance ----

std::optional<CGColor> CALayer::backgroundColor() const {
  if (auto v = delegate()) {
    if (auto c = v->backgroundColor()) return c->CGColor();
    return std::nullopt;
  }
  return backgroundColor_;
}

void CALayer::setBackgroundColor(std::optional<CGColor> c) {
  if (auto v = delegate()) {
    v->setBackgroundColor(c ? UIColorRef(UIColor::colorWithCGColor(*c)) : UIColorRef());
    return;
  }
  backgroundColor_ = c;
}

void CALayer::setShadowPath(const UIBezierPathRef& path) {
  shadowPath_ = path ? path->copy() : nullptr;
}

// ---- Shape and gradient layers ----

void CAShapeLayer::setPath(const UIBezierPathRef& path) { path_ = path ? path->copy() : nullptr; }

void CAShapeLayer::drawInContext(CGContextRef c) const {
  if (!c || !path_ || path_->isEmpty()) return;
  cairo_t* cr = c->cairo();
  cairo_save(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
  if (fillColor_ && fillColor_->a > 0) {
    cairo_new_path(cr);
    path_->addToContext(c);
    cairo_set_fill_rule(cr, fillRule_ == kCAFillRuleEvenOdd ? CAIRO_FILL_RULE_EVEN_ODD
                                                            : CAIRO_FILL_RULE_WINDING);
    cairo_set_source_rgba(cr, fillColor_->r, fillColor_->g, fillColor_->b, fillColor_->a);
    cairo_fill(cr);
  }
  if (strokeColor_ && strokeColor_->a > 0 && lineWidth_ > 0) {
    cairo_new_path(cr);
    path_->addToContext(c);
    cairo_set_line_width(cr, lineWidth_);
    cairo_set_line_cap(cr, lineCap_ == kCALineCapRound    ? CAIRO_LINE_CAP_ROUND
                           : lineCap_ == kCALineCapSquare ? CAIRO_LINE_CAP_SQUARE
                                                          : CAIRO_LINE_CAP_BUTT);
    cairo_set_line_join(cr, lineJoin_ == kCALineJoinRound   ? CAIRO_LINE_JOIN_ROUND
                            : lineJoin_ == kCALineJoinBevel ? CAIRO_LINE_JOIN_BEVEL
                                                            : CAIRO_LINE_JOIN_MITER);
    bool dashed = !dash_.empty() && std::all_of(dash_.begin(), dash_.end(),
                                                [](double d) { return d >= 0 && std::isfinite(d); }) &&
                  std::any_of(dash_.begin(), dash_.end(), [](double d) { return d > 0; });
    if (dashed) cairo_set_dash(cr, dash_.data(), static_cast<int>(dash_.size()), 0);
    cairo_set_source_rgba(cr, strokeColor_->r, strokeColor_->g, strokeColor_->b, strokeColor_->a);
    cairo_stroke(cr);
  }
  cairo_new_path(cr);
  cairo_restore(cr);
}

void CAGradientLayer::drawInContext(CGContextRef c) const {
  CGRect b = bounds();
  if (!c || colors_.empty() || b.size.width <= 0 || b.size.height <= 0) return;
  cairo_t* cr = c->cairo();
  double x0 = b.origin.x + startPoint_.x * b.size.width;
  double y0 = b.origin.y + startPoint_.y * b.size.height;
  double x1 = b.origin.x + endPoint_.x * b.size.width;
  double y1 = b.origin.y + endPoint_.y * b.size.height;
  cairo_pattern_t* p = cairo_pattern_create_linear(x0, y0, x1, y1);
  bool given = locations_.size() == colors_.size();
  size_t n = colors_.size();
  for (size_t i = 0; i < n; i++) {
    double at = given ? std::clamp(locations_[i], 0.0, 1.0)
                      : (n == 1 ? 0.0 : static_cast<double>(i) / static_cast<double>(n - 1));
    const CGColor& col = colors_[i];
    cairo_pattern_add_color_stop_rgba(p, at, col.r, col.g, col.b, col.a);
  }
  cairo_pattern_set_extend(p, CAIRO_EXTEND_PAD);
  cairo_save(cr);
  cairo_new_path(cr);
  cairo_rectangle(cr, b.origin.x, b.origin.y, b.size.width, b.size.height);
  cairo_set_source(cr, p);
  cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
  cairo_fill(cr);
  cairo_restore(cr);
  cairo_pattern_destroy(p);
}

// ---- Added animations ----

void CALayer::addAnimationForKey(const CAAnimationRef& animation, const std::string& key) {
  if (!animation) return;
  if (!key.empty()) removeAnimationForKey(key);
  CAAnimationRef running = animation->copy();
  animations_.push_back({key, nullptr, running});
  double duration = running->duration() > 0 ? running->duration() : CAAnimation::kDefaultDuration;
  std::weak_ptr<Object> weakLayer = weak_from_this();
  std::weak_ptr<CAAnimation> weakAnimation = running;
  dispatch_after(duration, dispatch_get_main_queue(), [weakLayer, weakAnimation] {
    auto layer = std::static_pointer_cast<CALayer>(weakLayer.lock());
    auto animation = weakAnimation.lock();
    if (!layer || !animation) return;  // gone, or removed or replaced meanwhile
    std::erase_if(layer->animations_,
                  [&](const RunningAnimation& a) { return a.animation == animation; });
  });
}

CAAnimationRef CALayer::animationForKey(const std::string& key) const {
  if (key.empty()) return nullptr;
  for (const auto& a : animations_)
    if (a.key == key && a.animation) return a.animation;
  return nullptr;
}

}  // namespace plat
