// The channel SDK entry: update gate, logout, role reports, incoming URLs, orientations.

#include <gtest/gtest.h>

#include "channel/core/HVmsSDK.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/foundation/DeviceRoot.h"
#include "platform/network/NSURLCache.h"
#include "testing/device/TempDeviceRoot.h"

using plat::Dictionary;
using plat::NSURL;
using plat::Value;

namespace {

struct RecordingChannel : HVmsSDK::Channel {
  int loginWindows = 0, updatePrompts = 0, hidden = 0, heartbeatsCancelled = 0;
  bool logoutAccepted = true;
  Dictionary lastRole;
  std::vector<std::string> paymentURLs;
  void openLoginWindow(HVmsSDK::LoginSuccess, HVmsSDK::LoginFailure) override { ++loginWindows; }
  void showUpdatePrompt(const std::string&) override { ++updatePrompts; }
  void hideHelperButton() override { ++hidden; }
  void cancelOnlineTimeHeartbeat() override { ++heartbeatsCancelled; }
  void sendLogout(std::function<void(bool)> done) override { done(logoutAccepted); }
  void sendRole(const Dictionary& fields, std::function<void(bool)> done) override {
    lastRole = fields;
    done(true);
  }
  void processPaymentResult(const plat::NSURLRef& url) override {
    paymentURLs.push_back(url->absoluteString());
  }
};

class HVmsSDKTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HVmsSDK::setChannel(channel);
    bundle.writePlist("HV.plist", Value(Dictionary{{"gameId", "77"}}));
    HVmsSDK::didFinishLaunching();
  }
  void TearDown() override {
    HVmsSDK::resetForTesting();
    if (observer) plat::NSNotificationCenter::defaultCenter().removeObserver(observer);
  }
  std::shared_ptr<RecordingChannel> channel = std::make_shared<RecordingChannel>();
  testing_device::TempDeviceRoot root;
  testing_device::TempAppBundle bundle;
  plat::NSNotificationCenter::ObserverToken observer;
};

TEST_F(HVmsSDKTest, AnUpdateURLRefusesLoginWithMinusTen) {
  int64_t code = 0;
  std::string message;
  HVmsSDK::loadLoginViewResultSuccessFailed(nullptr, [&](int64_t c, const std::string& m) {
    code = c;
    message = m;
  });
  EXPECT_EQ(channel->loginWindows, 1);
  EXPECT_EQ(code, 0);

  HVmsSDK::setUpdateURL("https://update.example/");
  HVmsSDK::loadLoginViewResultSuccessFailed(nullptr, [&](int64_t c, const std::string& m) {
    code = c;
    message = m;
  });
  EXPECT_EQ(code, -10);
  EXPECT_EQ(message, "SDK需要更新");
  EXPECT_EQ(channel->updatePrompts, 1);
  EXPECT_EQ(channel->loginWindows, 1);
}

TEST_F(HVmsSDKTest, RoleReportsNeedTheFirstFiveFields) {
  std::vector<int64_t> results;
  auto block = [&](int64_t r) { results.push_back(r); };
  HVmsSDK::SetUserInfoDataWithRoleIdRoleNameRoleLevelZoneIdZoneNameAttachBlock("1", "n", "", "z",
                                                                               "zn", "", block);
  HVmsSDK::SetUserInfoDataWithRoleIdRoleNameRoleLevelZoneIdZoneNameAttachBlock("1", "n", "3", "z",
                                                                               "zn", "x", block);
  EXPECT_EQ(results, (std::vector<int64_t>{2, 1}));
  EXPECT_EQ(channel->lastRole, (Dictionary{{"roleId", "1"},
                                           {"roleName", "n"},
                                           {"roleLevel", "3"},
                                           {"zoneId", "z"},
                                           {"zoneName", "zn"},
                                           {"ext", "x"}}));
}

TEST_F(HVmsSDKTest, QuickLoginAndPaymentURLsNeedTheGamesScheme) {
  int posts = 0;
  observer = plat::NSNotificationCenter::defaultCenter().addObserverForNameObjectQueueUsingBlock(
      kHVSendKiteLoginNotification, Value(), nullptr,
      [&](const plat::NSNotification&) { ++posts; });

  HVmsSDK::applicationOpenURLOptions(
      nullptr, NSURL::URLWithString("HalvikOrbPayScheme77://ZRK_KITE&bob&x&secret"), Value());
  EXPECT_EQ(posts, 1);
  EXPECT_EQ(HVmsSDK::storedUserName(), "bob");
  EXPECT_EQ(HVmsSDK::storedPassword(), "secret");

  // No "&": nothing to take, nothing posted.
  HVmsSDK::applicationHandleOpenURL(nullptr,
                                    NSURL::URLWithString("HalvikOrbPayScheme77://ZRK_KITE"));
  // Another game's scheme is not ours.
  HVmsSDK::applicationHandleOpenURL(nullptr,
                                    NSURL::URLWithString("HalvikOrbPayScheme78://ZRK_KITE&eve&pw"));
  HVmsSDK::applicationHandleOpenURL(nullptr, nullptr);
  EXPECT_EQ(posts, 1);
  EXPECT_EQ(HVmsSDK::storedUserName(), "bob");

  HVmsSDK::applicationOpenURLSourceApplicationAnnotation(
      nullptr, NSURL::URLWithString("HalvikOrbPayScheme77://safepay/?result=1"), "app", Value());
  EXPECT_EQ(channel->paymentURLs,
            std::vector<std::string>{"HalvikOrbPayScheme77://safepay/?result=1"});
}

TEST_F(HVmsSDKTest, LogoutForgetsTheUserOnlyWhenTheServerAccepts) {
  HVmsSDK::applicationHandleOpenURL(nullptr,
                                    NSURL::URLWithString("HalvikOrbPayScheme77://ZRK_KITE&bob&pw"));
  channel->logoutAccepted = false;
  HVmsSDK::LoginOut();
  EXPECT_EQ(HVmsSDK::storedUserName(), "bob");
  EXPECT_EQ(HVmsSDK::loginStyle(), 2);
  channel->logoutAccepted = true;
  HVmsSDK::LoginOut();
  EXPECT_EQ(HVmsSDK::storedUserName(), "");
  EXPECT_EQ(channel->hidden, 2);
  EXPECT_EQ(channel->heartbeatsCancelled, 2);
}

TEST_F(HVmsSDKTest, StartUpInstallsTheSharedURLCache) {
  auto cache = plat::NSURLCache::sharedURLCache();
  EXPECT_EQ(cache->memoryCapacity(), kHVURLCacheMemoryCapacity);
  EXPECT_EQ(cache->diskCapacity(), kHVURLCacheDiskCapacity);
  EXPECT_EQ(cache->diskPath(), plat::DeviceRoot::cachesPath() + "/" + kHVURLCacheFolder);
  EXPECT_EQ(HVmsSDK::gameId(), "77");
  // A numeric game id counts as its text; a configuration that is no dictionary gives none.
  bundle.writePlist("HV.plist", Value(Dictionary{{"gameId", 78}}));
  HVmsSDK::didFinishLaunching();
  EXPECT_EQ(HVmsSDK::gameId(), "78");
  bundle.writePlist("HV.plist", Value(plat::Array{"gameId"}));
  HVmsSDK::didFinishLaunching();
  EXPECT_EQ(HVmsSDK::gameId(), "");
}

TEST(HVmsSDKBeforeStartUpTest, URLsAreIgnoredUntilTheGameIdIsKnown) {
  testing_device::TempAppBundle bundle;
  auto channel = std::make_shared<RecordingChannel>();
  HVmsSDK::setChannel(channel);
  int posts = 0;
  auto observer =
      plat::NSNotificationCenter::defaultCenter().addObserverForNameObjectQueueUsingBlock(
          kHVSendKiteLoginNotification, Value(), nullptr,
          [&](const plat::NSNotification&) { ++posts; });
  HVmsSDK::applicationHandleOpenURL(nullptr,
                                    NSURL::URLWithString("HalvikOrbPayScheme://ZRK_KITE&eve&pw"));
  HVmsSDK::applicationOpenURLOptions(
      nullptr, NSURL::URLWithString("HalvikOrbPayScheme://safepay/?r=1"), Value());
  plat::NSNotificationCenter::defaultCenter().removeObserver(observer);
  EXPECT_EQ(posts, 0);
  EXPECT_EQ(HVmsSDK::storedUserName(), "");
  EXPECT_EQ(HVmsSDK::storedPassword(), "");
  EXPECT_TRUE(channel->paymentURLs.empty());
  HVmsSDK::resetForTesting();
}

// With no channel installed there is no login window or cashier to wait for: both fail at
// once with the unavailable code, and a role call fails.
TEST(HVmsSDKWithoutAChannelTest, LoginAndCashierFailAtOnce) {
  HVmsSDK::resetForTesting();
  std::vector<int64_t> codes;
  HVmsSDK::loadLoginViewResultSuccessFailed(
      [&](const std::string&, const std::string&, const std::string&, const std::string&) {
        codes.push_back(1);
      },
      [&](int64_t code, const std::string& message) {
        codes.push_back(code);
        EXPECT_EQ(message, kHVChannelUnavailableMessage);
      });
  HVmsSDK::loadToPayVCWithroleidMoneyServeridProductNameProductDescAttachSuccessFaild(
      "r", "6.00", "s", "gem", "gem", "K1", [&](const Value&, const Value&) { codes.push_back(1); },
      [&](const Value&, int64_t code, const Value&) { codes.push_back(code); });
  HVmsSDK::SetUserInfoDataWithRoleIdRoleNameRoleLevelZoneIdZoneNameAttachBlock(
      "r", "Ann", "1", "z", "Zone", "", [&](int64_t result) { codes.push_back(result); });
  EXPECT_EQ(codes, (std::vector<int64_t>{kHVChannelUnavailableCode, kHVChannelUnavailableCode, 0}));
  EXPECT_FALSE(HVmsSDK::hasChannel());
}

TEST(HVmsSDKOrientationTest, MaskFollowsTheInfoPlistList) {
  auto mask = [](plat::Array list, bool present = true) {
    testing_device::TempAppBundle b(
        present ? Dictionary{{"UISupportedInterfaceOrientations", Value(list)}}
                : Dictionary{{"CFBundleIdentifier", "x"}});
    return HVmsSDK::applicationSupportedInterfaceOrientationsForWindow(nullptr, nullptr);
  };
  EXPECT_EQ(mask({"UIInterfaceOrientationPortrait", "UIInterfaceOrientationLandscapeLeft"}), 26);
  EXPECT_EQ(mask({"UIInterfaceOrientationPortrait"}), 2);
  EXPECT_EQ(mask({"UIInterfaceOrientationLandscapeRight"}), 24);
  EXPECT_EQ(mask({}), 24);
  EXPECT_EQ(mask({}, false), 24);
}

}  // namespace
