#pragma once
// HSSDKPlugin: the bridge plugin of a second login and payment SDK. Dormant in this
// application: nothing implements HSSDKInterface, so the registry never gives it an
// interface and the page never sees HSSDK_IOS. A host that supplies an interface (registered
// under the name "HSSDK") gets the whole road: the script object HSSDK_IOS, the handler
// "iOS_HSSDK", and the login, logout and payment callbacks (ids 2901-2903) raised in the
// page as "onLogin", "onLogout" and "onPay".
//
// Thread-safety: class operations only. Load, Unload and SetWebView on the main thread; the
// callbacks and CallJS from any thread (evaluation is posted to the main queue).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/webkit/WKWebView.h"

// The SDK interface object a host supplies.
class HSSDKInterface : public plat::Object {
 public:
  using Callback = void (*)(const char* json);  // the JSON text, or null
  virtual void InitSDK() = 0;
  virtual void ReleaseSDK() = 0;
  virtual void RegCBCallback(int32_t id, Callback callback) = 0;
  virtual int32_t GetInitResult() = 0;
  virtual void Login() = 0;
  virtual void Logout() = 0;
  virtual void Pay(const std::optional<std::string>& json) = 0;
  virtual void LogRole(const std::optional<std::string>& json) = 0;
  virtual std::optional<std::string> GetGameId() = 0;
  virtual bool IsSendAppStore() = 0;
};

class HSSDKPlugin {
 public:
  static constexpr const char* kHandlerName = "iOS_HSSDK";
  static constexpr const char* kScriptObject = "HSSDK_IOS";
  static constexpr int32_t kLoginCallbackId = 2901;
  static constexpr int32_t kLogoutCallbackId = 2902;
  static constexpr int32_t kPayCallbackId = 2903;

  // Makes the plugin known to the bridge registry (IOSPlugin).
  static void Register();
  // Stores an HSSDKInterface (other objects and null are ignored).
  static void SetInterface(const plat::ObjectRef& object);
  static std::shared_ptr<HSSDKInterface> GetInterface();
  // With an interface: its InitSDK, then the three callbacks.
  static void Load();
  static void Unload();
  static void SetWebView(const plat::WKWebViewRef& webView);
  static void CallJS(const std::string& script);
  // The text ready for a reply's double quotes (IOSPluginProcessInjectString): compact,
  // escaped; nullopt and "" unchanged.
  static std::optional<std::string> ProcessInjectString(const std::optional<std::string>& text);
  static const std::string& Script();

  // The C callbacks.
  static void OnHSSDKLogin(const char* json);
  static void OnHSSDKLogout(const char* json);
  static void OnHSSDKPay(const char* json);

  static void ResetForTesting();
};

class HSSDKHandler : public plat::Object, public plat::WKScriptMessageHandler {
 public:
  std::string className() const override { return "HSSDKHandler"; }
  void userContentControllerDidReceiveScriptMessage(
      const std::shared_ptr<plat::WKUserContentController>& controller,
      const plat::WKScriptMessageRef& message) override;
};
