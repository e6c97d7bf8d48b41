#pragma once
// HVRefreshGifHeader: a state header that shows a frame sequence per state: while idle the
// frame follows the pull, while pulling or refreshing the state's images animate.
// Main thread only.

#include "ui/refresh/HVRefreshStateHeader.h"
#include "ui/refresh/HVRefreshStateViews.h"

class HVRefreshGifHeader : public HVRefreshStateHeader {
 public:
  std::string className() const override { return "HVRefreshGifHeader"; }

  // Created on first access and added as a subview.
  std::shared_ptr<plat::UIImageView> gifView() { return gif_.view(*this); }
  // Absent images are ignored. A first image taller than the header makes it that tall.
  void setImagesDurationForState(const std::optional<std::vector<plat::UIImageRef>>& images,
                                 double duration, HVRefreshComponentState state);
  // A duration of 0.1 s per image.
  void setImagesForState(const std::optional<std::vector<plat::UIImageRef>>& images,
                         HVRefreshComponentState state);
  const HVRefreshFrameSequence& frames() const { return gif_.frames(); }

  void setPullingPercent(double percent) override;
  void setState(HVRefreshComponentState state) override;

 protected:
  void prepare() override;
  void placeSubviews() override;

 private:
  HVRefreshGifView gif_;
};
