#pragma once
// Puts every process-wide object of the aggregation SDK and its channel back to its first
// state (coordinator, facade, channel adapter, channel SDK, network watcher, device facts,
// server protocol, user defaults), reading the current main bundle and device root again.
// Main thread.

namespace testing_kite {

void resetAggregationSDK();

}  // namespace testing_kite
