#pragma once
// UIApplication: the process-wide application object: its delegate, windows, key window and
// status-bar facts. Life-cycle notifications are posted by the host or tests through
// NSNotificationCenter with the names below. Main thread only.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/uikit/UIWindow.h"

namespace plat {

inline constexpr const char* UIApplicationWillTerminateNotification =
    "UIApplicationWillTerminateNotification";
inline constexpr const char* UIApplicationDidReceiveMemoryWarningNotification =
    "UIApplicationDidReceiveMemoryWarningNotification";
inline constexpr const char* UIApplicationDidEnterBackgroundNotification =
    "UIApplicationDidEnterBackgroundNotification";
inline constexpr const char* UIApplicationWillEnterForegroundNotification =
    "UIApplicationWillEnterForegroundNotification";
inline constexpr const char* UIApplicationDidBecomeActiveNotification =
    "UIApplicationDidBecomeActiveNotification";
inline constexpr const char* UIApplicationWillResignActiveNotification =
    "UIApplicationWillResignActiveNotification";
inline constexpr const char* UIApplicationDidChangeStatusBarOrientationNotification =
    "UIApplicationDidChangeStatusBarOrientationNotification";

using UIBackgroundTaskIdentifier = uint64_t;
inline constexpr UIBackgroundTaskIdentifier UIBackgroundTaskInvalid = 0;

enum UIStatusBarStyle : int64_t {
  UIStatusBarStyleDefault = 0,
  UIStatusBarStyleLightContent = 1,
  UIStatusBarStyleDarkContent = 3
};

enum UIInterfaceOrientation : int64_t {
  UIInterfaceOrientationUnknown = 0,
  UIInterfaceOrientationPortrait = 1,
  UIInterfaceOrientationPortraitUpsideDown = 2,
  UIInterfaceOrientationLandscapeLeft = 4,
  UIInterfaceOrientationLandscapeRight = 3
};

// Background tasks (begin, end, expire) may be used from any thread; the rest of the class is
// main thread only.

// The application delegate protocol; every operation is optional.
class UIApplicationDelegate {
 public:
  virtual ~UIApplicationDelegate() = default;
  virtual std::shared_ptr<UIWindow> window() const { return nullptr; }
};

class UIApplication {
 public:
  static UIApplication& sharedApplication();
  void resetForTesting();

  std::shared_ptr<UIApplicationDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<UIApplicationDelegate> d) { delegate_ = std::move(d); }
  std::vector<std::shared_ptr<UIWindow>> windows() const { return UIWindow::allWindows(); }
  // The window made key last that is still alive, or nullptr.
  std::shared_ptr<UIWindow> keyWindow() const { return key_.lock(); }
  void setKeyWindow(const std::shared_ptr<UIWindow>& w) { key_ = w; }
  UIStatusBarStyle statusBarStyle() const { return statusBarStyle_; }
  void setStatusBarStyle(UIStatusBarStyle s) { statusBarStyle_ = s; }
  bool isStatusBarHidden() const { return statusBarHidden_; }
  void setStatusBarHidden(bool h) { statusBarHidden_ = h; }
  UIInterfaceOrientation statusBarOrientation() const { return orientation_; }
  void setStatusBarOrientation(UIInterfaceOrientation o) { orientation_ = o; }
  bool isIdleTimerDisabled() const { return idleTimerDisabled_; }
  void setIdleTimerDisabled(bool d) { idleTimerDisabled_ = d; }
  // The status bar's network activity indicator. There is no status bar here: the flag is
  // kept, and every change of its value is counted.
  bool isNetworkActivityIndicatorVisible() const { return networkIndicatorVisible_; }
  void setNetworkActivityIndicatorVisible(bool visible) {
    if (visible == networkIndicatorVisible_) return;
    networkIndicatorVisible_ = visible;
    ++networkIndicatorChanges_;
  }
  // How many times the indicator's value changed since start (or resetForTesting).
  uint64_t networkActivityIndicatorChangeCount() const { return networkIndicatorChanges_; }

  // Asks for time to finish work should the application move to the background. Returns a new
  // identifier (never UIBackgroundTaskInvalid); the handler (may be empty) runs when the time
  // runs out and must end the task. Any thread.
  UIBackgroundTaskIdentifier beginBackgroundTaskWithExpirationHandler(
      std::function<void()> handler);
  // Ends a task. Unknown, already ended or invalid identifiers are ignored (and logged).
  void endBackgroundTask(UIBackgroundTaskIdentifier identifier);
  // Tasks begun and not yet ended.
  size_t backgroundTaskCountForTesting() const;
  // Runs the expiration handler of every task open now, on the calling thread, as the system
  // does when background time runs out; each handler is called once.
  void expireAllBackgroundTasksForTesting();

 private:
  void resetBackgroundTasksForTesting();

  mutable std::mutex tasksMutex_;
  std::map<UIBackgroundTaskIdentifier, std::function<void()>> tasks_;
  UIBackgroundTaskIdentifier lastTask_ = UIBackgroundTaskInvalid;

  std::weak_ptr<UIApplicationDelegate> delegate_;
  std::weak_ptr<UIWindow> key_;
  UIStatusBarStyle statusBarStyle_ = UIStatusBarStyleDefault;
  bool statusBarHidden_ = false;
  UIInterfaceOrientation orientation_ = UIInterfaceOrientationPortrait;
  bool idleTimerDisabled_ = false;
  bool networkIndicatorVisible_ = false;
  uint64_t networkIndicatorChanges_ = 0;
};

}  // namespace plat
