#pragma once
// HVAnimatedImage: what an animated image view needs of an image — frame and loop counts, the
// memory of one decoded frame, and each frame with its duration. Frames may be asked for on
// any thread.

#include <cstdint>
#include <optional>

#include "platform/graphics/CGGeometry.h"
#include "platform/uikit/UIImage.h"

class HVAnimatedImage {
 public:
  virtual ~HVAnimatedImage() = default;
  virtual uint64_t animatedImageFrameCount() const = 0;
  // 0 endless.
  virtual uint64_t animatedImageLoopCount() const = 0;
  virtual uint64_t animatedImageBytesPerFrame() const = 0;
  // nullptr out of range or when the frame cannot be decoded.
  virtual plat::UIImageRef animatedImageFrameAtIndex(uint64_t index) = 0;
  virtual double animatedImageDurationAtIndex(uint64_t index) const = 0;
  // Optional: the frame's rectangle in the image's point coordinates; a view that finds one
  // shows the same bitmap with a changing contents rectangle. nullopt: not implemented.
  virtual std::optional<plat::CGRect> animatedImageContentsRectAtIndex(uint64_t index) const {
    return std::nullopt;
  }
};
