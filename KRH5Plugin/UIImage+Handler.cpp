#include "KRH5Plugin/UIImage+Handler.h"

#include <cmath>

#include "platform/graphics/CGBitmapContext.h"
#include "platform/uikit/UIGraphics.h"

plat::UIImageRef fixOrientation(const plat::UIImageRef& image) {
  if (!image || !image->CGImage()) return image;
  if (image->imageOrientation() == plat::UIImageOrientationUp) return image;
  plat::CGSize size = image->size();
  // Drawn at the bitmap's own resolution, so nothing of it is lost.
  plat::UIGraphicsBeginImageContextWithOptions(size, image->CGImage()->isOpaque(),
                                               image->scale());
  if (!plat::UIGraphicsGetCurrentContext()) {
    plat::UIGraphicsEndImageContext();
    return nullptr;
  }
  image->drawInRect(plat::CGRectMake(0, 0, size.width, size.height));
  plat::UIImageRef upright = plat::UIGraphicsGetImageFromCurrentImageContext();
  plat::UIGraphicsEndImageContext();
  return upright;
}

plat::UIImageRef imageAtRect(const plat::UIImageRef& image, plat::CGRect rect) {
  plat::UIImageRef upright = fixOrientation(image);
  if (!upright || !upright->CGImage()) return nullptr;
  // The rectangle is in image units: a bitmap of scale 2 holds two pixels per unit.
  double s = upright->scale();
  plat::CGRect pixels = plat::CGRectMake(rect.origin.x * s, rect.origin.y * s,
                                         rect.size.width * s, rect.size.height * s);
  if (!std::isfinite(pixels.origin.x) || !std::isfinite(pixels.origin.y) ||
      !std::isfinite(pixels.size.width) || !std::isfinite(pixels.size.height))
    return nullptr;
  plat::CGImageRef part = plat::CGImageCreateWithImageInRect(upright->CGImage(), pixels);
  return plat::UIImage::imageWithCGImage(part);
}
