#pragma once
// UIImage: an immutable picture (a CGImage plus its scale). Size is in points (pixels / scale).
// Decoding of PNG and JPEG goes through plat_graphics.
// Thread-safety: images are immutable and may be shared between threads; imageNamed's cache
// is synchronized.

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Data.h"
#include "platform/foundation/NSCoding.h"
#include "platform/foundation/Object.h"
#include "platform/graphics/CGContext.h"
#include "platform/graphics/CGImage.h"

namespace plat {

class UIImage;
using UIImageRef = std::shared_ptr<UIImage>;

enum UIImageRenderingMode : int64_t {
  UIImageRenderingModeAutomatic = 0,
  UIImageRenderingModeAlwaysOriginal = 1,
  UIImageRenderingModeAlwaysTemplate = 2
};

// How the bitmap must be turned to show upright.
enum UIImageOrientation : int64_t {
  UIImageOrientationUp = 0,
  UIImageOrientationDown = 1,
  UIImageOrientationLeft = 2,
  UIImageOrientationRight = 3,
  UIImageOrientationUpMirrored = 4,
  UIImageOrientationDownMirrored = 5,
  UIImageOrientationLeftMirrored = 6,
  UIImageOrientationRightMirrored = 7
};

// Archived (class "UIImage") as its bitmap in PNG form ("UIImageData"), its scale ("UIScale")
// and orientation ("UIImageOrientation"); an archive without a readable bitmap decodes as nil.
class UIImage : public Object, public NSCoding {
 public:
  UIImage(CGImageRef image, double scale,
          UIImageOrientation orientation = UIImageOrientationUp);

  // nullptr for a null image.
  static UIImageRef imageWithCGImage(CGImageRef image, double scale = 1,
                                     UIImageOrientation orientation = UIImageOrientationUp);
  // nullptr when the bytes are not a PNG or JPEG image, or one above the readers' pixel cap
  // (plat::kCGImageSourceMaxPixels). Decodes once, straight into the image's bitmap. A JPEG's
  // EXIF orientation (1 to 8) becomes the image's orientation; the bitmap stays as stored.
  static UIImageRef imageWithData(const Data& data, double scale = 1);
  // Reads the file; a name ending in "@2x" or "@3x" before the extension gives that scale.
  // nullptr when the file is missing or not an image.
  static UIImageRef imageWithContentsOfFile(const std::string& path);
  // Looks the name up in the main bundle's folder, preferring the "@2x"/"@3x" variant that
  // matches the main screen's scale, then the plain file; without an extension ".png" is
  // assumed. A name may contain folders ("X.bundle/y.png"). Found images are cached per
  // bundle folder and name. nullptr when not found.
  static UIImageRef imageNamed(const std::string& name);
  static void clearNamedCacheForTesting();
  // An animated image: the frames shown in turn over `duration` seconds.
  static UIImageRef animatedImageWithImages(const std::vector<UIImageRef>& images, double duration);

  CGImageRef CGImage() const { return image_; }
  double scale() const { return scale_; }
  // Drawing turns the bitmap upright by the orientation; size() is upright (swapped for the
  // sideways ones).
  UIImageOrientation imageOrientation() const { return orientation_; }
  CGSize size() const;
  const std::vector<UIImageRef>& images() const { return images_; }
  double duration() const { return duration_; }
  UIImageRenderingMode renderingMode() const { return renderingMode_; }
  UIImageRef imageWithRenderingMode(UIImageRenderingMode mode) const;

  // Draws upright (by the orientation) into the current context; nothing without one.
  void drawInRect(CGRect rect) const;
  void drawInRectBlendModeAlpha(CGRect rect, CGBlendMode mode, double alpha) const;
  void drawAtPoint(CGPoint p) const;

  std::string className() const override { return "UIImage"; }

  void encodeWithCoder(NSKeyedArchiver& coder) const override;
  bool initWithCoder(NSKeyedUnarchiver& coder) override;

 protected:
  // For subclasses filling in a freshly created image (decoding from an archive).
  void setBitmap(CGImageRef image, double scale, UIImageOrientation orientation);

 private:
  CGImageRef image_;
  double scale_ = 1;
  UIImageOrientation orientation_ = UIImageOrientationUp;
  std::vector<UIImageRef> images_;
  double duration_ = 0;
  UIImageRenderingMode renderingMode_ = UIImageRenderingModeAutomatic;
};

// UIImagePNGRepresentation / UIImageJPEGRepresentation: empty data for a null image.
Data UIImagePNGRepresentation(const UIImageRef& image);
Data UIImageJPEGRepresentation(const UIImageRef& image, double quality);

// Draws an image upright into rect of the given context's user space (top-left origin).
void UIDrawImageUpright(CGContextRef c, CGRect rect, const CGImageRef& image, double alpha,
                        CGBlendMode mode);
// Draws a UIImage's bitmap into rect turned by its orientation, so the picture shows upright.
void UIDrawImageOriented(CGContextRef c, CGRect rect, const UIImage& image, double alpha,
                         CGBlendMode mode);
// The orientation of an EXIF orientation value (1 to 8); up for anything else.
UIImageOrientation UIImageOrientationFromEXIF(int64_t exif);

}  // namespace plat
