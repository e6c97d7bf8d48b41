#pragma once
// plat::WKWebView: a headless web view. Pages really load (through the configuration's URL
// scheme handlers, URL sessions for http/https, and files) and their scripts really run: each
// document gets a fresh JavaScript world (ES5.1) with window, console, timers on the main run
// loop, dialogs through the UI delegate, window.webkit.messageHandlers, a small document and
// an asynchronous XMLHttpRequest. There is no layout, CSS or canvas.
//
// Thread-safety: main thread only, as on the platform. Work that arrives from other threads
// (scheme task answers, network events) is delivered on the main thread in order.
//
// Order of events of a load: didStartProvisionalNavigation, then either
// didFailProvisionalNavigation (error before the document arrived; -999 when a newer load or
// stopLoading superseded it) or didCommitNavigation (any HTTP status), then document-start
// user scripts, the page's scripts in document order (an uncaught exception is a page error
// and later scripts still run), document-end user scripts, DOMContentLoaded, load, and
// didFinishNavigation.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/uikit/UIScrollView.h"
#include "platform/uikit/UIView.h"
#include "platform/webkit/WKNavigationDelegate.h"
#include "platform/webkit/WKWebViewConfiguration.h"

namespace plat {

inline constexpr const char* WKErrorDomain = "WKErrorDomain";
enum WKErrorCode : int64_t {
  WKErrorUnknown = 1,
  WKErrorWebContentProcessTerminated = 2,
  WKErrorWebViewInvalidated = 3,
  WKErrorJavaScriptExceptionOccurred = 4,
  WKErrorJavaScriptResultTypeIsUnsupported = 5,
};
// User-info key of a script exception's message.
inline constexpr const char* WKJavaScriptExceptionMessageKey = "WKJavaScriptExceptionMessage";

class WKWebView : public UIView {
 public:
  WKWebView(CGRect frame, WKWebViewConfigurationRef configuration);
  ~WKWebView() override;
  void didInit() override;
  static std::shared_ptr<WKWebView> make(CGRect frame, WKWebViewConfigurationRef configuration);
  std::string className() const override { return "WKWebView"; }

  // A copy of the configuration the view was made with, sharing its user content controller.
  WKWebViewConfigurationRef configuration() const;

  // Held weakly.
  std::shared_ptr<WKNavigationDelegate> navigationDelegate() const;
  void setNavigationDelegate(const std::shared_ptr<WKNavigationDelegate>& delegate);
  std::shared_ptr<WKUIDelegate> UIDelegate() const;
  void setUIDelegate(const std::shared_ptr<WKUIDelegate>& delegate);

  // Starts loading `request` (superseding a load in progress). Returns the navigation, or null
  // for a null request.
  WKNavigationRef loadRequest(const NSURLRequestRef& request);
  // Loads `html` as a document whose URL is `baseURL` ("about:blank" when empty).
  WKNavigationRef loadHTMLStringBaseURL(const std::string& html, const std::string& baseURL);
  // Loads the current URL again; null when there is none.
  WKNavigationRef reload();
  // Cancels the load in progress (-999 to the delegate); the current document stays.
  void stopLoading();

  using JavaScriptCompletion = std::function<void(const Value& result, const NSErrorRef& error)>;
  // Runs `script` in the current document, always asynchronously and in order with message
  // deliveries. The completion gets the completion value converted like a message body, or an
  // error in WKErrorDomain (4: the script threw, with WKJavaScriptExceptionMessage; 5: the value
  // is undefined or cannot be converted; 1: there is no document; 3: the web view went away
  // before the script ran). While the page waits in a script panel the script is queued and
  // runs once the page's script has returned.
  // REQUIRES: main thread (a call from another thread is refused and reported).
  void evaluateJavaScriptCompletionHandler(const std::string& script,
                                           JavaScriptCompletion completion = {});

  // The scroll view that holds the page (fills the web view; there is no layout, so its
  // content size is whatever it is set to).
  std::shared_ptr<UIScrollView> scrollView() const { return scrollView_; }

  // The committed document's URL ("" before the first commit).
  std::string URL() const;
  std::string title() const;
  bool isLoading() const;
  std::string customUserAgent() const;
  void setCustomUserAgent(std::string userAgent);
  // The user agent pages see.
  std::string userAgent() const;

  // ---- Test hooks ----
  struct ConsoleMessage {
    std::string level;  // "log", "info", "warn", "error" or "debug"
    std::string text;
  };
  std::vector<ConsoleMessage> consoleMessages() const;
  // Uncaught exceptions of page scripts, timers, event handlers and failed script loads.
  std::vector<std::string> pageErrors() const;
  void setConsoleObserver(std::function<void(const ConsoleMessage&)> observer);
  void setPageErrorObserver(std::function<void(const std::string&)> observer);
  // Ends the page's world as a crashed content process would; the delegate is told.
  void simulateWebContentProcessTermination();

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
  std::shared_ptr<UIScrollView> scrollView_;
};
using WKWebViewRef = std::shared_ptr<WKWebView>;

}  // namespace plat
