// A pool worker woken from a dispatch wait counts as running work from the wake on, so the
// main loop never reads the pool as idle while the woken worker has yet to run.

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/DispatchInternal.h"
#include "platform/dispatch/RunLoop.h"
#include "testing/loop/Pump.h"

using namespace plat;
namespace di = plat::dispatch_internal;

namespace {

struct WaitKind {
  std::string name;
  // Runs on a pool worker: blocks until the main thread's wake() (or, with no wake, until
  // the main loop has run what the wait posted to it).
  std::function<void()> wait;
  std::function<void()> wake;  // empty: the first runUntilIdle both blocks and wakes
};

}  // namespace

TEST(WaitWake, AWorkerWokenByTheMainThreadHasRunBeforeThePoolReadsIdle) {
  auto sema = dispatch_semaphore_create(0);
  auto group = dispatch_group_create();
  auto suspended = dispatch_queue_create("test.wake.concurrent", DISPATCH_QUEUE_CONCURRENT);
  auto bg = dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0);
  const dispatch_time_t anHour = dispatch_time(DISPATCH_TIME_NOW, 3600 * NSEC_PER_SEC);
  std::vector<WaitKind> kinds = {
      {"semaphore", [&] { dispatch_semaphore_wait(sema, DISPATCH_TIME_FOREVER); },
       [&] { EXPECT_EQ(dispatch_semaphore_signal(sema), 1); }},
      {"timed semaphore", [&] { EXPECT_EQ(dispatch_semaphore_wait(sema, anHour), 0); },
       [&] { EXPECT_EQ(dispatch_semaphore_signal(sema), 1); }},
      {"group", [&] { EXPECT_EQ(dispatch_group_wait(group, anHour), 0); },
       [&] { dispatch_group_leave(group); }},
      {"sync onto a suspended concurrent queue", [&] { dispatch_sync(suspended, [] {}); },
       [&] { dispatch_resume(suspended); }},
      {"apply whose helper waits",
       [&] {
         dispatch_apply(2, bg, [&](size_t i) {
           if (i == 1) dispatch_semaphore_wait(sema, DISPATCH_TIME_FOREVER);
         });
       },
       [&] { EXPECT_EQ(dispatch_semaphore_signal(sema), 1); }},
      {"sync onto the main queue", [] { dispatch_sync(dispatch_get_main_queue(), [] {}); }, {}},
      {"perform on the main thread", [] { performSelectorOnMainThread([] {}, true); }, {}},
  };
  for (auto& kind : kinds) {
    SCOPED_TRACE(kind.name);
    std::atomic<int> after{0};
    int late = 0;
    // Each cycle races the woken thread against the main loop's idle check, which the
    // woken thread used to lose nearly every time.
    for (int i = 0; i < 100; ++i) {
      if (kind.name == "group") dispatch_group_enter(group);
      if (kind.name.rfind("sync onto a suspended", 0) == 0) dispatch_suspend(suspended);
      dispatch_async(bg, [&] {
        kind.wait();
        after.fetch_add(1);
      });
      ASSERT_TRUE(testing_loop::runUntilIdle(5));
      if (kind.wake) {
        ASSERT_EQ(after.load(), i);  // really waiting
        kind.wake();
        ASSERT_TRUE(testing_loop::runUntilIdle(5));
      }
      if (after.load() != i + 1) ++late;
      ASSERT_TRUE(testing_loop::runUntil([&] { return after.load() == i + 1; }));
    }
    EXPECT_EQ(late, 0);
  }
}

TEST(WaitWake, SignalsTimeoutsAndSpareSignalsLeaveTheCountsBalanced) {
  testing_loop::VirtualClockScope clock;
  auto sema = dispatch_semaphore_create(0);
  auto group = dispatch_group_create();
  auto bg = dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0);
  constexpr int kWaiters = 4;
  std::atomic<int> granted{0}, timedOut{0}, groupTimedOut{0};
  dispatch_group_enter(group);
  dispatch_time_t deadline = dispatch_time(DISPATCH_TIME_NOW, 5 * NSEC_PER_SEC);
  for (int i = 0; i < kWaiters; ++i) {
    dispatch_async(bg, [&] {
      (dispatch_semaphore_wait(sema, deadline) == 0 ? granted : timedOut).fetch_add(1);
    });
    dispatch_async(bg, [&] {
      if (dispatch_group_wait(group, deadline) != 0) groupTimedOut.fetch_add(1);
    });
  }
  ASSERT_TRUE(testing_loop::runUntilIdle(5));
  EXPECT_EQ(di::runnableWork(), 0);
  // Two signals each hand their unit to a waiter; the rest of the waiters time out. A
  // woken waiter whose deadline passes before it runs still takes its unit.
  EXPECT_EQ(dispatch_semaphore_signal(sema), 1);
  EXPECT_EQ(dispatch_semaphore_signal(sema), 1);
  // (Unless both have run to the end already: the count is read before their results.)
  int64_t runnable = di::runnableWork();
  EXPECT_TRUE(runnable >= 1 || granted.load() == 2) << runnable;
  testing_loop::advance(6);
  ASSERT_TRUE(testing_loop::runUntil(
      [&] { return granted + timedOut == kWaiters && groupTimedOut == kWaiters; }));
  EXPECT_EQ(granted.load(), 2);
  EXPECT_EQ(timedOut.load(), 2);
  ASSERT_TRUE(testing_loop::runUntilIdle(5));
  EXPECT_EQ(di::runnableWork(), 0);
  EXPECT_EQ(di::outstandingWork(), 0);

  // A signal with nobody waiting is kept for the next wait; a group leave with nobody waiting
  // releases no one.
  EXPECT_EQ(dispatch_semaphore_signal(sema), 0);
  dispatch_group_leave(group);
  EXPECT_EQ(dispatch_semaphore_wait(sema, DISPATCH_TIME_NOW), 0);
  EXPECT_NE(dispatch_semaphore_wait(sema, DISPATCH_TIME_NOW), 0);
  EXPECT_EQ(dispatch_group_wait(group, DISPATCH_TIME_NOW), 0);
  EXPECT_EQ(di::runnableWork(), 0);
}
