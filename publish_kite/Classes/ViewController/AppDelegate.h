#pragma once
// AppDelegate: the application delegate. At launch it loads the script bridge, creates the
// game view controller and the full-screen window; afterwards it forwards the application's
// events, telling the page first where the bridge has a page event for them. Its fixed
// answers: launching succeeds, only portrait is supported, every opened URL is handled.
//
// Main thread only, called by the application loop (UIApplicationMain).

#include <memory>
#include <string>

#include "platform/uikit/UIApplicationMain.h"
#include "platform/uikit/UIWindow.h"

class AppDelegate : public plat::UIApplicationLifecycleDelegate {
 public:
  // The class name UIApplicationMain creates the delegate by.
  static const std::string& ClassName();
  // Makes the class known to UIApplicationMain (idempotent).
  static void Register();

  std::shared_ptr<plat::UIWindow> window() const override { return window_; }
  void setWindow(std::shared_ptr<plat::UIWindow> window) { window_ = std::move(window); }

  std::optional<bool> applicationDidFinishLaunchingWithOptions(
      plat::UIApplication& application, const plat::Dictionary& options) override;
  std::optional<uint64_t> applicationSupportedInterfaceOrientationsForWindow(
      plat::UIApplication& application, const std::shared_ptr<plat::UIWindow>& window) override;
  void applicationWillResignActive(plat::UIApplication& application) override;
  void applicationDidEnterBackground(plat::UIApplication& application) override;
  void applicationWillEnterForeground(plat::UIApplication& application) override;
  void applicationDidBecomeActive(plat::UIApplication& application) override;
  void applicationWillTerminate(plat::UIApplication& application) override;
  void applicationDidRegisterForRemoteNotificationsWithDeviceToken(
      plat::UIApplication& application, const plat::Data& deviceToken) override;
  void applicationDidFailToRegisterForRemoteNotificationsWithError(
      plat::UIApplication& application, const plat::NSErrorRef& error) override;
  void applicationDidReceiveRemoteNotification(plat::UIApplication& application,
                                               const plat::Dictionary& userInfo) override;
  std::optional<bool> applicationHandleOpenURL(plat::UIApplication& application,
                                               const plat::NSURLRef& url) override;
  std::optional<bool> applicationOpenURLSourceApplicationAnnotation(
      plat::UIApplication& application, const plat::NSURLRef& url,
      const std::string& sourceApplication, const plat::Value& annotation) override;
  std::optional<bool> applicationOpenURLOptions(plat::UIApplication& application,
                                                const plat::NSURLRef& url,
                                                const plat::Dictionary& options) override;

 private:
  std::shared_ptr<plat::UIWindow> window_;
};
