#include "platform/graphics/Accelerate.h"

#include <cmath>
#include <cstring>

namespace plat {

namespace {
bool valid(const vImage_Buffer* b) {
  return b && b->data && b->width > 0 && b->height > 0 && b->rowBytes >= b->width * 4;
}

vImage_Error unpremultiply(const vImage_Buffer* src, const vImage_Buffer* dest, int alphaByte) {
  if (!valid(src) || !valid(dest)) return kvImageInvalidParameter;
  if (src->width != dest->width || src->height != dest->height) return kvImageBufferSizeMismatch;
  for (size_t y = 0; y < src->height; ++y) {
    const uint8_t* s = static_cast<const uint8_t*>(src->data) + y * src->rowBytes;
    uint8_t* d = static_cast<uint8_t*>(dest->data) + y * dest->rowBytes;
    for (size_t x = 0; x < src->width; ++x, s += 4, d += 4) {
      uint32_t a = s[alphaByte];
      for (int k = 0; k < 4; ++k) {
        if (k == alphaByte)
          d[k] = uint8_t(a);
        else if (a == 0)
          d[k] = 0;
        else
          d[k] = uint8_t(std::min<uint32_t>(255, (s[k] * 255 + a / 2) / a));
      }
    }
  }
  return kvImageNoError;
}
}  // namespace

vImage_Error vImageAffineWarp_ARGB8888(const vImage_Buffer* src, const vImage_Buffer* dest, void*,
                                       const CGAffineTransform* transform,
                                       const uint8_t background[4], uint32_t) {
  if (!valid(src) || !valid(dest) || !transform) return kvImageInvalidParameter;
  const CGAffineTransform& t = *transform;
  double det = t.a * t.d - t.b * t.c;
  if (!std::isfinite(det) || std::fabs(det) < 1e-12) return kvImageInvalidParameter;
  CGAffineTransform inv = CGAffineTransformInvert(t);
  uint8_t bg[4] = {0, 0, 0, 0};
  if (background) std::memcpy(bg, background, 4);
  const double sh = double(src->height), sw = double(src->width);
  for (size_t row = 0; row < dest->height; ++row) {
    uint8_t* d = static_cast<uint8_t*>(dest->data) + row * dest->rowBytes;
    double dy = double(dest->height) - double(row) - 0.5;
    for (size_t col = 0; col < dest->width; ++col, d += 4) {
      double dx = double(col) + 0.5;
      double sx = inv.a * dx + inv.c * dy + inv.tx;
      double sy = inv.b * dx + inv.d * dy + inv.ty;
      double srow = sh - sy;
      if (sx >= 0 && sx < sw && srow >= 0 && srow < sh) {
        size_t ix = size_t(sx), iy = size_t(srow);
        std::memcpy(d, static_cast<const uint8_t*>(src->data) + iy * src->rowBytes + ix * 4, 4);
      } else {
        std::memcpy(d, bg, 4);
      }
    }
  }
  return kvImageNoError;
}

vImage_Error vImageUnpremultiplyData_ARGB8888(const vImage_Buffer* src, const vImage_Buffer* dest,
                                              uint32_t) {
  return unpremultiply(src, dest, 0);
}
vImage_Error vImageUnpremultiplyData_RGBA8888(const vImage_Buffer* src, const vImage_Buffer* dest,
                                              uint32_t) {
  return unpremultiply(src, dest, 3);
}

}  // namespace plat
