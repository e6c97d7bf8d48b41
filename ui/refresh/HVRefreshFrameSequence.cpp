#include "ui/refresh/HVRefreshFrameSequence.h"

#include <algorithm>
#include <cmath>

using namespace plat;

double HVRefreshFrameSequence::setImages(const std::optional<std::vector<UIImageRef>>& images,
                                         double duration, int64_t state) {
  if (!images) return 0;
  images_[state] = *images;
  durations_[state] = duration;
  if (images->empty() || !images->front()) return 0;
  return images->front()->size().height;
}

const std::vector<UIImageRef>* HVRefreshFrameSequence::imagesFor(int64_t state) const {
  auto it = images_.find(state);
  return it == images_.end() || it->second.empty() ? nullptr : &it->second;
}

std::optional<double> HVRefreshFrameSequence::durationFor(int64_t state) const {
  auto it = durations_.find(state);
  if (it == durations_.end()) return std::nullopt;
  return it->second;
}

bool HVRefreshFrameSequence::showFrameForPercent(UIImageView& view, int64_t state,
                                                 double percent) const {
  const auto* images = imagesFor(state);
  if (!images) return false;
  view.stopAnimating();
  double product = images->size() * percent;
  // NaN and negative products show the first image.
  int64_t index = product > 0 ? static_cast<int64_t>(std::min(product, 1e9)) : 0;
  index = std::min<int64_t>(index, static_cast<int64_t>(images->size()) - 1);
  view.setImage((*images)[index]);
  return true;
}

bool HVRefreshFrameSequence::play(UIImageView& view, int64_t state) const {
  const auto* images = imagesFor(state);
  if (!images) return false;
  view.stopAnimating();
  if (images->size() == 1) {
    view.setImage(images->front());
  } else {
    view.setAnimationImages(*images);
    view.setAnimationDuration(durationFor(state).value_or(images->size() * 0.1));
    view.startAnimating();
  }
  return true;
}
