#pragma once
// CGImageSource: the platform's image reader. A source is made over complete data, or made
// incremental and given all the bytes received so far (never a delta) with a final flag; it
// then offers as many images as the bytes so far allow. Readers: PNG (libpng push reader;
// interlaced passes shown blocky), JPEG (libjpeg-turbo; baseline rows not yet received stay
// transparent, progressive files show the scans received so far), GIF (giflib; the file's
// blocks are walked as they arrive and a frame is decoded only when asked for, composed on the
// logical screen with the disposal and transparency of the frames before it; loop count from
// the NETSCAPE2.0 block), TIFF (libtiff; each page one image, read once the file is whole), BMP
// and ICO (own readers; bitmaps also run-length encoded; icon entries as PNG or bitmap with mask),
// JPEG 2000 (OpenJPEG; JP2 or codestream, read once whole) and ICNS (own reader; PNG, JPEG 2000 and
// RLE entries). Every reader refuses images above kCGImageSourceMaxPixels, checked from the header
// before any pixel buffer is made; a file of several images (TIFF pages, icon entries) offers them
// up to twice that many pixels in all, and a JPEG 2000 image's components and bitmap together hold
// at most half of it. Images come in the standard layout of plat::CGImage (premultiplied ARGB32 or
// RGB24).
//
// Thread-safety: internally synchronized; any thread may use a source.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/Data.h"
#include "platform/foundation/Value.h"
#include "platform/graphics/CGImage.h"

namespace plat {

// Property keys of container and image property dictionaries.
inline constexpr const char* kCGImagePropertyPixelWidth = "PixelWidth";
inline constexpr const char* kCGImagePropertyPixelHeight = "PixelHeight";
inline constexpr const char* kCGImagePropertyOrientation = "Orientation";
inline constexpr const char* kCGImagePropertyHasAlpha = "HasAlpha";
inline constexpr const char* kCGImagePropertyGIFDictionary = "{GIF}";
inline constexpr const char* kCGImagePropertyGIFLoopCount = "LoopCount";
inline constexpr const char* kCGImagePropertyGIFDelayTime = "DelayTime";
inline constexpr const char* kCGImagePropertyGIFUnclampedDelayTime = "UnclampedDelayTime";
inline constexpr const char* kCGImagePropertyJFIFDictionary = "{JFIF}";
inline constexpr const char* kCGImagePropertyJFIFIsProgressive = "IsProgressive";
inline constexpr const char* kCGImagePropertyPNGDictionary = "{PNG}";
inline constexpr const char* kCGImagePropertyPNGInterlaceType = "InterlaceType";
inline constexpr const char* kCGImageDestinationLossyCompressionQuality =
    "kCGImageDestinationLossyCompressionQuality";

// Largest image (width x height) any reader decodes; a GIF offers no more frames than make four
// times as many pixels in screens, or as many in the lines its frames decode.
constexpr uint64_t kCGImageSourceMaxPixels = 1ull << 26;

enum CGImageSourceStatus {
  kCGImageStatusUnexpectedEOF = -5,
  kCGImageStatusInvalidData = -4,
  kCGImageStatusUnknownType = -3,
  kCGImageStatusReadingHeader = -2,
  kCGImageStatusIncomplete = -1,
  kCGImageStatusComplete = 0
};

class CGImageSource;
using CGImageSourceRef = std::shared_ptr<CGImageSource>;

class CGImageSource {
 public:
  CGImageSource();
  ~CGImageSource();
  CGImageSource(const CGImageSource&) = delete;
  CGImageSource& operator=(const CGImageSource&) = delete;

  // A source over complete data; nullptr for empty data.
  static CGImageSourceRef createWithData(const Data& data);
  // The same over a buffer shared with the caller instead of copied (null counts as empty).
  // REQUIRES: nobody changes the buffer while the source holds it.
  static CGImageSourceRef createWithData(std::shared_ptr<const Data> data);
  static CGImageSourceRef createIncremental();

  // Gives the source all bytes so far. Data shorter than what the source holds, or any update
  // after a final one, is ignored. The source keeps a copy of the bytes.
  void updateData(const Data& data, bool final);
  // The same, keeping the shared buffer itself rather than a copy: a large file is then held
  // once by the caller and the source together. The buffer held before is let go (null counts
  // as empty).
  // REQUIRES: nobody changes the buffer while the source holds it.
  void updateData(std::shared_ptr<const Data> data, bool final);

  // The type identifier ("public.png", "public.jpeg", "com.compuserve.gif", "public.tiff",
  // "com.microsoft.bmp", "com.microsoft.ico", "public.jpeg-2000", "com.apple.icns") or "" while
  // unknown.
  std::string type() const;
  CGImageSourceStatus status() const;
  // Number of images readable now (a GIF counts a frame still arriving).
  size_t count() const;
  // Container properties (GIF: "{GIF}" with "LoopCount" when the file names one).
  Dictionary properties() const;
  // Image properties: "PixelWidth", "PixelHeight", "HasAlpha"; JPEG and TIFF "Orientation"
  // (EXIF or TIFF tag, 1 to 8, when present; the image's pixels stay as stored) and "{JFIF}" with
  // "IsProgressive" (a boolean); PNG "{PNG}" with "InterlaceType" (0 none, 1 Adam7); GIF "{GIF}"
  // with "DelayTime" (below 0.011 s read as 0.1) and "UnclampedDelayTime" for a frame with a
  // graphic control block. Empty out of range.
  Dictionary propertiesAtIndex(size_t index) const;
  // The image at index, nullptr when it cannot be read (yet). With shouldCache the decoded
  // image is kept until the next update.
  CGImageRef createImageAtIndex(size_t index, bool shouldCache = true);

  // Internal: one reader of the source's format.
  struct Reader;

 private:
  void rescanLocked();
  mutable std::mutex mutex_;
  std::shared_ptr<const Data> data_ = std::make_shared<const Data>();  // never null
  bool final_ = false;
  std::string type_;
  std::unique_ptr<Reader> reader_;
};

}  // namespace plat
