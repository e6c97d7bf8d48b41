#pragma once
// HVImage: an image made from encoded data (GIF, APNG, still formats) through HVImageDecoder.
// Frame 0 is the still image; further frames stay in the decoder and are decoded on demand (or
// all at once with preloadAllAnimatedImageFrames). HVFrameImage: an animation of image files or
// data, one frame each. HVSpriteSheetImage: an animation of rectangles of one sheet image.
//
// Thread-safety: frames and durations may be asked for on any thread; the preload switch and
// creation on one thread at a time.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "image/HVAnimatedImage.h"
#include "image/HVImageDecoder.h"
#include "platform/uikit/UIImage.h"

class HVImage : public plat::UIImage, public HVAnimatedImage {
 public:
  // nullptr for empty or undecodable data. A scale of 0 or below is the main screen's.
  static std::shared_ptr<HVImage> initWithDataScale(const plat::Data& data, double scale);
  // The same over a buffer shared with the caller, not copied: an animated image keeps that
  // very buffer for its later frames.
  // REQUIRES: nobody changes the buffer while the image or its decoder holds it.
  static std::shared_ptr<HVImage> initWithDataScale(std::shared_ptr<const plat::Data> data,
                                                    double scale);
  static std::shared_ptr<HVImage> initWithData(const plat::Data& data) {
    return initWithDataScale(data, 1);
  }
  // A resource of the main bundle. Without an extension in the name, "", "png", "jpeg", "jpg",
  // "gif", "webp" and "apng" are tried; scale variants ("@2x", "@3x") are tried first in the
  // order the main screen's scale prefers (scale 2: 2, 3, then 1), and the image found has the
  // scale of its variant. nullptr for an empty name, one ending in "/", or nothing found. Not
  // cached.
  static std::shared_ptr<HVImage> imageNamed(const std::string& name);
  // The file's data at the scale its name carries ("@2x", "@2.5x" before the extension).
  // nullptr for a missing or non-regular file, or a path holding a NUL byte.
  static std::shared_ptr<HVImage> initWithContentsOfFile(const std::string& path);
  // The scale a path's name carries; 1 when none.
  static double scaleFromPath(const std::string& path);
  // The class forms of the three initializers (they hide UIImage's, which would answer a plain
  // UIImage, or nothing for a GIF). A path holding a NUL byte gives nullptr.
  static std::shared_ptr<HVImage> imageWithContentsOfFile(const std::string& path) {
    return initWithContentsOfFile(path);
  }
  static std::shared_ptr<HVImage> imageWithData(const plat::Data& data) {
    return initWithData(data);
  }
  static std::shared_ptr<HVImage> imageWithDataScale(const plat::Data& data, double scale) {
    return initWithDataScale(data, scale);
  }

  std::string className() const override { return "HVImage"; }

  // Archived as its scale ("HVImageScale") and the data it was made from ("HVImageData");
  // a still image as a UIImage.
  void encodeWithCoder(plat::NSKeyedArchiver& coder) const override;
  bool initWithCoder(plat::NSKeyedUnarchiver& coder) override;
  static constexpr bool supportsSecureCoding() { return true; }

  HVImageKind animatedImageType() const { return type_; }
  // The data it was made from; empty for a still image.
  plat::Data animatedImageData() const;
  uint64_t animatedImageMemorySize() const { return memorySize_; }
  bool preloadAllAnimatedImageFrames() const { return preload_; }
  void setPreloadAllAnimatedImageFrames(bool preload);

  uint64_t animatedImageFrameCount() const override;
  uint64_t animatedImageLoopCount() const override;
  uint64_t animatedImageBytesPerFrame() const override { return bytesPerFrame_; }
  plat::UIImageRef animatedImageFrameAtIndex(uint64_t index) override;
  // The decoder's duration, with frames under 0.011 s played for 0.1 s.
  double animatedImageDurationAtIndex(uint64_t index) const override;

  HVImage(plat::CGImageRef image, double scale, plat::UIImageOrientation orientation);

 private:
  // Decodes frame 0 of the data into this image; false for empty or undecodable data.
  bool loadData(std::shared_ptr<const plat::Data> data, double scale);

  std::shared_ptr<HVImageDecoder> decoder_;  // only for 2 or more frames
  mutable std::mutex preloadedLock_;
  std::vector<plat::UIImageRef> preloadedFrames_;  // nullptr entries: failed frames
  bool preload_ = false;
  uint64_t bytesPerFrame_ = 0;
  uint64_t memorySize_ = 0;
  HVImageKind type_ = HVImageKindUnknown;
};

class HVFrameImage : public plat::UIImage, public HVAnimatedImage {
 public:
  // nullptr when the list is empty, the lists differ in length or frame 0 cannot be read.
  static std::shared_ptr<HVFrameImage> initWithImagePathsFrameDurationsLoopCount(
      const std::vector<std::string>& paths, const std::vector<double>& durations,
      uint64_t loopCount);
  static std::shared_ptr<HVFrameImage> initWithImagePathsOneFrameDurationLoopCount(
      const std::vector<std::string>& paths, double duration, uint64_t loopCount);
  static std::shared_ptr<HVFrameImage> initWithImageDataArrayFrameDurationsLoopCount(
      const std::vector<plat::Data>& datas, const std::vector<double>& durations,
      uint64_t loopCount);
  static std::shared_ptr<HVFrameImage> initWithImageDataArrayOneFrameDurationLoopCount(
      const std::vector<plat::Data>& datas, double duration, uint64_t loopCount);

  std::string className() const override { return "HVFrameImage"; }
  uint64_t animatedImageFrameCount() const override;
  uint64_t animatedImageLoopCount() const override { return loopCount_; }
  uint64_t animatedImageBytesPerFrame() const override { return oneFrameBytes_; }
  plat::UIImageRef animatedImageFrameAtIndex(uint64_t index) override;
  double animatedImageDurationAtIndex(uint64_t index) const override;

  HVFrameImage(plat::CGImageRef image, double scale);

 private:
  uint64_t loopCount_ = 0, oneFrameBytes_ = 0;
  std::vector<std::string> imagePaths_;
  std::vector<plat::Data> imageDatas_;
  std::vector<double> frameDurations_;
};

class HVSpriteSheetImage : public plat::UIImage, public HVAnimatedImage {
 public:
  // nullptr when the sheet has no bitmap, a list is empty or the lists differ in length.
  static std::shared_ptr<HVSpriteSheetImage>
  initWithSpriteSheetImageContentRectsFrameDurationsLoopCount(
      const plat::UIImageRef& image, const std::vector<plat::CGRect>& contentRects,
      const std::vector<double>& frameDurations, uint64_t loopCount);

  std::string className() const override { return "HVSpriteSheetImage"; }
  const std::vector<plat::CGRect>& contentRects() const { return contentRects_; }
  const std::vector<double>& frameDurations() const { return frameDurations_; }
  uint64_t loopCount() const { return loopCount_; }
  // The frame's rectangle in unit space, clipped to 0, 0, 1, 1; the whole unit rectangle out
  // of range, for a degenerate sheet or an empty intersection.
  plat::CGRect contentsRectForCALayerAtIndex(uint64_t index) const;

  uint64_t animatedImageFrameCount() const override { return contentRects_.size(); }
  uint64_t animatedImageLoopCount() const override { return loopCount_; }
  uint64_t animatedImageBytesPerFrame() const override { return 0; }
  plat::UIImageRef animatedImageFrameAtIndex(uint64_t index) override;
  double animatedImageDurationAtIndex(uint64_t index) const override;
  std::optional<plat::CGRect> animatedImageContentsRectAtIndex(uint64_t index) const override;

  HVSpriteSheetImage(plat::CGImageRef image, double scale, plat::UIImageOrientation orientation);

 private:
  std::vector<plat::CGRect> contentRects_;
  std::vector<double> frameDurations_;
  uint64_t loopCount_ = 0;
};
