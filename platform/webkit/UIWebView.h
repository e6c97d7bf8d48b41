#pragma once
// plat::UIWebView: the legacy web view, built over a WKWebView that fills it. Its delegate is
// asked before every navigation (the app's own loads, links, script, forms, frames) and hears
// when the main document starts loading, finishes and fails.
//
// The navigation type comes from the engine's navigation action: a link the user or script
// activates (also a link's click() from script) is "link clicked"; loads the app starts and
// script that sets location are "other".
//
// Thread-safety: main thread only. Every delegate call comes on a later main-queue turn, in
// the order the engine reported the events.

#include <memory>
#include <optional>
#include <string>

#include "platform/uikit/UIScrollView.h"
#include "platform/uikit/UIView.h"
#include "platform/webkit/WKWebView.h"

namespace plat {

class UIWebView;
using UIWebViewRef = std::shared_ptr<UIWebView>;

enum UIWebViewNavigationType : int64_t {
  UIWebViewNavigationTypeLinkClicked = 0,
  UIWebViewNavigationTypeFormSubmitted = 1,
  UIWebViewNavigationTypeBackForward = 2,
  UIWebViewNavigationTypeReload = 3,
  UIWebViewNavigationTypeFormResubmitted = 4,
  UIWebViewNavigationTypeOther = 5,
};

// Every operation is optional.
class UIWebViewDelegate {
 public:
  virtual ~UIWebViewDelegate() = default;
  // Whether the navigation to `request` may go on; nullopt when not implemented (it goes on).
  virtual std::optional<bool> webViewShouldStartLoadWithRequestNavigationType(
      const UIWebViewRef& webView, const NSURLRequestRef& request,
      UIWebViewNavigationType navigationType) {
    return std::nullopt;
  }
  virtual void webViewDidStartLoad(const UIWebViewRef& webView) {}
  virtual void webViewDidFinishLoad(const UIWebViewRef& webView) {}
  // The load failed, before or after its document arrived (-999 in NSURLErrorDomain when a
  // newer load or stopLoading cut it short).
  virtual void webViewDidFailLoadWithError(const UIWebViewRef& webView, const NSErrorRef& error) {}
};

class UIWebView : public UIView {
 public:
  explicit UIWebView(CGRect frame);
  void didInit() override;
  static UIWebViewRef make(CGRect frame);
  std::string className() const override { return "UIWebView"; }

  // Held weakly.
  std::shared_ptr<UIWebViewDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(const std::shared_ptr<UIWebViewDelegate>& d) { delegate_ = d; }

  // Starts loading `request` (superseding a load in progress); a null request does nothing.
  void loadRequest(const NSURLRequestRef& request);
  // Loads `html` as a document whose URL is `baseURL` ("about:blank" when empty).
  void loadHTMLStringBaseURL(const std::string& html, const std::string& baseURL);
  void reload();
  void stopLoading();
  bool isLoading() const;
  // The request of the document shown (null before the first one arrived).
  NSURLRequestRef request() const;
  std::shared_ptr<UIScrollView> scrollView() const;

  // The web view underneath (for the page's script and pictures of the page).
  const WKWebViewRef& wkWebView() const { return web_; }

 private:
  class Navigation;
  std::weak_ptr<UIWebViewDelegate> delegate_;
  WKWebViewRef web_;
  std::shared_ptr<Navigation> navigation_;
};

}  // namespace plat
