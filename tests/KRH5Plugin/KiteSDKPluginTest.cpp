// The KiteSDK plugin in a real web view: absent without an SDK interface; with one, its
// script object, immediate replies, and the three callbacks reaching the page's handlers.

#include <gtest/gtest.h>

#include "KRH5Plugin/IOSPlugin.h"
#include "KRH5Plugin/KiteSDKPlugin.h"
#include "aggregation/KiteSDKInterface.h"
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

}  // namespace
