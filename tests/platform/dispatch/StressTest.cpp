#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "testing/loop/Pump.h"

using namespace plat;

// Many queues and many tasks mixing async, sync, barriers, groups, nested syncs, the main queue
// and notifications; every task must run exactly once and per-queue order must hold.
TEST(Stress, ManyQueuesManyTasks) {
  constexpr int kQueues = 48;
  constexpr int kTasksPerQueue = 400;
  std::vector<DispatchQueueRef> serial;
  std::vector<std::vector<int>> seen(kQueues);
  for (int i = 0; i < kQueues; ++i) serial.push_back(dispatch_queue_create("stress." + std::to_string(i)));
  auto concurrent = dispatch_queue_create("stress.concurrent", DISPATCH_QUEUE_CONCURRENT);
  auto group = dispatch_group_create();
  std::atomic<int> concurrentRuns{0};
  std::atomic<int> barrierRuns{0};
  std::atomic<int> mainRuns{0};
  std::atomic<int> notes{0};
  NSNotificationCenter center;
  center.addObserverForNameObjectQueueUsingBlock("stress", Value(), nullptr,
                                                 [&](const NSNotification&) { ++notes; });

  dispatch_apply(kQueues, dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT), [&](size_t qi) {
    for (int t = 0; t < kTasksPerQueue; ++t) {
      dispatch_group_async(group, serial[qi], [&, qi, t] {
        seen[qi].push_back(t);
        if (t % 50 == 0) {
          // Nested sync into a neighbour queue and the concurrent queue.
          dispatch_sync(concurrent, [&] { ++concurrentRuns; });
          center.postNotificationNameObject("stress", Value());
        }
        if (t % 97 == 0) dispatch_async(dispatch_get_main_queue(), [&] { ++mainRuns; });
      });
      if (t % 40 == 0) dispatch_group_async(group, concurrent, [&] { ++concurrentRuns; });
      if (t % 200 == 0) {
        dispatch_group_enter(group);
        dispatch_barrier_async(concurrent, [&] {
          ++barrierRuns;
          dispatch_group_leave(group);
        });
      }
    }
  });
  // Wait without blocking the main thread, which must run the main-queue work.
  std::atomic<bool> finished{false};
  dispatch_group_notify(group, dispatch_get_main_queue(), [&] { finished = true; });
  ASSERT_TRUE(testing_loop::runUntil([&] { return finished.load(); }, 120));
  ASSERT_TRUE(testing_loop::runUntilIdle());
  for (int qi = 0; qi < kQueues; ++qi) {
    ASSERT_EQ(seen[qi].size(), static_cast<size_t>(kTasksPerQueue));
    for (int t = 0; t < kTasksPerQueue; ++t) ASSERT_EQ(seen[qi][t], t);
  }
  EXPECT_EQ(concurrentRuns, kQueues * (kTasksPerQueue / 50 + kTasksPerQueue / 40));
  EXPECT_EQ(barrierRuns, kQueues * (kTasksPerQueue / 200));
  EXPECT_EQ(notes, kQueues * (kTasksPerQueue / 50));
  EXPECT_EQ(mainRuns, kQueues * ((kTasksPerQueue - 1) / 97 + 1));
}
