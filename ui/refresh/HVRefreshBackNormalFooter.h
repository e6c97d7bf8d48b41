#pragma once
// HVRefreshBackNormalFooter: a back footer with an arrow (turned away from the content while
// idle, toward it while pulling) and an activity indicator while refreshing.
// Main thread only.

#include "ui/refresh/HVRefreshBackStateFooter.h"
#include "ui/refresh/HVRefreshStateViews.h"

class HVRefreshBackNormalFooter : public HVRefreshBackStateFooter {
 public:
  std::string className() const override { return "HVRefreshBackNormalFooter"; }

  std::shared_ptr<plat::UIImageView> arrowView() { return views_.arrowView(*this); }
  std::shared_ptr<plat::UIActivityIndicatorView> loadingView() { return views_.loadingView(*this); }
  plat::UIActivityIndicatorViewStyle activityIndicatorViewStyle() const { return views_.style(); }
  void setActivityIndicatorViewStyle(plat::UIActivityIndicatorViewStyle style) {
    views_.setStyle(*this, style);
  }

  void setState(HVRefreshComponentState state) override;

 protected:
  void prepare() override;
  void placeSubviews() override;

 private:
  HVRefreshIndicatorViews views_;
};
