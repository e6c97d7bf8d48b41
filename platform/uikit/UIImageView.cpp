#include "platform/uikit/UIImageView.h"

#include <cairo.h>

#include <algorithm>

namespace plat {

UIImageView::UIImageView(CGRect frame) : UIView(frame) {
  setUserInteractionEnabled(false);
  setOpaque(false);
}

UIImageView::UIImageView(UIImageRef image) : UIImageView(CGRectZero) {
  // Framed at the origin with the image's size.
  if (image) setFrame(CGRectMake(0, 0, image->size().width, image->size().height));
  image_ = std::move(image);
}

void UIImageView::setImage(UIImageRef image) {
  if (image == image_) return;
  image_ = std::move(image);
  invalidateIntrinsicContentSize();
  setNeedsDisplay();
}
void UIImageView::setHighlightedImage(UIImageRef image) {
  highlightedImage_ = std::move(image);
  setNeedsDisplay();
}
void UIImageView::setHighlighted(bool h) {
  highlighted_ = h;
  setNeedsDisplay();
}
void UIImageView::setAnimationImages(std::vector<UIImageRef> images) {
  animationImages_ = std::move(images);
  setNeedsDisplay();
}
void UIImageView::setHighlightedAnimationImages(std::vector<UIImageRef> images) {
  highlightedAnimationImages_ = std::move(images);
  setNeedsDisplay();
}
void UIImageView::startAnimating() {
  const auto& list = (highlighted_ && !highlightedAnimationImages_.empty())
                         ? highlightedAnimationImages_
                         : animationImages_;
  if (!list.empty()) animating_ = true;
}
void UIImageView::stopAnimating() { animating_ = false; }

CGSize UIImageView::intrinsicContentSize() const {
  if (!image_) return {UIViewNoIntrinsicMetric, UIViewNoIntrinsicMetric};
  return image_->size();
}
CGSize UIImageView::sizeThatFits(CGSize) const { return image_ ? image_->size() : CGSizeZero; }

CGRect UIContentModeRect(UIViewContentMode mode, CGRect b, CGSize s) {
  if (s.width <= 0 || s.height <= 0) return b;
  double x = b.origin.x, y = b.origin.y, w = b.size.width, h = b.size.height;
  switch (mode) {
    case UIViewContentModeScaleToFill:
    case UIViewContentModeRedraw:
      return b;
    case UIViewContentModeScaleAspectFit:
    case UIViewContentModeScaleAspectFill: {
      double k = mode == UIViewContentModeScaleAspectFit ? std::min(w / s.width, h / s.height)
                                                         : std::max(w / s.width, h / s.height);
      double nw = s.width * k, nh = s.height * k;
      return CGRectMake(x + (w - nw) / 2, y + (h - nh) / 2, nw, nh);
    }
    default:
      break;
  }
  double cx = x + (w - s.width) / 2, cy = y + (h - s.height) / 2;
  double left = x, right = x + w - s.width, top = y, bottom = y + h - s.height;
  switch (mode) {
    case UIViewContentModeTop: return CGRectMake(cx, top, s.width, s.height);
    case UIViewContentModeBottom: return CGRectMake(cx, bottom, s.width, s.height);
    case UIViewContentModeLeft: return CGRectMake(left, cy, s.width, s.height);
    case UIViewContentModeRight: return CGRectMake(right, cy, s.width, s.height);
    case UIViewContentModeTopLeft: return CGRectMake(left, top, s.width, s.height);
    case UIViewContentModeTopRight: return CGRectMake(right, top, s.width, s.height);
    case UIViewContentModeBottomLeft: return CGRectMake(left, bottom, s.width, s.height);
    case UIViewContentModeBottomRight: return CGRectMake(right, bottom, s.width, s.height);
    default: return CGRectMake(cx, cy, s.width, s.height);
  }
}

void UIImageView::drawBuiltInContent(CGContextRef c) const {
  UIImageRef img = (highlighted_ && highlightedImage_) ? highlightedImage_ : image_;
  if (!img && highlighted_ && !highlightedAnimationImages_.empty())
    img = highlightedAnimationImages_.front();
  if (!img && !animationImages_.empty()) img = animationImages_.front();
  if (!img || !c) return;
  CGRect r = UIContentModeRect(contentMode(), bounds(), img->size());
  if (img->renderingMode() != UIImageRenderingModeAlwaysTemplate || !c->cairo()) {
    UIDrawImageOriented(c, r, *img, 1, kCGBlendModeNormal);
    return;
  }
  // A template image: its coverage filled with the tint colour.
  cairo_t* cr = c->cairo();
  UIColor tint = tintColor();
  cairo_save(cr);
  cairo_push_group(cr);
  UIDrawImageOriented(c, r, *img, 1, kCGBlendModeNormal);
  cairo_set_operator(cr, CAIRO_OPERATOR_IN);
  cairo_set_source_rgba(cr, tint.red(), tint.green(), tint.blue(), tint.alpha());
  cairo_paint(cr);
  cairo_pop_group_to_source(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
  cairo_paint(cr);
  cairo_restore(cr);
}

}  // namespace plat
