#pragma once
// The frame sequences of the gif controls: images and an animation duration per state, shown
// in an image view. Main thread only.

#include <map>
#include <optional>
#include <vector>

#include "platform/uikit/UIImageView.h"

class HVRefreshFrameSequence {
 public:
  // Stores images and duration for state; nothing for absent images. Returns the first
  // image's height (0 when there is none).
  double setImages(const std::optional<std::vector<plat::UIImageRef>>& images, double duration,
                   int64_t state);
  // The default duration: 0.1 s per image.
  static double defaultDuration(const std::optional<std::vector<plat::UIImageRef>>& images) {
    return images ? images->size() * 0.1 : 0;
  }
  const std::vector<plat::UIImageRef>* imagesFor(int64_t state) const;
  std::optional<double> durationFor(int64_t state) const;
  // Stops the animation and shows image trunc(count * percent) of state's images, clamped to
  // the range. False when state has no images.
  bool showFrameForPercent(plat::UIImageView& view, int64_t state, double percent) const;
  // Stops, then shows state's single image still or animates several. False without images.
  bool play(plat::UIImageView& view, int64_t state) const;

  const std::map<int64_t, std::vector<plat::UIImageRef>>& stateImages() const { return images_; }
  const std::map<int64_t, double>& stateDurations() const { return durations_; }

 private:
  std::map<int64_t, std::vector<plat::UIImageRef>> images_;
  std::map<int64_t, double> durations_;
};
