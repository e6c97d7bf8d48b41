#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "testing/loop/Pump.h"

using namespace plat;

namespace {

// Collects misuse reports for the duration of a test.
struct MisuseLog {
  std::mutex mu;
  std::vector<std::string> messages;
  MisuseLog() {
    dispatch_set_misuse_handler([this](const std::string& m) {
      std::lock_guard<std::mutex> lock(mu);
      messages.push_back(m);
    });
  }
  ~MisuseLog() { dispatch_set_misuse_handler(nullptr); }
  size_t count() {
    std::lock_guard<std::mutex> lock(mu);
    return messages.size();
  }
};

}  // namespace

TEST(Queue, SerialKeepsPerProducerOrderAndNeverOverlaps) {
  auto q = dispatch_queue_create("test.serial");
  std::vector<int> seen;
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  constexpr int kPerProducer = 3000;
  std::vector<std::thread> producers;
  for (int p = 0; p < 4; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        auto body = [&, p, i] {
          if (inside.fetch_add(1) != 0) overlapped = true;
          seen.push_back(p * 100000 + i);
          inside.fetch_sub(1);
        };
        // Sync callers wait in line with the async items around them.
        if (i % 50 == 0) {
          dispatch_sync(q, body);
        } else {
          dispatch_async(q, body);
        }
      }
    });
  }
  for (auto& t : producers) t.join();
  dispatch_sync(q, [] {});
  EXPECT_FALSE(overlapped);
  ASSERT_EQ(seen.size(), 4u * kPerProducer);
  std::vector<int> last(4, -1);
  for (int v : seen) {
    int p = v / 100000, i = v % 100000;
    ASSERT_EQ(i, last[p] + 1);
    last[p] = i;
  }
}

TEST(Queue, ConcurrentBarrierRunsAloneBetweenItsNeighbours) {
  auto q = dispatch_queue_create("test.concurrent", DISPATCH_QUEUE_CONCURRENT);
  std::atomic<int> running{0};
  std::atomic<int> before{0};
  std::atomic<bool> readersOverlapped{true};
  std::atomic<bool> barrierAlone{true};
  std::atomic<int> afterStartedBeforeBarrier{0};
  std::atomic<bool> barrierDone{false};
  auto gate = dispatch_semaphore_create(0);
  // The four readers only finish once all four are running at the same time.
  for (int i = 0; i < 4; ++i) {
    dispatch_async(q, [&] {
      if (++running == 4) {
        for (int j = 0; j < 4; ++j) dispatch_semaphore_signal(gate);
      }
      if (dispatch_semaphore_wait(gate, dispatch_time(DISPATCH_TIME_NOW, 20 * NSEC_PER_SEC)) != 0) {
        readersOverlapped = false;
      }
      ++before;
      --running;
    });
  }
  dispatch_barrier_async(q, [&] {
    if (running.load() != 0 || before.load() != 4) barrierAlone = false;
    barrierDone = true;
  });
  for (int i = 0; i < 4; ++i) {
    dispatch_async(q, [&] {
      if (!barrierDone) ++afterStartedBeforeBarrier;
    });
  }
  dispatch_barrier_sync(q, [] {});
  EXPECT_TRUE(barrierDone);
  EXPECT_TRUE(barrierAlone);
  EXPECT_EQ(afterStartedBeforeBarrier, 0);
  EXPECT_TRUE(readersOverlapped);
}

TEST(Queue, NestedSyncSeesInnermostLabelSpecificAndQos) {
  static int keyA, keyB;
  auto outer = dispatch_queue_create("test.outer");
  auto inner = dispatch_queue_create(
      "test.inner", dispatch_queue_attr_make_with_qos_class(DISPATCH_QUEUE_SERIAL,
                                                            QOS_CLASS_UTILITY, 0));
  int a = 1, b = 2;
  dispatch_queue_set_specific(outer, &keyA, &a);
  dispatch_queue_set_specific(inner, &keyB, &b);
  std::string outerLabel, innerLabel, afterLabel;
  void* innerSeesA = nullptr;
  void* innerSeesB = nullptr;
  void* outerSeesB = &b;
  qos_class_t innerQos = QOS_CLASS_UNSPECIFIED;
  dispatch_sync(outer, [&] {
    outerLabel = dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL);
    outerSeesB = dispatch_get_specific(&keyB);
    dispatch_sync(inner, [&] {
      innerLabel = dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL);
      innerSeesB = dispatch_get_specific(&keyB);
      innerSeesA = dispatch_get_specific(&keyA);  // not through the caller's queue
      innerQos = qos_class_self();
    });
    afterLabel = dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL);
  });
  EXPECT_EQ(outerLabel, "test.outer");
  EXPECT_EQ(innerLabel, "test.inner");
  EXPECT_EQ(afterLabel, "test.outer");
  EXPECT_EQ(outerSeesB, nullptr);
  EXPECT_EQ(innerSeesB, &b);
  EXPECT_EQ(innerSeesA, nullptr);
  EXPECT_EQ(innerQos, QOS_CLASS_UTILITY);

  // Lookups continue through target queues; the main thread is on the main queue.
  auto child = dispatch_queue_create("test.child");
  dispatch_set_target_queue(child, outer);
  void* childSeesA = nullptr;
  std::string asyncLabel;
  dispatch_async(child, [&] {
    childSeesA = dispatch_get_specific(&keyA);
    asyncLabel = dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL);
  });
  dispatch_sync(child, [] {});
  EXPECT_EQ(childSeesA, &a);
  EXPECT_EQ(asyncLabel, "test.child");
  EXPECT_EQ(dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL), "com.apple.main-thread");
  EXPECT_EQ(qos_class_self(), 33u);
  std::string globalLabel;
  dispatch_sync(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT),
                [&] { globalLabel = dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL); });
  EXPECT_EQ(globalLabel, "com.apple.root.default-qos");
  EXPECT_EQ(dispatch_queue_get_label(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_BACKGROUND)),
            "com.apple.root.background-qos");
  EXPECT_EQ(dispatch_queue_get_label(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_HIGH)),
            "com.apple.root.user-initiated-qos");
  EXPECT_EQ(dispatch_queue_get_label(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_LOW)),
            "com.apple.root.utility-qos");
}

TEST(Queue, SyncToOwnQueueIsReportedNotDeadlocked) {
  MisuseLog log;
  auto q = dispatch_queue_create("test.self");
  auto child = dispatch_queue_create("test.self.child");
  dispatch_set_target_queue(child, q);
  bool ranInner = false, ranChild = false, ranMain = false;
  dispatch_sync(q, [&] {
    dispatch_sync(q, [&] { ranInner = true; });
    dispatch_sync(child, [&] { ranChild = true; });  // child needs q, which we hold
  });
  dispatch_sync(dispatch_get_main_queue(), [&] { ranMain = true; });  // we are the main thread
  EXPECT_FALSE(ranInner);
  EXPECT_FALSE(ranChild);
  EXPECT_FALSE(ranMain);
  EXPECT_EQ(log.count(), 3u);
  // The queue still works afterwards.
  bool ranLater = false;
  dispatch_sync(q, [&] { ranLater = true; });
  EXPECT_TRUE(ranLater);

  // Inside a barrier of a concurrent queue, a plain sync to it waits for the barrier itself.
  auto conc = dispatch_queue_create("test.self.concurrent", DISPATCH_QUEUE_CONCURRENT);
  auto concChild = dispatch_queue_create("test.self.concurrent.child");
  dispatch_set_target_queue(concChild, conc);
  bool ranInBarrier = false, ranChildInBarrier = false, ranInItem = false;
  dispatch_barrier_sync(conc, [&] {
    dispatch_sync(conc, [&] { ranInBarrier = true; });
    dispatch_sync(concChild, [&] { ranChildInBarrier = true; });
  });
  dispatch_sync(conc, [&] { dispatch_sync(conc, [&] { ranInItem = true; }); });
  EXPECT_FALSE(ranInBarrier);
  EXPECT_FALSE(ranChildInBarrier);
  EXPECT_TRUE(ranInItem) << "plain items of a concurrent queue may sync to it";
  EXPECT_EQ(log.count(), 5u);
}

TEST(Queue, SyncRunsOnCallerThreadAndWaitsForEarlierWork) {
  auto q = dispatch_queue_create("test.sync");
  std::atomic<int> done{0};
  for (int i = 0; i < 100; ++i) dispatch_async(q, [&] { ++done; });
  std::thread::id ranOn;
  int doneAtSync = -1;
  dispatch_sync(q, [&] {
    ranOn = std::this_thread::get_id();
    doneAtSync = done;
  });
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_EQ(doneAtSync, 100);
}

TEST(Queue, PoolGrowsWhileWorkersWaitOnEachOther) {
  // Far more tasks than cores, each blocked until the last one starts.
  constexpr int kTasks = 64;
  auto group = dispatch_group_create();
  auto gate = dispatch_semaphore_create(0);
  std::atomic<int> started{0};
  for (int i = 0; i < kTasks; ++i) {
    dispatch_group_async(group, dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT), [&] {
      if (++started == kTasks) {
        for (int j = 0; j < kTasks; ++j) dispatch_semaphore_signal(gate);
      }
      dispatch_semaphore_wait(gate, DISPATCH_TIME_FOREVER);
    });
  }
  EXPECT_EQ(dispatch_group_wait(group, dispatch_time(DISPATCH_TIME_NOW, 30 * NSEC_PER_SEC)), 0);
}

TEST(Queue, PoolGrowsPastWorkersBlockedInWaitsItCannotSee) {
  // Tasks that wait on a plain condition variable until all of them run, more than the pool
  // keeps running by itself.
  const int tasks = static_cast<int>(std::max(4u, std::thread::hardware_concurrency())) + 4;
  struct State {
    std::mutex mu;
    std::condition_variable cv;
    int started = 0;
    std::atomic<int> finished{0};
  };
  auto state = std::make_shared<State>();
  // Workers left idle by earlier work are woken for the first tasks but take a moment to
  // wake: the later tasks must not count on them either.
  auto warm = dispatch_group_create();
  for (int i = 0; i < 4 * tasks; ++i) {
    dispatch_group_async(warm, dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT), [] {
      for (int k = 0; k < 1000; ++k) std::this_thread::yield();
    });
  }
  ASSERT_EQ(dispatch_group_wait(warm, DISPATCH_TIME_FOREVER), 0);
  for (int i = 0; i < tasks; ++i) {
    dispatch_async(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT), [state, tasks] {
      std::unique_lock<std::mutex> lock(state->mu);
      if (++state->started == tasks) state->cv.notify_all();
      state->cv.wait(lock, [&] { return state->started == tasks; });
      ++state->finished;
    });
  }
  EXPECT_TRUE(testing_loop::runUntil([&] { return state->finished == tasks; }, 30));
}

TEST(Queue, SuspendHoldsWorkUntilResumeAndOverResumeIsReported) {
  MisuseLog log;
  auto q = dispatch_queue_create("test.suspend");
  std::atomic<int> ran{0};
  dispatch_suspend(q);
  dispatch_async(q, [&] { ++ran; });
  testing_loop::runUntilIdle(0.05);  // gives the queue a chance to misbehave
  EXPECT_EQ(ran, 0);
  dispatch_resume(q);
  ASSERT_TRUE(testing_loop::runUntil([&] { return ran == 1; }));
  dispatch_resume(q);
  EXPECT_EQ(log.count(), 1u);

  auto inactive = dispatch_queue_create(
      "test.inactive", dispatch_queue_attr_make_initially_inactive(DISPATCH_QUEUE_SERIAL));
  dispatch_async(inactive, [&] { ++ran; });
  EXPECT_EQ(ran, 1);
  dispatch_activate(inactive);
  EXPECT_TRUE(testing_loop::runUntil([&] { return ran == 2; }));
}

TEST(Queue, SuspendFromInsideAnItemHoldsTheRestInOrder) {
  // Items already queued behind the suspending one wait, and keep their place ahead of work
  // queued later; the same on a serial queue and on the main queue.
  for (auto q : {dispatch_queue_create("test.suspend.inside"), dispatch_get_main_queue()}) {
    std::mutex mu;
    std::vector<int> order;
    auto note = [&](int v) {
      std::lock_guard<std::mutex> lock(mu);
      order.push_back(v);
    };
    auto seen = [&] {
      std::lock_guard<std::mutex> lock(mu);
      return order;
    };
    dispatch_async(q, [&, q] {
      note(0);
      dispatch_suspend(q);
    });
    for (int i = 1; i < 40; ++i) dispatch_async(q, [&, i] { note(i); });
    ASSERT_TRUE(testing_loop::runUntil([&] { return !seen().empty(); }));
    testing_loop::runUntilIdle(0.05);
    EXPECT_EQ(seen(), std::vector<int>{0}) << q->label();
    dispatch_async(q, [&] { note(40); });
    dispatch_resume(q);
    ASSERT_TRUE(testing_loop::runUntil([&] { return seen().size() == 41; }));
    std::vector<int> expected(41);
    for (int i = 0; i < 41; ++i) expected[i] = i;
    EXPECT_EQ(seen(), expected) << q->label();
  }
}

TEST(Queue, MainQueueRunsOnMainThreadFromBackgroundSyncAndAsync) {
  std::atomic<bool> syncDone{false};
  std::thread::id syncThread, asyncThread;
  std::atomic<bool> asyncDone{false};
  dispatch_async(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT), [&] {
    dispatch_sync(dispatch_get_main_queue(), [&] { syncThread = std::this_thread::get_id(); });
    syncDone = true;
    dispatch_async(dispatch_get_main_queue(), [&] {
      asyncThread = std::this_thread::get_id();
      asyncDone = true;
    });
  });
  ASSERT_TRUE(testing_loop::runUntil([&] { return syncDone && asyncDone; }));
  EXPECT_EQ(syncThread, std::this_thread::get_id());
  EXPECT_EQ(asyncThread, std::this_thread::get_id());
}

TEST(Queue, ApplyCoversEveryIndexOnce) {
  std::vector<std::atomic<int>> hits(1000);
  dispatch_apply(hits.size(), dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT),
                 [&](size_t i) { hits[i]++; });
  for (auto& h : hits) ASSERT_EQ(h.load(), 1);
  std::vector<size_t> order;
  dispatch_apply(5, dispatch_queue_create("test.apply"), [&](size_t i) { order.push_back(i); });
  EXPECT_EQ(order, (std::vector<size_t>{0, 1, 2, 3, 4}));
}

TEST(Queue, ApplyFinishesWhenItsHelpersCannotStart) {
  // From inside a barrier of the same queue, and on a suspended queue, the caller does the
  // work itself instead of waiting for helpers that cannot run yet.
  auto q = dispatch_queue_create("test.apply.held", DISPATCH_QUEUE_CONCURRENT);
  struct State {
    std::atomic<int> calls{0};
    std::atomic<bool> barrierDone{false}, suspendedDone{false};
  };
  auto state = std::make_shared<State>();
  dispatch_async(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT), [q, state] {
    dispatch_barrier_sync(q, [&] {
      dispatch_apply(50, q, [&](size_t) { ++state->calls; });
    });
    state->barrierDone = true;
    dispatch_suspend(q);
    dispatch_apply(50, q, [&](size_t) { ++state->calls; });
    state->suspendedDone = true;
    dispatch_resume(q);
  });
  ASSERT_TRUE(testing_loop::runUntil([&] { return state->suspendedDone.load(); }, 10))
      << "barrier apply done: " << state->barrierDone;
  EXPECT_EQ(state->calls, 100);
  EXPECT_TRUE(testing_loop::runUntilIdle());
}

TEST(Queue, DelayedWorkFollowsTheVirtualClockInTimeOrder) {
  testing_loop::VirtualClockScope clock;
  std::vector<std::string> order;
  std::mutex mu;
  auto bg = dispatch_queue_create("test.after");
  auto note = [&](const char* s) {
    std::lock_guard<std::mutex> lock(mu);
    order.push_back(s);
  };
  dispatch_after(3.0, dispatch_get_main_queue(), [&] { note("main3"); });
  dispatch_after(1.0, bg, [&] { note("bg1"); });
  dispatch_after(dispatch_time(DISPATCH_TIME_NOW, 2 * NSEC_PER_SEC), dispatch_get_main_queue(),
                 [&] { note("main2"); });
  dispatch_after(DISPATCH_TIME_FOREVER, bg, [&] { note("never"); });
  testing_loop::advance(0.5);
  EXPECT_TRUE(order.empty());
  testing_loop::advance(2.0);
  EXPECT_EQ(order, (std::vector<std::string>{"bg1", "main2"}));
  testing_loop::advance(100);
  EXPECT_EQ(order, (std::vector<std::string>{"bg1", "main2", "main3"}));
}

TEST(Queue, SerialItemBlockedInATimedWaitLeavesThePoolIdle) {
  // The items a serial queue ran before the blocked one count as done: the pool reads as
  // idle while the last one waits, so only the clock can end the wait.
  testing_loop::VirtualClockScope clock;
  auto q = dispatch_queue_create("test.blocked.after.work");
  auto sema = dispatch_semaphore_create(0);
  std::atomic<int> ran{0};
  std::atomic<long> waitResult{-1};
  for (int i = 0; i < 200; ++i) dispatch_async(q, [&] { ++ran; });
  dispatch_async(q, [&, sema] {
    waitResult = dispatch_semaphore_wait(sema, dispatch_time(DISPATCH_TIME_NOW, 5 * NSEC_PER_SEC));
  });
  EXPECT_TRUE(testing_loop::runUntilIdle(5));
  EXPECT_EQ(ran.load(), 200);
  EXPECT_EQ(waitResult.load(), -1);
  testing_loop::advance(6);
  ASSERT_TRUE(testing_loop::runUntil([&] { return waitResult.load() != -1; }));
  EXPECT_EQ(waitResult.load(), 1);
  // Once the waiting item is over, nothing is left in flight.
  EXPECT_TRUE(testing_loop::runUntilIdle(5));
}
