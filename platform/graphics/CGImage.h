#pragma once
// CGImage: an immutable bitmap held as a Cairo image surface. Pixels are 32 bits, little-endian,
// premultiplied alpha first (Cairo ARGB32); an opaque image uses the same layout with the alpha
// byte ignored (Cairo RGB24). PNG and JPEG coding through libpng and libjpeg-turbo.
//
// Thread-safety: an image is never changed after creation and may be read from any thread.

#include <cairo.h>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/Data.h"

namespace plat {

// Bitmap info: an alpha info in the low bits combined with a byte order.
using CGBitmapInfo = uint32_t;
enum : uint32_t {
  kCGImageAlphaNone = 0,
  kCGImageAlphaPremultipliedLast = 1,
  kCGImageAlphaPremultipliedFirst = 2,
  kCGImageAlphaLast = 3,
  kCGImageAlphaFirst = 4,
  kCGImageAlphaNoneSkipLast = 5,
  kCGImageAlphaNoneSkipFirst = 6,
  kCGImageAlphaOnly = 7,
  kCGBitmapAlphaInfoMask = 0x1F,
  kCGBitmapByteOrderDefault = 0,
  kCGBitmapByteOrder16Little = 1 << 12,
  kCGBitmapByteOrder32Little = 2 << 12,
  kCGBitmapByteOrder16Big = 3 << 12,
  kCGBitmapByteOrder32Big = 4 << 12,
  kCGBitmapByteOrderMask = 0x7000,
};

class CGImage;
using CGImageRef = std::shared_ptr<CGImage>;

class CGImage {
 public:
  // Takes ownership of one reference to an image surface of format ARGB32 or RGB24.
  explicit CGImage(cairo_surface_t* surface);
  ~CGImage();
  CGImage(const CGImage&) = delete;
  CGImage& operator=(const CGImage&) = delete;

  // A transparent (or, when opaque, black) image. Returns nullptr for a zero or negative size.
  static CGImageRef create(int width, int height, bool opaque = false);
  // An image over a malloc'd buffer of width x height pixels in rows of width * 4 bytes, in the
  // layout above. Takes ownership of the buffer (freed with free(), also on failure).
  static CGImageRef createOwningBuffer(uint8_t* buffer, int width, int height, bool opaque);

  size_t width() const;
  size_t height() const;
  size_t bytesPerRow() const;
  bool isOpaque() const;
  // Always 32-bit little-endian: premultiplied first, or none-skip-first when opaque.
  CGBitmapInfo bitmapInfo() const;
  const uint8_t* bytes() const;
  cairo_surface_t* surface() const { return surface_; }
  // The pixel at (x, y) unpremultiplied, as 0xAARRGGBB; 0 outside the image.
  uint32_t pixelAt(int x, int y) const;

 private:
  cairo_surface_t* surface_;
};

// Decoders. Return nullptr when the bytes are not an image of that kind, or one larger than
// kCGImageSourceMaxPixels (CGImageSource.h; checked from the header before any pixel buffer).
// A PNG must be complete; a JPEG whose data ends early has its missing rows made up (grey).
CGImageRef CGImageCreateWithPNGData(const Data& data);
CGImageRef CGImageCreateWithJPEGData(const Data& data);
// PNG or JPEG, by the leading signature; nullptr for anything else.
CGImageRef CGImageCreateWithData(const Data& data);

// Encoders. Return empty data for a null image.
Data CGImagePNGRepresentation(const CGImageRef& image);
// quality 0..1 (clamped).
Data CGImageJPEGRepresentation(const CGImageRef& image, double quality);
// Writes the PNG form to a file, creating missing parent folders. Returns false on failure.
bool CGImageWritePNGFile(const CGImageRef& image, const std::string& path);

}  // namespace plat
