#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/DispatchInternal.h"
#include "platform/dispatch/NSTimer.h"
#include "platform/dispatch/RunLoop.h"
#include "testing/loop/Pump.h"

using namespace plat;

namespace {

DispatchSourceRef makeTimer(const DispatchQueueRef& q, double start, double interval,
                            std::vector<std::pair<double, unsigned long>>* log) {
  auto s = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, q);
  dispatch_source_set_timer(
      s, dispatch_time_after_seconds(start),
      interval > 0 ? static_cast<uint64_t>(interval * 1e9) : DISPATCH_TIME_FOREVER, 0);
  std::weak_ptr<DispatchSource> weak = s;
  dispatch_source_set_event_handler(s, [weak, log] {
    log->emplace_back(Clock::nowSeconds(), dispatch_source_get_data(weak.lock()));
  });
  return s;
}

}  // namespace

TEST(TimerSource, FiresOnTheVirtualClockAndStopsAfterCancel) {
  testing_loop::VirtualClockScope clock;
  double t0 = clock.now();
  std::vector<std::pair<double, unsigned long>> log;
  auto q = dispatch_queue_create("test.timer");
  auto repeating = makeTimer(q, 1.0, 2.0, &log);
  testing_loop::advance(10);
  EXPECT_TRUE(log.empty()) << "inactive sources deliver nothing";
  t0 = clock.now();
  dispatch_source_set_timer(repeating, dispatch_time_after_seconds(1.0), 2 * NSEC_PER_SEC, 0);
  dispatch_activate(repeating);
  testing_loop::advance(5.5);
  ASSERT_EQ(log.size(), 3u);  // at 1, 3, 5
  EXPECT_NEAR(log[0].first - t0, 1.0, 1e-6);
  EXPECT_NEAR(log[2].first - t0, 5.0, 1e-6);
  EXPECT_EQ(log[0].second, 1u);

  std::atomic<int> cancels{0};
  dispatch_source_set_cancel_handler(repeating, [&] { ++cancels; });
  dispatch_source_cancel(repeating);
  dispatch_source_cancel(repeating);
  testing_loop::advance(10);
  EXPECT_EQ(log.size(), 3u);
  EXPECT_EQ(cancels, 1);
  EXPECT_NE(dispatch_source_testcancel(repeating), 0);
}

TEST(TimerSource, SuspendMergesFiresAndResumeDeliversThemOnce) {
  testing_loop::VirtualClockScope clock;
  std::vector<std::pair<double, unsigned long>> log;
  auto s = makeTimer(dispatch_get_main_queue(), 1.0, 1.0, &log);
  dispatch_resume(s);  // resume of an inactive source activates it
  testing_loop::advance(1.0);
  ASSERT_EQ(log.size(), 1u);
  dispatch_suspend(s);
  testing_loop::advance(3.0);
  EXPECT_EQ(log.size(), 1u);
  dispatch_resume(s);
  testing_loop::runUntilIdle();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1].second, 3u);  // three fires merged

  std::atomic<int> reports{0};
  dispatch_set_misuse_handler([&](const std::string&) { ++reports; });
  dispatch_resume(s);
  EXPECT_EQ(reports, 1);
  dispatch_set_misuse_handler(nullptr);

  // A source cancelled while suspended runs its cancel handler on resume, and no more events.
  std::atomic<int> cancels{0};
  dispatch_source_set_cancel_handler(s, [&] { ++cancels; });
  dispatch_suspend(s);
  dispatch_source_cancel(s);
  testing_loop::advance(2.0);
  EXPECT_EQ(cancels, 0);
  dispatch_resume(s);
  testing_loop::runUntilIdle();
  EXPECT_EQ(cancels, 1);
  EXPECT_EQ(log.size(), 2u);
}

TEST(TimerSource, OneShotTimersOnSeveralQueuesFireInTimeOrder) {
  testing_loop::VirtualClockScope clock;
  std::mutex mu;
  std::vector<int> order;
  std::vector<DispatchSourceRef> sources;
  int delays[] = {5, 1, 4, 2, 3};
  for (int d : delays) {
    auto s = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0,
                                    dispatch_queue_create("test.oneshot"));
    dispatch_source_set_timer(s, dispatch_time(DISPATCH_TIME_NOW, d * NSEC_PER_SEC),
                              DISPATCH_TIME_FOREVER, 0);
    dispatch_source_set_event_handler(s, [&, d] {
      std::lock_guard<std::mutex> lock(mu);
      order.push_back(d);
    });
    dispatch_activate(s);
    sources.push_back(s);
  }
  testing_loop::advance(10);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5}));
}

// A log file roll cancels the rolled file's age timer: neither the cancelled timer nor an
// old schedule that was replaced may stay in the deadline heap (holding the source and its
// handlers) until its due time.
TEST(TimerSource, CancelAndResetFreeTheirPendingDeadlines) {
  testing_loop::VirtualClockScope clock;
  size_t before = dispatch_internal::scheduledCountForTesting();
  auto q = dispatch_queue_create("test.rolls");
  std::atomic<int> cancels{0}, fires{0};
  std::vector<std::weak_ptr<DispatchSource>> gone;
  for (int i = 0; i < 500; ++i) {
    auto s = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, q);
    dispatch_source_set_timer(s, dispatch_time(DISPATCH_TIME_NOW, 86400 * NSEC_PER_SEC),
                              i % 2 ? DISPATCH_TIME_FOREVER : 3600 * NSEC_PER_SEC, 0);
    dispatch_source_set_event_handler(s, [&] { ++fires; });
    dispatch_source_set_cancel_handler(s, [&] { ++cancels; });
    dispatch_activate(s);
    dispatch_source_cancel(s);
    gone.push_back(s);
  }
  EXPECT_LE(dispatch_internal::scheduledCountForTesting(), before);
  ASSERT_TRUE(testing_loop::runUntil([&] { return cancels.load() == 500; }));
  ASSERT_TRUE(testing_loop::runUntilIdle());
  int alive = 0;
  for (auto& w : gone) alive += !w.expired();
  EXPECT_EQ(alive, 0) << "cancelled timers are still held";

  // A schedule set again replaces the old one in the heap.
  auto kept = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, q);
  dispatch_source_set_event_handler(kept, [&] { ++fires; });
  dispatch_activate(kept);
  for (int i = 1; i <= 200; ++i)
    dispatch_source_set_timer(kept, dispatch_time(DISPATCH_TIME_NOW, i * NSEC_PER_SEC),
                              DISPATCH_TIME_FOREVER, 0);
  EXPECT_LE(dispatch_internal::scheduledCountForTesting(), before + 1);
  testing_loop::advance(300);
  EXPECT_EQ(fires.load(), 1);
  dispatch_source_cancel(kept);
  testing_loop::runUntilIdle();
}

// "Never" written as a huge interval or time: deadlines saturate instead of wrapping into the
// past, where they would fire without end.
TEST(TimerSource, DeadlinesNearTheLargestTimeSaturate) {
  testing_loop::VirtualClockScope clock;
  EXPECT_EQ(dispatch_time(DISPATCH_TIME_NOW, INT64_MAX), DISPATCH_TIME_FOREVER);
  EXPECT_EQ(dispatch_time(uint64_t(INT64_MAX) + 10, -100), DISPATCH_TIME_FOREVER);
  EXPECT_EQ(dispatch_time(uint64_t(INT64_MAX) - 10, 100), DISPATCH_TIME_FOREVER);

  auto q = dispatch_queue_create("test.never");
  std::atomic<int> fires{0}, late{0};
  auto s = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, q);
  dispatch_source_set_timer(s, DISPATCH_TIME_NOW, uint64_t(INT64_MAX) - 1, 0);
  dispatch_source_set_event_handler(s, [&] { ++fires; });
  dispatch_activate(s);
  auto never = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, q);
  dispatch_source_set_timer(never, uint64_t(INT64_MAX) + 1, NSEC_PER_SEC, 0);
  dispatch_source_set_event_handler(never, [&] { ++late; });
  dispatch_activate(never);
  dispatch_after(uint64_t(INT64_MAX) + 1, q, [&] { ++late; });
  testing_loop::advance(1);
  testing_loop::advance(86400);
  EXPECT_EQ(fires.load(), 1);
  EXPECT_EQ(late.load(), 0);
  dispatch_source_cancel(s);
  dispatch_source_cancel(never);

  // A run loop timer whose interval is about INT64_MAX nanoseconds fires once.
  int timerFires = 0;
  auto timer = NSTimer::scheduledTimerWithTimeIntervalRepeatsBlock(
      9.3e9, true, [&](const NSTimerRef&) { ++timerFires; });
  timer->setFireTime(Clock::nowSeconds() + 1);
  testing_loop::advance(2);
  testing_loop::advance(86400);
  EXPECT_EQ(timerFires, 1);
  timer->invalidate();
  testing_loop::runUntilIdle();

  // A virtual clock moved by an enormous amount stops at the largest time.
  VirtualClock other;
  other.advanceBy(1e30);
  EXPECT_EQ(other.nowNanoseconds(), INT64_MAX);
}

class VnodeSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vnodeXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ / "watched.txt";
    fd_ = open(path_.c_str(), O_CREAT | O_RDWR, 0644);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override {
    if (fd_ >= 0) close(fd_);
    std::filesystem::remove_all(dir_);
  }

  // Watches the open file and returns the collected event flags.
  DispatchSourceRef watch(unsigned long mask) {
    auto s =
        dispatch_source_create(DISPATCH_SOURCE_TYPE_VNODE, fd_, mask, dispatch_get_main_queue());
    std::weak_ptr<DispatchSource> weak = s;
    dispatch_source_set_event_handler(
        s, [this, weak] { flags_ |= dispatch_source_get_data(weak.lock()); });
    dispatch_activate(s);
    return s;
  }

  std::filesystem::path dir_, path_;
  int fd_ = -1;
  unsigned long flags_ = 0;
};

TEST_F(VnodeSourceTest, SeesDeleteOfAFileThatIsStillOpen) {
  auto s = watch(DISPATCH_VNODE_DELETE | DISPATCH_VNODE_RENAME);
  std::filesystem::remove(path_);
  ASSERT_TRUE(testing_loop::runUntil([&] { return flags_ & DISPATCH_VNODE_DELETE; }));
  EXPECT_FALSE(flags_ & DISPATCH_VNODE_RENAME);
  dispatch_source_cancel(s);
}

TEST_F(VnodeSourceTest, SeesRenameAndWritesThenCancelRunsTheCancelHandler) {
  auto s = watch(DISPATCH_VNODE_RENAME | DISPATCH_VNODE_WRITE | DISPATCH_VNODE_EXTEND);
  ASSERT_EQ(write(fd_, "abc", 3), 3);
  ASSERT_TRUE(testing_loop::runUntil([&] { return flags_ & DISPATCH_VNODE_WRITE; }));
  EXPECT_TRUE(flags_ & DISPATCH_VNODE_EXTEND);
  std::filesystem::rename(path_, dir_ / "moved.txt");
  ASSERT_TRUE(testing_loop::runUntil([&] { return flags_ & DISPATCH_VNODE_RENAME; }));
  EXPECT_FALSE(flags_ & DISPATCH_VNODE_DELETE) << "not asked for";
  bool cancelled = false;
  dispatch_source_set_cancel_handler(s, [&] { cancelled = true; });
  dispatch_source_cancel(s);
  EXPECT_TRUE(testing_loop::runUntil([&] { return cancelled; }));
}

TEST_F(VnodeSourceTest, WatchesAnOpenFileWhoseNameIsAlreadyGone) {
  std::filesystem::remove(path_);
  auto s = watch(DISPATCH_VNODE_WRITE);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(write(fd_, "abc", 3), 3);
  ASSERT_TRUE(testing_loop::runUntil([&] { return flags_ & DISPATCH_VNODE_WRITE; }));
  dispatch_source_cancel(s);
}

TEST(VnodeSource, RejectsBadDescriptorsAndEmptyMasks) {
  EXPECT_EQ(dispatch_source_create(DISPATCH_SOURCE_TYPE_VNODE, 987654, DISPATCH_VNODE_DELETE,
                                   dispatch_get_main_queue()),
            nullptr);
  EXPECT_EQ(dispatch_source_create(DISPATCH_SOURCE_TYPE_VNODE, 0, 0, dispatch_get_main_queue()),
            nullptr);
}
