#pragma once
// Navigation and UI delegates of a web view, and the navigation token.
// Every operation is optional (the default does nothing); all are called on the main thread.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/NSError.h"
#include "platform/network/NSURLRequest.h"

namespace plat {

class WKWebView;
using WKWebViewRef = std::shared_ptr<WKWebView>;

// One load of a document, as the delegates see it.
class WKNavigation : public Object {
 public:
  explicit WKNavigation(NSURLRequestRef request) : request_(std::move(request)) {}
  std::string className() const override { return "WKNavigation"; }
  const NSURLRequestRef& request() const { return request_; }

 private:
  NSURLRequestRef request_;
};
using WKNavigationRef = std::shared_ptr<WKNavigation>;

// The frame a script panel came from (always the main frame here).
struct WKFrameInfo {
  bool mainFrame = true;
  NSURLRequestRef request;
};

class WKNavigationDelegate {
 public:
  virtual ~WKNavigationDelegate() = default;
  virtual void webViewDidStartProvisionalNavigation(const WKWebViewRef& webView,
                                                    const WKNavigationRef& navigation) {}
  // The load failed before its document arrived (network errors in NSURLErrorDomain; -999
  // when a newer load or stopLoading superseded it).
  virtual void webViewDidFailProvisionalNavigationWithError(const WKWebViewRef& webView,
                                                            const WKNavigationRef& navigation,
                                                            const NSErrorRef& error) {}
  // The document arrived (any HTTP status) and replaced the previous one.
  virtual void webViewDidCommitNavigation(const WKWebViewRef& webView,
                                          const WKNavigationRef& navigation) {}
  virtual void webViewDidFinishNavigation(const WKWebViewRef& webView,
                                          const WKNavigationRef& navigation) {}
  // The load failed after commit.
  virtual void webViewDidFailNavigationWithError(const WKWebViewRef& webView,
                                                 const WKNavigationRef& navigation,
                                                 const NSErrorRef& error) {}
  virtual void webViewWebContentProcessDidTerminate(const WKWebViewRef& webView) {}
};

// Script panels. The page's script waits until the completion is called. An operation the
// delegate does not implement returns false: alert then returns at once, confirm gives
// false and prompt gives null. The same defaults are given when the delegate releases the
// completion without calling it, or when the web view goes away while the panel is open.
class WKUIDelegate {
 public:
  virtual ~WKUIDelegate() = default;
  virtual bool webViewRunJavaScriptAlertPanelWithMessageInitiatedByFrameCompletionHandler(
      const WKWebViewRef& webView, const std::string& message, const WKFrameInfo& frame,
      std::function<void()> completionHandler) {
    return false;
  }
  virtual bool webViewRunJavaScriptConfirmPanelWithMessageInitiatedByFrameCompletionHandler(
      const WKWebViewRef& webView, const std::string& message, const WKFrameInfo& frame,
      std::function<void(bool)> completionHandler) {
    return false;
  }
  virtual bool
  webViewRunJavaScriptTextInputPanelWithPromptDefaultTextInitiatedByFrameCompletionHandler(
      const WKWebViewRef& webView, const std::string& prompt, const std::string& defaultText,
      const WKFrameInfo& frame,
      std::function<void(std::optional<std::string>)> completionHandler) {
    return false;
  }
  // window.open: the page always gets null here (no new web views are made).
  virtual void webViewDidClose(const WKWebViewRef& webView) {}
};

}  // namespace plat
