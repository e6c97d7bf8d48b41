// A pool worker woken from a dispatch wait counts as running work from the wake on, so the
// main loop never reads the pool as idle while the woken worker has yet to run.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
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

namespace {

// Holds every pool worker at the end of its wait (before it counts as running work by
// itself) while `hold` is set, and counts the arrivals. Installed while it lives.
class WaitEnds {
 public:
  WaitEnds() {
    di::setBlockingScopeEndHookForTesting([this] {
      std::unique_lock<std::mutex> lock(mu_);
      ++arrived_;
      cv_.wait(lock, [&] { return !hold_; });
    });
  }
  ~WaitEnds() { di::setBlockingScopeEndHookForTesting(nullptr); }
  void hold(bool on) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      hold_ = on;
    }
    cv_.notify_all();
  }
  int arrived() {
    std::lock_guard<std::mutex> lock(mu_);
    return arrived_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool hold_ = false;
  int arrived_ = 0;
};

}  // namespace

// Signals, timeouts and spare signals: each woken waiter counts as runnable from its wake on,
// before its thread has run; a waiter leaves the wait's lock before its wait ends, so every
// waiter of one semaphore or group ends its wait while another is held there; and the counts
// come back to zero.
TEST(WaitWake, SignalsTimeoutsAndSpareSignalsLeaveTheCountsBalanced) {
  testing_loop::VirtualClockScope clock;
  auto sema = dispatch_semaphore_create(0);
  auto group = dispatch_group_create();
  auto bg = dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0);
  constexpr int kWaiters = 4;
  std::atomic<int> granted{0}, timedOut{0}, groupTimedOut{0};
  dispatch_group_enter(group);
  dispatch_time_t deadline = dispatch_time(DISPATCH_TIME_NOW, 5 * NSEC_PER_SEC);
  {
    WaitEnds ends;
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
    EXPECT_EQ(di::outstandingWork(), 2 * kWaiters);

    // Two signals each hand their unit to a waiter, which is runnable from then on.
    ends.hold(true);
    EXPECT_EQ(dispatch_semaphore_signal(sema), 1);
    EXPECT_EQ(dispatch_semaphore_signal(sema), 1);
    EXPECT_TRUE(testing_loop::runUntil([&] { return ends.arrived() == 2; }, 5)) << ends.arrived();
    EXPECT_EQ(di::runnableWork(), 2);
    ends.hold(false);
    EXPECT_TRUE(testing_loop::runUntil(
        [&] { return granted == 2 && di::outstandingWork() == 2 * kWaiters - 2; }));

    // The rest time out, the semaphore's and the group's waiters alike.
    ends.hold(true);
    testing_loop::advance(6);
    EXPECT_TRUE(testing_loop::runUntil([&] { return ends.arrived() == 2 + 3 * kWaiters / 2; }, 5))
        << ends.arrived();
    EXPECT_EQ(di::runnableWork(), 3 * kWaiters / 2);
    ends.hold(false);
    ASSERT_TRUE(testing_loop::runUntil(
        [&] { return granted + timedOut == kWaiters && groupTimedOut == kWaiters; }));
  }
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
