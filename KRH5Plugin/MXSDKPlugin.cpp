#include "KRH5Plugin/MXSDKPlugin.h"

#include "KRH5Plugin/IOSPlugin.h"
#include "KRH5Plugin/IOSPluginScript.h"
#include "KRH5Plugin/IOSPluginSupport.h"

namespace {

struct State {
  IOSPluginState plugin{MXSDKPlugin::kHandlerName, MXSDKPlugin::Script()};
};

State& state() {
  static auto* s = new State();  // never destroyed
  return *s;
}

const std::string kObject = MXSDKPlugin::kScriptObject;

// The callback's JSON text, trimmed at both ends; spaces inside are kept.
void jsonEvent(const char* callback, const char* json) {
  if (!json) {
    MXSDKPlugin::CallJS(IOSPluginReply(kObject, callback));
    return;
  }
  std::string text(json);
  const char* blank = " \t\r\n\v\f";
  size_t first = text.find_first_not_of(blank);
  size_t last = text.find_last_not_of(blank);
  text = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
  MXSDKPlugin::CallJS(IOSPluginReplyJSON(kObject, callback, text));
}

}  // namespace

const std::string& MXSDKPlugin::Script() {
  static const std::string* script = new std::string(IOSPluginScriptSource(
      kScriptObject, "Init MX", kHandlerName,
      {{"RegisterMX", {"string"}},
       {"IsRegistered", {"function"}, "MXSDK_IsRegistered_CbFunc"},
       {"IsMXAppInstalled", {"function"}, "MXSDK_IsMXAppInstalled_CbFunc"},
       {"Login", {"object"}},
       {"Pay", {"object"}},
       {"SendText", {"object"}},
       {"SendImage", {"object"}},
       {"SendWebpage", {"object"}}}));
  return *script;
}

void MXSDKPlugin::Register() {
  IOSPluginClass plugin;
  plugin.Load = &MXSDKPlugin::Load;
  plugin.Unload = &MXSDKPlugin::Unload;
  plugin.SetWebView = &MXSDKPlugin::SetWebView;
  IOSPlugin::RegisterPlugin(IOSPlugin::kMXSDKPlugin, plugin);
}

void MXSDKPlugin::SetInterface(const plat::ObjectRef& object) {
  if (std::dynamic_pointer_cast<MXSDKInterface>(object)) state().plugin.SetInterface(object);
}

std::shared_ptr<MXSDKInterface> MXSDKPlugin::GetInterface() {
  return std::dynamic_pointer_cast<MXSDKInterface>(state().plugin.GetInterface());
}

void MXSDKPlugin::Load() {
  auto sdk = GetInterface();
  if (!sdk) return;
  sdk->InitSDK();
  sdk->RegCBCallback(kRegisterCallbackId, &OnMXRegister);
  sdk->RegCBCallback(kReqCallbackId, &OnMXReq);
  sdk->RegCBCallback(kLoginCallbackId, &OnMXLogin);
  sdk->RegCBCallback(kPayCallbackId, &OnMXPay);
  sdk->RegCBCallback(kShareCallbackId, &OnMXShare);
}

void MXSDKPlugin::Unload() {
  if (auto sdk = GetInterface()) sdk->ReleaseSDK();
}

void MXSDKPlugin::SetWebView(const plat::WKWebViewRef& webView) {
  if (!GetInterface()) return;
  state().plugin.SetWebView(webView, [] { return std::make_shared<MXSDKHandler>(); });
}

void MXSDKPlugin::CallJS(const std::string& script) { state().plugin.CallJS(script); }

void MXSDKPlugin::OnLogin(const plat::Value& object) {
  if (auto sdk = GetInterface()) sdk->OnLogin(object);
}
void MXSDKPlugin::OnPay(const plat::Value& object) {
  if (auto sdk = GetInterface()) sdk->OnPay(object);
}
void MXSDKPlugin::OnShare(const plat::Value& object) {
  if (auto sdk = GetInterface()) sdk->OnShare(object);
}

void MXSDKPlugin::OnMXRegister(int32_t value) {
  CallJS(IOSPluginReplyInt(kObject, "onRegister", value));
}
void MXSDKPlugin::OnMXReq(const char* json) { jsonEvent("onMXReq", json); }
void MXSDKPlugin::OnMXLogin(const char* json) { jsonEvent("onLogin", json); }
void MXSDKPlugin::OnMXPay(const char* json) { jsonEvent("onPay", json); }
void MXSDKPlugin::OnMXShare(const char* json) { jsonEvent("onShare", json); }

void MXSDKPlugin::ResetForTesting() { state().plugin.ResetForTesting(); }

void MXSDKHandler::userContentControllerDidReceiveScriptMessage(
    const std::shared_ptr<plat::WKUserContentController>&, const plat::WKScriptMessageRef& message) {
  auto sdk = MXSDKPlugin::GetInterface();
  auto msg = IOSPluginReadMessage(message);
  if (!sdk || !msg) return;
  const std::string& name = msg->name;
  const auto text = msg->text();
  if (name == "RegisterMX") {
    sdk->RegisterMX(text);
  } else if (name == "IsRegistered") {
    MXSDKPlugin::CallJS(IOSPluginReplyBool(kObject, "MXSDK_IsRegistered_CbFunc", sdk->IsRegistered()));
  } else if (name == "IsMXAppInstalled") {
    MXSDKPlugin::CallJS(
        IOSPluginReplyBool(kObject, "MXSDK_IsMXAppInstalled_CbFunc", sdk->IsMXAppInstalled()));
  } else if (name == "Login") {
    sdk->Login(text);
  } else if (name == "Pay") {
    sdk->Pay(text);
  } else if (name == "SendText") {
    sdk->SendText(text);
  } else if (name == "SendImage") {
    sdk->SendImage(text);
  } else if (name == "SendWebpage") {
    sdk->SendWebpage(text);
  }
}
