#include "platform/uikit/UIApplicationMain.h"

#include <atomic>
#include <map>
#include <mutex>

#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/foundation/NSLog.h"

namespace plat {
namespace {

struct MainState {
  std::mutex mu;
  std::map<std::string, UIApplicationDelegateFactory> factories;
  UIApplicationLifecycleDelegateRef delegate;  // main thread only
  std::atomic<bool> terminationRequested{false};
  std::atomic<bool> running{false};
};

MainState& state() {
  static MainState* s = new MainState();  // never destroyed: no exit-time races
  return *s;
}

void post(const char* name) {
  NSNotificationCenter::defaultCenter().postNotificationNameObject(name, Value());
}

}  // namespace

void UIApplicationRegisterDelegateClass(const std::string& className,
                                        UIApplicationDelegateFactory factory) {
  std::lock_guard<std::mutex> lock(state().mu);
  state().factories[className] = std::move(factory);
}

int UIApplicationMain(int argc, char** argv, const std::string& principalClassName,
                      const std::string& delegateClassName) {
  auto& s = state();
  UIApplicationDelegateFactory factory;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    auto it = s.factories.find(delegateClassName);
    if (it != s.factories.end()) factory = it->second;
  }
  auto delegate = factory ? factory() : nullptr;
  if (!delegate) {
    writeToStandardError("UIApplicationMain: no application delegate class named \"" +
                         delegateClassName + "\"");
    return 1;
  }
  auto& app = UIApplication::sharedApplication();
  s.delegate = delegate;
  app.setDelegate(delegate);

  delegate->applicationDidFinishLaunchingWithOptions(app, Dictionary());
  post(UIApplicationDidFinishLaunchingNotification);
  delegate->applicationDidBecomeActive(app);
  post(UIApplicationDidBecomeActiveNotification);

  auto loop = RunLoop::main();
  s.running.store(true);
  while (!s.terminationRequested.load()) loop->run();
  s.running.store(false);

  delegate->applicationWillTerminate(app);
  post(UIApplicationWillTerminateNotification);
  return 0;
}

void UIApplicationRequestTermination() {
  state().terminationRequested.store(true);
  RunLoop::main()->stop();
  RunLoop::main()->wakeUp();
}

UIApplicationLifecycleDelegateRef UIApplicationCurrentDelegate() { return state().delegate; }

void UIApplicationSendDidEnterBackground() {
  auto d = state().delegate;
  if (!d) return;
  auto& app = UIApplication::sharedApplication();
  d->applicationWillResignActive(app);
  post(UIApplicationWillResignActiveNotification);
  d->applicationDidEnterBackground(app);
  post(UIApplicationDidEnterBackgroundNotification);
}

void UIApplicationSendWillEnterForeground() {
  auto d = state().delegate;
  if (!d) return;
  auto& app = UIApplication::sharedApplication();
  d->applicationWillEnterForeground(app);
  post(UIApplicationWillEnterForegroundNotification);
  d->applicationDidBecomeActive(app);
  post(UIApplicationDidBecomeActiveNotification);
}

bool UIApplicationSendOpenURL(const NSURLRef& url, const Dictionary& options) {
  auto d = state().delegate;
  if (!d) return false;
  return d->applicationOpenURLOptions(UIApplication::sharedApplication(), url, options)
      .value_or(false);
}

void UIApplicationMainResetForTesting() {
  state().delegate.reset();
  state().terminationRequested.store(false);
}

}  // namespace plat
