#pragma once
// The rest of CoreGraphics that image effects use: bitmap contexts whose pixel memory callers
// may read and write, cropping an image, clipping to a mask image and interpolation quality.
//
// Pixel layouts: 8 bits per component, 32 bits per pixel, device RGB, with bitmap info
// kCGImageAlphaPremultipliedFirst (2) or, with kCGBitmapByteOrder32Little, 8194 (bytes B, G,
// R, A), or kCGImageAlphaNoneSkipFirst | kCGBitmapByteOrder32Little (8198). The default byte
// order is stored as 32-bit little-endian here: callers that read the bytes must ask
// CGBitmapContextGetBitmapInfo, which reports the layout actually used.
//
// Device grey: 8 bits per pixel without alpha (kCGImageAlphaNone), one byte of grey level per
// pixel. Drawing is done in colour and brought to grey (luminance 0.299 R + 0.587 G + 0.114 B)
// when the pixel memory is asked for (CGBitmapContextGetData) -- memory the caller passed in
// holds the drawing from that call on -- and what the caller writes there is seen by later
// drawing and by CGBitmapContextCreateImage, whose image is an opaque one with equal R, G, B.
//
// Thread-safety: as CGContext (one thread at a time per context); the image functions may be
// called from any thread.

#include <cstddef>
#include <memory>

#include "platform/graphics/CGContext.h"
#include "platform/graphics/CGImage.h"

namespace plat {

enum CGColorSpaceModel : int {
  kCGColorSpaceModelMonochrome = 0,
  kCGColorSpaceModelRGB = 1,
};

struct CGColorSpace {
  CGColorSpaceModel model = kCGColorSpaceModelRGB;
};
using CGColorSpaceRef = std::shared_ptr<CGColorSpace>;
CGColorSpaceRef CGColorSpaceCreateDeviceRGB();
CGColorSpaceRef CGColorSpaceCreateDeviceGray();
// A null space counts as device RGB.
CGColorSpaceModel CGColorSpaceGetModel(const CGColorSpaceRef& space);
size_t CGColorSpaceGetNumberOfComponents(const CGColorSpaceRef& space);

enum CGInterpolationQuality : int {
  kCGInterpolationDefault = 0,
  kCGInterpolationNone = 1,
  kCGInterpolationLow = 2,
  kCGInterpolationHigh = 3,
  kCGInterpolationMedium = 4,
};

// Bitmaps and image contexts are at most this many pixels a side.
constexpr size_t kCGBitmapMaxSide = 32767;

// A y-up bitmap context over `data` (not owned; it must outlive the context) or, when data is
// null, over zeroed memory of its own. bytesPerRow 0 means 4 x width (grey: width). nullptr
// for a zero or too large side (above kCGBitmapMaxSide), bitsPerComponent other than 8,
// bytesPerRow below 4 x width or not a multiple of 4 (grey: below width), or another layout
// than those above (grey takes kCGImageAlphaNone only).
std::shared_ptr<CGContext> CGBitmapContextCreate(void* data, size_t width, size_t height,
                                                 size_t bitsPerComponent, size_t bytesPerRow,
                                                 const CGColorSpaceRef& space,
                                                 CGBitmapInfo bitmapInfo);
// The pixel memory, first row at the top; null for a null context. Drawing done so far is in
// it; after writing to it, later drawing and images see the change.
// REQUIRES (grey): drawing done after this call reaches the memory at the next call.
void* CGBitmapContextGetData(CGContextRef c);
size_t CGBitmapContextGetBytesPerRow(CGContextRef c);
CGBitmapInfo CGBitmapContextGetBitmapInfo(CGContextRef c);

// The part of `image` inside `rect` (pixels, origin at the top left): the rectangle is made
// integral outwards and intersected with the image. nullptr when nothing is left or the image
// is null.
CGImageRef CGImageCreateWithImageInRect(const CGImageRef& image, CGRect rect);

// Restricts drawing to the mask drawn in `rect` (user space, drawn as CGContextDrawImage
// draws): an image with alpha masks by its alpha, an opaque one by its grey level (white
// shows, black hides). Nothing shows outside the rectangle. What is drawn afterwards reaches
// the context when the current graphics state is restored.
// REQUIRES: a graphics state was saved before (CGContextSaveGState).
void CGContextClipToMask(CGContextRef c, CGRect rect, const CGImageRef& mask);

void CGContextSetInterpolationQuality(CGContextRef c, CGInterpolationQuality quality);
CGInterpolationQuality CGContextGetInterpolationQuality(CGContextRef c);
void CGContextSetAllowsAntialiasing(CGContextRef c, bool allowed);

}  // namespace plat
