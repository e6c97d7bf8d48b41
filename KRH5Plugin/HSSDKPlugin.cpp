#include "KRH5Plugin/HSSDKPlugin.h"

#include <mutex>

#include "KRH5Plugin/IOSPlugin.h"
#include "KRH5Plugin/IOSPluginScript.h"
#include "KRH5Plugin/IOSPluginSupport.h"

namespace {

struct State {
  IOSPluginState plugin{HSSDKPlugin::kHandlerName, HSSDKPlugin::Script()};
};

State& state() {
  static auto* s = new State();  // never destroyed
  return *s;
}

const std::string kObject = HSSDKPlugin::kScriptObject;

void jsonEvent(const char* callback, const char* json) {
  HSSDKPlugin::CallJS(json ? IOSPluginReplyJSON(kObject, callback, json)
                           : IOSPluginReply(kObject, callback));
}

}  // namespace

const std::string& HSSDKPlugin::Script() {
  static const std::string* script = new std::string(IOSPluginScriptSource(
      kScriptObject, "Init HSSDK", kHandlerName,
      {{"GetInitResult", {"function"}, "HSSDK_GetInitResult_CbFunc"},
       {"Login", {}},
       {"Logout", {}},
       {"Pay", {"object"}},
       {"LogRole", {"object"}},
       {"GetGameId", {"function"}, "HSSDK_GetGameId_CbFunc"},
       {"IsSendAppStore", {"function"}, "HSSDK_IsSendAppStore_CbFunc"}}));
  return *script;
}

void HSSDKPlugin::Register() {
  IOSPluginClass plugin;
  plugin.Load = &HSSDKPlugin::Load;
  plugin.Unload = &HSSDKPlugin::Unload;
  plugin.SetWebView = &HSSDKPlugin::SetWebView;
  plugin.SetInterface = &HSSDKPlugin::SetInterface;
  IOSPlugin::RegisterPlugin(IOSPlugin::kHSSDKPlugin, plugin);
}

void HSSDKPlugin::SetInterface(const plat::ObjectRef& object) {
  if (std::dynamic_pointer_cast<HSSDKInterface>(object)) state().plugin.SetInterface(object);
}

std::shared_ptr<HSSDKInterface> HSSDKPlugin::GetInterface() {
  return std::dynamic_pointer_cast<HSSDKInterface>(state().plugin.GetInterface());
}

void HSSDKPlugin::Load() {
  auto sdk = GetInterface();
  if (!sdk) return;
  sdk->InitSDK();
  sdk->RegCBCallback(kLoginCallbackId, &OnHSSDKLogin);
  sdk->RegCBCallback(kLogoutCallbackId, &OnHSSDKLogout);
  sdk->RegCBCallback(kPayCallbackId, &OnHSSDKPay);
}

void HSSDKPlugin::Unload() {
  if (auto sdk = GetInterface()) sdk->ReleaseSDK();
}

void HSSDKPlugin::SetWebView(const plat::WKWebViewRef& webView) {
  state().plugin.SetWebView(webView, [] { return std::make_shared<HSSDKHandler>(); });
}

void HSSDKPlugin::CallJS(const std::string& script) { state().plugin.CallJS(script); }

std::optional<std::string> HSSDKPlugin::ProcessInjectString(
    const std::optional<std::string>& text) {
  return IOSPluginProcessInjectString(text);
}

void HSSDKPlugin::OnHSSDKLogin(const char* json) { jsonEvent("onLogin", json); }
void HSSDKPlugin::OnHSSDKLogout(const char* json) { jsonEvent("onLogout", json); }
void HSSDKPlugin::OnHSSDKPay(const char* json) { jsonEvent("onPay", json); }

void HSSDKPlugin::ResetForTesting() { state().plugin.ResetForTesting(); }

void HSSDKHandler::userContentControllerDidReceiveScriptMessage(
    const std::shared_ptr<plat::WKUserContentController>&, const plat::WKScriptMessageRef& message) {
  auto sdk = HSSDKPlugin::GetInterface();
  auto msg = IOSPluginReadMessage(message);
  if (!sdk || !msg) return;
  const std::string& name = msg->name;
  if (name == "GetInitResult") {
    HSSDKPlugin::CallJS(
        IOSPluginReplyInt(kObject, "HSSDK_GetInitResult_CbFunc", sdk->GetInitResult()));
  } else if (name == "Login") {
    sdk->Login();
  } else if (name == "Logout") {
    sdk->Logout();
  } else if (name == "Pay") {
    sdk->Pay(msg->text());
  } else if (name == "LogRole") {
    sdk->LogRole(msg->text());
  } else if (name == "GetGameId") {
    auto id = sdk->GetGameId();
    HSSDKPlugin::CallJS(id ? IOSPluginReplyText(kObject, "HSSDK_GetGameId_CbFunc", *id)
                           : IOSPluginReply(kObject, "HSSDK_GetGameId_CbFunc"));
  } else if (name == "IsSendAppStore") {
    HSSDKPlugin::CallJS(
        IOSPluginReplyBool(kObject, "HSSDK_IsSendAppStore_CbFunc", sdk->IsSendAppStore()));
  }
}
