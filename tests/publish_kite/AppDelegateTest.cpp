// Application start-up: the window, the game view inside it, the bridge's wiring, the fixed
// answers of the delegate, and the application main's launch and termination order.

#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "KRH5Plugin/IOSPlugin.h"
#include "KRH5Plugin/SysPlugin.h"
#include "logging/LGLog.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIScrollView.h"
#include "publish_kite/Classes/ViewController/AppDelegate.h"
#include "publish_kite/Classes/ViewController/MainViewController.h"
#include "testing/loop/Pump.h"

using namespace plat;

namespace {

// Undoes what launching registers: the bridge's plugins and the loggers its loading added,
// the launched delegate and a pending termination, the screen and application facts, and
// the test's own observers.
struct AppTest : ::testing::Test {
  WKWebView::KeepPageLogForTesting keepPageLog;
  std::vector<NSNotificationCenter::ObserverToken> observers;
  void TearDown() override {
    for (auto& token : observers) NSNotificationCenter::defaultCenter().removeObserver(token);
    IOSPlugin::ResetForTesting();
    LGLog::resetForTesting();
    UIApplicationMainResetForTesting();
    UIApplication::sharedApplication().resetForTesting();
    UIScreen::mainScreen().resetForTesting();
    testing_loop::runUntilIdle();
  }
};
using AppStartUp = AppTest;
using AppEvents = AppTest;

TEST_F(AppStartUp, LaunchShowsTheGamePageInAFullScreenWindow) {
  TempBundle bundle;
  bundle.write("Data/index.html", "<script>console.log('offline page ' + typeof LM_IOS);</script>");
  bundle.writeInfo({{"KITE_PRODUCT_CODE", "code"}, {"LM_URL", "local://game/index.html"}});
  UIScreen::mainScreen().setBounds(CGRectMake(0, 0, 414, 896));
  auto& app = UIApplication::sharedApplication();

  auto delegate = std::make_shared<AppDelegate>();
  EXPECT_EQ(delegate->applicationDidFinishLaunchingWithOptions(app, Dictionary()), true);

  auto window = delegate->window();
  ASSERT_TRUE(window);
  EXPECT_TRUE(CGRectEqualToRect(window->frame(), CGRectMake(0, 0, 414, 896)));
  EXPECT_EQ(app.keyWindow(), window);
  EXPECT_EQ(app.statusBarStyle(), UIStatusBarStyleLightContent);
  auto vc = std::dynamic_pointer_cast<MainViewController>(window->rootViewController());
  ASSERT_TRUE(vc);
  EXPECT_EQ(IOSPlugin::GetRootController(), vc);
  EXPECT_EQ(IOSPlugin::GetWebView(), vc->webView());
  EXPECT_EQ(vc->webView()->superview(), vc->holderView());
  EXPECT_TRUE(CGRectEqualToRect(vc->webView()->frame(), CGRectMake(0, 0, 414, 896)));
  EXPECT_EQ(vc->webView()->scrollView()->contentInsetAdjustmentBehavior(),
            UIScrollViewContentInsetAdjustmentNever);
  EXPECT_EQ(vc->webView()->configuration()->userContentController()->handlerNames(),
            std::vector<std::string>{"iOS_Console"});
  EXPECT_EQ(LGLog::allLoggers().size(), 2u);
  EXPECT_EQ(vc->queue()->label(), "lumora_h5_file_queue");
  EXPECT_TRUE(vc->queue()->isConcurrent());
  EXPECT_TRUE(vc->webView()->configuration()->urlSchemeHandlerForURLScheme("local"));

  auto loaded = [&] {
    for (auto& m : vc->webView()->consoleMessages())
      if (m.text == "offline page undefined") return true;
    return false;
  };
  ASSERT_TRUE(testing_loop::runUntil(loaded));

  // Fixed answers, whatever the SDK would say.
  EXPECT_EQ(delegate->applicationSupportedInterfaceOrientationsForWindow(app, window), 2u);
  auto url = NSURL::URLWithString("lumora-demo://pay?result=ok");
  EXPECT_EQ(delegate->applicationOpenURLOptions(app, url, Dictionary()), true);
  EXPECT_EQ(delegate->applicationHandleOpenURL(app, url), true);
  EXPECT_EQ(delegate->applicationOpenURLSourceApplicationAnnotation(app, url, "com.other", Value()),
            true);
  // Every opened URL becomes the page's launch URL.
  auto other = NSURL::URLWithString("lumora-demo://other");
  delegate->applicationOpenURLOptions(app, other, Dictionary());
  EXPECT_EQ(SysPlugin::GetLaunchUrl(), other);
  delegate->applicationHandleOpenURL(app, url);
  EXPECT_EQ(SysPlugin::GetLaunchUrl(), url);
  SysPlugin::ResetForTesting();
}

TEST_F(AppStartUp, TheApplicationMainLaunchesRunsAndTerminatesInOrder) {
  TempBundle bundle;
  bundle.writeInfo({});
  std::vector<std::string> events;
  IOSPluginClass sys;
  sys.Load = [&] { events.push_back("bridge loaded"); };
  sys.Unload = [&] { events.push_back("bridge unloaded"); };
  IOSPlugin::RegisterPlugin(IOSPlugin::kSysPlugin, sys);
  for (const char* name :
       {UIApplicationDidFinishLaunchingNotification, UIApplicationDidBecomeActiveNotification,
        UIApplicationWillTerminateNotification}) {
    observers.push_back(NSNotificationCenter::defaultCenter().addObserverForNameObjectQueueUsingBlock(
        name, Value(), nullptr, [&events](const NSNotification& n) { events.push_back(n.name); }));
  }
  AppDelegate::Register();
  dispatch_async(dispatch_get_main_queue(), [&] {
    events.push_back("running");
    UIApplicationRequestTermination();
  });
  char arg0[] = "lumora";
  char* argv[] = {arg0, nullptr};
  EXPECT_EQ(UIApplicationMain(1, argv, "", AppDelegate::ClassName()), 0);
  EXPECT_EQ(events,
            (std::vector<std::string>{"bridge loaded", UIApplicationDidFinishLaunchingNotification,
                                      UIApplicationDidBecomeActiveNotification, "running",
                                      "bridge unloaded", UIApplicationWillTerminateNotification}));
  EXPECT_TRUE(UIApplicationCurrentDelegate()->window());
  EXPECT_EQ(UIApplicationMain(1, argv, "", "NoSuchDelegate"), 1);
}

// Records the delegate operations the phone's events reach, in order.
class RecordingDelegate : public UIApplicationLifecycleDelegate {
 public:
  std::vector<std::string>* events = nullptr;
  void applicationWillResignActive(UIApplication&) override { events->push_back("resign"); }
  void applicationDidEnterBackground(UIApplication&) override { events->push_back("background"); }
  void applicationWillEnterForeground(UIApplication&) override { events->push_back("foreground"); }
  void applicationDidBecomeActive(UIApplication&) override { events->push_back("active"); }
  void applicationWillTerminate(UIApplication&) override { events->push_back("terminate"); }
  std::optional<bool> applicationOpenURLOptions(UIApplication&, const NSURLRef& url,
                                                const Dictionary&) override {
    events->push_back("open " + url->absoluteString());
    return true;
  }
};

TEST_F(AppEvents, PhoneEventsReachTheDelegateInThePlatformOrder) {
  std::vector<std::string> events;
  UIApplicationRegisterDelegateClass("RecordingDelegate", [&events] {
    auto d = std::make_shared<RecordingDelegate>();
    d->events = &events;
    return d;
  });
  bool opened = false;
  dispatch_async(dispatch_get_main_queue(), [&] {
    UIApplicationSendDidEnterBackground();
    UIApplicationSendWillEnterForeground();
    opened = UIApplicationSendOpenURL(NSURL::URLWithString("lumora-demo://back"));
    UIApplicationRequestTermination();
  });
  char arg0[] = "lumora";
  char* argv[] = {arg0, nullptr};
  EXPECT_EQ(UIApplicationMain(1, argv, "", "RecordingDelegate"), 0);
  EXPECT_TRUE(opened);
  EXPECT_EQ(events, (std::vector<std::string>{"active", "resign", "background", "foreground",
                                              "active", "open lumora-demo://back", "terminate"}));
}

}  // namespace
