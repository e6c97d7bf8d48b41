#include "KRH5Plugin/KiteSDKPlugin.h"

#include <array>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>

#include "KRH5Plugin/IOSPlugin.h"
#include "KRH5Plugin/IOSPluginScript.h"
#include "KRH5Plugin/IOSPluginSupport.h"
#include "aggregation/KiteSDKInterface.h"
#include "platform/foundation/NSLog.h"

namespace {

constexpr const char* kGetInitResultCallback = "KiteSDK_GetInitResult_CbFunc";
constexpr const char* kGetChannelTypeCallback = "KiteSDK_GetChannelType_CbFunc";

IOSPluginState& state() {
  static auto* s = new IOSPluginState(KiteSDKPlugin::kHandlerName, KiteSDKPlugin::Script());
  return *s;
}

// The outcomes that come later than the page's command: each answers the page that asked.
enum Answer { kLoginAnswer, kLogoutAnswer, kPayAnswer };
constexpr const char* kAnswerCallbacks[] = {"onLogin", "onLogout", "onPay"};

// For each outcome, the page that asked for it and has not had it yet.
struct Asks {
  std::mutex mu;
  std::array<std::optional<uint64_t>, 3> page;
};
Asks& asks() {
  static auto* a = new Asks();
  return *a;
}

// The page shown now asks for `answer`; `ask` runs the command and says whether its outcome is
// still to come (a refused command is answered by nothing, and leaves any earlier ask as it
// was). Noted before the command runs, as an outcome may arrive inside it.
void ask(Answer answer, const std::function<bool()>& command) {
  std::optional<uint64_t> earlier;
  {
    std::lock_guard<std::mutex> lock(asks().mu);
    earlier = std::exchange(asks().page[answer], IOSPlugin::CurrentPage());
  }
  if (command()) return;
  std::lock_guard<std::mutex> lock(asks().mu);
  asks().page[answer] = earlier;
}

// The one rule for every outcome: it reaches the page shown only when that page asked for it,
// or when no page is waiting for one (the channel's own logout, a login after it). An outcome
// for a page that has gone is logged and dropped. Either way the ask is answered.
void event(Answer answer, const char* json) {
  const char* callback = kAnswerCallbacks[answer];
  std::optional<uint64_t> asker;
  {
    std::lock_guard<std::mutex> lock(asks().mu);
    asker = std::exchange(asks().page[answer], std::nullopt);
  }
  if (asker && *asker != IOSPlugin::CurrentPage()) {
    plat::NSLog("KiteSDKPlugin: %@ came after the page that asked for it had gone; dropped",
                std::string(callback));
    return;
  }
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

void KiteSDKPlugin::OnKiteSDKLogin(const char* json) { event(kLoginAnswer, json); }
void KiteSDKPlugin::OnKiteSDKLogout(const char* json) { event(kLogoutAnswer, json); }
void KiteSDKPlugin::OnKiteSDKPay(const char* json) { event(kPayAnswer, json); }

void KiteSDKPlugin::ResetForTesting() {
  state().ResetForTesting();
  std::lock_guard<std::mutex> lock(asks().mu);
  asks().page = {};
}

void KiteSDKHandler::userContentControllerDidReceiveScriptMessage(
    const std::shared_ptr<plat::WKUserContentController>&,
    const plat::WKScriptMessageRef& message) {
  auto iface = KiteSDKPlugin::GetInterface();
  auto msg = IOSPluginReadMessage(message);
  if (!iface || !msg) return;
  const std::string& name = msg->name;
  std::optional<std::string> text = msg->text();
  const std::string object = KiteSDKPlugin::kScriptObject;
  if (name == "GetInitResult") {
    KiteSDKPlugin::CallJS(
        IOSPluginReplyInt(object, kGetInitResultCallback, iface->GetInitResult()));
  } else if (name == "ReInit") {
    iface->ReInit();
  } else if (name == "Login") {
    // -5: login is disabled, and an alert is all the player gets.
    ask(kLoginAnswer, [&] { return iface->Login() != -5; });
  } else if (name == "SetGameRoleInfo") {
    iface->SetGameRoleInfo(text);
  } else if (name == "Pay") {
    ask(kPayAnswer, [&] {
      iface->Pay(text);
      return true;
    });
  } else if (name == "Logout") {
    // -4: refused while a login is being checked.
    ask(kLogoutAnswer, [&] { return iface->Logout() != -4; });
  } else if (name == "GetChannelType") {
    KiteSDKPlugin::CallJS(
        IOSPluginReplyInt(object, kGetChannelTypeCallback, iface->GetChannelType()));
  }
}
