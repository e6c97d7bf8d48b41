#pragma once
// vImage buffers to and from CoreGraphics images: the part of Accelerate that loads an image
// into a buffer, allocates a buffer, and wraps a buffer as an image (without a copy when asked).
// Only the 32-bit layouts of CGBitmapContext.h exist: 8 bits per component, premultiplied
// first or none-skip-first, 32-bit little-endian (bitmap info 8194 or 8198).
//
// Thread-safety: the functions touch only what they are given; any thread.

#include <cstdint>
#include <functional>

#include "platform/graphics/Accelerate.h"
#include "platform/graphics/CGBitmapContext.h"
#include "platform/graphics/CGImage.h"

namespace plat {

constexpr vImage_Error kvImageMemoryAllocationError = -21771;
constexpr vImage_Error kvImageNullPointerArgument = -21772;
constexpr vImage_Error kvImageInvalidImageFormat = -21778;

constexpr uint32_t kvImagePrintDiagnosticsToConsole = 256;
constexpr uint32_t kvImageNoAllocate = 512;

struct vImage_CGImageFormat {
  uint32_t bitsPerComponent = 0;
  uint32_t bitsPerPixel = 0;
  CGColorSpaceRef colorSpace;  // null: device RGB
  CGBitmapInfo bitmapInfo = 0;
  uint32_t version = 0;
  const double* decode = nullptr;
  int renderingIntent = 0;
};

// Called with the buffer's memory when an image made without a copy is released.
using vImageCGImageReleaseCallback = std::function<void(void* userData, void* bufferData)>;

// Allocates (malloc) width x height pixels of bitsPerPixel (a multiple of 8) into buf, rows of
// width x bytes per pixel. The caller frees buf->data. Errors for a null buffer, a zero side
// or a pixel size that is not whole bytes; buf is then left empty.
vImage_Error vImageBuffer_Init(vImage_Buffer* buf, size_t height, size_t width,
                               uint32_t bitsPerPixel, uint32_t flags);

// Allocates buf and fills it with the image's pixels in `format` (the image is converted when
// its own layout differs, e.g. an opaque image into premultiplied pixels with alpha 255).
// kvImagePrintDiagnosticsToConsole logs the reason of a failure.
vImage_Error vImageBuffer_InitWithCGImage(vImage_Buffer* buf, const vImage_CGImageFormat* format,
                                          const double* backgroundColor, const CGImageRef& image,
                                          uint32_t flags);

// An image of the buffer's pixels in `format`. With kvImageNoAllocate the image uses the
// buffer's memory as it is (rows of buf->rowBytes) and calls `callback` (when given) with
// userData and buf->data once the image is released; the memory must stay untouched until
// then. Without it the pixels are copied and the buffer stays the caller's. nullptr (and
// *error set when error is given) for a null or empty buffer, an unsupported format, or rows
// that are too short or not a multiple of 4 bytes.
CGImageRef vImageCreateCGImageFromBuffer(const vImage_Buffer* buf,
                                         const vImage_CGImageFormat* format,
                                         vImageCGImageReleaseCallback callback, void* userData,
                                         uint32_t flags, vImage_Error* error);

}  // namespace plat
