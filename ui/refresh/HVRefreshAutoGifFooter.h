#pragma once
// HVRefreshAutoGifFooter: an automatic state footer that animates a frame sequence while
// refreshing and hides it otherwise. Main thread only.

#include "ui/refresh/HVRefreshAutoStateFooter.h"
#include "ui/refresh/HVRefreshStateViews.h"

class HVRefreshAutoGifFooter : public HVRefreshAutoStateFooter {
 public:
  std::string className() const override { return "HVRefreshAutoGifFooter"; }

  std::shared_ptr<plat::UIImageView> gifView() { return gif_.view(*this); }
  // Absent images are ignored. A first image taller than the footer makes it that tall.
  void setImagesDurationForState(const std::optional<std::vector<plat::UIImageRef>>& images,
                                 double duration, HVRefreshComponentState state);
  void setImagesForState(const std::optional<std::vector<plat::UIImageRef>>& images,
                         HVRefreshComponentState state);
  const HVRefreshFrameSequence& frames() const { return gif_.frames(); }

  void setState(HVRefreshComponentState state) override;

 protected:
  void prepare() override;
  void placeSubviews() override;

 private:
  HVRefreshGifView gif_;
};
