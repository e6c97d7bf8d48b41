// The game's account and payment roads end to end: page script in the real web view drives
// KiteSDK_IOS through the bridge, the application's SDK talks to the loopback aggregation
// server, a scripted channel SDK plays the login window and cashier, and the outcomes come
// back to the page's onLogin, onPay and onLogout.

#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "KRH5Plugin/IOSPlugin.h"
#include "KRH5Plugin/KiteSDKPlugin.h"
#include "KRH5Plugin/SysPlugin.h"
#include "aggregation/KMNetWorkUtil.h"
#include "aggregation/NetworkManager.h"
#include "aggregation/SDKCooperater.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/network/SCNetworkReachability.h"
#include "platform/uikit/UIAlertController.h"
#include "publish_kite/Classes/ViewController/AppDelegate.h"
#include "testing/aggregation/KiteServer.h"
#include "testing/aggregation/SDKReset.h"
#include "testing/aggregation/ScriptedChannel.h"
#include "testing/device/TempDeviceRoot.h"
#include "testing/loop/Pump.h"
#include "testing/net/LoopbackServer.h"

using namespace plat;

namespace {

constexpr const char* kPage = R"(<script>
KiteSDK_IOS.SetCallback({
  onLogin: function (r) { console.log('onLogin ' + JSON.stringify(r)); },
  onLogout: function (r) { console.log('onLogout ' + JSON.stringify(r)); },
  onPay: function (r) { console.log('onPay ' + JSON.stringify(r)); }
});
console.log('page ready');
</script>)";

class KiteSDKPage : public ::testing::Test {
 protected:
  plat::WKWebView::KeepPageLogForTesting keepPageLog;
  void start(bool online, const std::string& apiHost) {
    network = std::make_shared<FakeReachabilitySource>(online ? kSCNetworkReachabilityFlagsReachable : 0);
    ReachabilitySource::install(network);
    bundle.write("Data/index.html", kPage);
    bundle.writeInfo({{"LM_URL", "local://game/index.html"},
                      {"KITE_PRODUCT_CODE", server.options().productCode},
                      {"KITE_PRODUCT_KEY", server.options().productKey},
                      {"KITE_API_HOST", apiHost},
                      {"KITE_GATEWAY_BASE", server.gatewayBase()},
                      {"KITE_CDN_BASE", server.cdnBase()},
                      {"KITE_SERVER_LIST_BASE", server.serverListBase()}});
    testing_kite::resetAggregationSDK();
    channel = testing_kite::ScriptedChannel::install();
    KiteSDKPlugin::Register();
    SDKCooperater::load();
    KMNetWorkUtil::load();
    delegate = std::make_shared<AppDelegate>();
    delegate->applicationDidFinishLaunchingWithOptions(UIApplication::sharedApplication(), {});
    web = IOSPlugin::GetWebView();
    ASSERT_TRUE(web);
    ASSERT_TRUE(waitConsole("page ready"));
  }
  void TearDown() override {
    if (delegate) delegate->applicationWillTerminate(UIApplication::sharedApplication());
    web.reset();
    delegate.reset();
    KiteSDKPlugin::ResetForTesting();
    SysPlugin::ResetForTesting();
    IOSPlugin::ResetForTesting();
    testing_loop::runUntil([] { return NetworkManager::requestsInFlight() == 0; }, 30);
    testing_loop::runUntilIdle();
    testing_kite::resetAggregationSDK();
    ReachabilitySource::install(nullptr);
  }
  void run(const std::string& script) { web->evaluateJavaScriptCompletionHandler(script); }
  // The first console line starting with `prefix` after `skip` such lines, waited for in
  // real time (page script runs on the engine's clock).
  std::optional<std::string> console(const std::string& prefix, size_t skip = 0) {
    std::optional<std::string> found;
    testing_loop::runUntil(
        [&] {
          size_t seen = 0;
          for (auto& m : web->consoleMessages()) {
            if (m.text.rfind(prefix, 0) != 0) continue;
            if (seen++ == skip) {
              found = m.text;
              return true;
            }
          }
          return false;
        },
        20);
    return found;
  }
  bool waitConsole(const std::string& text) { return console(text).has_value(); }
  // The JSON a callback line carries.
  Value callback(const std::string& name, size_t skip = 0) {
    auto line = console(name + " ", skip);
    if (!line) return Value("<none>");
    return NSJSONSerialization::JSONObjectWithString(line->substr(name.size() + 1));
  }

  testing_device::TempDeviceRoot root;
  testing_kite::KiteServer server;
  TempBundle bundle;
  std::shared_ptr<FakeReachabilitySource> network;
  std::shared_ptr<testing_kite::ScriptedChannel> channel;
  std::shared_ptr<AppDelegate> delegate;
  WKWebViewRef web;
};

TEST_F(KiteSDKPage, LoginRoleReportPaymentAndLogoutFromThePage) {
  start(/*online=*/true, server.apiBase());
  run("KiteSDK_IOS.GetInitResult(function (r) { console.log('init ' + r); });"
      "KiteSDK_IOS.GetChannelType(function (r) { console.log('channel ' + r); });");
  EXPECT_EQ(console("init "), "init 0");
  EXPECT_EQ(console("channel "), "channel 977");

  run("KiteSDK_IOS.Login();");
  ASSERT_TRUE(testing_loop::runUntil([&] { return channel->loginOpen(); }, 20));
  channel->completeLogin("alice");
  EXPECT_EQ(callback("onLogin"), Value(Dictionary{{"result", 0},
                                                  {"userId", "alice"},
                                                  {"userNick", "alice"},
                                                  {"userToken", "token-alice"}}));

  run("KiteSDK_IOS.SetGameRoleInfo({serverID: 1, serverName: 'S1', gameRoleID: 'r1',"
      " gameRoleName: 'Ann & Bo = 1', gameRoleLevel: 3, isCreate: true});");
  ASSERT_TRUE(testing_loop::runUntil([&] { return !server.calls(testing_kite::kGateway).empty(); }, 20));
  auto role = server.calls(testing_kite::kGateway)[0];
  EXPECT_TRUE(role.signOk);
  EXPECT_EQ(role.fields.get("gameRoleName"), Value("Ann & Bo = 1"));
  EXPECT_EQ(role.fields.get("gameRoleLevel"), Value("3"));
  EXPECT_EQ(role.fields.get("uid"), Value("alice"));

  run("KiteSDK_IOS.Pay({orderInfo: {goodsID: 'g1', goodsName: 'Gem', cpOrderID: 'cp-1', count: 1,"
      " amount: 6}, roleInfo: {serverID: 1, gameRoleID: 'r1'}});"
      "KiteSDK_IOS.Pay('not an object');");
  ASSERT_TRUE(testing_loop::runUntil([&] { return channel->cashierOpen(); }, 20));
  EXPECT_EQ(channel->lastPay.money, "6.00");
  channel->paySuccess();
  EXPECT_EQ(callback("onPay"),
            Value(Dictionary{{"result", 0}, {"orderId", "K1"}, {"cpOrderId", "cp-1"}}));
  EXPECT_TRUE(waitConsole("KiteSDK_IOS.Pay param error"));
  EXPECT_EQ(server.calls(testing_kite::kOrder).size(), 1u);

  run("KiteSDK_IOS.Logout();");
  EXPECT_EQ(callback("onLogout"), Value(Dictionary{{"result", 0}}));
}

// A page that logs in or pays and then reloads itself (location.reload(), LM_IOS.Reload())
// takes its login and orders with it: its login reaches no later page, a cashier already open
// reports to no later page, and an order the server answers once the new page is up opens no
// cashier. The new page logs in and pays as usual.
TEST_F(KiteSDKPage, APageThatReloadsEndsItsOrders) {
  struct Hold {
    std::mutex mu;
    std::condition_variable cv;
    bool holding = false;
  };
  auto hold = std::make_shared<Hold>();
  server.script(testing_kite::kOrder, [this, hold](const testing_kite::Call& call) {
    std::unique_lock<std::mutex> lock(hold->mu);
    hold->cv.wait(lock, [&] { return !hold->holding; });
    return server.defaultAnswer(testing_kite::kOrder, call);
  });
  auto holdOrders = [&](bool on) {
    {
      std::lock_guard<std::mutex> lock(hold->mu);
      hold->holding = on;
    }
    hold->cv.notify_all();
  };
  auto pay = [&](const std::string& cpOrder) {
    run("KiteSDK_IOS.Pay({orderInfo: {goodsID: 'g1', goodsName: 'Gem', cpOrderID: '" + cpOrder +
        "', count: 1, amount: 6}, roleInfo: {serverID: 1, gameRoleID: 'r1'}});");
  };
  auto settle = [&] {
    testing_loop::runUntil([] { return NetworkManager::requestsInFlight() == 0; }, 20);
    testing_loop::runUntilIdle();
  };
  SysPlugin::Register();
  start(/*online=*/true, server.apiBase());
  // A login the page asked for and left before it was checked is no later page's.
  run("KiteSDK_IOS.Login();");
  ASSERT_TRUE(testing_loop::runUntil([&] { return channel->loginOpen(); }, 20));
  run("location.reload();");
  ASSERT_TRUE(console("page ready", 1));
  channel->completeLogin("eve");
  settle();
  run("KiteSDK_IOS.Login();");
  ASSERT_TRUE(testing_loop::runUntil([&] { return channel->loginOpen(); }, 20));
  channel->completeLogin("alice");
  ASSERT_EQ(callback("onLogin")["userId"], Value("alice")) << "the first login any page hears";

  pay("cp-1");
  ASSERT_TRUE(testing_loop::runUntil([&] { return channel->cashierOpen(); }, 20));
  run("location.reload();");
  ASSERT_TRUE(console("page ready", 2));
  channel->paySuccess();
  settle();

  holdOrders(true);
  pay("cp-2");
  ASSERT_TRUE(
      testing_loop::runUntil([&] { return server.calls(testing_kite::kOrder).size() == 2; }, 20));
  run("LM_IOS.Reload();");
  ASSERT_TRUE(console("page ready", 3));
  holdOrders(false);
  settle();
  EXPECT_EQ(channel->cashiers, 1);
  EXPECT_FALSE(channel->cashierOpen());

  pay("cp-3");
  ASSERT_TRUE(testing_loop::runUntil([&] { return channel->cashierOpen(); }, 20));
  channel->paySuccess();
  EXPECT_EQ(callback("onPay"),
            Value(Dictionary{{"result", 0}, {"orderId", "K3"}, {"cpOrderId", "cp-3"}}))
      << "the first result any page hears is the third order's";
}

TEST_F(KiteSDKPage, OfflineStartThenFailOverARefusedCheckAndAnUnsignedRoleRetry) {
  // The Info.plist host refuses connections; the server list puts another refused host
  // first and the loopback server second.
  std::string down1 = "http://127.0.0.1:" + std::to_string(testing_net::unusedLoopbackPort());
  std::string down2 = "http://127.0.0.1:" + std::to_string(testing_net::unusedLoopbackPort());
  server.answer(testing_kite::kServerList, "[\"" + down2 + "\",\"" + server.apiBase() + "\"]");
  start(/*online=*/false, down1);
  run("KiteSDK_IOS.GetInitResult(function (r) { console.log('init ' + r); });");
  EXPECT_EQ(console("init "), "init -1");
  EXPECT_TRUE(server.calls().empty());

  network->setFlags(kSCNetworkReachabilityFlagsReachable);
  ASSERT_TRUE(testing_loop::runUntil([&] { return !server.calls(testing_kite::kInit).empty(); }, 30));
  run("KiteSDK_IOS.GetInitResult(function (r) { console.log('init ' + r); });");
  EXPECT_EQ(console("init ", 1), "init 0");

  server.answer(testing_kite::kCheckLogin, R"({"result":false,"error":{"id":"9","message":"no"}})");
  run("KiteSDK_IOS.Login();");
  ASSERT_TRUE(testing_loop::runUntil([&] { return channel->loginOpen(); }, 20));
  channel->completeLogin("bob");
  EXPECT_EQ(callback("onLogin"), Value(Dictionary{{"result", 1}}));
  EXPECT_EQ(callback("onLogout"), Value(Dictionary{{"result", 0}})) << "the channel is logged out";
  EXPECT_EQ(server.calls(testing_kite::kCheckLogin).size(), 1u);

  server.answer(testing_kite::kGateway, R"({"result":false,"error":{"id":1000}})");
  run("KiteSDK_IOS.SetGameRoleInfo({serverID: 2, gameRoleID: 'r2', gameRoleName: 'Cy'});");
  ASSERT_TRUE(testing_loop::runUntil([&] { return server.calls(testing_kite::kGateway).size() == 2; }, 30));
  auto reports = server.calls(testing_kite::kGateway);
  EXPECT_TRUE(reports[0].signed_);
  EXPECT_FALSE(reports[1].signed_);
}

TEST_F(KiteSDKPage, AnInitAnswer30001KeepsTheLoginWindowShut) {
  server.answer(testing_kite::kInit, R"({"result":false,"error":{"id":"30001","message":"维护中"}})");
  start(/*online=*/true, server.apiBase());
  ASSERT_TRUE(testing_loop::runUntil([] { return SDKCooperater::shareCooperater().isloginDisabled; }, 20));
  auto alert = std::dynamic_pointer_cast<UIAlertController>(
      delegate->window()->rootViewController()->presentedViewController());
  ASSERT_TRUE(alert);
  EXPECT_EQ(alert->title(), "提示");
  EXPECT_EQ(alert->message(), "维护中");
  run("KiteSDK_IOS.Login(); console.log('asked');");
  ASSERT_TRUE(waitConsole("asked"));
  testing_loop::runUntilIdle();
  EXPECT_EQ(channel->loginWindows, 0);
}

}  // namespace
