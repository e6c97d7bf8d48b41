#pragma once
// UIWebViewController: a modal screen that shows one web page over the game in the legacy web
// view, with a close button and a loading panel (spinner and label) that stays up until the
// page has finished. Links of schemes other than http and https are not loaded: they are
// handed to the application's URL opener and the outcome reaches the page as "onOpenUrl"
// ({"url", "result"}). One shared screen is made on first use (the "UnityWebView" layout,
// built in code; it needs the "Lumora" resource bundle) and kept for the process.
//
// Main thread only.

#include <memory>
#include <optional>
#include <string>

#include "platform/uikit/UIActivityIndicatorView.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIViewController.h"
#include "platform/webkit/UIWebView.h"

class UIWebViewController : public plat::UIViewController, public plat::UIWebViewDelegate {
 public:
  std::string className() const override { return "UIWebViewController"; }

  // Opens the shared screen over the bridge's root controller and loads `url` in it. Returns
  // NO, showing nothing, for no text, a text that is not an absolute URL, a missing "Lumora"
  // bundle, a URL of a scheme other than http and https (it loads no page here), no root
  // controller or a root controller presenting another screen (each but the first logged); YES
  // once the page is asked for.
  static bool OpenUrl(const std::optional<std::string>& url);
  // Closes the shared screen, if there is one.
  static void Close();
  // The shared screen, or null before the first OpenUrl (tests).
  static std::shared_ptr<UIWebViewController> Shared();
  // Drops the shared screen (tests).
  static void ResetForTesting();

  // Builds the "UnityWebView" layout: the web view filling the screen, the close button at the
  // top right and the loading panel in the middle.
  void loadView() override;
  void viewDidLoad() override;

  // Presents the screen, animated, and loads `url` (protocol cache policy, 15 s time-out)
  // with the loading panel up. Returns NO, loading nothing, when there is no root controller
  // to present from or it presents another screen.
  bool Open(const std::string& url);
  // Stops the spinner, clears the page and dismisses the screen, animated.
  void CloseView();
  // The close button's action.
  void Click();
  // YES unless the text begins with "http://" or "https://".
  static bool isOpenAppSpecialURLValue(const std::string& text);

  // Outlets.
  const plat::UIWebViewRef& webView() const { return webView_; }
  const std::shared_ptr<plat::UIButton>& closeButton() const { return closeButton_; }
  const plat::UIViewRef& tipsView() const { return tipsView_; }
  const std::shared_ptr<plat::UIActivityIndicatorView>& tipsIndicator() const {
    return tipsIndicator_;
  }
  const std::shared_ptr<plat::UILabel>& tipsLabel() const { return tipsLabel_; }

  // Web view delegate.
  std::optional<bool> webViewShouldStartLoadWithRequestNavigationType(
      const plat::UIWebViewRef& webView, const plat::NSURLRequestRef& request,
      plat::UIWebViewNavigationType navigationType) override;
  void webViewDidStartLoad(const plat::UIWebViewRef& webView) override;
  void webViewDidFinishLoad(const plat::UIWebViewRef& webView) override;
  void webViewDidFailLoadWithError(const plat::UIWebViewRef& webView,
                                   const plat::NSErrorRef& error) override;

 private:
  plat::UIWebViewRef webView_;
  std::shared_ptr<plat::UIButton> closeButton_;
  plat::UIViewRef tipsView_;
  std::shared_ptr<plat::UIActivityIndicatorView> tipsIndicator_;
  std::shared_ptr<plat::UILabel> tipsLabel_;
};
