#pragma once
// HVRefreshAutoNormalFooter: an automatic state footer with an activity indicator left of
// the title while refreshing. Main thread only.

#include "platform/uikit/UIActivityIndicatorView.h"
#include "ui/refresh/HVRefreshAutoStateFooter.h"

class HVRefreshAutoNormalFooter : public HVRefreshAutoStateFooter {
 public:
  std::string className() const override { return "HVRefreshAutoNormalFooter"; }

  // Created on first access in the current style, hiding itself when stopped.
  std::shared_ptr<plat::UIActivityIndicatorView> loadingView();
  plat::UIActivityIndicatorViewStyle activityIndicatorViewStyle() const { return style_; }
  // The next access of loadingView creates an indicator of the new style.
  void setActivityIndicatorViewStyle(plat::UIActivityIndicatorViewStyle style);

  void setState(HVRefreshComponentState state) override;

 protected:
  void prepare() override;
  void placeSubviews() override;

 private:
  std::weak_ptr<plat::UIActivityIndicatorView> loadingView_;
  plat::UIActivityIndicatorViewStyle style_ = plat::UIActivityIndicatorViewStyleGray;
};
