// Reachability status rules and monitoring through a scripted reachability source.

#include <gtest/gtest.h>

#include "net/SDPNetworkReachabilityManager.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "testing/loop/Pump.h"

namespace {

constexpr plat::SCNetworkReachabilityFlags kReachable = plat::kSCNetworkReachabilityFlagsReachable;
constexpr plat::SCNetworkReachabilityFlags kConnectionRequired =
    plat::kSCNetworkReachabilityFlagsConnectionRequired;
constexpr plat::SCNetworkReachabilityFlags kOnTraffic = plat::kSCNetworkReachabilityFlagsConnectionOnTraffic;
constexpr plat::SCNetworkReachabilityFlags kOnDemand = plat::kSCNetworkReachabilityFlagsConnectionOnDemand;
constexpr plat::SCNetworkReachabilityFlags kIntervention =
    plat::kSCNetworkReachabilityFlagsInterventionRequired;
constexpr plat::SCNetworkReachabilityFlags kWWAN = plat::kSCNetworkReachabilityFlagsIsWWAN;

class SDPNetworkReachabilityManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = std::make_shared<plat::FakeReachabilitySource>(kReachable);
    plat::ReachabilitySource::install(source_);
    token_ = plat::NSNotificationCenter::defaultCenter().addObserverForNameObjectQueueUsingBlock(
        SDPNetworkingReachabilityDidChangeNotification, plat::Value(), nullptr,
        [this](const plat::NSNotification& note) {
          events_.push_back("note:" + note.userInfo[SDPNetworkingReachabilityNotificationStatusItem].description());
        });
  }
  void TearDown() override {
    plat::NSNotificationCenter::defaultCenter().removeObserver(token_);
    plat::ReachabilitySource::install(nullptr);
  }

  std::shared_ptr<plat::FakeReachabilitySource> source_;
  plat::NSNotificationCenter::ObserverToken token_;
  std::vector<std::string> events_;
};

}  // namespace

TEST(SDPReachabilityStatusTest, FlagsMapToStatuses) {
  EXPECT_EQ(SDPStatusFromReachabilityFlags(kReachable), SDPNetworkReachabilityStatusReachableViaWiFi);
  EXPECT_EQ(SDPStatusFromReachabilityFlags(kReachable | kConnectionRequired | kOnTraffic),
            SDPNetworkReachabilityStatusReachableViaWiFi);
  EXPECT_EQ(SDPStatusFromReachabilityFlags(kReachable | kConnectionRequired | kOnTraffic | kWWAN),
            SDPNetworkReachabilityStatusReachableViaWWAN);
  EXPECT_EQ(SDPStatusFromReachabilityFlags(kReachable | kConnectionRequired | kOnDemand | kIntervention),
            SDPNetworkReachabilityStatusNotReachable);
  EXPECT_EQ(SDPStatusFromReachabilityFlags(kReachable | kConnectionRequired),
            SDPNetworkReachabilityStatusNotReachable);
  EXPECT_EQ(SDPStatusFromReachabilityFlags(kWWAN | kOnTraffic | kOnDemand),
            SDPNetworkReachabilityStatusNotReachable);
  EXPECT_EQ(SDPReachabilityStatusText(2), "Reachable via WiFi");
  EXPECT_EQ(SDPReachabilityStatusText(7), "Unknown");
}

TEST_F(SDPNetworkReachabilityManagerTest, MonitoringReportsStatusBlockThenNotification) {
  auto manager = SDPNetworkReachabilityManager::manager();
  ASSERT_TRUE(manager);
  EXPECT_EQ(manager->networkReachabilityStatus(), SDPNetworkReachabilityStatusUnknown);
  EXPECT_EQ(manager->localizedNetworkReachabilityStatusString(), "Unknown");
  EXPECT_FALSE(manager->isReachable());

  manager->setReachabilityStatusChangeBlock([&](SDPNetworkReachabilityStatus status) {
    EXPECT_TRUE(plat::dispatch_is_main_thread());
    EXPECT_EQ(manager->networkReachabilityStatus(), status);  // set before the block runs
    events_.push_back("block:" + std::to_string(status));
  });
  manager->startMonitoring();
  ASSERT_TRUE(testing_loop::runUntil([&] { return events_.size() >= 2; }));
  EXPECT_EQ(events_, (std::vector<std::string>{"block:2", "note:2"}));
  EXPECT_TRUE(manager->isReachableViaWiFi());

  source_->setFlags(kReachable | kWWAN);
  ASSERT_TRUE(testing_loop::runUntil([&] { return events_.size() >= 4; }));
  EXPECT_EQ(events_[2], "block:1");
  EXPECT_TRUE(manager->isReachableViaWWAN());

  // Starting again reports the current status again.
  manager->startMonitoring();
  ASSERT_TRUE(testing_loop::runUntil([&] { return events_.size() >= 6; }));
  EXPECT_EQ(events_[4], "block:1");

  source_->setFlags(0);
  ASSERT_TRUE(testing_loop::runUntil([&] { return events_.size() >= 8; }));
  EXPECT_EQ(manager->networkReachabilityStatus(), SDPNetworkReachabilityStatusNotReachable);

  // Stopped: changes are no longer reported.
  manager->stopMonitoring();
  testing_loop::runUntilIdle();
  const size_t before = events_.size();
  source_->setFlags(kReachable);
  testing_loop::runUntilIdle();
  EXPECT_EQ(events_.size(), before);
}

// Observers of the status and of the three keys derived from it hear each change on the main
// queue, after the status is set and before the block runs.
TEST_F(SDPNetworkReachabilityManagerTest, ObserversOfDerivedKeysHearStatusChanges) {
  EXPECT_EQ(SDPNetworkReachabilityManager::keyPathsForValuesAffectingValueForKey("reachable"),
            std::set<std::string>{"networkReachabilityStatus"});
  EXPECT_TRUE(
      SDPNetworkReachabilityManager::keyPathsForValuesAffectingValueForKey("other").empty());

  auto manager = SDPNetworkReachabilityManager::manager();
  std::vector<plat::NSKeyValueObservable::ObserverToken> tokens;
  for (const char* key :
       {"networkReachabilityStatus", "reachable", "reachableViaWWAN", "reachableViaWiFi"}) {
    tokens.push_back(manager->addObserverForKeyPath(key, [&, manager](const std::string& k) {
      EXPECT_TRUE(plat::dispatch_is_main_thread());
      events_.push_back(k + "=" + std::to_string(manager->networkReachabilityStatus()));
    }));
  }
  manager->setReachabilityStatusChangeBlock(
      [&](SDPNetworkReachabilityStatus status) { events_.push_back("block"); });
  manager->startMonitoring();
  ASSERT_TRUE(testing_loop::runUntil([&] { return events_.size() >= 6; }));
  EXPECT_EQ(events_, (std::vector<std::string>{"networkReachabilityStatus=2", "reachable=2",
                                               "reachableViaWWAN=2", "reachableViaWiFi=2", "block",
                                               "note:2"}));
  manager->stopMonitoring();
  for (const auto& token : tokens) manager->removeObserverForKeyPath(token);
  manager->setReachabilityStatusChangeBlock(nullptr);
  testing_loop::runUntilIdle();
}

TEST_F(SDPNetworkReachabilityManagerTest, ManagersForHostsAndDestruction) {
  EXPECT_FALSE(SDPNetworkReachabilityManager::managerForDomain(""));
  auto host = SDPNetworkReachabilityManager::managerForDomain("example.com");
  ASSERT_TRUE(host);
  host->startMonitoring();
  // A manager destroyed before its first report is simply not updated (no crash).
  host.reset();
  ASSERT_TRUE(testing_loop::runUntil([&] { return !events_.empty(); }));
  EXPECT_EQ(events_[0], "note:2");
  EXPECT_EQ(SDPNetworkReachabilityManager::sharedManager(), SDPNetworkReachabilityManager::sharedManager());
}
