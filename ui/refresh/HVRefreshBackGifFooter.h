#pragma once
// HVRefreshBackGifFooter: a back footer with a frame sequence per state: while idle the frame
// follows the pull, while pulling or refreshing the state's images animate; hidden with no
// more data. Main thread only.

#include "ui/refresh/HVRefreshBackStateFooter.h"
#include "ui/refresh/HVRefreshStateViews.h"

class HVRefreshBackGifFooter : public HVRefreshBackStateFooter {
 public:
  std::string className() const override { return "HVRefreshBackGifFooter"; }

  std::shared_ptr<plat::UIImageView> gifView() { return gif_.view(*this); }
  // Absent images are ignored. A first image taller than the footer makes it that tall.
  void setImagesDurationForState(const std::optional<std::vector<plat::UIImageRef>>& images,
                                 double duration, HVRefreshComponentState state);
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
