#pragma once
// HVImageFrame: one frame of an animated image — its bitmap size, its rectangle on the canvas
// (offsets from the bottom-left corner), how long it shows, and how it is disposed and blended.
// Not synchronized: a frame is handed out as a copy and belongs to its receiver.

#include <cstdint>
#include <memory>

#include "platform/uikit/UIImage.h"

enum HVFrameDispose : uint64_t {
  HVFrameDisposeNone = 0,        // leave the canvas as it is after the frame
  HVFrameDisposeBackground = 1,  // clear the frame's rectangle after showing it
  HVFrameDisposePrevious = 2,    // restore the canvas to what it was before the frame
};

enum HVFrameBlend : uint64_t {
  HVFrameBlendNone = 0,  // the frame replaces the pixels of its rectangle
  HVFrameBlendOver = 1,  // the frame is drawn over the canvas with alpha
};

class HVImageFrame {
 public:
  HVImageFrame() = default;
  virtual ~HVImageFrame() = default;

  // A frame holding the image, all numbers 0.
  static std::shared_ptr<HVImageFrame> frameWithImage(plat::UIImageRef image);
  // A new frame of the receiver's own class with every field copied (the image is shared).
  virtual std::shared_ptr<HVImageFrame> copy() const;

  uint64_t index() const { return index_; }
  void setIndex(uint64_t v) { index_ = v; }
  uint64_t width() const { return width_; }
  void setWidth(uint64_t v) { width_ = v; }
  uint64_t height() const { return height_; }
  void setHeight(uint64_t v) { height_ = v; }
  uint64_t offsetX() const { return offsetX_; }
  void setOffsetX(uint64_t v) { offsetX_ = v; }
  uint64_t offsetY() const { return offsetY_; }
  void setOffsetY(uint64_t v) { offsetY_ = v; }
  double duration() const { return duration_; }
  void setDuration(double v) { duration_ = v; }
  HVFrameDispose dispose() const { return dispose_; }
  void setDispose(HVFrameDispose v) { dispose_ = v; }
  HVFrameBlend blend() const { return blend_; }
  void setBlend(HVFrameBlend v) { blend_ = v; }
  plat::UIImageRef image() const { return image_; }
  void setImage(plat::UIImageRef v) { image_ = std::move(v); }

 protected:
  HVImageFrame(const HVImageFrame&) = default;
  HVImageFrame& operator=(const HVImageFrame&) = default;

 private:
  uint64_t index_ = 0, width_ = 0, height_ = 0, offsetX_ = 0, offsetY_ = 0;
  double duration_ = 0;
  HVFrameDispose dispose_ = HVFrameDisposeNone;
  HVFrameBlend blend_ = HVFrameBlendNone;
  plat::UIImageRef image_;
};
