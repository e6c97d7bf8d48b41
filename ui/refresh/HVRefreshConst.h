#pragma once
// Shared vocabulary of the pull-to-refresh controls: their states, the text keys looked up in
// the "HVRefresh" resource bundle, and the change record their scroll-view observers receive.

#include <cstdint>
#include <optional>

#include "platform/uikit/UIScrollView.h"

// The numbers are part of the interface: subclasses compare against them.
enum HVRefreshComponentState : int64_t {
  HVRefreshStateIdle = 1,
  HVRefreshStatePulling = 2,
  HVRefreshStateRefreshing = 3,
  HVRefreshStateWillRefresh = 4,
  HVRefreshStateNoMoreData = 5
};

// One observed change: the value before and after (absent when the change came without them,
// as when a control places itself).
struct HVRefreshChange {
  std::optional<plat::UIScrollView::ObservedValue> oldValue, newValue;
};

inline constexpr const char* HVRefreshHeaderIdleText = "HVRefreshHeaderIdleText";
inline constexpr const char* HVRefreshHeaderPullingText = "HVRefreshHeaderPullingText";
inline constexpr const char* HVRefreshHeaderRefreshingText = "HVRefreshHeaderRefreshingText";
inline constexpr const char* HVRefreshHeaderLastTimeText = "HVRefreshHeaderLastTimeText";
inline constexpr const char* HVRefreshHeaderDateTodayText = "HVRefreshHeaderDateTodayText";
inline constexpr const char* HVRefreshHeaderNoneLastDateText = "HVRefreshHeaderNoneLastDateText";
inline constexpr const char* HVRefreshAutoFooterIdleText = "HVRefreshAutoFooterIdleText";
inline constexpr const char* HVRefreshAutoFooterRefreshingText = "HVRefreshAutoFooterRefreshingText";
inline constexpr const char* HVRefreshAutoFooterNoMoreDataText = "HVRefreshAutoFooterNoMoreDataText";
inline constexpr const char* HVRefreshBackFooterIdleText = "HVRefreshBackFooterIdleText";
inline constexpr const char* HVRefreshBackFooterPullingText = "HVRefreshBackFooterPullingText";
inline constexpr const char* HVRefreshBackFooterRefreshingText = "HVRefreshBackFooterRefreshingText";
inline constexpr const char* HVRefreshBackFooterNoMoreDataText = "HVRefreshBackFooterNoMoreDataText";
inline constexpr const char* HVRefreshHeaderLastUpdatedTimeKey = "HVRefreshHeaderLastUpdatedTimeKey";

inline constexpr double HVRefreshHeaderHeight = 54.0;
inline constexpr double HVRefreshFooterHeight = 44.0;
inline constexpr double HVRefreshFastAnimationDuration = 0.25;
inline constexpr double HVRefreshSlowAnimationDuration = 0.4;
