#pragma once
// HVAnimatedImage: what an animated image view needs of an image — frame and loop counts, the
// memory of one decoded frame, and each frame with its duration. Frames may be asked for on
// any thread.

#include <cmath>
#include <cstdint>
#include <optional>

#include "platform/graphics/CGGeometry.h"
#include "platform/uikit/UIImage.h"

// A rectangle in the point coordinates of an image of `size` as a layer contents rectangle:
// divided by the size and clipped to 0, 0, 1, 1. The whole unit rectangle for a size of 0.01 or
// less, a rectangle that is not finite, or an empty intersection.
inline plat::CGRect HVUnitContentsRect(plat::CGRect rect, plat::CGSize size) {
  const plat::CGRect unit = plat::CGRectMake(0, 0, 1, 1);
  if (!(size.width > 0.01) || !(size.height > 0.01)) return unit;
  plat::CGRect r = plat::CGRectMake(rect.origin.x / size.width, rect.origin.y / size.height,
                                    rect.size.width / size.width, rect.size.height / size.height);
  if (!std::isfinite(r.origin.x) || !std::isfinite(r.origin.y) || !std::isfinite(r.size.width) ||
      !std::isfinite(r.size.height))
    return unit;
  r = plat::CGRectIntersection(r, unit);
  if (plat::CGRectIsNull(r) || plat::CGRectIsEmpty(r)) return unit;
  return r;
}

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
