#include "image/HVBitmapCopy.h"

#include <cairo.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

using namespace plat;

namespace {

// Widest and highest bitmap the destination can be: larger sizes are refused before the warp,
// which would otherwise be told a size the bitmap does not have.
constexpr double kMaxSide = std::numeric_limits<int>::max();

bool alphaInfoAccepted(uint32_t alpha) {
  return alpha >= kCGImageAlphaPremultipliedLast && alpha <= kCGImageAlphaNoneSkipFirst;
}
bool byteOrderAccepted(uint32_t order) {
  return order == kCGBitmapByteOrderDefault || order == kCGBitmapByteOrder32Big ||
         order == kCGBitmapByteOrder32Little;
}
bool opaqueInfo(uint32_t alpha) {
  return alpha == kCGImageAlphaNone || alpha == kCGImageAlphaNoneSkipFirst ||
         alpha == kCGImageAlphaNoneSkipLast;
}

CGImageRef copyPixels(const CGImageRef& image, bool opaque) {
  CGImageRef out = CGImage::create(int(image->width()), int(image->height()), opaque);
  if (!out) return nullptr;
  cairo_surface_t* s = out->surface();
  cairo_surface_flush(s);
  uint8_t* dst = cairo_image_surface_get_data(s);
  size_t dstRow = cairo_image_surface_get_stride(s);
  const uint8_t* src = image->bytes();
  size_t rowLen = image->width() * 4;
  for (size_t y = 0; y < image->height(); ++y)
    std::memcpy(dst + y * dstRow, src + y * image->bytesPerRow(), rowLen);
  cairo_surface_mark_dirty(s);
  return out;
}

}  // namespace

void HVCGDataProviderReleaseDataCallback(void*, const void* data, size_t) {
  std::free(const_cast<void*>(data));
}

const CGColorSpaceRef& HVSharedDeviceRGBSpace() {
  static const auto* space = new CGColorSpaceRef(CGColorSpaceCreateDeviceRGB());
  return *space;
}

CGImageRef HVDecodedCGImageCopy(const CGImageRef& image, bool decodeForDisplay) {
  if (!image || image->width() == 0 || image->height() == 0) return nullptr;
  // Our bitmaps are always in the standard layout, so drawing and copying give the same pixels.
  return copyPixels(image, image->isOpaque());
}

bool HVCGImageToARGBBuffer(const CGImageRef& image, vImage_Buffer* buffer, CGBitmapInfo info) {
  if (!image || !buffer || image->width() == 0 || image->height() == 0) return false;
  uint32_t alpha = info & kCGBitmapAlphaInfoMask, order = info & kCGBitmapByteOrderMask;
  if (!alphaInfoAccepted(alpha) || !byteOrderAccepted(order)) return false;
  size_t w = image->width(), h = image->height(), rowBytes = w * 4;
  auto* data = static_cast<uint8_t*>(std::malloc(rowBytes * h));
  if (!data) return false;
  bool first = alpha == kCGImageAlphaPremultipliedFirst || alpha == kCGImageAlphaFirst ||
               alpha == kCGImageAlphaNoneSkipFirst;
  bool straight = alpha == kCGImageAlphaFirst || alpha == kCGImageAlphaLast;
  bool skip = alpha == kCGImageAlphaNoneSkipFirst || alpha == kCGImageAlphaNoneSkipLast;
  bool little = order == kCGBitmapByteOrder32Little;
  bool srcOpaque = image->isOpaque();
  const uint8_t* src = image->bytes();
  for (size_t y = 0; y < h; ++y) {
    const uint32_t* s = reinterpret_cast<const uint32_t*>(src + y * image->bytesPerRow());
    uint8_t* d = data + y * rowBytes;
    for (size_t x = 0; x < w; ++x, d += 4) {
      uint32_t p = s[x];
      uint32_t a = srcOpaque ? 255 : p >> 24, r = (p >> 16) & 0xff, g = (p >> 8) & 0xff,
               b = p & 0xff;
      if (straight && a != 255) {
        if (a == 0) {
          r = g = b = 0;
        } else {
          r = std::min<uint32_t>(255, (r * 255 + a / 2) / a);
          g = std::min<uint32_t>(255, (g * 255 + a / 2) / a);
          b = std::min<uint32_t>(255, (b * 255 + a / 2) / a);
        }
      }
      if (skip) a = 255;
      // The pixel as a 32-bit word with its components from the high byte down.
      uint32_t word = first ? (a << 24 | r << 16 | g << 8 | b) : (r << 24 | g << 16 | b << 8 | a);
      if (little) {
        d[0] = uint8_t(word), d[1] = uint8_t(word >> 8), d[2] = uint8_t(word >> 16),
        d[3] = uint8_t(word >> 24);
      } else {
        d[0] = uint8_t(word >> 24), d[1] = uint8_t(word >> 16), d[2] = uint8_t(word >> 8),
        d[3] = uint8_t(word);
      }
    }
  }
  buffer->data = data;
  buffer->width = w;
  buffer->height = h;
  buffer->rowBytes = rowBytes;
  return true;
}

CGImageRef HVTransformedCGImageCopy(const CGImageRef& image, CGAffineTransform transform,
                                    double width, double height, CGBitmapInfo info) {
  if (!image) return nullptr;
  uint32_t alpha = info & kCGBitmapAlphaInfoMask, order = info & kCGBitmapByteOrderMask;
  if (!alphaInfoAccepted(alpha) || !byteOrderAccepted(order)) return nullptr;
  if (!std::isfinite(width) || !std::isfinite(height)) return nullptr;
  if (std::fabs(width) > kMaxSide || std::fabs(height) > kMaxSide) return nullptr;
  long w = std::lround(width), h = std::lround(height);
  if (w <= 0 || h <= 0) return nullptr;
  // The warp copies pixels whole, so it runs on the standard layout directly.
  vImage_Buffer src{const_cast<uint8_t*>(image->bytes()), image->height(), image->width(),
                    image->bytesPerRow()};
  CGImageRef out = CGImage::create(int(w), int(h), opaqueInfo(alpha) && image->isOpaque());
  if (!out) return nullptr;
  cairo_surface_t* s = out->surface();
  cairo_surface_flush(s);
  vImage_Buffer dst{cairo_image_surface_get_data(s), size_t(h), size_t(w),
                    size_t(cairo_image_surface_get_stride(s))};
  const uint8_t clear[4] = {0, 0, 0, 0};
  if (vImageAffineWarp_ARGB8888(&src, &dst, nullptr, &transform, clear,
                                kvImageBackgroundColorFill) != kvImageNoError)
    return nullptr;
  cairo_surface_mark_dirty(s);
  if (opaqueInfo(alpha) && !image->isOpaque()) {
    // Dropping alpha shows the pixels over black, as drawing into an opaque context does.
    return copyPixels(out, true);
  }
  return out;
}

CGImageRef HVOrientedCGImageCopy(const CGImageRef& image, UIImageOrientation orientation,
                                 CGBitmapInfo info) {
  if (!image) return nullptr;
  // Upright already: nothing is converted, so any bitmap info will do.
  if (orientation == UIImageOrientationUp) return image;
  uint32_t alpha = info & kCGBitmapAlphaInfoMask, order = info & kCGBitmapByteOrderMask;
  if (!alphaInfoAccepted(alpha) || !byteOrderAccepted(order)) return nullptr;
  double w = double(image->width()), h = double(image->height());
  CGAffineTransform t = CGAffineTransformIdentity;
  bool swap = false;
  switch (orientation) {
    case UIImageOrientationDown:
      t = CGAffineTransformTranslate(CGAffineTransformMakeRotation(M_PI), -w, -h);
      break;
    case UIImageOrientationLeft:
      t = CGAffineTransformTranslate(CGAffineTransformMakeRotation(M_PI_2), 0, -h);
      swap = true;
      break;
    case UIImageOrientationRight:
      t = CGAffineTransformTranslate(CGAffineTransformMakeRotation(-M_PI_2), -w, 0);
      swap = true;
      break;
    case UIImageOrientationUpMirrored:
      t = CGAffineTransformScale(CGAffineTransformMakeTranslation(w, 0), -1, 1);
      break;
    case UIImageOrientationDownMirrored:
      t = CGAffineTransformScale(CGAffineTransformMakeTranslation(0, h), 1, -1);
      break;
    case UIImageOrientationLeftMirrored:
      t = CGAffineTransformTranslate(
          CGAffineTransformScale(CGAffineTransformMakeRotation(-M_PI_2), 1, -1), -w, -h);
      swap = true;
      break;
    case UIImageOrientationRightMirrored:
      t = CGAffineTransformScale(CGAffineTransformMakeRotation(M_PI_2), 1, -1);
      swap = true;
      break;
    default:
      return image;
  }
  if (CGAffineTransformIsIdentity(t)) return image;
  return swap ? HVTransformedCGImageCopy(image, t, h, w, info)
              : HVTransformedCGImageCopy(image, t, w, h, info);
}
