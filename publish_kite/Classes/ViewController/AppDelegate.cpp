#include "publish_kite/Classes/ViewController/AppDelegate.h"

#include "KRH5Plugin/IOSPlugin.h"
#include "KRH5Plugin/SysKeychainWriter.h"
#include "KRH5Plugin/SysPlugin.h"
#include "aggregation/KTCKiteSDK.h"
#include "aggregation/KiteSDKInterface.h"
#include "platform/foundation/NSBundle.h"
#include "platform/uikit/UIScreen.h"
#include "publish_kite/Classes/ViewController/MainViewController.h"

using namespace plat;

namespace {
// How long the end of the application waits for keychain writes still kept (seconds).
constexpr double kKeychainWritesAtTermination = 3;
// The aggregation SDK, fetched anew for each event.
KTCKiteSDK& sdk() { return KTCKiteSDK::defaultInstance(); }
}  // namespace

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
  auto kite = std::make_shared<KiteSDKInterface>();
  kite->InitWithApplicationOptionsProductKeyProductCode(&application, Value(options), productKey,
                                                        productCode);
  // Before Load: the KiteSDK plugin registers its callbacks on the interface only while loading.
  IOSPlugin::SetInterfaceWithName(kite, "KiteSDK");
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
    UIApplication& application, const std::shared_ptr<UIWindow>& window) {
  sdk().applicationSupportedInterfaceOrientationsForWindow(&application, window.get());
  return UIInterfaceOrientationMaskPortrait;
}

void AppDelegate::applicationWillResignActive(UIApplication& application) {
  sdk().applicationWillResignActive(&application);
}

void AppDelegate::applicationDidEnterBackground(UIApplication& application) {
  SysPlugin::OnEnterBackground();
  sdk().applicationDidEnterBackground(&application);
}

void AppDelegate::applicationWillEnterForeground(UIApplication& application) {
  SysPlugin::OnEnterForeground();
  sdk().applicationWillEnterForeground(&application);
}

void AppDelegate::applicationDidBecomeActive(UIApplication& application) {
  sdk().applicationDidBecomeActive(&application);
}

void AppDelegate::applicationWillTerminate(UIApplication& application) {
  // Keychain writes kept while another process held the database get a last chance.
  SysKeychainWriter::shared().finishPending(kKeychainWritesAtTermination);
  IOSPlugin::Unload();
  sdk().applicationWillTerminate(&application);
}

void AppDelegate::applicationDidRegisterForRemoteNotificationsWithDeviceToken(
    UIApplication& application, const Data& deviceToken) {
  sdk().applicationDidRegisterForRemoteNotificationsWithDeviceToken(&application, deviceToken);
}

void AppDelegate::applicationDidFailToRegisterForRemoteNotificationsWithError(
    UIApplication& application, const NSErrorRef& error) {
  sdk().applicationDidFailToRegisterForRemoteNotificationsWithError(&application, error);
}

void AppDelegate::applicationDidReceiveRemoteNotification(UIApplication& application,
                                                          const Dictionary& userInfo) {
  sdk().applicationDidReceiveRemoteNotification(&application, Value(userInfo));
}

std::optional<bool> AppDelegate::applicationHandleOpenURL(UIApplication& application,
                                                          const NSURLRef& url) {
  SysPlugin::SetLaunchUrl(url);
  sdk().openURLApplication(url, &application);
  return true;
}

std::optional<bool> AppDelegate::applicationOpenURLSourceApplicationAnnotation(
    UIApplication& application, const NSURLRef& url, const std::string& sourceApplication,
    const Value& annotation) {
  SysPlugin::SetLaunchUrl(url);
  sdk().openURLSourceApplicationApplicationAnnotation(url, sourceApplication, &application,
                                                      annotation);
  return true;
}

std::optional<bool> AppDelegate::applicationOpenURLOptions(UIApplication& application,
                                                           const NSURLRef& url,
                                                           const Dictionary& options) {
  SysPlugin::SetLaunchUrl(url);
  sdk().openURLApplicationOptions(url, &application, Value(options));
  return true;
}
