#pragma once
// HVRefreshAutoStateFooter: an automatic footer with a title per state; a tap on the title
// while idle starts refreshing. Main thread only.

#include "ui/refresh/HVRefreshAutoFooter.h"
#include "ui/refresh/HVRefreshStateViews.h"

class HVRefreshAutoStateFooter : public HVRefreshAutoFooter {
 public:
  std::string className() const override { return "HVRefreshAutoStateFooter"; }

  // Created on first access and added as a subview.
  std::shared_ptr<plat::UILabel> stateLabel();
  bool isRefreshingTitleHidden() const { return refreshingTitleHidden_; }
  void setRefreshingTitleHidden(bool h) { refreshingTitleHidden_ = h; }
  double labelLeftInset() const { return labelLeftInset_; }
  void setLabelLeftInset(double v) { labelLeftInset_ = v; }

  // A nil title is ignored.
  void setTitleForState(std::optional<std::string> title, HVRefreshComponentState state);
  std::optional<std::string> titleForState(HVRefreshComponentState state) const;
  // Begins refreshing when idle.
  void stateLabelClick();

  void setState(HVRefreshComponentState state) override;

 protected:
  void prepare() override;
  void placeSubviews() override;

 private:
  std::shared_ptr<plat::UILabel> stateLabel_;
  bool refreshingTitleHidden_ = false;
  double labelLeftInset_ = 25;
  HVRefreshStateTitles stateTitles_;
};
