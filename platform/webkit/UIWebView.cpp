#include "platform/webkit/UIWebView.h"

namespace plat {
namespace {

UIWebViewNavigationType legacyTypeOf(WKNavigationType type) {
  switch (type) {
    case WKNavigationTypeLinkActivated: return UIWebViewNavigationTypeLinkClicked;
    case WKNavigationTypeFormSubmitted: return UIWebViewNavigationTypeFormSubmitted;
    case WKNavigationTypeBackForward: return UIWebViewNavigationTypeBackForward;
    case WKNavigationTypeReload: return UIWebViewNavigationTypeReload;
    case WKNavigationTypeFormResubmitted: return UIWebViewNavigationTypeFormResubmitted;
    default: return UIWebViewNavigationTypeOther;
  }
}

}  // namespace

// Turns the web view's navigation events into the legacy delegate's calls.
class UIWebView::Navigation : public WKNavigationDelegate {
 public:
  explicit Navigation(std::weak_ptr<UIWebView> owner) : owner_(std::move(owner)) {}

  bool webViewDecidePolicyForNavigationActionDecisionHandler(
      const WKWebViewRef&, const WKNavigationActionRef& action,
      std::function<void(WKNavigationActionPolicy)> decide) override {
    bool allow = true;
    auto [view, d] = parties();
    if (view && d) {
      auto answer = d->webViewShouldStartLoadWithRequestNavigationType(
          view, action->request(), legacyTypeOf(action->navigationType()));
      allow = answer.value_or(true);
    }
    decide(allow ? WKNavigationActionPolicyAllow : WKNavigationActionPolicyCancel);
    return true;
  }
  void webViewDidStartProvisionalNavigation(const WKWebViewRef&, const WKNavigationRef&) override {
    if (auto [view, d] = parties(); view && d) d->webViewDidStartLoad(view);
  }
  void webViewDidCommitNavigation(const WKWebViewRef& web, const WKNavigationRef&) override {
    // The document's own URL: for a load the page started, the navigation may still name
    // the page it left.
    committed_ = web->URL().empty() ? nullptr : NSURLRequest::requestWithURL(web->URL());
  }
  void webViewDidFinishNavigation(const WKWebViewRef&, const WKNavigationRef&) override {
    if (auto [view, d] = parties(); view && d) d->webViewDidFinishLoad(view);
  }
  void webViewDidFailProvisionalNavigationWithError(const WKWebViewRef&, const WKNavigationRef&,
                                                    const NSErrorRef& error) override {
    if (auto [view, d] = parties(); view && d) d->webViewDidFailLoadWithError(view, error);
  }
  void webViewDidFailNavigationWithError(const WKWebViewRef&, const WKNavigationRef&,
                                         const NSErrorRef& error) override {
    if (auto [view, d] = parties(); view && d) d->webViewDidFailLoadWithError(view, error);
  }

  NSURLRequestRef committed_;

 private:
  std::pair<UIWebViewRef, std::shared_ptr<UIWebViewDelegate>> parties() const {
    auto view = owner_.lock();
    return {view, view ? view->delegate() : nullptr};
  }
  std::weak_ptr<UIWebView> owner_;
};

UIWebView::UIWebView(CGRect frame) : UIView(frame) {}

void UIWebView::didInit() {
  UIView::didInit();
  web_ = WKWebView::make(bounds(), WKWebViewConfiguration::make());
  web_->setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);
  navigation_ = std::make_shared<Navigation>(
      std::static_pointer_cast<UIWebView>(shared_from_this()));
  web_->setNavigationDelegate(navigation_);
  addSubview(web_);
}

UIWebViewRef UIWebView::make(CGRect frame) { return plat::make<UIWebView>(frame); }

void UIWebView::loadRequest(const NSURLRequestRef& request) {
  if (request) web_->loadRequest(request);
}

void UIWebView::loadHTMLStringBaseURL(const std::string& html, const std::string& baseURL) {
  web_->loadHTMLStringBaseURL(html, baseURL);
}

void UIWebView::reload() { web_->reload(); }
void UIWebView::stopLoading() { web_->stopLoading(); }
bool UIWebView::isLoading() const { return web_->isLoading(); }
NSURLRequestRef UIWebView::request() const { return navigation_->committed_; }
std::shared_ptr<UIScrollView> UIWebView::scrollView() const { return web_->scrollView(); }

}  // namespace plat
