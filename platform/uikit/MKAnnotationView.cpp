#include "platform/uikit/MKAnnotationView.h"

namespace plat {

MKAnnotationView::MKAnnotationView(std::string reuseIdentifier, CGRect frame)
    : UIView(frame), reuseIdentifier_(std::move(reuseIdentifier)) {
  setOpaque(false);
}

void MKAnnotationView::setImage(UIImageRef image) {
  if (image == image_) return;
  image_ = std::move(image);
  if (image_) {
    CGPoint c = center();
    CGSize s = image_->size();
    setBounds(CGRectMake(0, 0, s.width, s.height));
    setCenter(c);
  }
  setNeedsDisplay();
}

void MKAnnotationView::drawBuiltInContent(CGContextRef c) const {
  if (!image_ || !c) return;
  UIDrawImageOriented(c, bounds(), *image_, 1, kCGBlendModeNormal);
}

}  // namespace plat
