#pragma once
// CGImageDestination: the platform's image writer. Made on data or on a file path for one type
// ("public.png", "public.jpeg", "com.compuserve.gif", "public.tiff", "com.microsoft.bmp",
// "com.microsoft.ico", "public.jpeg-2000", "com.apple.icns"), given container properties
// and images, then finalized once. PNG and JPEG write the first image only; TIFF writes every
// image as a page (LZW); BMP writes 32-bit bit-field bitmaps, ICO one PNG entry (at most
// 256 x 256 pixels); JPEG 2000 a JP2 file, lossless at quality 1; ICNS one PNG entry (square
// sides 16 to 1024 that have an entry type, else finalizing fails); GIF writes every image as a
// frame (colours quantized to 255 plus a transparent index, delays in centiseconds, the
// NETSCAPE2.0 loop block when "LoopCount" is set).
//
// Thread-safety: one thread at a time.

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Data.h"
#include "platform/foundation/Value.h"
#include "platform/graphics/CGImage.h"
#include "platform/graphics/CGImageSource.h"

namespace plat {

class CGImageDestination;
using CGImageDestinationRef = std::shared_ptr<CGImageDestination>;

class CGImageDestination {
 public:
  // nullptr for a type that cannot be written.
  static CGImageDestinationRef createWithData(const std::string& type, size_t count);
  static CGImageDestinationRef createWithURL(const std::string& path, const std::string& type,
                                             size_t count);
  // The types that can be written.
  static bool canWriteType(const std::string& type);

  // Container properties: "{GIF}" {"LoopCount"}.
  void setProperties(const Dictionary& properties);
  // Image properties: kCGImageDestinationLossyCompressionQuality (0..1, JPEG), "{GIF}"
  // {"DelayTime"} seconds. A null image is ignored.
  void addImage(const CGImageRef& image, const Dictionary& properties);
  void addImageFromSource(const CGImageSourceRef& source, size_t index,
                          const Dictionary& properties);
  // Writes everything out. False when nothing was added, on an encoder failure, on a second
  // call, or when the file cannot be written (the file is replaced atomically).
  bool finalize();
  // The bytes written by a successful finalize of a data destination.
  const Data& data() const { return data_; }

 private:
  CGImageDestination(std::string type, std::string path);
  struct Item {
    CGImageRef image;
    Dictionary properties;
  };
  std::string type_, path_;
  Dictionary properties_;
  std::vector<Item> items_;
  Data data_;
  bool finalized_ = false;
};

// Encoders behind the destination. PNG: 8-bit RGB for opaque images, RGBA otherwise, or RGBA
// always when asked; non-interlaced. Empty data on failure.
Data CGImageEncodePNG(const CGImageRef& image, bool alwaysRGBA);
Data CGImageEncodeJPEG(const CGImageRef& image, double quality);

}  // namespace plat
