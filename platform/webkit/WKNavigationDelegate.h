#pragma once
// Navigation and UI delegates of a web view, and the navigation token.
// Every operation is optional (the default does nothing); all are called on the main thread.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/NSError.h"
#include "platform/network/NSURLRequest.h"
#include "platform/network/NSURLResponse.h"

namespace plat {

class WKWebView;
class WKWebViewConfiguration;
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

enum WKNavigationType : int64_t {
  WKNavigationTypeLinkActivated = 0,
  WKNavigationTypeFormSubmitted = 1,
  WKNavigationTypeBackForward = 2,
  WKNavigationTypeReload = 3,
  WKNavigationTypeFormResubmitted = 4,
  WKNavigationTypeOther = -1,
};

// A navigation the page or the app asked for, before it starts.
class WKNavigationAction : public Object {
 public:
  WKNavigationAction(NSURLRequestRef request, WKNavigationType type, bool mainFrame)
      : request_(std::move(request)), type_(type), mainFrame_(mainFrame) {}
  std::string className() const override { return "WKNavigationAction"; }
  const NSURLRequestRef& request() const { return request_; }
  WKNavigationType navigationType() const { return type_; }
  // Whether the navigation replaces the main frame's document (false for a subframe).
  bool targetsMainFrame() const { return mainFrame_; }

 private:
  NSURLRequestRef request_;
  WKNavigationType type_;
  bool mainFrame_;
};
using WKNavigationActionRef = std::shared_ptr<WKNavigationAction>;

// The answer of a navigation, before its document is shown.
class WKNavigationResponse : public Object {
 public:
  WKNavigationResponse(NSURLResponseRef response, bool mainFrame, bool canShow)
      : response_(std::move(response)), mainFrame_(mainFrame), canShow_(canShow) {}
  std::string className() const override { return "WKNavigationResponse"; }
  const NSURLResponseRef& response() const { return response_; }
  bool isForMainFrame() const { return mainFrame_; }
  bool canShowMIMEType() const { return canShow_; }

 private:
  NSURLResponseRef response_;
  bool mainFrame_;
  bool canShow_;
};
using WKNavigationResponseRef = std::shared_ptr<WKNavigationResponse>;

enum WKNavigationActionPolicy : int64_t {
  WKNavigationActionPolicyCancel = 0,
  WKNavigationActionPolicyAllow = 1,
};
enum WKNavigationResponsePolicy : int64_t {
  WKNavigationResponsePolicyCancel = 0,
  WKNavigationResponsePolicyAllow = 1,
};

class WKNavigationDelegate {
 public:
  virtual ~WKNavigationDelegate() = default;
  // Decides whether a navigation starts. Returns false when not implemented (it is allowed).
  // The navigation waits until the handler is called; a handler released without being
  // called cancels it.
  virtual bool webViewDecidePolicyForNavigationActionDecisionHandler(
      const WKWebViewRef& webView, const WKNavigationActionRef& action,
      std::function<void(WKNavigationActionPolicy)> decisionHandler) {
    return false;
  }
  // Decides whether an answer is shown. Returns false when not implemented (an answer the
  // web view can show is allowed, any other is cancelled). As above for the handler.
  virtual bool webViewDecidePolicyForNavigationResponseDecisionHandler(
      const WKWebViewRef& webView, const WKNavigationResponseRef& response,
      std::function<void(WKNavigationResponsePolicy)> decisionHandler) {
    return false;
  }
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
  // window.open: returns the web view the new window is shown in, made with `configuration`
  // (its size is the delegate's choice), or null (the default) to give the page null.
  virtual WKWebViewRef webViewCreateWebViewWithConfigurationForNavigationAction(
      const WKWebViewRef& webView, const std::shared_ptr<WKWebViewConfiguration>& configuration,
      const WKNavigationActionRef& action) {
    return nullptr;
  }
  // The page called window.close() on a window it opened.
  virtual void webViewDidClose(const WKWebViewRef& webView) {}
};

}  // namespace plat
