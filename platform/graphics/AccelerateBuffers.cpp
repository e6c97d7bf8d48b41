#include "platform/graphics/AccelerateBuffers.h"

#include <cstdlib>
#include <cstring>

#include "platform/foundation/NSLog.h"

namespace plat {

namespace {

// True for the layouts that exist here; *opaque tells which.
bool supportedFormat(const vImage_CGImageFormat* format, bool* opaque) {
  if (!format || format->bitsPerComponent != 8 || format->bitsPerPixel != 32) return false;
  uint32_t alpha = format->bitmapInfo & kCGBitmapAlphaInfoMask;
  uint32_t order = format->bitmapInfo & kCGBitmapByteOrderMask;
  if (order != kCGBitmapByteOrder32Little) return false;
  if (alpha != kCGImageAlphaPremultipliedFirst && alpha != kCGImageAlphaNoneSkipFirst) {
    return false;
  }
  *opaque = alpha == kCGImageAlphaNoneSkipFirst;
  return true;
}

struct ReleaseClosure {
  vImageCGImageReleaseCallback callback;
  void* userData;
  void* data;
};

}  // namespace

vImage_Error vImageBuffer_Init(vImage_Buffer* buf, size_t height, size_t width,
                               uint32_t bitsPerPixel, uint32_t flags) {
  (void)flags;
  if (!buf) return kvImageNullPointerArgument;
  *buf = vImage_Buffer{};
  if (height == 0 || width == 0 || bitsPerPixel == 0 || bitsPerPixel % 8 != 0) {
    return kvImageInvalidParameter;
  }
  size_t rowBytes = width * (bitsPerPixel / 8);
  if (rowBytes / width != bitsPerPixel / 8 || rowBytes > SIZE_MAX / height) {
    return kvImageMemoryAllocationError;
  }
  void* data = std::malloc(rowBytes * height);
  if (!data) return kvImageMemoryAllocationError;
  buf->data = data;
  buf->height = height;
  buf->width = width;
  buf->rowBytes = rowBytes;
  return kvImageNoError;
}

vImage_Error vImageBuffer_InitWithCGImage(vImage_Buffer* buf, const vImage_CGImageFormat* format,
                                          const double* backgroundColor, const CGImageRef& image,
                                          uint32_t flags) {
  (void)backgroundColor;
  bool diagnostics = flags & kvImagePrintDiagnosticsToConsole;
  bool opaque = false;
  if (!buf || !image) {
    if (diagnostics) NSLog("vImageBuffer_InitWithCGImage: null buffer or image.");
    return kvImageNullPointerArgument;
  }
  *buf = vImage_Buffer{};
  if (!supportedFormat(format, &opaque)) {
    if (diagnostics) NSLog("vImageBuffer_InitWithCGImage: unsupported image format.");
    return kvImageInvalidImageFormat;
  }
  vImage_Error e = vImageBuffer_Init(buf, image->height(), image->width(), 32, flags);
  if (e != kvImageNoError) {
    if (diagnostics) NSLog("vImageBuffer_InitWithCGImage: no buffer (%lld).", (long long)e);
    return e;
  }
  // Stored images are premultiplied first, 32-bit little-endian already; an opaque image's
  // fourth byte is undefined and becomes 255.
  bool fillAlpha = image->isOpaque();
  for (size_t y = 0; y < buf->height; y++) {
    auto* dst = static_cast<uint8_t*>(buf->data) + y * buf->rowBytes;
    std::memcpy(dst, image->bytes() + y * image->bytesPerRow(), buf->width * 4);
    if (fillAlpha) {
      for (size_t x = 0; x < buf->width; x++) dst[x * 4 + 3] = 255;
    }
  }
  return kvImageNoError;
}

CGImageRef vImageCreateCGImageFromBuffer(const vImage_Buffer* buf,
                                         const vImage_CGImageFormat* format,
                                         vImageCGImageReleaseCallback callback, void* userData,
                                         uint32_t flags, vImage_Error* error) {
  auto fail = [error](vImage_Error e) -> CGImageRef {
    if (error) *error = e;
    return nullptr;
  };
  if (error) *error = kvImageNoError;
  bool opaque = false;
  if (!buf || !buf->data) return fail(kvImageNullPointerArgument);
  if (!supportedFormat(format, &opaque)) return fail(kvImageInvalidImageFormat);
  if (buf->width == 0 || buf->height == 0 || buf->width > kCGBitmapMaxSide ||
      buf->height > kCGBitmapMaxSide || buf->rowBytes < buf->width * 4 || buf->rowBytes % 4 != 0 ||
      buf->rowBytes > (1u << 30)) {
    return fail(kvImageInvalidParameter);
  }
  int w = static_cast<int>(buf->width), h = static_cast<int>(buf->height);
  cairo_format_t cairoFormat = opaque ? CAIRO_FORMAT_RGB24 : CAIRO_FORMAT_ARGB32;
  if (flags & kvImageNoAllocate) {
    cairo_surface_t* s = cairo_image_surface_create_for_data(
        static_cast<unsigned char*>(buf->data), cairoFormat, w, h, static_cast<int>(buf->rowBytes));
    static cairo_user_data_key_t releaseKey;
    auto* closure = new ReleaseClosure{std::move(callback), userData, buf->data};
    if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS ||
        cairo_surface_set_user_data(s, &releaseKey, closure, [](void* p) {
          auto* c = static_cast<ReleaseClosure*>(p);
          if (c->callback) c->callback(c->userData, c->data);
          delete c;
        }) != CAIRO_STATUS_SUCCESS) {
      delete closure;  // the memory stays the caller's
      cairo_surface_destroy(s);
      return fail(kvImageMemoryAllocationError);
    }
    return std::make_shared<CGImage>(s);
  }
  CGImageRef image = CGImage::create(w, h, opaque);
  if (!image) return fail(kvImageMemoryAllocationError);
  cairo_surface_flush(image->surface());
  uint8_t* dst = cairo_image_surface_get_data(image->surface());
  for (int y = 0; y < h; y++) {
    std::memcpy(dst + y * image->bytesPerRow(),
                static_cast<const uint8_t*>(buf->data) + y * buf->rowBytes, buf->width * 4);
  }
  cairo_surface_mark_dirty(image->surface());
  return image;
}

}  // namespace plat
