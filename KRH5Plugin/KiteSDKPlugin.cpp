#include "KRH5Plugin/KiteSDKPlugin.h"

#include "KRH5Plugin/IOSPlugin.h"
#include "KRH5Plugin/IOSPluginScript.h"
#include "KRH5Plugin/IOSPluginSupport.h"
#include "aggregation/KiteSDKInterface.h"

namespace {

constexpr const char* kGetInitResultCallback = "KiteSDK_GetInitResult_CbFunc";
constexpr const char* kGetChannelTypeCallback = "KiteSDK_GetChannelType_CbFunc";

IOSPluginState& state() {
  static auto* s = new IOSPluginState(KiteSDKPlugin::kHandlerName, KiteSDKPlugin::Script());
  return *s;
}

void event(const char* callback, const char* json) {
  const std::string object = KiteSDKPlugin::kScriptObject;
  KiteSDKPlugin::CallJS(json ? IOSPluginReplyJSON(object, callback, json)
                             : IOSPluginReply(object, callback));
}

}  // namespace

const std::string& KiteSDKPlugin::Script() {
  using M = IOSPluginScriptMethod;
  static const std::string* script = new std::string(IOSPluginScriptSource(
      kScriptObject, "Init Kite", kHandlerName,
      {M{"GetInitResult", {"function"}, kGetInitResultCallback}, M{"ReInit", {}}, M{"Login", {}},
       M{"SetGameRoleInfo", {"object"}}, M{"Pay", {"object"}}, M{"Logout", {}},
       M{"GetChannelType", {"function"}, kGetChannelTypeCallback}}));
  return *script;
}

void KiteSDKPlugin::Register() {
  IOSPluginClass plugin;
  plugin.Load = &KiteSDKPlugin::Load;
  plugin.Unload = &KiteSDKPlugin::Unload;
  plugin.SetWebView = &KiteSDKPlugin::SetWebView;
  plugin.SetInterface = &KiteSDKPlugin::SetInterface;
  plugin.EndPage = &KiteSDKPlugin::EndPage;
  IOSPlugin::RegisterPlugin(IOSPlugin::kKiteSDKPlugin, plugin);
}

void KiteSDKPlugin::SetInterface(const plat::ObjectRef& object) {
  if (std::dynamic_pointer_cast<KiteSDKInterface>(object)) state().SetInterface(object);
}

std::shared_ptr<KiteSDKInterface> KiteSDKPlugin::GetInterface() {
  return std::dynamic_pointer_cast<KiteSDKInterface>(state().GetInterface());
}

void KiteSDKPlugin::Load() {
  auto iface = GetInterface();
  if (!iface) return;
  iface->InitSDK();
  KiteSDKInterface::RegCBCallback(kKiteSDKLoginCallbackId, &KiteSDKPlugin::OnKiteSDKLogin);
  KiteSDKInterface::RegCBCallback(kKiteSDKLogoutCallbackId, &KiteSDKPlugin::OnKiteSDKLogout);
  KiteSDKInterface::RegCBCallback(kKiteSDKPayCallbackId, &KiteSDKPlugin::OnKiteSDKPay);
}

void KiteSDKPlugin::Unload() {
  if (auto iface = GetInterface()) iface->ReleaseSDK();
}

void KiteSDKPlugin::EndPage() {
  if (auto iface = GetInterface()) iface->EndPendingOrders();
}

void KiteSDKPlugin::SetWebView(const plat::WKWebViewRef& webView) {
  if (!GetInterface()) return;
  state().SetWebView(webView, [] { return std::make_shared<KiteSDKHandler>(); });
}

void KiteSDKPlugin::CallJS(const std::string& script) { state().CallJS(script); }

std::optional<std::string> KiteSDKPlugin::ProcessInjectString(
    const std::optional<std::string>& text) {
  return IOSPluginProcessInjectString(text);
}

void KiteSDKPlugin::OnKiteSDKLogin(const char* json) { event("onLogin", json); }
void KiteSDKPlugin::OnKiteSDKLogout(const char* json) { event("onLogout", json); }
void KiteSDKPlugin::OnKiteSDKPay(const char* json) { event("onPay", json); }

void KiteSDKPlugin::ResetForTesting() { state().ResetForTesting(); }

void KiteSDKHandler::userContentControllerDidReceiveScriptMessage(
    const std::shared_ptr<plat::WKUserContentController>&, const plat::WKScriptMessageRef& message) {
  auto iface = KiteSDKPlugin::GetInterface();
  auto msg = IOSPluginReadMessage(message);
  if (!iface || !msg) return;
  const std::string& name = msg->name;
  std::optional<std::string> text = msg->text();
  const std::string object = KiteSDKPlugin::kScriptObject;
  if (name == "GetInitResult") {
    KiteSDKPlugin::CallJS(IOSPluginReplyInt(object, kGetInitResultCallback, iface->GetInitResult()));
  } else if (name == "ReInit") {
    iface->ReInit();
  } else if (name == "Login") {
    iface->Login();
  } else if (name == "SetGameRoleInfo") {
    iface->SetGameRoleInfo(text);
  } else if (name == "Pay") {
    iface->Pay(text);
  } else if (name == "Logout") {
    iface->Logout();
  } else if (name == "GetChannelType") {
    KiteSDKPlugin::CallJS(IOSPluginReplyInt(object, kGetChannelTypeCallback, iface->GetChannelType()));
  }
}
