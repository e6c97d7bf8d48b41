// Plug-in resolution and forwarding, and the login-disable prompt's alerts and exit.

#include <gtest/gtest.h>

#include "aggregation/AlertTool.h"
#include "aggregation/LoginDisablePrompt.h"
#include "aggregation/PlugManager.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NSLog.h"
#include "platform/uikit/UIAlertController.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"
#include "testing/device/TempDeviceRoot.h"
#include "testing/loop/Pump.h"

using namespace plat;

namespace {

// A plug-in that answers only the login check and the plug call.
struct CheckOnly : KiteSDKPlugNodes {
  static std::shared_ptr<CheckOnly>& shared() {
    static auto* p = new std::shared_ptr<CheckOnly>(std::make_shared<CheckOnly>());
    return *p;
  }
  std::vector<Array> checks;
  std::vector<Value> calls;
  void checkLoginResult(const Array& args) override { checks.push_back(args); }
  std::optional<int64_t> callPlugParams(const Value& params) override {
    calls.push_back(params);
    return 7;
  }
};

class PlugManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static bool registered = [] {
      PlugManager::registerPlugClass("CheckOnlyPlug",
                                     [] { return KiteSDKPlugNodesRef(CheckOnly::shared()); });
      PlugManager::registerPlugClass("NoInstancePlug", [] { return KiteSDKPlugNodesRef(); });
      return true;
    }();
    (void)registered;
    CheckOnly::shared() = std::make_shared<CheckOnly>();
  }
  void TearDown() override {
    PlugManager::sharedInstance()->startManager();  // the empty bundle's list: none
  }
  void list(const Array& descriptors) {
    bundle.writePlist("kitePlugins.cfg", Value(descriptors));
    PlugManager::load();
  }
  testing_device::TempAppBundle bundle;
  std::shared_ptr<PlugManager> manager = PlugManager::sharedInstance();
};

TEST_F(PlugManagerTest, WithoutTheListEveryEventIsANoOp) {
  PlugManager::load();
  EXPECT_TRUE(manager->pluginsInfo().empty());
  EXPECT_TRUE(manager->getAllConfigedPlugs().empty());
  manager->checkLoginResult(KiteSDKPlugArgs({Value()}));
  bundle.writeFile("kitePlugins.cfg", "not a property list");
  manager->startManager();
  EXPECT_TRUE(manager->pluginsInfo().empty());
}

TEST_F(PlugManagerTest, DescriptorsResolveByClassNameInListOrder) {
  list({Value(Dictionary{{"name", "A"},
                         {"eventManager", Value(Dictionary{{"manager", "CheckOnlyPlug"}})}}),
        Value(Dictionary{{"name", "Self"}, {"managerName", "PlugManager"}}),
        Value(Dictionary{{"name", "Ghost"}, {"managerName", "NoSuchClass"}}),
        Value(Dictionary{{"name", "Nil"}, {"managerName", "NoInstancePlug"}}),
        Value(Dictionary{{"name", "Nameless"}}),
        Value(Dictionary{{"name", "B"}, {"managerName", "CheckOnlyPlug"}})});
  EXPECT_EQ(manager->pluginsInfo().size(), 6u);
  auto plugs = manager->getAllConfigedPlugs();
  ASSERT_EQ(plugs.size(), 2u) << "listed twice, found twice; the manager itself is skipped";
  EXPECT_EQ(plugs[0], CheckOnly::shared());

  Array args = KiteSDKPlugArgs(
      {Value(Dictionary{{"channel_type", "1"}}), Value(Dictionary{}), Value(), Value("x")});
  EXPECT_EQ(args.size(), 2u) << "an event array ends at the first missing element";
  manager->checkLoginResult(args);
  manager->willInit(args);
  manager->kiteGetOrderResult(args);
  EXPECT_EQ(CheckOnly::shared()->checks.size(), 2u);
  EXPECT_EQ(CheckOnly::shared()->checks[0], args);

  std::vector<std::string> logs;
  plat::setNSLogCaptureForTesting([&](const std::string& line) { logs.push_back(line); });
  EXPECT_EQ(manager->getPlugsOfName("B").size(), 1u);
  EXPECT_EQ(manager->callPlugParams("A", Value(Array{"1", "arg"})), 0);
  EXPECT_EQ(CheckOnly::shared()->calls, (std::vector<Value>{Value(Array{"1", "arg"})}));
  EXPECT_TRUE(manager->getPlugsOfName("nobody").empty());
  plat::setNSLogCaptureForTesting(nullptr);
  // The name and the objects found are logged, not their count.
  std::string object =
      plat::format("<CheckOnlyPlug: %p>", static_cast<const void*>(CheckOnly::shared().get()));
  ASSERT_EQ(logs.size(), 3u);
  EXPECT_EQ(logs[0], "B,(\n    " + object + "\n)");
  EXPECT_EQ(logs[2], "nobody,(null)");
}

class LoginDisablePromptTest : public PlugManagerTest {
 protected:
  void SetUp() override {
    PlugManagerTest::SetUp();
    LoginDisablePrompt::setExitHandler([this](int status) { exits.push_back(status); });
    window = make<UIWindow>(UIScreen::mainScreen().bounds());
    window->setRootViewController(root);
    window->makeKeyAndVisible();
    list({Value(Dictionary{{"name", "prompt"}, {"managerName", "LoginDisablePrompt"}})});
  }
  void TearDown() override {
    testing_loop::runUntilIdle();
    window.reset();
    LoginDisablePrompt::setExitHandler(nullptr);
    PlugManagerTest::TearDown();
  }
  std::shared_ptr<UIAlertController> alert() {
    testing_loop::runUntilIdle();
    return std::dynamic_pointer_cast<UIAlertController>(root->presentedViewController());
  }
  Array answer(Value id, const std::string& message) {
    return KiteSDKPlugArgs(
        {Value(Dictionary{}),
         Value(Dictionary{{"error", Value(Dictionary{{"id", id}, {"message", message}})}})});
  }
  std::vector<int> exits;
  std::shared_ptr<UIWindow> window;
  std::shared_ptr<UIViewController> root = std::make_shared<UIViewController>();
};

TEST_F(LoginDisablePromptTest, DisabledLoginEndsTheProcessFromItsOnlyButton) {
  manager->checkLoginResult(answer(Value(30002), "nope"));
  EXPECT_FALSE(alert());
  manager->checkLoginResult(answer(Value("30001"), "登录已关闭"));
  auto a = alert();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->title(), "提示");
  EXPECT_EQ(a->message(), "登录已关闭");
  ASSERT_EQ(a->actions().size(), 1u);
  EXPECT_EQ(a->actions()[0]->title(), "确定");
  EXPECT_TRUE(exits.empty());
  ASSERT_TRUE(a->tapActionAtIndex(0));
  testing_loop::runUntilIdle();
  EXPECT_EQ(exits, std::vector<int>{0});
}

TEST_F(LoginDisablePromptTest, AnExitMessageGoesOverAScreenThatIsAlreadyUp) {
  manager->kiteGetOrderResult(answer(Value(1000), "下单失败"));
  auto first = alert();
  ASSERT_TRUE(first);
  manager->checkLoginResult(answer(Value(30001), "登录已关闭"));
  testing_loop::runUntilIdle();
  auto second = std::dynamic_pointer_cast<UIAlertController>(first->presentedViewController());
  ASSERT_TRUE(second) << "the exit message was refused because another alert was up";
  EXPECT_EQ(second->message(), "登录已关闭");
  second->tapActionAtIndex(0);
  testing_loop::runUntilIdle();
  EXPECT_EQ(exits, std::vector<int>{0});
  root->dismissViewControllerAnimatedCompletion(false);
}

TEST_F(LoginDisablePromptTest, RefusedOrderOnlyClosesTheMessage) {
  manager->kiteGetOrderResult(answer(Value(1000), "下单失败"));
  auto a = alert();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->message(), "下单失败");
  a->tapActionAtIndex(0);
  testing_loop::runUntilIdle();
  EXPECT_TRUE(exits.empty());
  EXPECT_FALSE(root->presentedViewController());
}

TEST_F(LoginDisablePromptTest, RolesCreatedAtOrAfterTheStopAreStopped) {
  auto role = [&](const std::string& created, Value message) {
    Dictionary result{{"data", Value(Dictionary{{"created_at", 1700000000}})}};
    if (!message.isNil()) result.set("error", Value(Dictionary{{"message", message}}));
    manager->comfirmAbleCreatRoleWithResult(
        KiteSDKPlugArgs({Value(Dictionary{}), Value(result), Value(created)}));
    return alert();
  };
  EXPECT_FALSE(role("0", Value()));
  EXPECT_FALSE(role("1699999999", Value()));
  auto a = role("1700000000", Value(""));
  ASSERT_TRUE(a);
  EXPECT_EQ(a->message(), "由于游戏运营调整,新角色暂时无法进行游戏,给您带来不便敬请见谅。");
  a->tapActionAtIndex(0);
  testing_loop::runUntilIdle();
  EXPECT_EQ(exits, std::vector<int>{0});
  auto b = role("1800000000", Value("停止创建"));
  ASSERT_TRUE(b);
  EXPECT_EQ(b->message(), "停止创建");
}

TEST(AlertToolTest, ButtonsReportTheirIndexAndErrorTexts) {
  auto window = make<UIWindow>(UIScreen::mainScreen().bounds());
  auto root = std::make_shared<UIViewController>();
  window->setRootViewController(root);
  window->makeKeyAndVisible();
  std::vector<int64_t> taps;
  AlertTool::showAlertArrayWithTitleMessageActionButtonTitleArray(
      root, "t", "m", [&](int64_t i) { taps.push_back(i); }, {"a", "b"});
  testing_loop::runUntilIdle();
  auto a = std::dynamic_pointer_cast<UIAlertController>(root->presentedViewController());
  ASSERT_TRUE(a);
  a->tapActionAtIndex(1);
  testing_loop::runUntilIdle();
  EXPECT_EQ(taps, std::vector<int64_t>{1});
  AlertTool::showAlertArrayWithTitleMessageActionButtonTitleArray(root, "t", "m", [](int64_t) {},
                                                                  {});
  testing_loop::runUntilIdle();
  auto none = std::dynamic_pointer_cast<UIAlertController>(root->presentedViewController());
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->actions().empty());
  none->dismissViewControllerAnimatedCompletion(false);
  testing_loop::runUntilIdle();

  EXPECT_EQ(AlertTool::showAlertStringWihtCode(Value(Dictionary{{"code", -1104}})),
            Value("您已成功参与该活动"));
  EXPECT_EQ(AlertTool::showAlertStringWihtCode(Value(Dictionary{{"code", "-1"}})),
            Value("密码错误"));
  EXPECT_EQ(AlertTool::showAlertStringWihtCode(Value(Dictionary{{"code", 5}, {"message", "x"}})),
            Value("x"));
  EXPECT_TRUE(AlertTool::showAlertStringWihtCode(Value(Dictionary{{"code", 5}})).isNil());
}

}  // namespace
