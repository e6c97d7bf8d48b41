#pragma once
// The format readers behind CGImageSource. Each reads the whole data given to it (all bytes
// so far) and never keeps a pointer to it. Internal to plat_graphics.

#include <cstdint>
#include <vector>

#include "platform/graphics/CGImageSource.h"

namespace plat {

struct CGImageSource::Reader {
  virtual ~Reader() = default;
  // Re-reads the structure of the data so far.
  virtual void scan(const Data& data, bool final) = 0;
  virtual size_t count() const = 0;
  virtual Dictionary properties() const { return {}; }
  virtual Dictionary propertiesAtIndex(size_t index) const = 0;
  virtual CGImageRef image(const Data& data, bool final, size_t index) = 0;
  virtual CGImageSourceStatus status() const = 0;
  // Drops decoded images kept for the current data.
  virtual void purge() {}
};

// Whether an image of w x h pixels may be decoded: both sides positive and at most 32767 (the
// bitmap's limit), and at most kCGImageSourceMaxPixels in all. Readers ask this of the sizes a
// header declares, before they allocate anything for the pixels.
inline bool withinPixelCap(uint64_t w, uint64_t h) {
  return w > 0 && h > 0 && w <= 32767 && h <= 32767 && w * h <= kCGImageSourceMaxPixels;
}
// What the images of one file (TIFF pages, icon entries) may hold together: reading every
// image of a file then costs at most twice the largest single image.
constexpr uint64_t kCGImageSourceMaxTotalPixels = 2 * kCGImageSourceMaxPixels;
// Most images one file of pages or icon entries offers.
constexpr size_t kCGImageSourceMaxImages = 256;

std::unique_ptr<CGImageSource::Reader> makePNGReader();
std::unique_ptr<CGImageSource::Reader> makeJPEGReader();
std::unique_ptr<CGImageSource::Reader> makeGIFReader();
std::unique_ptr<CGImageSource::Reader> makeTIFFReader();
std::unique_ptr<CGImageSource::Reader> makeBMPReader();
std::unique_ptr<CGImageSource::Reader> makeICOReader();
std::unique_ptr<CGImageSource::Reader> makeJP2Reader();
std::unique_ptr<CGImageSource::Reader> makeICNSReader();

// A 32-bit bitmap with bit-field masks (alpha kept unless opaque). Empty for null or huge.
Data encodeBMP(const CGImageRef& image);
// An icon holding one PNG entry; empty above 256 x 256 pixels.
Data encodeICO(const Data& png, int width, int height);

// An icon file holding one PNG entry; empty unless the image is square with a side of 16, 32,
// 64, 128, 256, 512 or 1024 pixels.
Data encodeICNS(const Data& png, int width, int height);
// A JP2 file: reversible (lossless) at quality 1 (or NaN), irreversible below. Empty on failure.
Data encodeJPEG2000(const CGImageRef& image, double quality);

// A TIFF holding each image as one page (8-bit RGB, or RGBA with associated alpha, LZW).
// Empty on failure.
Data encodeTIFF(const std::vector<CGImageRef>& images);

// Decoders shared with plain CGImage creation: the image in `data` as far as it goes;
// `complete` (optional) tells whether every row arrived. nullptr when not even the header
// could be read or the image is too large.
// final: the data is all there is (read straight through, falling back to the rows so far).
CGImageRef decodePNG(const Data& data, bool final, bool* complete);
// final: the data is all there is (its faults are logged; rows not received stay transparent).
// progressive (optional): whether the header declares a progressive file.
CGImageRef decodeJPEG(const Data& data, bool* complete, int* exifOrientation, bool final = false,
                      bool* progressive = nullptr);
// A whole PNG file, read straight through; nullptr unless every row of it is there and sound.
CGImageRef decodeCompletePNG(const Data& data);
// A whole JPEG file: data missing at its end is made up as libjpeg does (the rows come out
// grey). nullptr when the header or a scan cannot be read.
CGImageRef decodeCompleteJPEG(const Data& data);
// JP2 file or raw codestream, whole.
CGImageRef decodeJPEG2000(const Data& data);
// The size a JP2 file or codestream declares, read from its header; false when it is no image
// the reader would decode (too many pixels, samples, tiles or components).
bool jpeg2000Size(const uint8_t* bytes, size_t length, int64_t* width, int64_t* height);
// The size a PNG signature and IHDR at `bytes` declare; false when they are not there.
bool pngSize(const uint8_t* bytes, size_t length, int64_t* width, int64_t* height);
bool isJPEG2000(const uint8_t* bytes, size_t length);

}  // namespace plat
