#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/CADisplayLink.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/NSThread.h"
#include "platform/dispatch/NSTimer.h"
#include "platform/dispatch/RunLoop.h"
#include "testing/loop/Pump.h"

using namespace plat;

TEST(RunLoopTimers, FireInTimeOrderOnTheVirtualClock) {
  testing_loop::VirtualClockScope clock;
  double t0 = clock.now();
  std::vector<std::pair<std::string, double>> fired;
  auto at = [&](const char* name) {
    return [&, name](const NSTimerRef&) { fired.emplace_back(name, clock.now() - t0); };
  };
  auto repeat = NSTimer::scheduledTimerWithTimeIntervalRepeatsBlock(1.0, true, at("r"));
  NSTimer::scheduledTimerWithTimeIntervalRepeatsBlock(2.5, false, at("once"));
  dispatch_after(1.5, dispatch_get_main_queue(), [&] { fired.emplace_back("after", clock.now() - t0); });
  testing_loop::advance(3.0);
  std::vector<std::string> names;
  for (auto& [n, t] : fired) names.push_back(n);
  EXPECT_EQ(names, (std::vector<std::string>{"r", "after", "r", "once", "r"}));
  EXPECT_NEAR(fired[3].second, 2.5, 1e-6);
  repeat->invalidate();
  testing_loop::advance(5.0);
  EXPECT_EQ(fired.size(), 5u);
}

TEST(RunLoopTimers, UserInfoInvalidateFromBlockAndModes) {
  testing_loop::VirtualClockScope clock;
  int fires = 0;
  Value seen;
  auto t = NSTimer::scheduledTimerWithTimeIntervalTargetSelectorUserInfoRepeats(
      0.5,
      [&](const NSTimerRef& timer) {
        seen = timer->userInfo();
        if (++fires == 2) timer->invalidate();
      },
      Value("payload"), true);
  EXPECT_DOUBLE_EQ(t->timeInterval(), 0.5);
  testing_loop::advance(10);
  EXPECT_EQ(fires, 2);
  EXPECT_FALSE(t->isValid());
  EXPECT_EQ(seen, Value("payload"));

  // A timer only in the tracking mode does not fire while the loop runs in the default mode.
  int tracking = 0, common = 0;
  auto loop = RunLoop::main();
  auto tt = NSTimer::timerWithTimeIntervalRepeatsBlock(1, false, [&](const NSTimerRef&) { ++tracking; });
  auto ct = NSTimer::timerWithTimeIntervalRepeatsBlock(1, false, [&](const NSTimerRef&) { ++common; });
  loop->addTimer(tt, UITrackingRunLoopMode);
  loop->addTimer(ct, kCFRunLoopCommonModes);
  testing_loop::advance(2);
  EXPECT_EQ(tracking, 0);
  EXPECT_EQ(common, 1);
  loop->runOnce(UITrackingRunLoopMode, 0);
  EXPECT_EQ(tracking, 1);
}

TEST(RunLoopTimers, ATimerIsNotFiredAgainFromANestedTurnOfItsOwnBlock) {
  // Blocks that run the loop themselves (a modal wait) see other work, not themselves again.
  testing_loop::VirtualClockScope clock;
  auto loop = RunLoop::main();
  int onceFires = 0, repeatFires = 0, depth = 0, maxDepth = 0, otherFires = 0;
  NSTimer::scheduledTimerWithTimeIntervalRepeatsBlock(1.0, false, [&](const NSTimerRef&) {
    ++onceFires;
    for (int i = 0; i < 3; ++i) loop->runOnce(kCFRunLoopDefaultMode, 0);
  });
  NSTimer::scheduledTimerWithTimeIntervalRepeatsBlock(1.0, true, [&](const NSTimerRef& t) {
    ++repeatFires;
    maxDepth = std::max(maxDepth, ++depth);
    clock.clock().advanceBy(1.0);  // due again while the block still runs
    loop->runOnce(kCFRunLoopDefaultMode, 0);
    --depth;
    if (repeatFires == 3) t->invalidate();
  });
  NSTimer::scheduledTimerWithTimeIntervalRepeatsBlock(1.5, false,
                                                      [&](const NSTimerRef&) { ++otherFires; });
  testing_loop::advance(1.0);
  testing_loop::advance(10);
  EXPECT_EQ(onceFires, 1);
  EXPECT_EQ(repeatFires, 3);
  EXPECT_EQ(maxDepth, 1);
  EXPECT_EQ(otherFires, 1) << "other timers still fire from the nested turns";
}

TEST(RunLoopTimers, AdvancingByAnEnormousTimeHoldsTheClockAtItsEnd) {
  testing_loop::VirtualClockScope clock;
  int fired = 0;
  NSTimer::scheduledTimerWithTimeIntervalRepeatsBlock(1.0, false,
                                                      [&](const NSTimerRef&) { ++fired; });
  dispatch_after(2.0, dispatch_get_main_queue(), [&] { ++fired; });
  testing_loop::advance(1e300);
  EXPECT_EQ(fired, 2);
  EXPECT_EQ(clock.clock().nowNanoseconds(), INT64_MAX);
  // Nothing is due past the clock's end, so even an endless advance returns.
  testing_loop::advance(std::numeric_limits<double>::infinity());
  EXPECT_EQ(clock.clock().nowNanoseconds(), INT64_MAX);
}

TEST(RunLoopTimers, RealClockTimerFiresWhilePumping) {
  bool fired = false;
  NSTimer::scheduledTimerWithTimeIntervalRepeatsBlock(0.01, false, [&](const NSTimerRef&) { fired = true; });
  EXPECT_TRUE(testing_loop::runUntil([&] { return fired; }, 5));
}

TEST(DisplayLink, TicksEveryFrameUnlessPaused) {
  testing_loop::VirtualClockScope clock;
  int ticks = 0;
  auto link = CADisplayLink::displayLinkWithTargetSelector([&](const CADisplayLinkRef&) { ++ticks; });
  link->addToRunLoopForMode(RunLoop::main(), kCFRunLoopCommonModes);
  testing_loop::advance(1.0 + 1e-4);
  EXPECT_EQ(ticks, 60);
  EXPECT_NEAR(link->targetTimestamp() - link->timestamp(), 1.0 / 60, 1e-9);
  link->setPaused(true);
  testing_loop::advance(1.0);
  EXPECT_EQ(ticks, 60);
  link->setPaused(false);
  testing_loop::advance(0.5 + 1e-4);
  EXPECT_EQ(ticks, 90);
  link->invalidate();
  testing_loop::advance(1.0);
  EXPECT_EQ(ticks, 90);
}

TEST(RunLoopNesting, AnItemThatSpinsTheLoopSeesEarlierWorkRunFirst) {
  // A main-queue item (or posted block) that runs the main loop until a later one has run,
  // as a modal wait does, must neither hang nor let newer work overtake older.
  for (bool usePerform : {false, true}) {
    auto post = [&](std::function<void()> f) {
      if (usePerform) {
        RunLoop::main()->perform(std::move(f));
      } else {
        dispatch_async(dispatch_get_main_queue(), std::move(f));
      }
    };
    std::vector<std::string> order;
    bool laterRan = false, waited = false;
    post([&] {
      order.push_back("spinner");
      post([&] { order.push_back("newer"); });
      waited = testing_loop::runUntil([&] { return laterRan; }, 2);
      order.push_back("spinner done");
    });
    post([&] {
      order.push_back("older");
      laterRan = true;
    });
    ASSERT_TRUE(testing_loop::runUntil([&] { return order.size() == 4; }));
    EXPECT_TRUE(waited) << (usePerform ? "perform" : "main queue");
    EXPECT_EQ(order, (std::vector<std::string>{"spinner", "older", "newer", "spinner done"}))
        << (usePerform ? "perform" : "main queue");
  }
}

TEST(Thread, RunsPostedBlocksOnItsOwnRunLoop) {
  auto thread = NSThread::detachNewThreadWithBlock([] { RunLoop::current()->run(); });
  thread->setName("test.network");
  std::thread::id ranOn;
  std::vector<int> order;
  for (int i = 0; i < 3; ++i) performSelectorOnThread(thread, [&order, i] { order.push_back(i); }, false);
  performSelectorOnThread(thread, [&] { ranOn = std::this_thread::get_id(); }, true);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  EXPECT_NE(ranOn, std::this_thread::get_id());
  EXPECT_EQ(thread->name(), "test.network");

  // Timers on that thread's loop follow the virtual clock too.
  testing_loop::VirtualClockScope clock;
  std::atomic<bool> fired{false};
  performSelectorOnThread(thread, [&] {
    NSTimer::scheduledTimerWithTimeIntervalRepeatsBlock(30, false, [&](const NSTimerRef&) { fired = true; });
  }, true);
  clock.clock().advanceBy(31);
  EXPECT_TRUE(testing_loop::runUntil([&] { return fired.load(); }, 5));

  thread->cancel();
  ASSERT_TRUE(testing_loop::runUntil([&] { return thread->isFinished(); }, 5));
  bool late = false;
  performSelectorOnThread(thread, [&] { late = true; }, true);  // returns, does not hang
  EXPECT_FALSE(late);
}

TEST(Thread, PerformOnMainThreadWaitsFromBackground) {
  std::atomic<bool> done{false};
  bool ranOnMain = false;
  std::thread bg([&] {
    performSelectorOnMainThread([&] { ranOnMain = NSThread::isMainThread(); }, true);
    done = true;
  });
  EXPECT_TRUE(testing_loop::runUntil([&] { return done.load(); }));
  bg.join();
  EXPECT_TRUE(ranOnMain);
}

// The system name is kept per thread: it must still follow every rename that can happen.
TEST(Thread, KeptSystemNameFollowsRenames) {
  std::string unnamed, named;
  std::thread([&] {
    unnamed = std::string(currentThreadName());
    setCurrentThreadName("test.name.longer.than.the.system.keeps");
    named = std::string(currentThreadName());
  }).join();
  EXPECT_EQ(unnamed, "");
  EXPECT_EQ(named, "test.name.longe");

  // A job that renames the pool worker it borrows by the system's own call: the next job on
  // that worker sees the new name.
  auto sema = dispatch_semaphore_create(0);
  auto queue = dispatch_get_global_queue(QOS_CLASS_UTILITY, 0);
  pthread_t renamedWorker{};
  std::string before;
  dispatch_async(queue, [&] {
    before = std::string(currentThreadName());
    renamedWorker = pthread_self();
    pthread_setname_np(pthread_self(), "test.borrowed");
    dispatch_semaphore_signal(sema);
  });
  dispatch_semaphore_wait(sema, DISPATCH_TIME_FOREVER);
  std::string seen;
  for (int attempt = 0; attempt < 10000 && seen.empty(); ++attempt) {
    dispatch_async(queue, [&] {
      if (pthread_equal(pthread_self(), renamedWorker)) {
        seen = std::string(currentThreadName());
        setCurrentThreadName(program_invocation_short_name);  // reads as unnamed again
      }
      dispatch_semaphore_signal(sema);
    });
    dispatch_semaphore_wait(sema, DISPATCH_TIME_FOREVER);
  }
  EXPECT_EQ(before, "");
  EXPECT_EQ(seen, "test.borrowed");
}

TEST(ClockSwap, PendingWorkKeepsItsRemainingTime) {
  bool afterFired = false, timerFired = false;
  auto bg = dispatch_queue_create("test.swap");
  // Shared: the work left behind below outlives this test.
  auto bgFired = std::make_shared<std::atomic<bool>>(false);
  dispatch_after(5.0, dispatch_get_main_queue(), [&] { afterFired = true; });
  dispatch_after(5.0, bg, [bgFired] { *bgFired = true; });
  NSTimer::scheduledTimerWithTimeIntervalRepeatsBlock(5.0, false, [&](const NSTimerRef&) { timerFired = true; });
  {
    testing_loop::VirtualClockScope clock;
    testing_loop::advance(4.0);
    EXPECT_FALSE(afterFired || timerFired || *bgFired);
    testing_loop::advance(1.5);
    EXPECT_TRUE(afterFired && timerFired && *bgFired);
    // Work left behind when the test's clock goes away does not all fire at once.
    dispatch_after(60.0, bg, [bgFired] { *bgFired = false; });
  }
  testing_loop::runUntilIdle();
  EXPECT_TRUE(*bgFired);
}

TEST(ClockSwap, RepeatedSwapsNeverFireWorkEarly) {
  // Work scheduled just before each swap (either way) must not be judged against the new
  // clock before its deadline has moved over.
  auto bg = dispatch_queue_create("test.swap.repeat");
  auto early = std::make_shared<std::atomic<int>>(0);
  for (int i = 0; i < 30; ++i) {
    auto fired = std::make_shared<std::atomic<int>>(0);
    dispatch_after(5.0, bg, [fired] { ++*fired; });
    NSTimer::scheduledTimerWithTimeIntervalRepeatsBlock(5.0, false,
                                                        [fired](const NSTimerRef&) { ++*fired; });
    {
      testing_loop::VirtualClockScope clock;
      testing_loop::advance(4.0);
      ASSERT_EQ(fired->load(), 0) << "swap " << i;
      testing_loop::advance(1.5);
      ASSERT_EQ(fired->load(), 2) << "swap " << i;
      dispatch_after(1000.0, bg, [early] { ++*early; });  // outlives every later advance
    }
    testing_loop::runUntilIdle();
    ASSERT_EQ(early->load(), 0) << "swap " << i;
  }
}
