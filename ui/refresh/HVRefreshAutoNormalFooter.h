#pragma once
// HVRefreshAutoNormalFooter: an automatic state footer with an activity indicator left of
// the title while refreshing. Main thread only.

#include "ui/refresh/HVRefreshAutoStateFooter.h"
#include "ui/refresh/HVRefreshStateViews.h"

class HVRefreshAutoNormalFooter : public HVRefreshAutoStateFooter {
 public:
  std::string className() const override { return "HVRefreshAutoNormalFooter"; }

  // Created on first access in the current style, hiding itself when stopped.
  std::shared_ptr<plat::UIActivityIndicatorView> loadingView() { return views_.loadingView(*this); }
  plat::UIActivityIndicatorViewStyle activityIndicatorViewStyle() const { return views_.style(); }
  // The next access of loadingView creates an indicator of the new style.
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
