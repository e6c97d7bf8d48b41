#pragma once
// The web view's script-facing content: user scripts injected into every new document and
// the named script message handlers that page script reaches through
// window.webkit.messageHandlers.<name>.postMessage(body).
//
// Thread-safety: main thread only.

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace plat {

class WKWebView;
class WKUserContentController;

enum WKUserScriptInjectionTime : int64_t {
  WKUserScriptInjectionTimeAtDocumentStart = 0,
  WKUserScriptInjectionTimeAtDocumentEnd = 1,
};

// A script run in every new document: at document start (before any page script) or at
// document end (after the page's scripts, before DOMContentLoaded).
class WKUserScript : public Object {
 public:
  WKUserScript(std::string source, WKUserScriptInjectionTime injectionTime, bool forMainFrameOnly)
      : source_(std::move(source)), injectionTime_(injectionTime), mainFrameOnly_(forMainFrameOnly) {}
  static std::shared_ptr<WKUserScript> make(std::string source, WKUserScriptInjectionTime time,
                                            bool forMainFrameOnly) {
    return std::make_shared<WKUserScript>(std::move(source), time, forMainFrameOnly);
  }
  std::string className() const override { return "WKUserScript"; }
  const std::string& source() const { return source_; }
  WKUserScriptInjectionTime injectionTime() const { return injectionTime_; }
  bool isForMainFrameOnly() const { return mainFrameOnly_; }

 private:
  std::string source_;
  WKUserScriptInjectionTime injectionTime_;
  bool mainFrameOnly_;
};
using WKUserScriptRef = std::shared_ptr<WKUserScript>;

// A message posted by page script. The body is converted deeply from the script value:
// strings, numbers, booleans, null (Value::null()), arrays and plain objects; members whose
// value is undefined or a function are dropped; an undefined body is nil.
class WKScriptMessage : public Object {
 public:
  WKScriptMessage(std::string name, Value body, std::weak_ptr<WKWebView> webView)
      : name_(std::move(name)), body_(std::move(body)), webView_(std::move(webView)) {}
  std::string className() const override { return "WKScriptMessage"; }
  const std::string& name() const { return name_; }
  const Value& body() const { return body_; }
  std::shared_ptr<WKWebView> webView() const { return webView_.lock(); }

 private:
  std::string name_;
  Value body_;
  std::weak_ptr<WKWebView> webView_;
};
using WKScriptMessageRef = std::shared_ptr<WKScriptMessage>;

class WKScriptMessageHandler {
 public:
  virtual ~WKScriptMessageHandler() = default;
  // Called on the main thread, asynchronously after the page posted, in posting order.
  virtual void userContentControllerDidReceiveScriptMessage(
      const std::shared_ptr<WKUserContentController>& controller,
      const WKScriptMessageRef& message) = 0;
};
using WKScriptMessageHandlerRef = std::shared_ptr<WKScriptMessageHandler>;

class WKUserContentController : public Object {
 public:
  static std::shared_ptr<WKUserContentController> make() {
    return std::make_shared<WKUserContentController>();
  }
  std::string className() const override { return "WKUserContentController"; }

  // Registers `handler` under `name` (held strongly, as the platform does, until removed).
  // Returns false and changes nothing when the name is already registered or empty (the
  // platform raises for a duplicate; here it is reported on the console log).
  bool addScriptMessageHandlerName(const WKScriptMessageHandlerRef& handler,
                                   const std::string& name);
  // Removes the handler of `name`; nothing happens for an unknown name.
  void removeScriptMessageHandlerForName(const std::string& name);
  void removeAllScriptMessageHandlers();
  WKScriptMessageHandlerRef handlerForName(const std::string& name) const;
  std::vector<std::string> handlerNames() const;

  void addUserScript(const WKUserScriptRef& script);
  void removeAllUserScripts();
  const std::vector<WKUserScriptRef>& userScripts() const { return userScripts_; }

  // Internal: web views sharing this controller, told when handlers change. Held weakly;
  // entries of observers that have gone are dropped when another is added.
  struct Observer {
    virtual ~Observer() = default;
    virtual void handlersChanged() = 0;
  };
  void addObserver(const std::shared_ptr<Observer>& o);
  // The number of observer entries held (tests).
  size_t observerCountForTesting() const { return observers_.size(); }

 private:
  void notify();
  std::vector<std::pair<std::string, WKScriptMessageHandlerRef>> handlers_;
  std::vector<WKUserScriptRef> userScripts_;
  std::vector<std::weak_ptr<Observer>> observers_;
};
using WKUserContentControllerRef = std::shared_ptr<WKUserContentController>;

}  // namespace plat
