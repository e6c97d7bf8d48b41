#include "KRH5Plugin/SysPlugin.h"

#include <map>
#include <mutex>

#include "KRH5Plugin/IOSPlugin.h"
#include "KRH5Plugin/IOSPluginScript.h"
#include "KRH5Plugin/IOSPluginSupport.h"
#include "platform/foundation/NSLog.h"

namespace {

using M = IOSPluginScriptMethod;

std::vector<M> methods() {
  const std::string S = "string", O = "object", N = "number", F = "function";
  auto cb = [](const char* name) { return std::string("Sys_") + name + "_CbFunc"; };
  return {
      {"Log", {S}, "", "console_log", IOSPlugin::kConsoleHandlerName},
      {"Warn", {S}, "", "console_warn", IOSPlugin::kConsoleHandlerName},
      {"Error", {S}, "", "console_error", IOSPlugin::kConsoleHandlerName},
      {"Reload", {}},
      {"CreateQRCode", {S}},
      {"ScanQRCode", {}},
      {"InitKeychain", {S}},
      {"SetKeychain", {O}},
      {"GetKeychain", {S, F}, cb("GetKeychain")},
      {"DelKeychain", {S}},
      {"ResetKeychain", {}},
      {"CreateAlert", {O}},
      {"AddAlertButton", {S}},
      {"ShowAlert", {}},
      {"SelectImage", {N}},
      {"SaveImageToPhotoAlbum", {S}},
      {"SaveThumbnail", {O}},
      {"CropImage", {O}},
      {"Photograph", {O}},
      {"GetAdId", {F}, cb("GetAdId")},
      {"GetIDFV", {F}, cb("GetIDFV")},
      {"CheckPermission", {S, F}, cb("CheckPermission")},
      {"GetDeviceInfo", {F}, cb("GetDeviceInfo")},
      {"GetDeviceState", {F}, cb("GetDeviceState")},
      {"GetNetworkInfo", {F}, cb("GetNetworkInfo")},
      {"SetClipboardText", {S}},
      {"GetClipboardText", {F}, cb("GetClipboardText")},
      {"OpenUrl", {S}},
      {"GetAppLaunchInfo", {F}, cb("GetAppLaunchInfo")},
      {"Vibrate", {}},
      {"GetMetaData", {S, F}, cb("GetMetaData")},
      {"AddSearchItems", {O}},
      {"ClearSearchItems", {}},
      {"GetDocumentPath", {F}, cb("GetDocumentPath")},
      {"CreateDir", {S, F}, cb("CreateDir")},
      {"MoveFile", {O, F}, cb("MoveFile")},
      {"CopyFile", {O, F}, cb("CopyFile")},
      {"GetFilesAtPath", {S, F}, cb("GetFilesAtPath")},
      {"GetDirsAtPath", {S, F}, cb("GetDirsAtPath")},
      {"IsExistAtPath", {S, F}, cb("IsExistAtPath")},
      {"IsDirAtPath", {S, F}, cb("IsDirAtPath")},
      {"DeleteAtPath", {S, F}, cb("DeleteAtPath")},
  };
}

struct State {
  std::mutex mu;
  IOSPluginState plugin{SysPlugin::kHandlerName, SysPlugin::Script()};
  std::shared_ptr<SysInterface> interface;
  std::function<void()> reload;
  plat::NSURLRef launchURL;
  // The page that last asked for each late answer (by its event): the scanner, the image
  // picker, the crop screen, the camera, the alert and the in-app web page answer it later.
  std::map<std::string, uint64_t> askedBy;
};

State& state() {
  static auto* s = new State();  // never destroyed
  return *s;
}

const std::string kObject = SysPlugin::kScriptObject;

void reply(const std::string& script) { SysPlugin::CallJS(script); }

void textEvent(const char* callback, const std::optional<std::string>& text) {
  reply(text ? IOSPluginReplyText(kObject, callback, *text) : IOSPluginReply(kObject, callback));
}

void jsonEvent(const char* callback, const std::optional<std::string>& json) {
  reply(json ? IOSPluginReplyJSON(kObject, callback, *json) : IOSPluginReply(kObject, callback));
}

// Notes that the page shown now asked for the late answer `event`.
void asked(const char* event) {
  std::lock_guard<std::mutex> lock(state().mu);
  state().askedBy[event] = IOSPluginCurrentPage();
}

// Whether the late answer `event` is for the page shown now: the page that asked for it is
// still there (an answer nobody asked for through the page goes to the page shown). An answer
// for a page that has gone is logged and dropped.
bool forCurrentPage(const char* event) {
  {
    std::lock_guard<std::mutex> lock(state().mu);
    auto it = state().askedBy.find(event);
    if (it == state().askedBy.end() || it->second == IOSPluginCurrentPage()) return true;
  }
  plat::NSLog("SysPlugin: %@ came after the page that asked for it had gone; dropped", event);
  return false;
}

// A JSON result the page receives as a string: the text made compact.
void jsonTextEvent(const char* callback, const std::optional<std::string>& json) {
  textEvent(callback, json ? std::optional<std::string>(IOSPluginCompactJSON(*json))
                           : std::nullopt);
}

}  // namespace

const std::string& SysPlugin::Script() {
  static const std::string* script =
      new std::string(IOSPluginScriptSource(kScriptObject, "Init Sys", kHandlerName, methods()));
  return *script;
}

void SysPlugin::Register() {
  IOSPluginClass plugin;
  plugin.Load = &SysPlugin::Load;
  plugin.Unload = &SysPlugin::Unload;
  plugin.SetWebView = &SysPlugin::SetWebView;
  IOSPlugin::RegisterPlugin(IOSPlugin::kSysPlugin, plugin);
}

void SysPlugin::Load() {
  std::shared_ptr<SysInterface> created;
  {
    std::lock_guard<std::mutex> lock(state().mu);
    if (state().interface) return;
    state().interface = created = std::make_shared<SysInterface>();
  }
  created->InitSDK();
}

void SysPlugin::Unload() {
  std::shared_ptr<SysInterface> interface = GetInterface();
  if (!interface) return;
  interface->ReleaseSDK();
  state().plugin.ResetForTesting();  // drops the web view and the handler
  std::lock_guard<std::mutex> lock(state().mu);
  state().interface.reset();
  state().reload = nullptr;
  state().askedBy.clear();
}

void SysPlugin::SetWebView(const plat::WKWebViewRef& webView) {
  state().plugin.SetWebView(webView, [] { return std::make_shared<SysHandler>(); });
}

std::shared_ptr<SysInterface> SysPlugin::GetInterface() {
  std::lock_guard<std::mutex> lock(state().mu);
  return state().interface;
}

void SysPlugin::CallJS(const std::string& script) { state().plugin.CallJS(script); }

std::optional<std::string> SysPlugin::ProcessInjectString(
    const std::optional<std::string>& text) {
  return IOSPluginProcessInjectString(text);
}

void SysPlugin::SetLaunchUrl(const plat::NSURLRef& url) {
  std::lock_guard<std::mutex> lock(state().mu);
  state().launchURL = url;
}

plat::NSURLRef SysPlugin::GetLaunchUrl() {
  std::lock_guard<std::mutex> lock(state().mu);
  return state().launchURL;
}

void SysPlugin::SetReloadFunc(std::function<void()> reload) {
  std::lock_guard<std::mutex> lock(state().mu);
  state().reload = std::move(reload);
}

std::function<void()> SysPlugin::GetReloadFunc() {
  std::lock_guard<std::mutex> lock(state().mu);
  return state().reload;
}

void SysPlugin::OnEnterBackground() { reply(IOSPluginReply(kObject, "onEnterBackground")); }
void SysPlugin::OnEnterForeground() { reply(IOSPluginReply(kObject, "onEnterForeground")); }
void SysPlugin::OnTerminate() { reply(IOSPluginReply(kObject, "onTerminate")); }
void SysPlugin::OnMemoryWarning() { reply(IOSPluginReply(kObject, "onMemoryWarning")); }
void SysPlugin::OnSelectImage(const std::optional<std::string>& json) {
  if (forCurrentPage("onSelectImage")) jsonEvent("onSelectImage", json);
}
void SysPlugin::OnScanQRCode(const std::optional<std::string>& text) {
  if (forCurrentPage("onScanQRCode")) textEvent("onScanQRCode", text);
}
void SysPlugin::OnAlertViewClick(int32_t index) {
  if (forCurrentPage("onAlertViewClick"))
    reply(IOSPluginReplyInt(kObject, "onAlertViewClick", index));
}
void SysPlugin::OnCropImage(const std::optional<std::string>& json) {
  if (forCurrentPage("onCropImage")) jsonTextEvent("onCropImage", json);
}
void SysPlugin::OnPhotograph(const std::optional<std::string>& json) {
  if (forCurrentPage("onPhotograph")) jsonTextEvent("onPhotograph", json);
}
void SysPlugin::OnOpenUrl(const std::optional<std::string>& json) {
  if (forCurrentPage("onOpenUrl")) jsonEvent("onOpenUrl", json);
}
void SysPlugin::OnCheckPermission(const std::optional<std::string>& json) {
  jsonEvent("onCheckPermission", json);
}
void SysPlugin::OnKeychainError(const std::optional<std::string>& json) {
  jsonEvent("onKeychainError", json);
}

void SysPlugin::SetInterfaceForTesting(std::shared_ptr<SysInterface> sys) {
  std::lock_guard<std::mutex> lock(state().mu);
  state().interface = std::move(sys);
}

void SysPlugin::ResetForTesting() {
  state().plugin.ResetForTesting();
  std::lock_guard<std::mutex> lock(state().mu);
  state().interface.reset();
  state().reload = nullptr;
  state().askedBy.clear();
  state().launchURL.reset();
}

// ---- SysHandler ----

namespace {

using Text = std::optional<std::string>;

void replyText(const char* name, const Text& text) {
  std::string callback = std::string("Sys_") + name + "_CbFunc";
  reply(text ? IOSPluginReplyText(kObject, callback, *text) : IOSPluginReply(kObject, callback));
}

void replyJSON(const char* name, const Text& json) {
  std::string callback = std::string("Sys_") + name + "_CbFunc";
  reply(json ? IOSPluginReplyJSON(kObject, callback, *json) : IOSPluginReply(kObject, callback));
}

void replyBool(const char* name, bool value) {
  reply(IOSPluginReplyBool(kObject, std::string("Sys_") + name + "_CbFunc", value));
}

}  // namespace

void SysHandler::userContentControllerDidReceiveScriptMessage(
    const std::shared_ptr<plat::WKUserContentController>&, const plat::WKScriptMessageRef& message) {
  auto sys = SysPlugin::GetInterface();
  auto msg = IOSPluginReadMessage(message);
  if (!sys || !msg) return;
  const std::string& name = msg->name;
  const plat::Value& argsValue = msg->args;
  // Only texts are arguments of the text commands; anything else counts as absent.
  const Text args = msg->text();

  static const auto* table = new std::vector<std::pair<std::string, void (*)(
      SysInterface&, const Text&, const plat::Value&)>>{
      {"Reload", [](SysInterface&, const Text&, const plat::Value&) {
         if (auto reload = SysPlugin::GetReloadFunc()) reload();
       }},
      {"CreateQRCode", [](SysInterface& s, const Text& a, const plat::Value&) { s.CreateQRCode(a); }},
      {"ScanQRCode", [](SysInterface& s, const Text&, const plat::Value&) {
         asked("onScanQRCode");
         s.ScanQRCode();
       }},
      {"InitKeychain", [](SysInterface& s, const Text& a, const plat::Value&) { s.InitKeychain(a); }},
      {"SetKeychain", [](SysInterface& s, const Text& a, const plat::Value&) { s.SetKeychain(a); }},
      {"GetKeychain", [](SysInterface& s, const Text& a, const plat::Value&) {
         replyText("GetKeychain", s.GetKeychain(a));
       }},
      {"DelKeychain", [](SysInterface& s, const Text& a, const plat::Value&) { s.DelKeychain(a); }},
      {"ResetKeychain", [](SysInterface& s, const Text&, const plat::Value&) { s.ResetKeychain(); }},
      {"CreateAlert", [](SysInterface& s, const Text& a, const plat::Value&) { s.CreateAlert(a); }},
      {"AddAlertButton",
       [](SysInterface& s, const Text& a, const plat::Value&) { s.AddAlertButton(a); }},
      {"ShowAlert", [](SysInterface& s, const Text&, const plat::Value&) {
         asked("onAlertViewClick");
         s.ShowAlert();
       }},
      {"SelectImage", [](SysInterface& s, const Text&, const plat::Value& v) {
         // A number (or numeric text) converts by the platform's rules: saturating, NaN 0.
         asked("onSelectImage");
         s.SelectImage(v.isNumber() || v.isString() || v.isBool() ? v.intValue() : 0);
       }},
      {"SaveImageToPhotoAlbum",
       [](SysInterface& s, const Text& a, const plat::Value&) { s.SaveImageToPhotoAlbum(a); }},
      {"SaveThumbnail", [](SysInterface& s, const Text& a, const plat::Value&) { s.SaveThumbnail(a); }},
      {"CropImage", [](SysInterface& s, const Text& a, const plat::Value&) {
         asked("onCropImage");
         s.CropImage(a);
       }},
      {"Photograph", [](SysInterface& s, const Text& a, const plat::Value&) {
         asked("onPhotograph");
         s.Photograph(a);
       }},
      {"GetAdId", [](SysInterface& s, const Text&, const plat::Value&) {
         replyText("GetAdId", s.GetAdId());
       }},
      {"GetIDFV", [](SysInterface& s, const Text&, const plat::Value&) {
         replyText("GetIDFV", s.GetIDFV());
       }},
      {"CheckPermission", [](SysInterface& s, const Text& a, const plat::Value&) {
         replyBool("CheckPermission", s.CheckPermission(a));
       }},
      {"GetDeviceInfo", [](SysInterface& s, const Text&, const plat::Value&) {
         replyJSON("GetDeviceInfo", s.GetDeviceInfo());
       }},
      {"GetDeviceState", [](SysInterface& s, const Text&, const plat::Value&) {
         replyJSON("GetDeviceState", s.GetDeviceState());
       }},
      {"GetNetworkInfo", [](SysInterface& s, const Text&, const plat::Value&) {
         replyJSON("GetNetworkInfo", s.GetNetworkInfo());
       }},
      {"SetClipboardText",
       [](SysInterface& s, const Text& a, const plat::Value&) { s.SetClipboardText(a); }},
      {"GetClipboardText", [](SysInterface& s, const Text&, const plat::Value&) {
         replyText("GetClipboardText", s.GetClipboardText());
       }},
      {"OpenUrl", [](SysInterface& s, const Text& a, const plat::Value&) {
         asked("onOpenUrl");
         s.OpenUrl(a);
       }},
      {"GetAppLaunchInfo", [](SysInterface& s, const Text&, const plat::Value&) {
         s.SetAppLaunchUrl(SysPlugin::GetLaunchUrl());
         replyJSON("GetAppLaunchInfo", s.GetAppLaunchInfo());
       }},
      {"Vibrate", [](SysInterface& s, const Text&, const plat::Value&) { s.Vibrate(); }},
      {"GetMetaData", [](SysInterface& s, const Text& a, const plat::Value&) {
         replyText("GetMetaData", s.GetMetaData(a));
       }},
      {"AddSearchItems",
       [](SysInterface& s, const Text& a, const plat::Value&) { s.AddSearchItems(a); }},
      {"ClearSearchItems", [](SysInterface& s, const Text&, const plat::Value&) {
         s.ClearSearchItems();
       }},
      {"GetDocumentPath", [](SysInterface& s, const Text&, const plat::Value&) {
         replyText("GetDocumentPath", s.GetDocumentPath());
       }},
      {"CreateDir", [](SysInterface& s, const Text& a, const plat::Value&) {
         replyBool("CreateDir", s.CreateDir(a));
       }},
      {"MoveFile", [](SysInterface& s, const Text& a, const plat::Value&) {
         replyBool("MoveFile", s.MoveFile(a));
       }},
      {"CopyFile", [](SysInterface& s, const Text& a, const plat::Value&) {
         replyBool("CopyFile", s.CopyFile(a));
       }},
      {"GetFilesAtPath", [](SysInterface& s, const Text& a, const plat::Value&) {
         replyJSON("GetFilesAtPath", s.GetFilesAtPath(a));
       }},
      {"GetDirsAtPath", [](SysInterface& s, const Text& a, const plat::Value&) {
         replyJSON("GetDirsAtPath", s.GetDirsAtPath(a));
       }},
      {"IsExistAtPath", [](SysInterface& s, const Text& a, const plat::Value&) {
         replyBool("IsExistAtPath", s.IsExistAtPath(a));
       }},
      {"IsDirAtPath", [](SysInterface& s, const Text& a, const plat::Value&) {
         replyBool("IsDirAtPath", s.IsDirAtPath(a));
       }},
      {"DeleteAtPath", [](SysInterface& s, const Text& a, const plat::Value&) {
         replyBool("DeleteAtPath", s.DeleteAtPath(a));
       }},
  };
  for (const auto& [command, run] : *table) {
    if (command == name) {
      run(*sys, args, argsValue);
      return;
    }
  }
}
