// The HSSDK and MX plugins: absent from the page without an interface object, and the whole
// road (script object, handler, callbacks) with one a host supplies.

#include <gtest/gtest.h>

#include "KRH5Plugin/HSSDKPlugin.h"
#include "KRH5Plugin/IOSPlugin.h"
#include "KRH5Plugin/MXSDKPlugin.h"
#include "testing/loop/Pump.h"
#include "tests/KRH5Plugin/PluginPage.h"

using namespace plat;

namespace {

using Text = std::optional<std::string>;
std::string show(const Text& t) { return t ? *t : "-"; }

class FakeHS : public HSSDKInterface {
 public:
  std::vector<std::string> calls;
  std::map<int32_t, Callback> callbacks;
  void InitSDK() override { calls.push_back("InitSDK"); }
  void ReleaseSDK() override { calls.push_back("ReleaseSDK"); }
  void RegCBCallback(int32_t id, Callback cb) override {
    calls.push_back("RegCB " + std::to_string(id));
    callbacks[id] = cb;
  }
  int32_t GetInitResult() override { return -3; }
  void Login() override { calls.push_back("Login"); }
  void Logout() override { calls.push_back("Logout"); }
  void Pay(const Text& j) override { calls.push_back("Pay " + show(j)); }
  void LogRole(const Text& j) override { calls.push_back("LogRole " + show(j)); }
  Text GetGameId() override { return std::nullopt; }
  bool IsSendAppStore() override { return true; }
};

class FakeMX : public MXSDKInterface {
 public:
  std::vector<std::string> calls;
  std::map<int32_t, TextCallback> text;
  IntCallback registered = nullptr;
  void InitSDK() override { calls.push_back("InitSDK"); }
  void ReleaseSDK() override { calls.push_back("ReleaseSDK"); }
  void RegCBCallback(int32_t id, TextCallback cb) override {
    calls.push_back("RegCB " + std::to_string(id));
    text[id] = cb;
  }
  void RegCBCallback(int32_t id, IntCallback cb) override {
    calls.push_back("RegCB " + std::to_string(id));
    registered = cb;
  }
  void RegisterMX(const Text& t) override { calls.push_back("RegisterMX " + show(t)); }
  bool IsRegistered() override { return false; }
  bool IsMXAppInstalled() override { return true; }
  void Login(const Text& j) override { calls.push_back("Login " + show(j)); }
  void Pay(const Text& j) override { calls.push_back("Pay " + show(j)); }
  void SendText(const Text& j) override { calls.push_back("SendText " + show(j)); }
  void SendImage(const Text& j) override { calls.push_back("SendImage " + show(j)); }
  void SendWebpage(const Text& j) override { calls.push_back("SendWebpage " + show(j)); }
  void OnLogin(const Value&) override { calls.push_back("OnLogin"); }
  void OnPay(const Value&) override { calls.push_back("OnPay"); }
  void OnShare(const Value&) override { calls.push_back("OnShare"); }
};

struct DormantPlugins : ::testing::Test, plugin_page::PluginPage {
  void SetUp() override {
    HSSDKPlugin::Register();
    MXSDKPlugin::Register();
  }
  void TearDown() override {
    HSSDKPlugin::ResetForTesting();
    MXSDKPlugin::ResetForTesting();
    IOSPlugin::ResetForTesting();
  }
};

TEST_F(DormantPlugins, WithoutInterfacesThePageHasNeitherObject) {
  MXSDKPlugin::SetInterface(std::make_shared<Object>());  // not an MX interface
  IOSPlugin::Load();
  ASSERT_TRUE(attach("console.log('objects ' + typeof window.HSSDK_IOS + ' ' + typeof window.ZIRaz + ' ' +"
         " typeof webkit.messageHandlers.iOS_HSSDK + ' ' + typeof webkit.messageHandlers.iOS_MXSDK);"));
  EXPECT_TRUE(has("objects undefined undefined undefined undefined"));
  EXPECT_FALSE(MXSDKPlugin::GetInterface());
}

TEST_F(DormantPlugins, HSSDKRoadWithAHostInterface) {
  auto sdk = std::make_shared<FakeHS>();
  IOSPlugin::SetInterfaceWithName(sdk, "HSSDK");
  IOSPlugin::Load();
  EXPECT_EQ(sdk->calls, (std::vector<std::string>{"InitSDK", "RegCB 2901", "RegCB 2902",
                                                  "RegCB 2903"}));
  ASSERT_TRUE(attach("HSSDK_IOS.SetCallback({onLogin: back, onLogout: back, onPay: back});"));
  EXPECT_TRUE(has("Init HSSDK"));
  EXPECT_EQ(next([&] { web->evaluateJavaScriptCompletionHandler("HSSDK_IOS.GetInitResult(back)"); }),
            "[-3]");
  EXPECT_EQ(next([&] { web->evaluateJavaScriptCompletionHandler("HSSDK_IOS.GetGameId(back)"); }),
            "[\"u\"]");
  EXPECT_EQ(
      next([&] { web->evaluateJavaScriptCompletionHandler("HSSDK_IOS.IsSendAppStore(back)"); }),
      "[true]");
  sdk->calls.clear();
  web->evaluateJavaScriptCompletionHandler(
      "HSSDK_IOS.LogRole({role: 'a b'}); HSSDK_IOS.Pay('text'); HSSDK_IOS.Login();");
  ASSERT_TRUE(testing_loop::runUntil([&] { return sdk->calls.size() == 2; }));
  EXPECT_EQ(sdk->calls, (std::vector<std::string>{"LogRole {\"role\":\"a b\"}", "Login"}));
  EXPECT_TRUE(has("HSSDK_IOS.Pay param error"));

  // The callbacks, from any thread, reach the page.
  EXPECT_EQ(next([&] { sdk->callbacks[2901]("{\n  \"user\" : \"a \\\"b\\\"\"\n}"); }),
            "[{\"user\":\"a \\\"b\\\"\"}]");
  EXPECT_EQ(next([&] { std::thread([&] { sdk->callbacks[2903](nullptr); }).join(); }), "[\"u\"]");
  IOSPlugin::Unload();
  EXPECT_EQ(sdk->calls.back(), "ReleaseSDK");
}

TEST_F(DormantPlugins, MXRoadCreatesItsNamespace) {
  auto sdk = std::make_shared<FakeMX>();
  MXSDKPlugin::SetInterface(sdk);
  IOSPlugin::Load();
  EXPECT_EQ(sdk->calls, (std::vector<std::string>{"InitSDK", "RegCB 215", "RegCB 211", "RegCB 212",
                                                  "RegCB 213", "RegCB 214"}));
  ASSERT_TRUE(attach("ZIRaz.iOS.MXSDK.SetCallback({onRegister: back, onMXReq: back, onShare: back});"));
  EXPECT_TRUE(has("Init MX"));
  EXPECT_EQ(next([&] {
              web->evaluateJavaScriptCompletionHandler("ZIRaz.iOS.MXSDK.IsMXAppInstalled(back)");
            }),
            "[true]");
  sdk->calls.clear();
  web->evaluateJavaScriptCompletionHandler(
      "ZIRaz.iOS.MXSDK.RegisterMX('app'); ZIRaz.iOS.MXSDK.SendWebpage({url: 'u'});");
  ASSERT_TRUE(testing_loop::runUntil([&] { return sdk->calls.size() == 2; }));
  EXPECT_EQ(sdk->calls[0], "RegisterMX app");
  EXPECT_EQ(sdk->calls[1], "SendWebpage {\"url\":\"u\"}");

  EXPECT_EQ(next([&] { sdk->registered(7); }), "[7]");
  // Trimmed at the ends; spaces inside survive; line breaks between members do no harm.
  EXPECT_EQ(next([&] { sdk->text[211]("  {\"a\": \"x  y\",\n \"b\": 1}\n "); }),
            "[{\"a\":\"x  y\",\"b\":1}]");
  EXPECT_EQ(next([&] { sdk->text[214](nullptr); }), "[\"u\"]");
  MXSDKPlugin::OnShare(Value("s"));
  EXPECT_EQ(sdk->calls.back(), "OnShare");
  EXPECT_TRUE(web->pageErrors().empty());
}

}  // namespace
