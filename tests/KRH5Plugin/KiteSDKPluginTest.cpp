// The KiteSDK plugin in a real web view: absent without an SDK interface; with one, its
// script object, immediate replies, and the three callbacks reaching the page's handlers.

#include <gtest/gtest.h>

#include <algorithm>

#include "KRH5Plugin/IOSPlugin.h"
#include "KRH5Plugin/IOSPluginSupport.h"
#include "KRH5Plugin/KiteSDKPlugin.h"
#include "aggregation/KiteSDKInterface.h"
#include "aggregation/SDKCooperater.h"
#include "aggregation/channel/KTCKiteChannel.h"
#include "testing/loop/Pump.h"
#include "tests/KRH5Plugin/PluginPage.h"

using namespace plat;

namespace {

class KiteSDKPluginTest : public ::testing::Test {
 protected:
  void SetUp() override { KiteSDKPlugin::Register(); }
  void TearDown() override {
    if (iface) iface->ReleaseSDK();
    KiteSDKPlugin::ResetForTesting();
    IOSPlugin::ResetForTesting();
    testing_loop::runUntilIdle();
  }
  std::shared_ptr<KiteSDKInterface> iface;
};

TEST_F(KiteSDKPluginTest, WithoutAnInterfaceThePageHasNoKiteObject) {
  // An object of another kind is not taken as the interface.
  IOSPlugin::SetInterfaceWithName(std::make_shared<Object>(), "KiteSDK");
  IOSPlugin::Load();
  EXPECT_FALSE(KiteSDKPlugin::GetInterface());
  plugin_page::PluginPage page;
  ASSERT_TRUE(page.attach("back(typeof KiteSDK_IOS, typeof webkit.messageHandlers.iOS_KiteSDK);"));
  ASSERT_TRUE(testing_loop::runUntil([&] { return !page.results.empty(); }));
  EXPECT_EQ(page.results[0], R"(["undefined","undefined"])");
}

TEST_F(KiteSDKPluginTest, RepliesAndCallbacksReachThePage) {
  iface = std::make_shared<KiteSDKInterface>();
  IOSPlugin::SetInterfaceWithName(iface, "KiteSDK");
  IOSPlugin::Load();
  EXPECT_TRUE(iface->hasInitSDK());
  plugin_page::PluginPage page;
  ASSERT_TRUE(page.attach(
      "KiteSDK_IOS.SetCallback({onLogin: back, onPay: back});"
      "window.webkit.messageHandlers.iOS_KiteSDK.postMessage({name: 'NoSuchCommand'});"));
  EXPECT_TRUE(page.has("Init Kite"));
  // Not started: the init result is still -1.
  EXPECT_EQ(page.next([&] { page.eval("KiteSDK_IOS.GetInitResult(back);"); }), "[-1]");
  // A null text calls the handler without a value; a JSON text arrives as its value, spaces
  // inside strings kept.
  EXPECT_EQ(page.next([] { KiteSDKInterface::OnLogin(std::nullopt); }), R"(["u"])");
  EXPECT_EQ(page.next([] { KiteSDKInterface::OnPay("{\n  \"orderId\" : \"K 1\",\n  \"result\" : 0\n}"); }),
            R"([{"orderId":"K 1","result":0}])");
  // A callback the page never set only warns in the page.
  KiteSDKInterface::OnLogout("{}");
  ASSERT_TRUE(testing_loop::runUntil([&] { return page.has("KiteSDK_IOS.CallFunc onLogout not exist"); }));
  // Unloaded: the callbacks are gone.
  IOSPlugin::Unload();
  EXPECT_EQ(page.next([] { KiteSDKInterface::OnLogin("{}"); }), "<none>");
}

// An outcome reaches only the page that asked for it. Rows run in turn on one web view: the
// page asks (or not), perhaps ends (a new page number, as a reload gives), then one outcome comes.
TEST_F(KiteSDKPluginTest, AnOutcomeReachesOnlyThePageThatAskedForIt) {
  iface = std::make_shared<KiteSDKInterface>();
  IOSPlugin::SetInterfaceWithName(iface, "KiteSDK");
  IOSPlugin::Load();
  plugin_page::PluginPage page;
  ASSERT_TRUE(
      page.attach("KiteSDK_IOS.SetCallback({onLogin: back, onLogout: back, onPay: back});"));
  std::vector<std::string> heard;
  IOSPluginSetScriptObserver([&](const std::string& s) {
    if (s.find("CallFunc(\"on") != std::string::npos) heard.push_back(s);
  });
  struct Row {
    const char* ask;  // page script, or null
    bool pageEnds;
    void (*outcome)(const std::optional<std::string>&);
    bool reachesPage;
  };
  const Row rows[] = {
      {"KiteSDK_IOS.Login();", true, KiteSDKInterface::OnLogin, false},
      // Nobody waits now: the channel's own login reaches the page shown.
      {nullptr, false, KiteSDKInterface::OnLogin, true},
      {"KiteSDK_IOS.Logout();", true, KiteSDKInterface::OnLogout, false},
      // A Pay the interface cannot read is answered by nothing, yet its page's outcome waits.
      {"KiteSDK_IOS.Pay({});", true, KiteSDKInterface::OnPay, false},
      {"KiteSDK_IOS.Login();", false, KiteSDKInterface::OnLogin, true},
  };
  std::ptrdiff_t asks = 0;
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row& row = rows[i];
    if (row.ask) {
      // The page's messages are handled in the order posted: once "asked" is back, so is the ask.
      page.eval(std::string(row.ask) + "back('asked');");
      ++asks;
      ASSERT_TRUE(testing_loop::runUntil([&] {
        return std::count(page.results.begin(), page.results.end(), R"(["asked"])") == asks;
      })) << i;
    }
    if (row.pageEnds) IOSPlugin::EndPage();
    heard.clear();
    row.outcome("{}");
    ASSERT_TRUE(testing_loop::runUntilIdle());
    EXPECT_EQ(heard.size(), row.reachesPage ? 1u : 0u) << "row " << i;
  }
  IOSPluginSetScriptObserver({});
  SDKCooperater::resetForTesting();
  KTCKiteChannel::resetForTesting();
}

}  // namespace
