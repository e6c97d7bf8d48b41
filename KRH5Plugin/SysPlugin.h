#pragma once
// SysPlugin: the bridge plugin of the device services. Injects the script object LM_IOS into
// every page, registers SysHandler as "iOS_Sys", owns the one SysInterface while the bridge
// is loaded, and raises the page events ("onEnterBackground", "onSelectImage" ...).
//
// Every text a reply carries goes through the bridge's escaping, so the page receives the
// native text exactly; JSON texts are made compact first.
//
// Thread-safety: class operations only, process-wide state. Load, Unload, SetWebView and the
// event operations run on the main thread; CallJS may be called from any thread.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "KRH5Plugin/SysInterface.h"
#include "platform/foundation/NSURL.h"
#include "platform/webkit/WKWebView.h"

class SysPlugin {
 public:
  static constexpr const char* kHandlerName = "iOS_Sys";
  static constexpr const char* kScriptObject = "LM_IOS";

  // Makes the plugin known to the bridge registry (IOSPlugin).
  static void Register();

  // Creates the interface once and calls its InitSDK.
  static void Load();
  // Releases the interface (ReleaseSDK), the web view, the handler and the reload block. The
  // launch URL stays.
  static void Unload();
  static void SetWebView(const plat::WKWebViewRef& webView);
  static std::shared_ptr<SysInterface> GetInterface();
  static void CallJS(const std::string& script);
  // The text ready for a reply's double quotes (IOSPluginProcessInjectString): compact,
  // escaped; nullopt and "" unchanged.
  static std::optional<std::string> ProcessInjectString(const std::optional<std::string>& text);
  // The LM_IOS script.
  static const std::string& Script();

  static void SetLaunchUrl(const plat::NSURLRef& url);
  static plat::NSURLRef GetLaunchUrl();
  // The block the "Reload" command runs (replacing the previous one).
  static void SetReloadFunc(std::function<void()> reload);
  static std::function<void()> GetReloadFunc();

  // Page events. The late answers (a scan, picked images, a crop, a photograph, an alert
  // tap, the in-app web page's close) reach the page only while the page that asked for them
  // through LM_IOS is shown; one that comes after a new page replaced it is logged and
  // dropped.
  static void OnEnterBackground();
  static void OnEnterForeground();
  static void OnTerminate();
  static void OnMemoryWarning();
  static void OnSelectImage(const std::optional<std::string>& json);
  static void OnScanQRCode(const std::optional<std::string>& text);
  static void OnAlertViewClick(int32_t index);
  static void OnCropImage(const std::optional<std::string>& json);
  static void OnPhotograph(const std::optional<std::string>& json);
  static void OnOpenUrl(const std::optional<std::string>& json);
  static void OnCheckPermission(const std::optional<std::string>& json);
  // A keychain write of the page that could not be stored: {"key", "error"}.
  static void OnKeychainError(const std::optional<std::string>& json);

  // Installs `sys` as the interface in place of the one Load creates (tests).
  static void SetInterfaceForTesting(std::shared_ptr<SysInterface> sys);
  // Forgets everything, the launch URL too (tests).
  static void ResetForTesting();
};

// The script message handler "iOS_Sys": runs the command a message names on the interface and
// sends its immediate result back. Messages without interface, without a dictionary body or
// with an unknown name are dropped. Holds no state. Main thread.
class SysHandler : public plat::Object, public plat::WKScriptMessageHandler {
 public:
  std::string className() const override { return "SysHandler"; }
  void userContentControllerDidReceiveScriptMessage(
      const std::shared_ptr<plat::WKUserContentController>& controller,
      const plat::WKScriptMessageRef& message) override;
};
