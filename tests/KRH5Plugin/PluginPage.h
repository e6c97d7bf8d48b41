#pragma once
// A page in a real web view for plugin tests: the bridge is given the web view, and the page
// has back(), a callback that reports its arguments to the test as JSON text (undefined as
// "u"), through the handler "iOS_Result".

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "KRH5Plugin/IOSPlugin.h"
#include "KRH5Plugin/SysInterface.h"
#include "KRH5Plugin/SysPlugin.h"
#include "platform/uikit/UIViewController.h"
#include "platform/uikit/UIWindow.h"
#include "testing/loop/Pump.h"

namespace plugin_page {

class ResultHandler : public plat::WKScriptMessageHandler {
 public:
  std::vector<std::string> results;
  void userContentControllerDidReceiveScriptMessage(const plat::WKUserContentControllerRef&,
                                                    const plat::WKScriptMessageRef& m) override {
    results.push_back(m->body().stringOr("<not text>"));
  }
};

struct PluginPage {
  plat::WKWebView::KeepPageLogForTesting keepPageLog;
  plat::WKWebViewRef web = plat::WKWebView::make(plat::CGRectMake(0, 0, 320, 480),
                                                 plat::WKWebViewConfiguration::make());
  std::shared_ptr<ResultHandler> handler = std::make_shared<ResultHandler>();
  std::vector<std::string>& results = handler->results;

  // Hands the web view to the bridge and loads a page running `script`. Returns whether the
  // page finished its script.
  bool attach(const std::string& script = "") {
    IOSPlugin::SetWebView(web);
    web->configuration()->userContentController()->addScriptMessageHandlerName(handler,
                                                                               "iOS_Result");
    web->loadHTMLStringBaseURL(
        "<script>function back() { webkit.messageHandlers.iOS_Result.postMessage("
        "JSON.stringify(Array.prototype.slice.call(arguments).map(function (v) {"
        "  return v === undefined ? 'u' : v; }))); }\n" +
            script + "\nconsole.log('ready');</script>",
        "");
    return testing_loop::runUntil([&] { return has("ready"); });
  }
  bool has(const std::string& text) {
    for (auto& m : web->consoleMessages())
      if (m.text == text) return true;
    return false;
  }
  // Runs `act` and returns the next result the page reports ("<none>" when none comes).
  std::string next(const std::function<void()>& act) {
    size_t before = results.size();
    act();
    if (!testing_loop::runUntil([&] { return results.size() > before; })) return "<none>";
    return results.back();
  }
  void eval(const std::string& script) { web->evaluateJavaScriptCompletionHandler(script); }
};

// Shows `window` with `rootController` as its root, registers and loads the Sys plugin, hands
// the root controller to the bridge and installs `screens` as the Sys screens. Main thread.
inline void showSysScreens(const std::shared_ptr<plat::UIWindow>& window,
                           const plat::UIViewControllerRef& rootController, SysScreens screens) {
  window->setRootViewController(rootController);
  window->makeKeyAndVisible();
  SysPlugin::Register();
  SysPlugin::Load();
  IOSPlugin::SetRootController(rootController);
  SysInterface::SetScreens(std::move(screens));
}

// Undoes what showSysScreens registered: no Sys screens, the Sys plugin and the bridge reset.
inline void resetSysScreens() {
  SysInterface::SetScreens({});
  SysPlugin::ResetForTesting();
  IOSPlugin::ResetForTesting();
}

}  // namespace plugin_page
