// The network watcher and its reachability objects, driven by a fake reachability source.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "aggregation/KMNetWorkUtil.h"
#include "aggregation/KiteSDKReachability.h"
#include "platform/foundation/NSLog.h"
#include "testing/loop/Pump.h"

using namespace plat;

namespace {

constexpr SCNetworkReachabilityFlags kWiFi = kSCNetworkReachabilityFlagsReachable;
constexpr SCNetworkReachabilityFlags kCell =
    kSCNetworkReachabilityFlagsReachable | kSCNetworkReachabilityFlagsIsWWAN;

class NetworkWatcherTest : public ::testing::Test {
 protected:
  void start(SCNetworkReachabilityFlags flags) {
    source = std::make_shared<FakeReachabilitySource>(flags);
    ReachabilitySource::install(source);
    KMNetWorkUtil::resetForTesting();
    KMNetWorkUtil::setBeginInitHandler([this] { ++inits; });
    setNSLogCaptureForTesting([this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mu);
      logs.push_back(line);
    });
  }
  void TearDown() override {
    setNSLogCaptureForTesting(nullptr);
    testing_loop::runUntilIdle();
    KMNetWorkUtil::resetForTesting();
    ReachabilitySource::install(nullptr);
  }
  bool logged(const std::string& line) {
    std::lock_guard<std::mutex> lock(mu);
    return std::find(logs.begin(), logs.end(), line) != logs.end();
  }
  std::shared_ptr<FakeReachabilitySource> source;
  int inits = 0;
  std::mutex mu;
  std::vector<std::string> logs;
};

TEST_F(NetworkWatcherTest, OfflineAtStartBeginsInitOnceOnTheFirstReachableChange) {
  start(0);
  auto& util = KMNetWorkUtil::sharedInstance();
  EXPECT_EQ(util.getNetworkType(), "当前无网络连接");
  util.startNetworkNotifier();
  EXPECT_TRUE(logged("KTLog:nethasnotwork"));
  EXPECT_FALSE(util.networkAvialable());
  EXPECT_EQ(inits, 0);

  // Connection required and transient: still no network.
  source->setFlags(kSCNetworkReachabilityFlagsReachable |
                   kSCNetworkReachabilityFlagsConnectionRequired |
                   kSCNetworkReachabilityFlagsTransientConnection);
  testing_loop::runUntilIdle();
  EXPECT_EQ(inits, 0);

  source->setFlags(kCell);
  EXPECT_TRUE(testing_loop::runUntil([&] { return inits > 0; }));
  testing_loop::runUntilIdle();
  EXPECT_EQ(inits, 1) << "both reachabilities report the change; init begins once";
  EXPECT_TRUE(util.networkAvialable());
  EXPECT_TRUE(logged("KTLog:nethasworkformnotify"));
  EXPECT_EQ(util.networkType(), 1);
  EXPECT_FALSE(util.wanReach()->reachabilityObject()) << "internet notifier stopped";

  source->setFlags(0);
  testing_loop::runUntilIdle();
  source->setFlags(kWiFi);
  testing_loop::runUntilIdle();
  EXPECT_EQ(inits, 1);
  EXPECT_TRUE(util.networkAvialable());
}

TEST_F(NetworkWatcherTest, OnlineAtStartBeginsInitFromLoadAndIgnoresChanges) {
  start(kWiFi);
  KMNetWorkUtil::load();
  EXPECT_EQ(inits, 1);
  EXPECT_TRUE(logged("KTLog:nethaswork"));
  EXPECT_TRUE(KMNetWorkUtil::sharedInstance().zolneticHostAvailable());
  source->setFlags(kCell);
  testing_loop::runUntilIdle();
  source->setFlags(kWiFi);
  testing_loop::runUntilIdle();
  EXPECT_EQ(inits, 1);
}

TEST_F(NetworkWatcherTest, ReachabilityBlocksRunOnItsQueueAndStopAfterStopNotifier) {
  start(0);
  auto r = KiteSDKReachability::reachabilityForInternetConnection();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->currentReachabilityStatus(), KiteSDKReachability::NotReachable);
  EXPECT_EQ(r->currentReachabilityString(), "No Connection");
  EXPECT_EQ(r->currentReachabilityFlags(), "-- -------");

  std::atomic<int> reachable{0}, unreachable{0}, any{0};
  std::atomic<bool> onQueue{true};
  auto check = [&] {
    if (dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL) !=
        r->reachabilitySerialQueue()->label())
      onQueue = false;
  };
  r->setReachableBlock([&](const KiteSDKReachabilityRef&) {
    check();
    ++reachable;
  });
  r->setUnreachableBlock([&](const KiteSDKReachabilityRef&) {
    check();
    ++unreachable;
  });
  r->setReachabilityBlock(
      [&](const KiteSDKReachabilityRef&, SCNetworkReachabilityFlags) { ++any; });
  ASSERT_TRUE(r->startNotifier());
  EXPECT_TRUE(r->startNotifier());
  EXPECT_EQ(r->reachabilityObject(), r);

  source->setFlags(kCell);
  EXPECT_TRUE(testing_loop::runUntil([&] { return any.load() == 1; }));
  EXPECT_EQ(reachable.load(), 1);
  EXPECT_EQ(r->currentReachabilityStatus(), KiteSDKReachability::ReachableViaWWAN);
  EXPECT_EQ(r->currentReachabilityString(), "Cellular");
  EXPECT_EQ(r->currentReachabilityFlags(), "WR -------");
  r->setReachableOnWWAN(false);
  EXPECT_FALSE(r->isReachable());
  r->setReachableOnWWAN(true);

  source->setFlags(0);
  EXPECT_TRUE(testing_loop::runUntil([&] { return any.load() == 2; }));
  EXPECT_EQ(unreachable.load(), 1);
  EXPECT_TRUE(onQueue.load());

  r->stopNotifier();
  EXPECT_FALSE(r->reachabilityObject());
  source->setFlags(kWiFi);
  testing_loop::runUntilIdle();
  EXPECT_EQ(any.load(), 2);
  std::weak_ptr<KiteSDKReachability> weak = r;
  r.reset();
  EXPECT_TRUE(weak.expired()) << "a stopped reachability is not kept alive";
}

// The reference is scheduled on the object's own queue: a change reaches the blocks while
// the main thread is busy (its loop is not run here).
TEST_F(NetworkWatcherTest, ReachabilityBlocksDoNotWaitForTheMainThread) {
  start(0);
  auto r = KiteSDKReachability::reachabilityForInternetConnection();
  std::atomic<int> any{0};
  r->setReachabilityBlock(
      [&](const KiteSDKReachabilityRef&, SCNetworkReachabilityFlags) { ++any; });
  ASSERT_TRUE(r->startNotifier());
  source->setFlags(kWiFi);
  plat::dispatch_sync(r->reachabilitySerialQueue(), [] {});
  EXPECT_EQ(any.load(), 1);
  r->stopNotifier();

  // The watcher's fields have plain setters.
  auto& util = KMNetWorkUtil::sharedInstance();
  auto wan = util.wanReach();
  util.setWanReach(r);
  util.setHostReachability(nullptr);
  util.setHasNetwork(true);
  EXPECT_EQ(util.wanReach(), r);
  EXPECT_FALSE(util.hostReachability());
  EXPECT_TRUE(util.networkAvialable());
  util.setWanReach(wan);
}

TEST_F(NetworkWatcherTest, StopNotifierWaitsForARunningBlock) {
  start(0);
  auto r = KiteSDKReachability::reachabilityForInternetConnection();
  std::atomic<bool> entered{false}, stopping{false}, finished{false};
  r->setReachableBlock([&](const KiteSDKReachabilityRef&) {
    entered = true;
    while (!stopping) std::this_thread::yield();
    finished = true;
  });
  ASSERT_TRUE(r->startNotifier());
  source->setFlags(kWiFi);
  ASSERT_TRUE(testing_loop::runUntil([&] { return entered.load(); }));
  stopping = true;
  r->stopNotifier();
  EXPECT_TRUE(finished.load()) << "stopNotifier returned while the block still ran";
}

TEST(KiteSDKReachabilityTest, FactoriesAndFlagRules) {
  EXPECT_TRUE(KiteSDKReachability::isIpAddress("10.0.0.1"));
  EXPECT_FALSE(KiteSDKReachability::isIpAddress("example.com"));
  EXPECT_FALSE(KiteSDKReachability::isIpAddress("::1"));
  EXPECT_FALSE(KiteSDKReachability::reachabilityWithHostname(""));
  EXPECT_FALSE(KiteSDKReachability::reachabilityWithURL(nullptr));
  // A loopback address is always reachable and local, whatever the network does.
  auto local =
      KiteSDKReachability::reachabilityWithURL(NSURL::URLWithString("https://127.0.0.1/x"));
  ASSERT_TRUE(local);
  EXPECT_TRUE(local->isReachable());
  EXPECT_EQ(local->currentReachabilityFlags().substr(0, 2), "-R");
  EXPECT_NE(local->description().find("<KiteSDKReachability: 0x"), std::string::npos);

  auto r = KiteSDKReachability::reachabilityForLocalWiFi();
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->isReachableWithFlags(kSCNetworkReachabilityFlagsReachable |
                                       kSCNetworkReachabilityFlagsConnectionRequired |
                                       kSCNetworkReachabilityFlagsTransientConnection));
  EXPECT_TRUE(r->isReachableWithFlags(kSCNetworkReachabilityFlagsReachable |
                                      kSCNetworkReachabilityFlagsConnectionRequired));
  EXPECT_FALSE(r->isReachableWithFlags(kSCNetworkReachabilityFlagsIsWWAN));

  // The blocks read back as set; the reference is the one the object owns.
  EXPECT_FALSE(r->reachableBlock());
  int calls = 0;
  r->setReachableBlock([&](const KiteSDKReachabilityRef& o) { calls += o == r ? 1 : 100; });
  r->setReachabilityBlock(
      [&](const KiteSDKReachabilityRef&, SCNetworkReachabilityFlags f) { calls += int(f); });
  r->reachableBlock()(r);
  r->reachabilityBlock()(r, 10);
  EXPECT_EQ(calls, 11);
  EXPECT_FALSE(r->unreachableBlock());
  EXPECT_TRUE(r->reachabilityRef());
  EXPECT_NE(r->reachabilityRef(), local->reachabilityRef());
}

}  // namespace
