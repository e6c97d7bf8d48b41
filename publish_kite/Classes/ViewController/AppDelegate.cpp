#include "publish_kite/Classes/ViewController/AppDelegate.h"

#include "KRH5Plugin/IOSPlugin.h"
#include "KRH5Plugin/SysPlugin.h"
#include "platform/foundation/NSBundle.h"
#include "platform/uikit/UIScreen.h"
#include "publish_kite/Classes/ViewController/MainViewController.h"

using namespace plat;

// The aggregation SDK (KiteSDKInterface, KTCKiteSDK.defaultInstance) is not part of this build
// yet: the calls that reach it are left out below, each at the place where it belongs.

const std::string& AppDelegate::ClassName() {
  static const std::string* name = new std::string("AppDelegate");
  return *name;
}

void AppDelegate::Register() {
  UIApplicationRegisterDelegateClass(ClassName(), [] { return std::make_shared<AppDelegate>(); });
}

std::optional<bool> AppDelegate::applicationDidFinishLaunchingWithOptions(
    UIApplication& application, const Dictionary& options) {
  const Dictionary& info = NSBundle::mainBundle()->infoDictionary();
  Value productCode = info.get("KITE_PRODUCT_CODE");
  Value productKey = info.get("KITE_PRODUCT_KEY");
  (void)productCode;
  (void)productKey;
  // The SDK interface is created, initialised with the product key and code, and registered
  // with IOSPlugin::SetInterfaceWithName(interface, "KiteSDK") here, before Load.
  IOSPlugin::Load();
  auto controller = MainViewController::instantiateFromStoryboard();
  IOSPlugin::SetRootController(controller);
  auto window = make<UIWindow>(UIScreen::mainScreen().bounds());
  window_ = window;
  window->setRootViewController(controller);
  window->makeKeyAndVisible();
  application.setStatusBarStyle(UIStatusBarStyleLightContent);
  return true;
}

std::optional<uint64_t> AppDelegate::applicationSupportedInterfaceOrientationsForWindow(
    UIApplication&, const std::shared_ptr<UIWindow>&) {
  return UIInterfaceOrientationMaskPortrait;
}

void AppDelegate::applicationWillResignActive(UIApplication&) {}

void AppDelegate::applicationDidEnterBackground(UIApplication&) {
  SysPlugin::OnEnterBackground();
  // Then the SDK.
}

void AppDelegate::applicationWillEnterForeground(UIApplication&) {
  SysPlugin::OnEnterForeground();
  // Then the SDK.
}

void AppDelegate::applicationDidBecomeActive(UIApplication&) {}

void AppDelegate::applicationWillTerminate(UIApplication&) { IOSPlugin::Unload(); }

void AppDelegate::applicationDidRegisterForRemoteNotificationsWithDeviceToken(UIApplication&,
                                                                              const Data&) {}

void AppDelegate::applicationDidFailToRegisterForRemoteNotificationsWithError(UIApplication&,
                                                                              const NSErrorRef&) {}

void AppDelegate::applicationDidReceiveRemoteNotification(UIApplication&, const Dictionary&) {}

std::optional<bool> AppDelegate::applicationHandleOpenURL(UIApplication&, const NSURLRef& url) {
  SysPlugin::SetLaunchUrl(url);
  // Then the SDK's openURL:application:.
  return true;
}

std::optional<bool> AppDelegate::applicationOpenURLSourceApplicationAnnotation(UIApplication&,
                                                                               const NSURLRef& url,
                                                                               const std::string&,
                                                                               const Value&) {
  SysPlugin::SetLaunchUrl(url);
  return true;
}

std::optional<bool> AppDelegate::applicationOpenURLOptions(UIApplication&, const NSURLRef& url,
                                                           const Dictionary&) {
  SysPlugin::SetLaunchUrl(url);
  return true;
}
