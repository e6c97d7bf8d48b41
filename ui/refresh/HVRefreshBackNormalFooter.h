#pragma once
// HVRefreshBackNormalFooter: a back footer with an arrow (turned away from the content while
// idle, toward it while pulling) and an activity indicator while refreshing.
// Main thread only.

#include "platform/uikit/UIActivityIndicatorView.h"
#include "platform/uikit/UIImageView.h"
#include "ui/refresh/HVRefreshBackStateFooter.h"

class HVRefreshBackNormalFooter : public HVRefreshBackStateFooter {
 public:
  std::string className() const override { return "HVRefreshBackNormalFooter"; }

  std::shared_ptr<plat::UIImageView> arrowView();
  std::shared_ptr<plat::UIActivityIndicatorView> loadingView();
  plat::UIActivityIndicatorViewStyle activityIndicatorViewStyle() const { return style_; }
  void setActivityIndicatorViewStyle(plat::UIActivityIndicatorViewStyle style);

  void setState(HVRefreshComponentState state) override;

 protected:
  void prepare() override;
  void placeSubviews() override;

 private:
  std::shared_ptr<plat::UIImageView> arrowView_;
  std::weak_ptr<plat::UIActivityIndicatorView> loadingView_;
  plat::UIActivityIndicatorViewStyle style_ = plat::UIActivityIndicatorViewStyleGray;
};
