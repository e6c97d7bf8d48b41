#pragma once
// HVImageEncoder: turns one or more images into encoded data of one type. Still images and GIF
// go through the platform's image destination; animated PNG through the library's own APNG
// writer. Frames are images, encoded data or files, each with a duration; a frame whose image or
// source carries an orientation is written upright (the writers keep no orientation tag).
//
// Thread-safety: one thread at a time per encoder; the class operations on any thread.

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "image/HVImageDecoder.h"
#include "image/HVImageKind.h"
#include "platform/foundation/Data.h"
#include "platform/graphics/CGImage.h"
#include "platform/uikit/UIImage.h"

class HVImageEncoder {
 public:
  // Misuse: an encoder needs a type. Always raises plat::NSException ("HVImageEncoder init
  // error").
  static std::shared_ptr<HVImageEncoder> init();
  // Types 1 to 8; nullptr (with a log line) for WebP and anything else.
  static std::shared_ptr<HVImageEncoder> initWithType(uint64_t type);

  HVImageKind type() const { return type_; }
  bool lossless() const { return lossless_; }
  void setLossless(bool v) { lossless_ = v; }
  uint64_t loopCount() const { return loopCount_; }  // 0 endless
  void setLoopCount(uint64_t v) { loopCount_ = v; }
  double quality() const { return quality_; }
  // Clamped to 0..1 (NaN counts as 0).
  void setQuality(double v);

  // Each appends one frame and its duration (clamped to 0 or more; NaN counts as 0). Refused,
  // appending nothing: an image without a bitmap, empty data, an empty path.
  void addImageDuration(const plat::UIImageRef& image, double duration);
  void addImageWithDataDuration(const plat::Data& data, double duration);
  // The path is kept as a file location (any characters), read when encoding.
  void addImageWithFileDuration(const std::string& path, double duration);

  // The encoded data; empty when there are no frames or encoding fails.
  plat::Data encode();
  // Writes the encoding to the path (replacing the file atomically). False without frames, for
  // an empty path, or on failure.
  bool encodeToFile(const std::string& path);

  // One image, duration 0.
  static plat::Data encodeImageTypeQuality(const plat::UIImageRef& image, uint64_t type,
                                           double quality);
  // Every frame of a decoder, decoded for display, with the decoder's durations.
  static plat::Data encodeImageWithDecoderTypeQuality(
      const std::shared_ptr<HVImageDecoder>& decoder, uint64_t type, double quality);

  struct FileItem {
    std::string path;
  };
  using Item = std::variant<plat::UIImageRef, FileItem, plat::Data>;

 private:
  explicit HVImageEncoder(HVImageKind type);
  bool encodeWithImageIO(plat::Data* data, const std::string& path);
  plat::Data encodeAPNG();
  plat::CGImageRef newCGImageFromIndex(size_t index);

  std::vector<Item> images_;
  std::vector<double> durations_;
  bool lossless_ = false;
  HVImageKind type_;
  uint64_t loopCount_ = 0;
  double quality_ = 1;
};

// One bitmap encoded as `type` (1 to 8 with a writer) at the lossy quality (clamped to 0..1).
// Empty for no image, WebP, or a type that has no system identifier or cannot be written.
plat::Data HVEncodeCGImage(const plat::CGImageRef& image, uint64_t type, double quality);

// The 16-bit numerator and denominator of an fcTL delay for `seconds`: 255/1 from 255 s up,
// 1/255 at 1/255 s or less (and for NaN), otherwise the last continued-fraction convergent
// within 255/255 (1/100 when it has a 0).
void HVFrameDelayFraction(double seconds, uint16_t* numerator, uint16_t* denominator);
