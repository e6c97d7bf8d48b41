#pragma once
// KiteSDKPlugin: the bridge plugin of the game's account and payment life cycle. Injects the
// script object KiteSDK_IOS into every page, registers KiteSDKHandler as "iOS_KiteSDK", and
// passes the page's commands to the SDK interface object that the application registered
// under "KiteSDK" (a KiteSDKInterface). Login, logout and payment outcomes come back through
// the three callbacks it registers on the interface and reach the page as "onLogin",
// "onLogout" and "onPay".
//
// An outcome belongs to the page that asked for it (by its Login, Logout or Pay): one that
// comes once that page has gone (IOSPlugin::EndPage) is logged and dropped, so a later page
// never hears of it. An outcome no page is waiting for (the player leaving through the
// channel's user centre) reaches the page shown.
//
// Without an interface the plugin neither loads, nor injects its script, nor answers.
//
// Thread-safety: class operations only, process-wide state. Load, Unload and SetWebView run on
// the main thread; the callbacks may run on any thread (their replies are evaluated on the
// main thread).

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/webkit/WKWebView.h"

class KiteSDKInterface;

class KiteSDKPlugin {
 public:
  static constexpr const char* kHandlerName = "iOS_KiteSDK";
  static constexpr const char* kScriptObject = "KiteSDK_IOS";

  // Makes the plugin known to the bridge registry (IOSPlugin).
  static void Register();

  // Keeps `object` when it is a KiteSDKInterface; anything else is ignored.
  static void SetInterface(const plat::ObjectRef& object);
  static std::shared_ptr<KiteSDKInterface> GetInterface();
  // InitSDK on the interface, then the callbacks 1401, 1402 and 1403.
  static void Load();
  // ReleaseSDK on the interface; interface, web view and handler stay.
  static void Unload();
  // The page is going away: the interface ends its orders (EndPendingOrders), so none of them
  // opens a cashier or reports to a later page. Callbacks and subscriptions stay.
  static void EndPage();
  static void SetWebView(const plat::WKWebViewRef& webView);
  static void CallJS(const std::string& script);
  // The text ready for a reply's double quotes (IOSPluginProcessInjectString): compact,
  // escaped; nullopt and "" unchanged.
  static std::optional<std::string> ProcessInjectString(const std::optional<std::string>& text);
  // The KiteSDK_IOS script.
  static const std::string& Script();

  // The callbacks: a null text calls the page's callback without a value. Each answers the
  // page that asked for its kind of outcome, and only while that page is shown.
  static void OnKiteSDKLogin(const char* json);
  static void OnKiteSDKLogout(const char* json);
  static void OnKiteSDKPay(const char* json);

  // Forgets interface, web view, handler and the pages waiting for outcomes (tests).
  static void ResetForTesting();
};

// The script message handler "iOS_KiteSDK": runs the command a message names on the
// interface; "GetInitResult" and "GetChannelType" reply at once. Malformed or unknown
// messages are dropped. Holds no state. Main thread.
class KiteSDKHandler : public plat::Object, public plat::WKScriptMessageHandler {
 public:
  std::string className() const override { return "KiteSDKHandler"; }
  void userContentControllerDidReceiveScriptMessage(
      const std::shared_ptr<plat::WKUserContentController>& controller,
      const plat::WKScriptMessageRef& message) override;
};
