#pragma once
// HVRefreshHeader: the control above a scroll view's content. Dragging the content down past
// the header's height (54) makes it pulling; releasing then refreshes, growing the top inset
// by the height so that the header stays in view while the callback runs. Ending (deferred to
// the main queue) gives the inset back over 0.4 s and stores the date of the refresh in the
// standard user defaults under lastUpdatedTimeKey.
// Main thread only.

#include "ui/refresh/HVRefreshComponent.h"

#include "platform/foundation/NSDate.h"

class HVRefreshHeader : public HVRefreshComponent {
 public:
  std::string className() const override { return "HVRefreshHeader"; }

  template <class T = HVRefreshHeader>
  static std::shared_ptr<T> headerWithRefreshingBlock(Block block) {
    auto header = plat::make<T>();
    header->setRefreshingBlock(std::move(block));
    return header;
  }
  template <class T = HVRefreshHeader>
  static std::shared_ptr<T> headerWithRefreshingTargetRefreshingAction(
      std::weak_ptr<plat::Object> target, Action action) {
    auto header = plat::make<T>();
    header->setRefreshingTargetRefreshingAction(std::move(target), std::move(action));
    return header;
  }

  const std::string& lastUpdatedTimeKey() const { return lastUpdatedTimeKey_; }
  virtual void setLastUpdatedTimeKey(std::string key) { lastUpdatedTimeKey_ = std::move(key); }
  // The date stored under lastUpdatedTimeKey, or none.
  std::optional<plat::NSDate> lastUpdatedTime() const;
  double ignoredScrollViewContentInsetTop() const { return ignoredInsetTop_; }
  void setIgnoredScrollViewContentInsetTop(double v) { ignoredInsetTop_ = v; }
  double insetTDelta() const { return insetTDelta_; }

  void setState(HVRefreshComponentState state) override;
  // Returns to idle in a later turn of the main queue.
  void endRefreshing() override;

 protected:
  void prepare() override;
  void placeSubviews() override;
  void scrollViewContentOffsetDidChange(const HVRefreshChange* change) override;

 private:
  std::string lastUpdatedTimeKey_;
  double ignoredInsetTop_ = 0;
  double insetTDelta_ = 0;
};
