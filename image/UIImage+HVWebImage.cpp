#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

#include "image/HVBitmapCopy.h"
#include "image/UIImage+HVWebImage.h"
#include "platform/foundation/NSLog.h"
#include "platform/graphics/AccelerateBuffers.h"
#include "platform/graphics/AccelerateFilters.h"
#include "platform/graphics/CGBitmapContext.h"
#include "platform/graphics/CGImageSource.h"
#include "platform/uikit/UIGraphics.h"

using namespace plat;

namespace {

constexpr double kEpsilon = 1.1920928955078125e-07;  // FLT_EPSILON
constexpr double kMaxSide = 32767;

// Bitmap formats: offscreen bitmaps for rotation and flips, and the 32-bit little-endian
// layouts of the GIF frames and the blur.
constexpr CGBitmapInfo kRotationInfo = kCGImageAlphaPremultipliedFirst;
constexpr CGBitmapInfo kPremultipliedLittle =
    kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little;
constexpr CGBitmapInfo kSkipFirstLittle = kCGImageAlphaNoneSkipFirst | kCGBitmapByteOrder32Little;

// A size that can back a bitmap at `scale` (0: the screen's): finite, positive, and at most
// 32767 pixels a side.
bool drawableSize(CGSize size, double scale) {
  if (scale <= 0 || !std::isfinite(scale)) scale = UIGraphicsDefaultScale();
  return std::isfinite(size.width) && std::isfinite(size.height) && size.width > 0 &&
         size.height > 0 && size.width * scale <= kMaxSide && size.height * scale <= kMaxSide;
}

// An image context for the scope of the object.
class ImageContext {
 public:
  ImageContext(CGSize size, bool opaque, double scale) {
    UIGraphicsBeginImageContextWithOptions(size, opaque, scale);
  }
  ~ImageContext() { UIGraphicsEndImageContext(); }
  ImageContext(const ImageContext&) = delete;
  ImageContext& operator=(const ImageContext&) = delete;
  CGContextRef context() const { return UIGraphicsGetCurrentContext(); }
  UIImageRef image() const { return UIGraphicsGetImageFromCurrentImageContext(); }
};

CGSize imageSize(const UIImageRef& image) { return image->size(); }

// Greatest common divisor by Euclid's algorithm.
uint64_t gcd(uint64_t a, uint64_t b) {
  while (b) {
    uint64_t t = a % b;
    a = b;
    b = t;
  }
  return a;
}

double frameDelay(const CGImageSourceRef& source, size_t index) {
  Dictionary props = source->propertiesAtIndex(index);
  const Value& gif = props[kCGImagePropertyGIFDictionary];
  if (!gif.isDictionary()) return 0;
  double delay = gif[kCGImagePropertyGIFUnclampedDelayTime].doubleValue();
  if (delay <= kEpsilon) delay = gif[kCGImagePropertyGIFDelayTime].doubleValue();
  return delay;
}

UIImageRef flip(const UIImageRef& image, bool horizontal, bool vertical) {
  CGImageRef cg = image ? image->CGImage() : nullptr;
  if (!cg) return nullptr;
  size_t width = cg->width(), height = cg->height();
  auto context = CGBitmapContextCreate(nullptr, width, height, 8, width * 4,
                                       HVSharedDeviceRGBSpace(), kRotationInfo);
  if (!context) return nullptr;
  CGContextDrawImage(context.get(), CGRectMake(0, 0, double(width), double(height)), cg);
  void* data = CGBitmapContextGetData(context.get());
  if (!data) return nullptr;
  vImage_Buffer buffer{data, height, width, CGBitmapContextGetBytesPerRow(context.get())};
  if (vertical) vImageVerticalReflect_ARGB8888(&buffer, &buffer, kvImageBackgroundColorFill);
  if (horizontal) vImageHorizontalReflect_ARGB8888(&buffer, &buffer, kvImageBackgroundColorFill);
  return UIImage::imageWithCGImage(CGBitmapContextCreateImage(context.get()), image->scale(),
                                   image->imageOrientation());
}

// Draws the effect image over the receiver's size with the tint and through the mask.
UIImageRef merge(const UIImageRef& image, const CGImageRef& effect, const UIColorRef& tint,
                 CGBlendMode tintMode, const UIImageRef& mask, bool opaque) {
  bool hasTint = tint && tint->alpha() > kEpsilon;
  bool hasMask = mask != nullptr;
  if (!hasTint && !hasMask) return UIImage::imageWithCGImage(effect);
  CGSize size = imageSize(image);
  if (!drawableSize(size, image->scale())) return nullptr;
  ImageContext ic(size, opaque, image->scale());
  CGContextRef c = ic.context();
  if (!c) return nullptr;
  CGContextScaleCTM(c, 1, -1);
  CGContextTranslateCTM(c, 0, -size.height);
  CGRect bounds = CGRectMake(0, 0, size.width, size.height);
  if (hasMask) {
    CGContextDrawImage(c, bounds, image->CGImage());
    CGContextSaveGState(c);
    CGContextClipToMask(c, bounds, mask->CGImage());
  }
  CGContextDrawImage(c, bounds, effect);
  if (hasTint) {
    CGContextSaveGState(c);
    CGContextSetBlendMode(c, tintMode);
    CGContextSetFillColorWithColor(c, tint->CGColor());
    CGContextFillRect(c, bounds);
    CGContextRestoreGState(c);
  }
  if (hasMask) CGContextRestoreGState(c);
  return ic.image();
}

// The side of the box filter whose passes approximate a Gaussian of radius r pixels: odd,
// computed in double and clamped to what the convolution takes (huge or infinite radii give the
// widest box; the convolution's cost does not grow with the box).
uint32_t boxSize(double r) {
  double box = std::floor(((r * 3 * 2.5066282746310002) / 4 + 0.5) / 2);
  if (r - 2 < kEpsilon) box = std::floor(2.1299712059732503);
  constexpr double kWidest = 4294967295.0;
  if (!(box <= kWidest)) box = kWidest;  // also NaN
  return static_cast<uint32_t>(std::max(box, 0.0)) | 1;
}

}  // namespace

// ---- class operations ----

UIImageRef HV_imageWithSmallGIFDataScale(const Data& data, double scale) {
  CGImageSourceRef source = CGImageSource::createWithData(data);
  if (!source) return nullptr;
  size_t count = source->count();
  if (count <= 1) {
    if (auto still = UIImage::imageWithData(data, scale)) return still;
    // UIImage reads PNG and JPEG; a still image of another kind comes from the source.
    return count == 1 ? UIImage::imageWithCGImage(source->createImageAtIndex(0, false), scale)
                      : nullptr;
  }
  std::vector<uint64_t> ticks(count);
  uint64_t divisor = 0;
  double total = 0;
  for (size_t i = 0; i < count; i++) {
    double delay = frameDelay(source, i);
    if (delay < 0.02) delay = 0.1;
    double t = std::nearbyint(delay / 0.02);  // ties to even
    ticks[i] = t < 1 ? 1 : static_cast<uint64_t>(std::min(t, 1e9));
    divisor = gcd(ticks[i], divisor);
    total += delay;
  }
  if (count > kHVSmallGIFMaxImageEntries) return nullptr;
  // Entries per frame on the common base; past the bound, on a base of `unit` ticks chosen so
  // that the list fits: max(1, round(t / unit)) <= 1 + t / unit, summed <= count + (bound -
  // count).
  std::vector<uint64_t> entries(count);
  uint64_t listed = 0, allTicks = 0;
  for (size_t i = 0; i < count; i++) {
    entries[i] = ticks[i] / divisor;
    listed += entries[i];
    allTicks += ticks[i];
  }
  if (listed > kHVSmallGIFMaxImageEntries) {
    uint64_t room = kHVSmallGIFMaxImageEntries - count;
    double unit = room == 0 ? std::numeric_limits<double>::infinity()
                            : std::ceil(double(allTicks) / double(room));
    for (size_t i = 0; i < count; i++)
      entries[i] = std::max<uint64_t>(1, uint64_t(std::nearbyint(double(ticks[i]) / unit)));
  }
  std::vector<UIImageRef> frames;
  const auto& rgb = HVSharedDeviceRGBSpace();
  for (size_t i = 0; i < count; i++) {
    CGImageRef frame = source->createImageAtIndex(i, false);
    if (!frame) return nullptr;
    size_t w = frame->width(), h = frame->height();
    if (w == 0 || h == 0) return nullptr;
    uint32_t alpha = frame->bitmapInfo() & kCGBitmapAlphaInfoMask;
    bool hasAlpha = alpha >= kCGImageAlphaPremultipliedLast && alpha <= kCGImageAlphaFirst;
    auto context = CGBitmapContextCreate(nullptr, w, h, 8, 0, rgb,
                                         hasAlpha ? kPremultipliedLittle : kSkipFirstLittle);
    if (!context) return nullptr;
    CGContextDrawImage(context.get(), CGRectMake(0, 0, double(w), double(h)), frame);
    CGImageRef decoded = CGBitmapContextCreateImage(context.get());
    if (!decoded) return nullptr;
    auto still = UIImage::imageWithCGImage(decoded, scale, UIImageOrientationUp);
    // Repeated by reference: the frame's share of the common time base.
    for (uint64_t k = 0; k < entries[i]; k++) frames.push_back(still);
  }
  return UIImage::animatedImageWithImages(frames, total);
}

UIImageRef HV_imageWithColor(const UIColorRef& color) {
  return HV_imageWithColorSize(color, CGSizeMake(1, 1));
}

UIImageRef HV_imageWithColorSize(const UIColorRef& color, CGSize size) {
  if (!color || !(size.width > 0) || !(size.height > 0)) return nullptr;
  if (!drawableSize(size, 0)) return nullptr;
  ImageContext ic(size, false, 0);
  if (!ic.context()) return nullptr;
  color->setFill();
  UIRectFill(CGRectMake(0, 0, size.width, size.height));
  return ic.image();
}

UIImageRef HV_imageWithSizeDrawBlock(CGSize size, const std::function<void(CGContextRef)>& block) {
  if (!block || !drawableSize(size, 0)) return nullptr;
  ImageContext ic(size, false, 0);
  CGContextRef c = ic.context();
  if (!c) return nullptr;
  block(c);
  return ic.image();
}

// ---- drawing ----

bool HV_hasAlphaChannel(const UIImageRef& image) {
  if (!image || !image->CGImage()) return false;
  uint32_t alpha = image->CGImage()->bitmapInfo() & kCGBitmapAlphaInfoMask;
  return alpha >= kCGImageAlphaPremultipliedLast && alpha <= kCGImageAlphaFirst;
}

namespace {

bool finiteRect(CGRect r) {
  return std::isfinite(r.origin.x) && std::isfinite(r.origin.y) && std::isfinite(r.size.width) &&
         std::isfinite(r.size.height);
}

// Where a content mode puts an image of `size` inside rect.
CGRect contentModeRect(CGRect rect, CGSize size, UIViewContentMode mode) {
  rect = CGRectStandardize(rect);
  double w = std::fabs(size.width), h = std::fabs(size.height);
  double x = rect.origin.x, y = rect.origin.y, W = rect.size.width, H = rect.size.height;
  double mx = x + W / 2, my = y + H / 2;
  switch (mode) {
    case UIViewContentModeScaleAspectFit:
    case UIViewContentModeScaleAspectFill: {
      if (w < 0.01 || h < 0.01 || W < 0.01 || H < 0.01) return CGRectMake(mx, my, 0, 0);
      bool wider = w / h >= W / H;
      double scale = mode == UIViewContentModeScaleAspectFit ? (wider ? W / w : H / h)
                                                             : (w / h < W / H ? W / w : H / h);
      double sw = w * scale, sh = h * scale;
      return CGRectMake(mx - sw / 2, my - sh / 2, sw, sh);
    }
    case UIViewContentModeCenter:
      return CGRectMake(mx - w / 2, my - h / 2, w, h);
    case UIViewContentModeTop:
      return CGRectMake(mx - w / 2, y, w, h);
    case UIViewContentModeBottom:
      return CGRectMake(mx - w / 2, y + H - h, w, h);
    case UIViewContentModeLeft:
      return CGRectMake(x, my - h / 2, w, h);
    case UIViewContentModeRight:
      return CGRectMake(x + W - w, my - h / 2, w, h);
    case UIViewContentModeTopLeft:
      return CGRectMake(x, y, w, h);
    case UIViewContentModeTopRight:
      return CGRectMake(x + W - w, y, w, h);
    case UIViewContentModeBottomLeft:
      return CGRectMake(x, y + H - h, w, h);
    case UIViewContentModeBottomRight:
      return CGRectMake(x + W - w, y + H - h, w, h);
    default:
      return rect;
  }
}

}  // namespace

void HV_drawInRectWithContentModeClipsToBounds(const UIImageRef& image, CGRect rect,
                                               UIViewContentMode mode, bool clips) {
  if (!image || !finiteRect(rect)) return;
  CGRect drawn = contentModeRect(rect, image->size(), mode);
  if (!finiteRect(drawn) || drawn.size.width == 0 || drawn.size.height == 0) return;
  if (clips) {
    CGContextRef c = UIGraphicsGetCurrentContext();
    if (!c) return;
    CGContextSaveGState(c);
    CGContextAddRect(c, rect);
    CGContextClip(c);
    image->drawInRect(drawn);
    CGContextRestoreGState(c);
  } else {
    image->drawInRect(drawn);
  }
}

UIImageRef HV_imageByResizeToSize(const UIImageRef& image, CGSize size) {
  if (!image || !drawableSize(size, image->scale())) return nullptr;
  ImageContext ic(size, false, image->scale());
  if (!ic.context()) return nullptr;
  image->drawInRect(CGRectMake(0, 0, size.width, size.height));
  return ic.image();
}

UIImageRef HV_imageByResizeToSizeContentMode(const UIImageRef& image, CGSize size,
                                             UIViewContentMode mode) {
  if (!image || !drawableSize(size, image->scale())) return nullptr;
  ImageContext ic(size, false, image->scale());
  if (!ic.context()) return nullptr;
  HV_drawInRectWithContentModeClipsToBounds(image, CGRectMake(0, 0, size.width, size.height), mode,
                                            false);
  return ic.image();
}

UIImageRef HV_imageByCropToRect(const UIImageRef& image, CGRect rect) {
  if (!image || !image->CGImage()) return nullptr;
  double s = image->scale();
  rect =
      CGRectMake(rect.origin.x * s, rect.origin.y * s, rect.size.width * s, rect.size.height * s);
  if (!(rect.size.width > 0) || !(rect.size.height > 0)) return nullptr;
  // A rectangle that is not finite names no pixels.
  if (!finiteRect(rect)) return nullptr;
  CGImageRef part = CGImageCreateWithImageInRect(image->CGImage(), rect);
  return UIImage::imageWithCGImage(part, s, image->imageOrientation());
}

UIImageRef HV_imageByInsetEdgeWithColor(const UIImageRef& image, UIEdgeInsets insets,
                                        const UIColorRef& color) {
  if (!image) return nullptr;
  CGSize size = image->size();
  CGSize canvas = CGSizeMake(size.width - (insets.left + insets.right),
                             size.height - (insets.top + insets.bottom));
  if (!drawableSize(canvas, image->scale())) return nullptr;
  ImageContext ic(canvas, false, image->scale());
  CGContextRef c = ic.context();
  if (!c) return nullptr;
  CGRect imageRect = CGRectMake(-insets.left, -insets.top, size.width, size.height);
  if (color) {
    // Even-odd: only the margins outside the image are painted.
    CGContextSaveGState(c);
    CGContextSetFillColorWithColor(c, color->CGColor());
    CGContextBeginPath(c);
    CGContextAddRect(c, CGRectMake(0, 0, canvas.width, canvas.height));
    CGContextAddRect(c, imageRect);
    CGContextEOFillPath(c);
    CGContextRestoreGState(c);
  }
  image->drawInRect(imageRect);
  return ic.image();
}

// ---- corners ----

UIImageRef HV_imageByRoundCornerRadius(const UIImageRef& image, double radius) {
  return HV_imageByRoundCornerRadiusBorderWidthBorderColor(image, radius, 0, std::nullopt);
}

UIImageRef HV_imageByRoundCornerRadiusBorderWidthBorderColor(const UIImageRef& image, double radius,
                                                             double borderWidth,
                                                             const UIColorRef& borderColor) {
  return HV_imageByRoundCornerRadiusCornersBorderWidthBorderColorBorderLineJoin(
      image, radius, ~uint64_t{0}, borderWidth, borderColor, kCGLineJoinMiter);
}

UIImageRef HV_imageByRoundCornerRadiusCornersBorderWidthBorderColorBorderLineJoin(
    const UIImageRef& image, double radius, uint64_t corners, double borderWidth,
    const UIColorRef& borderColor, CGLineJoin borderLineJoin) {
  if (!image || !image->CGImage()) return nullptr;
  if (corners != ~uint64_t{0}) {
    // Drawing happens flipped: top corners become bottom ones.
    uint64_t swapped = corners & ~uint64_t{15};
    if (corners & UIRectCornerTopLeft) swapped |= UIRectCornerBottomLeft;
    if (corners & UIRectCornerTopRight) swapped |= UIRectCornerBottomRight;
    if (corners & UIRectCornerBottomLeft) swapped |= UIRectCornerTopLeft;
    if (corners & UIRectCornerBottomRight) swapped |= UIRectCornerTopRight;
    corners = swapped;
  }
  CGSize size = image->size();
  double scale = image->scale();
  if (!drawableSize(size, scale)) return nullptr;
  ImageContext ic(size, false, scale);
  CGContextRef c = ic.context();
  if (!c) return nullptr;
  CGRect bounds = CGRectMake(0, 0, size.width, size.height);
  CGContextScaleCTM(c, 1, -1);
  CGContextTranslateCTM(c, 0, -size.height);
  double minSize = std::min(size.width, size.height);
  if (borderWidth < minSize / 2) {
    auto path = UIBezierPath::bezierPathWithRoundedRectByRoundingCornersCornerRadii(
        CGRectInset(bounds, borderWidth, borderWidth), corners, CGSizeMake(radius, borderWidth));
    path->closePath();
    CGContextSaveGState(c);
    path->addClip();
    CGContextDrawImage(c, bounds, image->CGImage());
    CGContextRestoreGState(c);
    if (borderColor && borderWidth > 0) {
      double strokeInset = (std::floor(borderWidth * scale) + 0.5) / scale;
      CGRect strokeRect = CGRectInset(bounds, strokeInset, strokeInset);
      double strokeRadius = radius > scale / 2 ? radius - scale / 2 : 0;
      auto border = UIBezierPath::bezierPathWithRoundedRectByRoundingCornersCornerRadii(
          strokeRect, corners, CGSizeMake(strokeRadius, borderWidth));
      border->closePath();
      border->setLineWidth(borderWidth);
      border->setLineJoinStyle(borderLineJoin);
      borderColor->setStroke();
      border->stroke();
    }
  }
  return ic.image();
}

// ---- rotation and flips ----

UIImageRef HV_imageByRotateFitSize(const UIImageRef& image, double radians, bool fitSize) {
  CGImageRef cg = image ? image->CGImage() : nullptr;
  if (!cg || !std::isfinite(radians)) return nullptr;
  double width = double(cg->width()), height = double(cg->height());
  CGRect box = CGRectMake(0, 0, width, height);
  if (fitSize) box = CGRectApplyAffineTransform(box, CGAffineTransformMakeRotation(radians));
  double newWidth = std::trunc(box.size.width), newHeight = std::trunc(box.size.height);
  if (!(newWidth >= 1 && newHeight >= 1 && newWidth <= kMaxSide && newHeight <= kMaxSide)) {
    return nullptr;
  }
  auto context =
      CGBitmapContextCreate(nullptr, size_t(newWidth), size_t(newHeight), 8, size_t(newWidth) * 4,
                            HVSharedDeviceRGBSpace(), kRotationInfo);
  if (!context) return nullptr;
  CGContextRef c = context.get();
  CGContextSetShouldAntialias(c, true);
  CGContextSetAllowsAntialiasing(c, true);
  CGContextSetInterpolationQuality(c, kCGInterpolationHigh);
  CGContextTranslateCTM(c, box.size.width / 2, box.size.height / 2);
  CGContextRotateCTM(c, radians);
  CGContextDrawImage(c, CGRectMake(-width / 2, -height / 2, width, height), cg);
  return UIImage::imageWithCGImage(CGBitmapContextCreateImage(c), image->scale(),
                                   image->imageOrientation());
}

UIImageRef HV_imageByRotateLeft90(const UIImageRef& image) {
  return HV_imageByRotateFitSize(image, 1.5707963267948966, true);
}
UIImageRef HV_imageByRotateRight90(const UIImageRef& image) {
  return HV_imageByRotateFitSize(image, -1.5707963267948966, true);
}
UIImageRef HV_imageByRotate180(const UIImageRef& image) { return flip(image, true, true); }
UIImageRef HV_imageByFlipVertical(const UIImageRef& image) { return flip(image, false, true); }
UIImageRef HV_imageByFlipHorizontal(const UIImageRef& image) { return flip(image, true, false); }

// ---- colour effects ----

UIImageRef HV_imageByTintColor(const UIImageRef& image, const UIColor& color) {
  if (!image) return nullptr;
  CGSize size = image->size();
  if (!drawableSize(size, image->scale())) return nullptr;
  ImageContext ic(size, false, image->scale());
  if (!ic.context()) return nullptr;
  CGRect bounds = CGRectMake(0, 0, size.width, size.height);
  color.setFill();
  UIRectFill(bounds);
  image->drawInRectBlendModeAlpha(bounds, kCGBlendModeDestinationIn, 1.0);
  return ic.image();
}

UIImageRef HV_imageByGrayscale(const UIImageRef& image) {
  return HV_imageByBlurRadiusTintColorTintModeSaturationMaskImage(image, 0, std::nullopt,
                                                                  kCGBlendModeNormal, 0, nullptr);
}
UIImageRef HV_imageByBlurSoft(const UIImageRef& image) {
  return HV_imageByBlurRadiusTintColorTintModeSaturationMaskImage(
      image, 60, UIColor::colorWithWhiteAlpha(0.84, 0.36), kCGBlendModeNormal, 1.8, nullptr);
}
UIImageRef HV_imageByBlurLight(const UIImageRef& image) {
  return HV_imageByBlurRadiusTintColorTintModeSaturationMaskImage(
      image, 60, UIColor::colorWithWhiteAlpha(1.0, 0.3), kCGBlendModeNormal, 1.8, nullptr);
}
UIImageRef HV_imageByBlurExtraLight(const UIImageRef& image) {
  return HV_imageByBlurRadiusTintColorTintModeSaturationMaskImage(
      image, 40, UIColor::colorWithWhiteAlpha(0.97, 0.82), kCGBlendModeNormal, 1.8, nullptr);
}
UIImageRef HV_imageByBlurDark(const UIImageRef& image) {
  return HV_imageByBlurRadiusTintColorTintModeSaturationMaskImage(
      image, 40, UIColor::colorWithWhiteAlpha(0.11, 0.73), kCGBlendModeNormal, 1.8, nullptr);
}

UIImageRef HV_imageByBlurWithTint(const UIImageRef& image, const UIColor& tintColor) {
  // The tint's own alpha is replaced (grey or colour, the components stay).
  UIColor tint = tintColor.colorWithAlphaComponent(0.6);
  return HV_imageByBlurRadiusTintColorTintModeSaturationMaskImage(image, 20, tint,
                                                                  kCGBlendModeNormal, -1, nullptr);
}

UIImageRef HV_imageByBlurRadiusTintColorTintModeSaturationMaskImage(
    const UIImageRef& image, double radius, const UIColorRef& tintColor, CGBlendMode tintMode,
    double saturation, const UIImageRef& maskImage) {
  if (!image) return nullptr;
  CGSize size = image->size();
  if (!(size.width >= 1) || !(size.height >= 1)) {
    NSLog("UIImage+HVAdd error: invalid size: (%.2f x %.2f). Both dimensions must be >= 1: %@",
          size.width, size.height, image->description());
    return nullptr;
  }
  if (!image->CGImage()) {
    NSLog("UIImage+HVAdd error: inputImage must be backed by a CGImage: %@", image->description());
    return nullptr;
  }
  if (maskImage && !maskImage->CGImage()) {
    NSLog("UIImage+HVAdd error: effectMaskImage must be backed by a CGImage: %@",
          maskImage->description());
    return nullptr;
  }
  bool hasBlur = radius > kEpsilon;
  bool hasSaturation = std::fabs(saturation - 1) > kEpsilon;
  double scale = image->scale();
  if (!hasBlur && !hasSaturation) {
    return merge(image, image->CGImage(), tintColor, tintMode, maskImage, false);
  }

  vImage_CGImageFormat format;
  format.bitsPerComponent = 8;
  format.bitsPerPixel = 32;
  format.bitmapInfo = kPremultipliedLittle;
  vImage_Buffer input{}, output{};
  vImage_Error err = vImageBuffer_InitWithCGImage(&input, &format, nullptr, image->CGImage(),
                                                  kvImagePrintDiagnosticsToConsole);
  if (err != kvImageNoError) {
    NSLog(
        "UIImage+HVAdd error: vImageBuffer_InitWithCGImage returned error code %zi for "
        "inputImage: %@",
        static_cast<ssize_t>(err), image->description());
    return nullptr;
  }
  err = vImageBuffer_Init(&output, input.height, input.width, format.bitsPerPixel, kvImageNoFlags);
  if (err != kvImageNoError) {
    NSLog("UIImage+HVAdd error: vImageBuffer_Init returned error code %zi for inputImage: %@",
          static_cast<ssize_t>(err), image->description());
    std::free(input.data);
    return nullptr;
  }
  vImage_Buffer* current = &input;
  vImage_Buffer* other = &output;

  if (hasBlur) {
    double r = radius * scale;
    uint32_t box = boxSize(r);
    int passes = r < 0.5 ? 1 : r < 1.5 ? 2 : 3;
    vImage_Error tempSize =
        vImageBoxConvolve_ARGB8888(current, other, nullptr, 0, 0, box, box, nullptr,
                                   kvImageEdgeExtend | kvImageGetTempBufferSize);
    void* temp = tempSize > 0 ? std::malloc(static_cast<size_t>(tempSize)) : nullptr;
    for (int i = 0; i < passes; i++) {
      vImageBoxConvolve_ARGB8888(current, other, temp, 0, 0, box, box, nullptr, kvImageEdgeExtend);
      std::swap(current, other);
    }
    std::free(temp);
  }

  if (hasSaturation) {
    double s = saturation;
    const double matrix[16] = {
        0.0722 + 0.9278 * s,
        0.0722 - 0.0722 * s,
        0.0722 - 0.0722 * s,
        0,
        0.7152 - 0.7152 * s,
        0.7152 + 0.2848 * s,
        0.7152 - 0.7152 * s,
        0,
        0.2126 - 0.2126 * s,
        0.2126 - 0.2126 * s,
        0.2126 + 0.7873 * s,
        0,
        0,
        0,
        0,
        1,
    };
    const int32_t divisor = 256;
    int16_t weights[16];
    for (int i = 0; i < 16; i++) {
      // Single precision, rounded half away from zero, clamped to 16 bits.
      float w = std::roundf(static_cast<float>(matrix[i] * divisor));
      weights[i] = static_cast<int16_t>(std::clamp(w, -32768.0f, 32767.0f));
    }
    vImageMatrixMultiply_ARGB8888(current, other, weights, divisor, nullptr, nullptr,
                                  kvImageNoFlags);
    std::swap(current, other);
  }

  // The result buffer becomes the image without a copy; its memory is freed with the image.
  CGImageRef effect = vImageCreateCGImageFromBuffer(
      current, &format, [](void*, void* data) { std::free(data); }, nullptr, kvImageNoAllocate,
      nullptr);
  if (!effect) {
    effect =
        vImageCreateCGImageFromBuffer(current, &format, nullptr, nullptr, kvImageNoFlags, nullptr);
    std::free(current->data);
  }
  std::free(other->data);
  return merge(image, effect, tintColor, tintMode, maskImage, false);
}
