#pragma once
// Bitmap copies the image library makes wherever a bitmap must be ready for display or turned
// upright. The library's standard bitmap: 8 bits per component, 32 bits per pixel, device RGB,
// 32-bit little-endian, alpha premultiplied first (none-skip-first when opaque) — the layout
// every plat::CGImage already has.
//
// Thread-safety: any thread, concurrently.

#include <cstddef>
#include <cstdint>

#include "platform/graphics/Accelerate.h"
#include "platform/graphics/CGBitmapContext.h"
#include "platform/graphics/CGGeometry.h"
#include "platform/graphics/CGImage.h"
#include "platform/uikit/UIImage.h"

// The device RGB colour space the library's bitmaps use: made once on first use (on any
// thread) and never released.
const plat::CGColorSpaceRef& HVSharedDeviceRGBSpace();

// A copy of the image in the standard format (opaque stays opaque). nullptr for a null or empty
// image. Both forms copy the pixels; decodeForDisplay draws them, otherwise they are copied raw.
plat::CGImageRef HVDecodedCGImageCopy(const plat::CGImageRef& image, bool decodeForDisplay);

// The image turned upright for `orientation`: the same image for up (whatever `bitmapInfo`
// says) or an identity turn, otherwise a new one (width and height swapped for the four
// sideways orientations). The result is opaque when `bitmapInfo` has no alpha (none,
// none-skip-first, none-skip-last). nullptr for a null image, or for a turn with an unsupported
// bitmap info (alpha-only, 16-bit byte orders).
plat::CGImageRef HVOrientedCGImageCopy(const plat::CGImageRef& image,
                                       plat::UIImageOrientation orientation,
                                       plat::CGBitmapInfo bitmapInfo);

// The image warped by `transform` (source to destination, y up) onto a width x height bitmap,
// transparent where nothing maps. nullptr for a null image, sizes that round to 0 or exceed
// what a bitmap can hold, or an unsupported bitmap info.
plat::CGImageRef HVTransformedCGImageCopy(const plat::CGImageRef& image,
                                          plat::CGAffineTransform transform, double width,
                                          double height, plat::CGBitmapInfo bitmapInfo);

// Fills `buffer` (data, width, height, rowBytes) with the image's pixels in the 32-bit layout
// of `bitmapInfo`. Accepted alpha infos: premultiplied-last/first, last, first, none-skip-
// last/first; byte orders default, 32-bit big or little. The caller frees buffer->data with
// free(). Returns false (buffer untouched) for anything else or a failed allocation.
bool HVCGImageToARGBBuffer(const plat::CGImageRef& image, plat::vImage_Buffer* buffer,
                           plat::CGBitmapInfo bitmapInfo);

// Release callback for pixel buffers handed over with malloc'ed memory: frees `data` (nothing
// for nullptr). `info` and `size` are unused.
void HVCGDataProviderReleaseDataCallback(void* info, const void* data, size_t size);
