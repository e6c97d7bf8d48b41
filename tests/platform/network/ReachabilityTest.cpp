// Reachability through a scripted source: flags of targets, change callbacks on the main
// thread with their retained context, scheduling and unscheduling.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/network/SCNetworkReachability.h"
#include "testing/loop/Pump.h"

using namespace plat;
using testing_loop::runUntil;

namespace {

struct Recorder {
  std::vector<SCNetworkReachabilityFlags> flags;
  bool offMain = false;
  int retains = 0;
  int releases = 0;
};

void callback(const SCNetworkReachabilityRef&, SCNetworkReachabilityFlags flags, void* info) {
  auto* r = static_cast<Recorder*>(info);
  if (!dispatch_is_main_thread()) r->offMain = true;
  r->flags.push_back(flags);
}
const void* retainInfo(const void* info) {
  ++static_cast<Recorder*>(const_cast<void*>(info))->retains;
  return info;
}
void releaseInfo(const void* info) { ++static_cast<Recorder*>(const_cast<void*>(info))->releases; }

SCNetworkReachabilityRef zeroAddressTarget() {
  sockaddr_in6 zero{};
  zero.sin6_family = 30;  // the platform's IPv6 number, as the system passes it
  return SCNetworkReachabilityCreateWithAddress(reinterpret_cast<sockaddr*>(&zero));
}

struct ReachabilityFixture : ::testing::Test {
  std::shared_ptr<FakeReachabilitySource> source = std::make_shared<FakeReachabilitySource>(0);
  ReachabilityFixture() { ReachabilitySource::install(source); }
  ~ReachabilityFixture() override { ReachabilitySource::install(nullptr); }
};

TEST_F(ReachabilityFixture, TargetsTakeTheNetworkFlagsExceptLoopback) {
  source->setFlags(kSCNetworkReachabilityFlagsReachable | kSCNetworkReachabilityFlagsIsWWAN);
  SCNetworkReachabilityFlags flags = 0;
  EXPECT_TRUE(SCNetworkReachabilityGetFlags(zeroAddressTarget(), &flags));
  EXPECT_EQ(flags, kSCNetworkReachabilityFlagsReachable | kSCNetworkReachabilityFlagsIsWWAN);
  EXPECT_TRUE(
      SCNetworkReachabilityGetFlags(SCNetworkReachabilityCreateWithName("example.com"), &flags));
  EXPECT_EQ(flags, kSCNetworkReachabilityFlagsReachable | kSCNetworkReachabilityFlagsIsWWAN);

  source->setFlags(0);
  sockaddr_in lo{};
  lo.sin_family = AF_INET;
  lo.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_TRUE(SCNetworkReachabilityGetFlags(
      SCNetworkReachabilityCreateWithAddress(reinterpret_cast<sockaddr*>(&lo)), &flags));
  EXPECT_TRUE(flags & kSCNetworkReachabilityFlagsReachable);
  EXPECT_TRUE(flags & kSCNetworkReachabilityFlagsIsLocalAddress);

  EXPECT_FALSE(SCNetworkReachabilityCreateWithName(""));
  EXPECT_FALSE(SCNetworkReachabilityCreateWithAddress(nullptr));
  sockaddr unix{};
  unix.sa_family = AF_UNIX;
  EXPECT_FALSE(SCNetworkReachabilityCreateWithAddress(&unix));
  EXPECT_FALSE(SCNetworkReachabilityGetFlags(nullptr, &flags));
  EXPECT_EQ(flags, 0u);
}

TEST_F(ReachabilityFixture, ChangesReachTheCallbackOnTheMainThreadOncePerChange) {
  Recorder rec;
  auto target = zeroAddressTarget();
  SCNetworkReachabilityContext ctx{0, &rec, retainInfo, releaseInfo, nullptr};
  ASSERT_TRUE(SCNetworkReachabilitySetCallback(target, callback, &ctx));
  EXPECT_EQ(rec.retains, 1);
  EXPECT_FALSE(source->isWatched());
  ASSERT_TRUE(SCNetworkReachabilityScheduleWithRunLoop(target, RunLoop::main().get(),
                                                       kCFRunLoopCommonModes));
  EXPECT_TRUE(source->isWatched());

  // Changes from another thread arrive on the main thread, in order; a repeat is not a change.
  std::thread([&] {
    source->setFlags(kSCNetworkReachabilityFlagsReachable);
    source->setFlags(kSCNetworkReachabilityFlagsReachable);
    source->setFlags(kSCNetworkReachabilityFlagsReachable | kSCNetworkReachabilityFlagsIsWWAN);
  }).join();
  ASSERT_TRUE(runUntil([&] { return rec.flags.size() == 2; }, 10));
  EXPECT_FALSE(rec.offMain);
  EXPECT_EQ(rec.flags[0], kSCNetworkReachabilityFlagsReachable);
  EXPECT_EQ(rec.flags[1], kSCNetworkReachabilityFlagsReachable | kSCNetworkReachabilityFlagsIsWWAN);

  // Unscheduled: no more callbacks, and the source is no longer watched.
  ASSERT_TRUE(SCNetworkReachabilityUnscheduleFromRunLoop(target, RunLoop::main().get(),
                                                         kCFRunLoopCommonModes));
  EXPECT_FALSE(source->isWatched());
  source->setFlags(0);
  testing_loop::runUntilIdle();
  EXPECT_EQ(rec.flags.size(), 2u);

  // Replacing the callback releases the old context; destroying the target the new one.
  Recorder other;
  SCNetworkReachabilityContext ctx2{0, &other, retainInfo, releaseInfo, nullptr};
  SCNetworkReachabilitySetCallback(target, callback, &ctx2);
  EXPECT_EQ(rec.releases, 1);
  target.reset();
  EXPECT_EQ(other.releases, 1);
}

TEST_F(ReachabilityFixture, OnlyTheMainRunLoopCanBeScheduledOnAndDestroyingUnschedules) {
  auto target = zeroAddressTarget();
  EXPECT_FALSE(SCNetworkReachabilityScheduleWithRunLoop(target, nullptr, kCFRunLoopCommonModes));
  RunLoopRef other;
  std::thread([&] { other = RunLoop::current(); }).join();
  EXPECT_FALSE(
      SCNetworkReachabilityScheduleWithRunLoop(target, other.get(), kCFRunLoopCommonModes));

  // A target destroyed while scheduled stops the watching of the network.
  ASSERT_TRUE(SCNetworkReachabilityScheduleWithRunLoop(target, RunLoop::main().get(),
                                                       kCFRunLoopCommonModes));
  EXPECT_TRUE(source->isWatched());
  target.reset();
  EXPECT_FALSE(source->isWatched());
}

// Scheduled on a dispatch queue, callbacks run on that queue without the main thread; a null
// queue ends the scheduling, and a target on the main run loop is refused a queue.
TEST_F(ReachabilityFixture, ADispatchQueueTakesTheCallbacksWithoutTheMainThread) {
  struct QueueRecorder {
    std::mutex mu;
    std::vector<SCNetworkReachabilityFlags> flags;
    bool offQueue = false;
  };
  static const char kKey = 0;
  QueueRecorder rec;
  auto queue = dispatch_queue_create("reachability.test");
  dispatch_queue_set_specific(queue, &kKey, &rec, nullptr);
  auto target = zeroAddressTarget();
  SCNetworkReachabilityContext ctx{0, &rec, nullptr, nullptr, nullptr};
  ASSERT_TRUE(SCNetworkReachabilitySetCallback(
      target,
      [](const SCNetworkReachabilityRef&, SCNetworkReachabilityFlags flags, void* info) {
        auto* r = static_cast<QueueRecorder*>(info);
        std::lock_guard<std::mutex> lock(r->mu);
        if (dispatch_get_specific(&kKey) != r) r->offQueue = true;
        r->flags.push_back(flags);
      },
      &ctx));
  ASSERT_TRUE(SCNetworkReachabilitySetDispatchQueue(target, queue));
  EXPECT_TRUE(source->isWatched());
  source->setFlags(kSCNetworkReachabilityFlagsReachable);
  // The main loop is not run: the queue alone delivers.
  dispatch_sync(queue, [] {});
  {
    std::lock_guard<std::mutex> lock(rec.mu);
    ASSERT_EQ(rec.flags,
              std::vector<SCNetworkReachabilityFlags>{kSCNetworkReachabilityFlagsReachable});
    EXPECT_FALSE(rec.offQueue);
  }
  ASSERT_TRUE(SCNetworkReachabilitySetDispatchQueue(target, nullptr));
  EXPECT_FALSE(source->isWatched());
  source->setFlags(0);
  dispatch_sync(queue, [] {});
  testing_loop::runUntilIdle();
  {
    std::lock_guard<std::mutex> lock(rec.mu);
    EXPECT_EQ(rec.flags.size(), 1u);
  }
  EXPECT_FALSE(SCNetworkReachabilitySetDispatchQueue(nullptr, queue));
  ASSERT_TRUE(SCNetworkReachabilityScheduleWithRunLoop(target, RunLoop::main().get(),
                                                       kCFRunLoopCommonModes));
  EXPECT_FALSE(SCNetworkReachabilitySetDispatchQueue(target, queue));
  SCNetworkReachabilityUnscheduleFromRunLoop(target, RunLoop::main().get(), kCFRunLoopCommonModes);
}

TEST(LinuxReachability, ReportsLoopbackOnlyMachinesHonestly) {
  // Whatever this machine has, the Linux source answers without blocking, and the answer is
  // either reachable or nothing at all.
  SCNetworkReachabilityFlags flags = 99;
  ASSERT_TRUE(SCNetworkReachabilityGetFlags(SCNetworkReachabilityCreateWithName("host"), &flags));
  EXPECT_TRUE(flags == 0 || flags == kSCNetworkReachabilityFlagsReachable);
  // Watching the machine's network starts and stops cleanly.
  auto target = SCNetworkReachabilityCreateWithName("host");
  Recorder rec;
  SCNetworkReachabilityContext ctx{0, &rec, nullptr, nullptr, nullptr};
  SCNetworkReachabilitySetCallback(target, callback, &ctx);
  EXPECT_TRUE(SCNetworkReachabilityScheduleWithRunLoop(target, RunLoop::main().get(),
                                                       kCFRunLoopCommonModes));
  EXPECT_TRUE(SCNetworkReachabilityUnscheduleFromRunLoop(target, RunLoop::main().get(),
                                                         kCFRunLoopCommonModes));
  EXPECT_TRUE(SCNetworkReachabilityScheduleWithRunLoop(target, RunLoop::main().get(),
                                                       kCFRunLoopCommonModes));
  target.reset();
  testing_loop::runUntilIdle();
  EXPECT_TRUE(rec.flags.empty());
}

size_t openDescriptors() {
  size_t n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

TEST(LinuxReachability, WatchingStartsAndStopsOftenWithoutLeavingDescriptors) {
  // Each start opens a netlink socket and a stop pipe for a watcher thread; each stop must
  // hand them back, however quickly starts and stops follow each other.
  const size_t before = openDescriptors();
  auto target = SCNetworkReachabilityCreateWithName("host");
  Recorder rec;
  SCNetworkReachabilityContext ctx{0, &rec, nullptr, nullptr, nullptr};
  SCNetworkReachabilitySetCallback(target, callback, &ctx);
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(SCNetworkReachabilityScheduleWithRunLoop(target, RunLoop::main().get(),
                                                         kCFRunLoopCommonModes));
    ASSERT_TRUE(SCNetworkReachabilityUnscheduleFromRunLoop(target, RunLoop::main().get(),
                                                           kCFRunLoopCommonModes));
  }
  target.reset();
  // The watcher threads close their ends as they leave.
  EXPECT_TRUE(runUntil([&] { return openDescriptors() <= before; }))
      << openDescriptors() << " descriptors open, " << before << " before";
}

}  // namespace
