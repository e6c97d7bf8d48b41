#pragma once
// MXSDKPlugin: the bridge plugin of a messaging app's registration, login, payment and
// sharing. Dormant in this application: nothing implements MXSDKInterface. A host that gives
// the plugin an interface (MXSDKPlugin::SetInterface; the registry has no name for it) gets
// the script object ZIRaz.iOS.MXSDK (ZIRaz and ZIRaz.iOS are created when the page has none),
// the handler "iOS_MXSDK" and the callbacks 215 ("onRegister") and 211-214 ("onMXReq",
// "onLogin", "onPay", "onShare").
//
// Callback texts are trimmed of white space at both ends and go into the page through the
// bridge's escaping, spaces inside kept.
//
// Thread-safety: as HSSDKPlugin.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"
#include "platform/webkit/WKWebView.h"

class MXSDKInterface : public plat::Object {
 public:
  using TextCallback = void (*)(const char* json);  // the JSON text, or null
  using IntCallback = void (*)(int32_t value);
  virtual void InitSDK() = 0;
  virtual void ReleaseSDK() = 0;
  virtual void RegCBCallback(int32_t id, TextCallback callback) = 0;
  virtual void RegCBCallback(int32_t id, IntCallback callback) = 0;
  virtual void RegisterMX(const std::optional<std::string>& text) = 0;
  virtual bool IsRegistered() = 0;
  virtual bool IsMXAppInstalled() = 0;
  virtual void Login(const std::optional<std::string>& json) = 0;
  virtual void Pay(const std::optional<std::string>& json) = 0;
  virtual void SendText(const std::optional<std::string>& json) = 0;
  virtual void SendImage(const std::optional<std::string>& json) = 0;
  virtual void SendWebpage(const std::optional<std::string>& json) = 0;
  virtual void OnLogin(const plat::Value& object) = 0;
  virtual void OnPay(const plat::Value& object) = 0;
  virtual void OnShare(const plat::Value& object) = 0;
};

class MXSDKPlugin {
 public:
  static constexpr const char* kHandlerName = "iOS_MXSDK";
  static constexpr const char* kScriptObject = "ZIRaz.iOS.MXSDK";
  static constexpr int32_t kRegisterCallbackId = 215;
  static constexpr int32_t kReqCallbackId = 211;
  static constexpr int32_t kLoginCallbackId = 212;
  static constexpr int32_t kPayCallbackId = 213;
  static constexpr int32_t kShareCallbackId = 214;

  static void Register();
  // Stores an MXSDKInterface (other objects and null are ignored).
  static void SetInterface(const plat::ObjectRef& object);
  static std::shared_ptr<MXSDKInterface> GetInterface();
  static void Load();
  static void Unload();
  // Nothing while the plugin has no interface.
  static void SetWebView(const plat::WKWebViewRef& webView);
  static void CallJS(const std::string& script);
  static const std::string& Script();
  // Passed on to the interface when one is set.
  static void OnLogin(const plat::Value& object);
  static void OnPay(const plat::Value& object);
  static void OnShare(const plat::Value& object);

  // The C callbacks.
  static void OnMXRegister(int32_t value);
  static void OnMXReq(const char* json);
  static void OnMXLogin(const char* json);
  static void OnMXPay(const char* json);
  static void OnMXShare(const char* json);

  static void ResetForTesting();
};

class MXSDKHandler : public plat::Object, public plat::WKScriptMessageHandler {
 public:
  std::string className() const override { return "MXSDKHandler"; }
  void userContentControllerDidReceiveScriptMessage(
      const std::shared_ptr<plat::WKUserContentController>& controller,
      const plat::WKScriptMessageRef& message) override;
};
