#pragma once
// The application's event side: the delegate protocol with the launch, life-cycle, remote
// notification, URL and orientation operations, the application main function that creates
// the delegate by class name and runs the main run loop, and the entry points through which
// a host (or a test) delivers the phone's events to the delegate.
//
// Thread-safety: everything here runs on the main thread, except
// UIApplicationRequestTermination(), which may be called from any thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/NSError.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/UIApplication.h"

namespace plat {

inline constexpr const char* UIApplicationDidFinishLaunchingNotification =
    "UIApplicationDidFinishLaunchingNotification";

// Orientation masks.
enum UIInterfaceOrientationMask : uint64_t {
  UIInterfaceOrientationMaskPortrait = 1 << 1,
  UIInterfaceOrientationMaskLandscapeLeft = 1 << 4,
  UIInterfaceOrientationMaskLandscapeRight = 1 << 3,
  UIInterfaceOrientationMaskPortraitUpsideDown = 1 << 2,
  UIInterfaceOrientationMaskAll = (1 << 1) | (1 << 2) | (1 << 3) | (1 << 4),
};

// The application-delegate protocol. Every operation is optional: the defaults do nothing;
// those with a result answer std::nullopt ("not implemented").
class UIApplicationLifecycleDelegate : public UIApplicationDelegate {
 public:
  virtual std::optional<bool> applicationDidFinishLaunchingWithOptions(UIApplication& application,
                                                                       const Dictionary& options) {
    return std::nullopt;
  }
  virtual std::optional<uint64_t> applicationSupportedInterfaceOrientationsForWindow(
      UIApplication& application, const std::shared_ptr<UIWindow>& window) {
    return std::nullopt;
  }
  virtual void applicationWillResignActive(UIApplication& application) {}
  virtual void applicationDidEnterBackground(UIApplication& application) {}
  virtual void applicationWillEnterForeground(UIApplication& application) {}
  virtual void applicationDidBecomeActive(UIApplication& application) {}
  virtual void applicationWillTerminate(UIApplication& application) {}
  virtual void applicationDidRegisterForRemoteNotificationsWithDeviceToken(
      UIApplication& application, const Data& deviceToken) {}
  virtual void applicationDidFailToRegisterForRemoteNotificationsWithError(
      UIApplication& application, const NSErrorRef& error) {}
  virtual void applicationDidReceiveRemoteNotification(UIApplication& application,
                                                       const Dictionary& userInfo) {}
  virtual std::optional<bool> applicationHandleOpenURL(UIApplication& application,
                                                       const NSURLRef& url) {
    return std::nullopt;
  }
  virtual std::optional<bool> applicationOpenURLSourceApplicationAnnotation(
      UIApplication& application, const NSURLRef& url, const std::string& sourceApplication,
      const Value& annotation) {
    return std::nullopt;
  }
  virtual std::optional<bool> applicationOpenURLOptions(UIApplication& application,
                                                        const NSURLRef& url,
                                                        const Dictionary& options) {
    return std::nullopt;
  }
};
using UIApplicationLifecycleDelegateRef = std::shared_ptr<UIApplicationLifecycleDelegate>;

// Makes delegate classes known by name to UIApplicationMain. A second registration under a
// name replaces the first.
using UIApplicationDelegateFactory = std::function<UIApplicationLifecycleDelegateRef()>;
void UIApplicationRegisterDelegateClass(const std::string& className,
                                        UIApplicationDelegateFactory factory);

// The application main function: creates the delegate of class `delegateClassName`, makes it
// the shared application's delegate (kept alive for the process), launches it
// (didFinishLaunchingWithOptions, UIApplicationDidFinishLaunchingNotification, then
// didBecomeActive), runs the main run loop until termination is requested, and then
// terminates the application (applicationWillTerminate, then
// UIApplicationWillTerminateNotification). Returns 0; returns 1, with a message on standard
// error, when no delegate class of that name is registered. The principal class name is
// accepted for form: the application class is always UIApplication.
// REQUIRES: main thread.
int UIApplicationMain(int argc, char** argv, const std::string& principalClassName,
                      const std::string& delegateClassName);

// Ends the run loop of UIApplicationMain after its current turn (any thread). A request made
// before UIApplicationMain runs makes it terminate right after launching.
void UIApplicationRequestTermination();

// The launched application's delegate, or null before UIApplicationMain created it.
UIApplicationLifecycleDelegateRef UIApplicationCurrentDelegate();

// Phone events delivered to the delegate (host and tests), each also posting the platform's
// notification where it has one. Nothing happens without a delegate.
// REQUIRES (all): main thread.
void UIApplicationSendDidEnterBackground();   // willResignActive, then didEnterBackground
void UIApplicationSendWillEnterForeground();  // willEnterForeground, then didBecomeActive
// Opens a URL the way the platform's current form does (application:openURL:options:).
// Returns the delegate's answer (false when it does not implement it).
bool UIApplicationSendOpenURL(const NSURLRef& url, const Dictionary& options = {});

// Clears the delegate and pending termination (tests).
void UIApplicationMainResetForTesting();

}  // namespace plat
