#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/dispatch/Dispatch.h"
#include "testing/loop/Pump.h"

using namespace plat;

TEST(Group, WaitAndNotifyFollowEnterLeaveAndAsyncWork) {
  auto group = dispatch_group_create();
  auto q = dispatch_queue_create("test.group", DISPATCH_QUEUE_CONCURRENT);
  std::atomic<int> done{0};
  std::atomic<int> doneAtNotify{-1};
  bool notifiedOnMain = false;
  dispatch_group_enter(group);
  for (int i = 0; i < 20; ++i) dispatch_group_async(group, q, [&] { ++done; });
  dispatch_group_notify(group, dispatch_get_main_queue(), [&] {
    doneAtNotify = done.load();
    notifiedOnMain = dispatch_is_main_thread();
  });
  EXPECT_NE(dispatch_group_wait(group, DISPATCH_TIME_NOW), 0);  // the manual enter holds it
  std::thread leaver([&] { dispatch_group_leave(group); });
  EXPECT_EQ(dispatch_group_wait(group, DISPATCH_TIME_FOREVER), 0);
  leaver.join();
  EXPECT_EQ(done, 20);
  ASSERT_TRUE(testing_loop::runUntil([&] { return doneAtNotify >= 0; }));
  EXPECT_EQ(doneAtNotify, 20);
  EXPECT_TRUE(notifiedOnMain);

  // Notify on an empty group runs at once (on its queue).
  bool emptyNotified = false;
  dispatch_group_notify(group, dispatch_get_main_queue(), [&] { emptyNotified = true; });
  EXPECT_TRUE(testing_loop::runUntil([&] { return emptyNotified; }));
}

TEST(Group, TimedWaitEndsWhenTheVirtualClockPassesTheDeadline) {
  testing_loop::VirtualClockScope clock;
  auto group = dispatch_group_create();
  dispatch_group_enter(group);
  std::atomic<long> result{-1};
  dispatch_time_t deadline = dispatch_time(DISPATCH_TIME_NOW, 5 * NSEC_PER_SEC);
  std::thread waiter([&] { result = dispatch_group_wait(group, deadline); });
  testing_loop::advance(4.9);
  EXPECT_EQ(result, -1);
  testing_loop::advance(0.2);
  waiter.join();
  EXPECT_NE(result, 0);
  dispatch_group_leave(group);
  EXPECT_EQ(dispatch_group_wait(group, DISPATCH_TIME_NOW), 0);
}

TEST(Group, UnbalancedLeaveIsReportedAndIgnored) {
  std::atomic<int> reports{0};
  dispatch_set_misuse_handler([&](const std::string&) { ++reports; });
  auto group = dispatch_group_create();
  dispatch_group_leave(group);
  EXPECT_EQ(reports, 1);
  dispatch_group_enter(group);
  EXPECT_NE(dispatch_group_wait(group, DISPATCH_TIME_NOW), 0);  // count did not go negative
  dispatch_group_leave(group);
  EXPECT_EQ(dispatch_group_wait(group, DISPATCH_TIME_NOW), 0);
  dispatch_set_misuse_handler(nullptr);
}

TEST(Semaphore, CountsSignalsAndTimesOut) {
  EXPECT_EQ(dispatch_semaphore_create(-1), nullptr);
  auto sema = dispatch_semaphore_create(2);
  EXPECT_EQ(dispatch_semaphore_wait(sema, DISPATCH_TIME_NOW), 0);
  EXPECT_EQ(dispatch_semaphore_wait(sema, DISPATCH_TIME_NOW), 0);
  EXPECT_NE(dispatch_semaphore_wait(sema, DISPATCH_TIME_NOW), 0);
  EXPECT_NE(dispatch_semaphore_wait(sema, dispatch_time(DISPATCH_TIME_NOW, 1000)), 0);

  std::atomic<long> got{-1};
  std::thread waiter([&] { got = dispatch_semaphore_wait(sema, DISPATCH_TIME_FOREVER); });
  dispatch_semaphore_signal(sema);  // before or after the waiter blocks: either way it gets it
  waiter.join();
  EXPECT_EQ(got, 0);
}

TEST(Semaphore, BackgroundWaitTimesOutWhenTheVirtualClockIsAdvanced) {
  // A background request awaited with a semaphore and a timeout, with no answer coming.
  testing_loop::VirtualClockScope clock;
  auto sema = dispatch_semaphore_create(0);
  std::atomic<long> result{-1};
  dispatch_async(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT), [&] {
    result = dispatch_semaphore_wait(sema, dispatch_time(DISPATCH_TIME_NOW, 10 * NSEC_PER_SEC));
  });
  testing_loop::advance(9);
  EXPECT_EQ(result, -1);
  testing_loop::advance(2);
  EXPECT_NE(result, -1) << "advance returns once the timed-out wait has moved on";
  EXPECT_NE(result, 0);
}

TEST(Once, RunsExactlyOnceAcrossThreads) {
  dispatch_once_t once{};  // fresh in each run of the test
  std::atomic<int> calls{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] { dispatch_once(&once, [&] { ++calls; }); });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(calls, 1);
}
