#pragma once
// IOSPlugin: the script bridge's registry. Wires the plugin classes to the web view (their
// script message handlers and injected scripts), hands the SDK interface object to the
// plugin of its kind, keeps the controller that presents the bridge's screens, registers the
// console handler "iOS_Console", and sets up logging when the bridge is loaded.
//
// Plugin classes (Sys, KiteSDK, HSSDK, MXSDK) make themselves known with RegisterPlugin; the
// registry calls those present, in that fixed order, and skips the others.
//
// Thread-safety: class operations only, process-wide state. Everything runs on the main
// thread except CallJS, which may be called from any thread (the evaluation is posted to the
// main queue).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/uikit/UIViewController.h"
#include "platform/webkit/WKWebView.h"

class IOSPluginState;

// What the registry calls on a plugin class. Missing operations are skipped.
struct IOSPluginClass {
  std::function<void()> Load;
  std::function<void()> Unload;
  std::function<void(const plat::WKWebViewRef&)> SetWebView;
  std::function<void(const plat::ObjectRef&)> SetInterface;  // SDK plugins
  // The page in the web view is going away: end what it still waits for.
  std::function<void()> EndPage;
};

class IOSPlugin {
 public:
  // The plugin classes, in the order the registry loads them.
  enum PluginSlot { kSysPlugin = 0, kKiteSDKPlugin, kHSSDKPlugin, kMXSDKPlugin, kPluginSlots };
  // The SDK kind chosen by SetInterfaceWithName.
  enum SDKKind { kSDKNone = 0, kSDKHSSDK = 1, kSDKKiteSDK = 2 };

  static constexpr const char* kConsoleHandlerName = "iOS_Console";

  // Makes a plugin class known in its slot (a later registration replaces it).
  static void RegisterPlugin(PluginSlot slot, IOSPluginClass plugin);

  // Loads the plugins (Sys, KiteSDK, HSSDK, MX), then InitLogger. The interface must be set
  // before: an SDK plugin registers its callbacks only while loading.
  static void Load();
  // Unloads the plugins in the same order. Logging stays.
  static void Unload();

  // Nothing unless both are set. "HSSDK": kind 1 and the HSSDK plugin gets the object;
  // "KiteSDK": kind 2 and the KiteSDK plugin gets it; any other name is ignored.
  static void SetInterfaceWithName(const plat::ObjectRef& object, const std::string& name);
  static SDKKind GetSDKKind();

  // Nothing when null or the web view already kept. Otherwise keeps it, registers a new
  // console handler under "iOS_Console", then the Sys plugin's web view, the SDK plugin's of
  // the current kind, and always the MX plugin's.
  static void SetWebView(const plat::WKWebViewRef& webView);
  static plat::WKWebViewRef GetWebView();

  // Evaluates `script` in the kept web view (posted to the main queue, no completion).
  // Nothing when either is empty. Any thread.
  static void CallJS(const std::string& script);

  // The page in the web view is going away, replaced by a new load (the page's "Reload", the
  // retry of a failed load, a navigation of the page's own). Starts the next page number
  // (IOSPluginCurrentPage), so replies and late answers meant for the old page reach no later
  // one, then lets every registered plugin end what the old page still waits for. Calling it
  // again before the new page is shown does no harm. Main thread.
  static void EndPage();
  // The number of the page shown now (IOSPluginCurrentPage). Any thread.
  static uint64_t CurrentPage();

  static plat::UIViewControllerRef GetRootController();
  static void SetRootController(const plat::UIViewControllerRef& controller);

  // A rolling file logger (every hour, 48 files) and the system-log logger, added to LGLog.
  static void InitLogger();

  // Forgets kind, web view, handler, root controller and registered plugins (tests).
  static void ResetForTesting();
};
