#pragma once
// HVRefreshStateHeader: a header with a title per state and a last-updated-time label.
// Main thread only.

#include "platform/foundation/NSCalendar.h"
#include "ui/refresh/HVRefreshHeader.h"
#include "ui/refresh/HVRefreshStateViews.h"

class HVRefreshStateHeader : public HVRefreshHeader {
 public:
  using LastUpdatedTimeText = std::function<std::string(std::optional<plat::NSDate>)>;

  std::string className() const override { return "HVRefreshStateHeader"; }

  // Created on first access and added as subviews.
  std::shared_ptr<plat::UILabel> lastUpdatedTimeLabel();
  std::shared_ptr<plat::UILabel> stateLabel();
  const LastUpdatedTimeText& lastUpdatedTimeText() const { return lastUpdatedTimeText_; }
  void setLastUpdatedTimeText(LastUpdatedTimeText block) {
    lastUpdatedTimeText_ = std::move(block);
  }
  double labelLeftInset() const { return labelLeftInset_; }
  void setLabelLeftInset(double v) { labelLeftInset_ = v; }

  // A nil title is ignored.
  void setTitleForState(std::optional<std::string> title, HVRefreshComponentState state);
  // The stored title, or none.
  std::optional<std::string> titleForState(HVRefreshComponentState state) const;
  // The Gregorian calendar.
  std::shared_ptr<plat::NSCalendar> currentCalendar() const;

  // Stores the key and shows the date stored under it in the time label.
  void setLastUpdatedTimeKey(std::string key) override;
  void setState(HVRefreshComponentState state) override;

 protected:
  void prepare() override;
  void placeSubviews() override;
  // The wider of the state label's text and, when that label is shown, the time label's.
  double labelsTextWidth();

 private:
  std::shared_ptr<plat::UILabel> lastUpdatedTimeLabel_, stateLabel_;
  LastUpdatedTimeText lastUpdatedTimeText_;
  double labelLeftInset_ = 25;
  HVRefreshStateTitles stateTitles_;
};
