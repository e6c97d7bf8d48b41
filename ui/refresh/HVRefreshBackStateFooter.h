#pragma once
// HVRefreshBackStateFooter: a back footer with a title per state. Main thread only.

#include "ui/refresh/HVRefreshBackFooter.h"
#include "ui/refresh/HVRefreshStateViews.h"

class HVRefreshBackStateFooter : public HVRefreshBackFooter {
 public:
  std::string className() const override { return "HVRefreshBackStateFooter"; }

  // Created on first access and added as a subview.
  std::shared_ptr<plat::UILabel> stateLabel();
  double labelLeftInset() const { return labelLeftInset_; }
  void setLabelLeftInset(double v) { labelLeftInset_ = v; }
  // A nil title is ignored.
  void setTitleForState(std::optional<std::string> title, HVRefreshComponentState state);
  std::optional<std::string> titleForState(HVRefreshComponentState state) const;

  void setState(HVRefreshComponentState state) override;

 protected:
  void prepare() override;
  void placeSubviews() override;

 private:
  std::shared_ptr<plat::UILabel> stateLabel_;
  double labelLeftInset_ = 25;
  HVRefreshStateTitles stateTitles_;
};
