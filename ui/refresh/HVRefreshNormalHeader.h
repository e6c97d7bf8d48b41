#pragma once
// HVRefreshNormalHeader: a state header with an arrow that turns while pulling and an
// activity indicator while refreshing, both left of the text (centred when the state label
// is hidden). Main thread only.

#include "ui/refresh/HVRefreshStateHeader.h"
#include "ui/refresh/HVRefreshStateViews.h"

class HVRefreshNormalHeader : public HVRefreshStateHeader {
 public:
  std::string className() const override { return "HVRefreshNormalHeader"; }

  // Created on first access and added as a subview.
  std::shared_ptr<plat::UIImageView> arrowView() { return views_.arrowView(*this); }
  // Created on first access in the current style, hiding itself when stopped.
  std::shared_ptr<plat::UIActivityIndicatorView> loadingView() { return views_.loadingView(*this); }
  plat::UIActivityIndicatorViewStyle activityIndicatorViewStyle() const { return views_.style(); }
  // The next access of loadingView creates an indicator of the new style; one made earlier
  // stays in the view.
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

// The turn of the arrow: just short of half a turn, so that it rotates the same way back.
inline constexpr double HVRefreshArrowAngle = 0.000001 - 3.14159265358979323846;
