#include "KRH5Plugin/UIWebViewController.h"

#include <algorithm>
#include <cctype>

#include "KRH5Plugin/IOSPlugin.h"
#include "KRH5Plugin/SysPlugin.h"
#include "platform/device/URLOpener.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/foundation/NSLog.h"
#include "platform/foundation/NSURL.h"
#include "platform/uikit/UIScreen.h"

using namespace plat;

namespace {

constexpr const char* kResourceBundle = "Lumora";
constexpr double kRequestTimeout = 15.0;
constexpr double kTipsSide = 120.0;

std::shared_ptr<UIWebViewController>& sharedScreen() {
  static auto* screen = new std::shared_ptr<UIWebViewController>();
  return *screen;
}

bool hasPrefix(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

bool UIWebViewController::OpenUrl(const std::optional<std::string>& url) {
  if (!url) return false;
  // Only an absolute URL can be loaded; anything else would leave the spinner up for good.
  auto parsed = NSURL::URLWithString(*url);
  if (!parsed || parsed->scheme().empty()) {
    NSLog("UIWebViewController: not an absolute URL: %@", *url);
    return false;
  }
  // Only http and https load a page here: a script URL runs nothing, and any other scheme is
  // turned away by this screen's own link policy (handed to the system), so the screen would
  // show nothing but a loading panel that never goes.
  std::string scheme = parsed->scheme();
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (scheme != "http" && scheme != "https") {
    NSLog("UIWebViewController: a %@: URL opens no page: %@", scheme, *url);
    return false;
  }
  auto& screen = sharedScreen();
  if (!screen) {
    std::string path = NSBundle::mainBundle()->pathForResourceOfType(kResourceBundle, "bundle");
    if (path.empty() || !NSBundle::bundleWithPath(path)) {
      NSLog("UIWebViewController: no %@.bundle, the web page cannot open", kResourceBundle);
      return false;
    }
    screen = std::make_shared<UIWebViewController>();
  }
  return screen->Open(*url);
}

void UIWebViewController::Close() {
  if (auto screen = sharedScreen()) screen->CloseView();
}

std::shared_ptr<UIWebViewController> UIWebViewController::Shared() { return sharedScreen(); }

void UIWebViewController::ResetForTesting() {
  auto screen = std::move(sharedScreen());
  sharedScreen() = nullptr;
  if (!screen) return;
  if (auto presenter = screen->presentingViewController())
    presenter->dismissViewControllerAnimatedCompletion(false);
}

void UIWebViewController::loadView() {
  CGRect bounds = UIScreen::mainScreen().bounds();
  auto root = make<UIView>(bounds);
  root->setBackgroundColor(UIColor::whiteColor());

  webView_ = UIWebView::make(bounds);
  webView_->setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);
  webView_->setBackgroundColor(UIColor::whiteColor());
  root->addSubview(webView_);

  closeButton_ = UIButton::buttonWithType(UIButtonTypeCustom);
  closeButton_->setFrame(CGRectMake(bounds.size.width - 52, 20, 44, 44));
  closeButton_->setAutoresizingMask(UIViewAutoresizingFlexibleLeftMargin |
                                    UIViewAutoresizingFlexibleBottomMargin);
  closeButton_->setBackgroundColor(UIColor::colorWithWhiteAlpha(0, 0.5));
  closeButton_->layer()->setCornerRadius(22);
  closeButton_->setTitleForState("\u2715", UIControlStateNormal);
  closeButton_->setTitleColorForState(UIColor::whiteColor(), UIControlStateNormal);
  std::weak_ptr<UIWebViewController> weak =
      std::static_pointer_cast<UIWebViewController>(shared_from_this());
  closeButton_->addTargetActionForControlEvents(
      nullptr,
      [weak](UIControl&) {
        if (auto self = weak.lock()) self->Click();
      },
      UIControlEventTouchUpInside);
  root->addSubview(closeButton_);

  tipsView_ = make<UIView>(CGRectMake((bounds.size.width - kTipsSide) / 2,
                                      (bounds.size.height - kTipsSide) / 2, kTipsSide, kTipsSide));
  tipsView_->setAutoresizingMask(
      UIViewAutoresizingFlexibleLeftMargin | UIViewAutoresizingFlexibleRightMargin |
      UIViewAutoresizingFlexibleTopMargin | UIViewAutoresizingFlexibleBottomMargin);
  tipsView_->setBackgroundColor(UIColor::colorWithWhiteAlpha(0, 0.75));
  tipsIndicator_ = make<UIActivityIndicatorView>(UIActivityIndicatorViewStyleWhiteLarge);
  tipsIndicator_->setCenter(CGPointMake(kTipsSide / 2, 48));
  tipsView_->addSubview(tipsIndicator_);
  tipsLabel_ = make<UILabel>(CGRectMake(0, 82, kTipsSide, 24));
  tipsLabel_->setText("Loading...");
  tipsLabel_->setTextColor(UIColor::whiteColor());
  tipsLabel_->setFont(UIFont::systemFontOfSize(14));
  tipsLabel_->setTextAlignment(NSTextAlignmentCenter);
  tipsView_->addSubview(tipsLabel_);
  root->addSubview(tipsView_);

  setView(root);
}

void UIWebViewController::viewDidLoad() {
  webView_->setDelegate(std::static_pointer_cast<UIWebViewController>(shared_from_this()));
  tipsView_->layer()->setCornerRadius(4.0);
  tipsIndicator_->startAnimating();
}

bool UIWebViewController::Open(const std::string& url) {
  auto root = IOSPlugin::GetRootController();
  if (!root) {
    NSLog("UIWebViewController: no root controller to present the web page from");
    return false;
  }
  auto self = std::static_pointer_cast<UIWebViewController>(shared_from_this());
  loadViewIfNeeded();
  if (root->presentedViewController() != self) {
    root->presentViewControllerAnimatedCompletion(self, true);
    // The root controller refuses while it presents another screen: nothing is shown, so
    // nothing is loaded either.
    if (root->presentedViewController() != self) {
      NSLog("UIWebViewController: the web page could not be presented");
      return false;
    }
  }
  auto request = NSMutableURLRequest::requestWithURL(url);
  request->setCachePolicy(NSURLRequestUseProtocolCachePolicy);
  request->setTimeoutInterval(kRequestTimeout);
  webView_->loadRequest(request);
  tipsView_->setHidden(false);
  tipsIndicator_->startAnimating();
  return true;
}

void UIWebViewController::CloseView() {
  if (!isViewLoaded()) return;
  tipsIndicator_->stopAnimating();
  webView_->loadHTMLStringBaseURL("", "");
  dismissViewControllerAnimatedCompletion(true);
}

void UIWebViewController::Click() { CloseView(); }

bool UIWebViewController::isOpenAppSpecialURLValue(const std::string& text) {
  return !hasPrefix(text, "http://") && !hasPrefix(text, "https://");
}

std::optional<bool> UIWebViewController::webViewShouldStartLoadWithRequestNavigationType(
    const UIWebViewRef&, const NSURLRequestRef& request, UIWebViewNavigationType) {
  std::string text = request ? request->URL() : "";
  if (!isOpenAppSpecialURLValue(text) || hasPrefix(text, "about:blank")) return true;
  URLOpener::shared().openURL(text, [text](bool opened) {
    Dictionary result;
    result.set("url", text);
    result.set("result", opened);
    SysPlugin::OnOpenUrl(NSJSONSerialization::stringWithJSONObject(
        Value(std::move(result)), NSJSONSerialization::NSJSONWritingPrettyPrinted));
  });
  return false;
}

void UIWebViewController::webViewDidStartLoad(const UIWebViewRef&) {}

// A finish that comes while a newer load is under way (the blank page closing loaded, then
// a new page opened) is not the current page's: the panel stays up for the page still coming.
void UIWebViewController::webViewDidFinishLoad(const UIWebViewRef& webView) {
  if (webView && webView->isLoading()) return;
  tipsView_->setHidden(true);
}

// The loading panel stays up; the close button still closes the screen.
void UIWebViewController::webViewDidFailLoadWithError(const UIWebViewRef&, const NSErrorRef&) {}
