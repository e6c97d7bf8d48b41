#pragma once
// IOSHandler: the script message handler "iOS_Console". Logs the page's console warnings and
// errors through LGLog: "console_warn" as an asynchronous warning "js_warn: %@", and
// "console_error" as a synchronous error "js_error: %@" (level 3, context 0, no tag).
// "console_log", other names and malformed messages (no body, body not a dictionary) are
// dropped. Holds no state. Called on the main thread.

#include "platform/webkit/WKUserContentController.h"

class IOSHandler : public plat::Object, public plat::WKScriptMessageHandler {
 public:
  std::string className() const override { return "IOSHandler"; }
  void userContentControllerDidReceiveScriptMessage(
      const std::shared_ptr<plat::WKUserContentController>& controller,
      const plat::WKScriptMessageRef& message) override;
};
