// The in-app web page: links of other schemes go to the application's URL opener and reach the
// game page as "onOpenUrl"; http links and "about:blank" load in the page; the loading panel
// goes on finish and stays on failure; texts that are not http or https URLs open nothing. Page
// script runs in real time: every wait has a deadline.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "KRH5Plugin/IOSPlugin.h"
#include "KRH5Plugin/SysPlugin.h"
#include "KRH5Plugin/UIWebViewController.h"
#include "platform/device/URLOpener.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/foundation/NSLog.h"
#include "platform/uikit/UIRenderer.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"
#include "testing/device/TempDeviceRoot.h"
#include "testing/loop/Pump.h"
#include "testing/net/LoopbackServer.h"
#include "tests/KRH5Plugin/PluginPage.h"

using namespace plat;

namespace {

constexpr double kPageDeadline = 20;

std::string outputDir() {
  const char* env = std::getenv("LUMORA_TEST_OUTPUT");
  return std::string(env && *env ? env : "test-output") + "/KRH5Plugin/";
}

bool near(uint32_t argb, uint32_t want, int tolerance = 12) {
  for (int shift : {0, 8, 16, 24}) {
    if (std::abs(int((argb >> shift) & 0xff) - int((want >> shift) & 0xff)) > tolerance)
      return false;
  }
  return true;
}

// The game page (with "onOpenUrl" reported through back()) in a window whose root controller
// presents the web page.
struct WebPage : ::testing::Test, plugin_page::PluginPage {
  testing_device::TempDeviceRoot root;
  testing_device::TempAppBundle bundle;
  testing_net::LoopbackServer server;
  CGRect oldScreen = UIScreen::mainScreen().bounds();
  std::shared_ptr<UIWindow> window;
  UIViewControllerRef rootController = std::make_shared<UIViewController>();
  std::vector<std::string> log;

  void SetUp() override {
    setNSLogCaptureForTesting([this](const std::string& line) { log.push_back(line); });
    bundle.writePlist("Lumora.bundle/Info.plist", Value(Dictionary()));
    UIScreen::mainScreen().setBounds(CGRectMake(0, 0, 375, 667));
    window = make<UIWindow>(CGRectMake(0, 0, 375, 667));
    window->setRootViewController(rootController);
    window->makeKeyAndVisible();
    SysPlugin::Register();
    IOSPlugin::SetRootController(rootController);
    URLOpener::shared().setSchemeHandler("myapp", [](const std::string&) { return true; });
    server.respond("/page.html", 200,
                   "<body style='margin:0;background:#3070d0'>"
                   "<a id=app href='myapp://login?token=1'>app</a>"
                   "<a id=other href='nobody://x'>other</a>"
                   "<a id=blank href='about:blank'>blank</a>"
                   "<a id=web href='/next.html'>web</a></body>",
                   "text/html");
    server.respond("/next.html", 200, "<p>next</p>", "text/html");
    server.route("/hang.html",
                 [](const testing_net::Request&, testing_net::Response& r) { r.hang = true; });
    ASSERT_TRUE(attach("LM_IOS.SetCallback({onOpenUrl: back});"));
  }
  void TearDown() override {
    UIWebViewController::ResetForTesting();
    SysPlugin::ResetForTesting();
    IOSPlugin::ResetForTesting();
    URLOpener::shared().resetForTesting();
    UIScreen::mainScreen().setBounds(oldScreen);
    window->setHidden(true);
    setNSLogCaptureForTesting({});
    testing_loop::runUntilIdle();
  }
  std::shared_ptr<UIWebViewController> screen() { return UIWebViewController::Shared(); }
  bool shown() { return screen() && rootController->presentedViewController() == screen(); }
  bool finished() {
    return testing_loop::runUntil([&] { return screen()->tipsView()->isHidden(); }, kPageDeadline);
  }
  // Clicks the link `id` of the web page.
  void click(const std::string& id) {
    screen()->webView()->wkWebView()->evaluateJavaScriptCompletionHandler(
        "document.getElementById('" + id + "').click()");
  }
  std::string pageURL() {
    auto r = screen()->webView()->request();
    return r ? r->URL() : "";
  }
  // Waits until the shown document has loaded and holds the element `id` (a page coming back
  // through history reports its URL before its document can take clicks).
  bool pageHas(const std::string& id) {
    bool found = false;
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration<double>(kPageDeadline * testing_loop::timeoutScale());
    while (!found && std::chrono::steady_clock::now() < deadline) {
      bool answered = false;
      screen()->webView()->wkWebView()->evaluateJavaScriptCompletionHandler(
          "document.readyState === 'complete' && !!document.getElementById('" + id + "')",
          [&](const Value& v, const NSErrorRef& error) {
            found = !error && v.isBool() && v.boolValue();
            answered = true;
          });
      if (!testing_loop::runUntil([&] { return answered; }, kPageDeadline)) return false;
    }
    return found;
  }
};

TEST_F(WebPage, AnAppSchemeLinkGoesToTheOpenerAndTheGamePageHearsOnOpenUrl) {
  ASSERT_TRUE(UIWebViewController::OpenUrl(server.url("/page.html")));
  ASSERT_TRUE(shown());
  EXPECT_FALSE(screen()->tipsView()->isHidden());
  ASSERT_TRUE(finished());
  EXPECT_EQ(pageURL(), server.url("/page.html"));

  EXPECT_EQ(next([&] { click("app"); }), R"([{"url":"myapp://login?token=1","result":true}])");
  EXPECT_EQ(next([&] { click("other"); }), R"([{"url":"nobody://x","result":false}])");
  EXPECT_EQ(URLOpener::shared().openedURLs(),
            (std::vector<std::string>{"myapp://login?token=1", "nobody://x"}));
  EXPECT_EQ(pageURL(), server.url("/page.html"));

  // http links and "about:blank" load in the web page.
  click("web");
  ASSERT_TRUE(
      testing_loop::runUntil([&] { return pageURL() == server.url("/next.html"); }, kPageDeadline));
  screen()->webView()->wkWebView()->evaluateJavaScriptCompletionHandler("history.back()");
  ASSERT_TRUE(
      testing_loop::runUntil([&] { return pageURL() == server.url("/page.html"); }, kPageDeadline));
  ASSERT_TRUE(pageHas("blank"));
  click("blank");
  ASSERT_TRUE(testing_loop::runUntil([&] { return pageURL() == "about:blank"; }, kPageDeadline));
  EXPECT_EQ(URLOpener::shared().openedURLs().size(), 2u);
}

TEST_F(WebPage, ThePanelGoesOnFinishStaysOnFailureAndTheButtonCloses) {
  ASSERT_TRUE(UIWebViewController::OpenUrl(server.url("/hang.html")));
  ASSERT_TRUE(shown());
  auto s = screen();
  EXPECT_TRUE(s->tipsIndicator()->isAnimating());
  EXPECT_EQ(s->tipsView()->layer()->cornerRadius(), 4.0);
  testing_loop::runUntilIdle();
  auto picture = UIRenderer::renderView(window, 1);
  ASSERT_TRUE(picture);
  UIRenderer::writePNG(window, outputDir() + "web-page-loading.png", 1);
  auto image = picture->CGImage();
  // White page around the dark panel in the middle; the close button at the top right.
  EXPECT_TRUE(near(image->pixelAt(40, 600), 0xFFFFFFFFu)) << std::hex << image->pixelAt(40, 600);
  EXPECT_TRUE(near(image->pixelAt(187 - 55, 333 - 55), 0xFF404040u, 30))
      << std::hex << image->pixelAt(132, 278);
  int white = 0;  // the label's text, white on the panel
  for (int y = 333 + 22; y < 333 + 46; ++y)
    for (int x = 137; x < 237; ++x) white += near(image->pixelAt(x, y), 0xFFFFFFFFu, 60);
  EXPECT_GT(white, 20);
  EXPECT_TRUE(near(image->pixelAt(328, 42), 0xFF808080u, 40))
      << std::hex << image->pixelAt(328, 42);

  // A second page while the first still loads: the same screen, which finishes the new page.
  // The first load must be in flight at the server first: a load the engine has not yet begun
  // can report its cancellation after the second has started, ending that one instead, whose
  // finish then never reaches the screen.
  ASSERT_TRUE(testing_loop::runUntil(
      [&] {
        for (const auto& r : server.requests())
          if (r.path == "/hang.html") return true;
        return false;
      },
      kPageDeadline));
  testing_loop::runUntilIdle();
  ASSERT_TRUE(UIWebViewController::OpenUrl(server.url("/next.html")));
  EXPECT_EQ(screen(), s);
  ASSERT_TRUE(finished());
  EXPECT_EQ(pageURL(), server.url("/next.html"));

  // A finish reported while a newer page still loads (as the blank page that closing loads
  // can report late) leaves the panel up for the page still coming.
  ASSERT_TRUE(UIWebViewController::OpenUrl(server.url("/hang.html")));
  ASSERT_TRUE(testing_loop::runUntil([&] { return s->webView()->isLoading(); }, kPageDeadline));
  EXPECT_FALSE(s->tipsView()->isHidden());
  s->webViewDidFinishLoad(s->webView());
  EXPECT_FALSE(s->tipsView()->isHidden());
  ASSERT_TRUE(UIWebViewController::OpenUrl(server.url("/next.html")));
  ASSERT_TRUE(finished());

  // Closing clears the page and dismisses the screen, which is kept for the next page.
  s->closeButton()->sendActionsForControlEvents(UIControlEventTouchUpInside);
  ASSERT_TRUE(testing_loop::runUntil([&] { return !rootController->presentedViewController(); }));
  EXPECT_FALSE(s->tipsIndicator()->isAnimating());

  // A page that cannot load leaves the panel up; the close button still closes.
  uint16_t closed = testing_net::unusedLoopbackPort();
  ASSERT_TRUE(UIWebViewController::OpenUrl("http://127.0.0.1:" + std::to_string(closed) + "/"));
  EXPECT_EQ(screen(), s);
  ASSERT_TRUE(testing_loop::runUntil([&] { return shown(); }));
  ASSERT_TRUE(testing_loop::runUntil([&] { return !s->webView()->isLoading(); }, kPageDeadline));
  testing_loop::runUntilIdle();
  EXPECT_FALSE(s->tipsView()->isHidden());
  EXPECT_TRUE(s->tipsIndicator()->isAnimating());
  UIWebViewController::Close();
  ASSERT_TRUE(testing_loop::runUntil([&] { return !rootController->presentedViewController(); }));
}

TEST_F(WebPage, WhileAnotherScreenIsUpThePageNeitherOpensNorLoads) {
  auto other = std::make_shared<UIViewController>();
  rootController->presentViewControllerAnimatedCompletion(other, false);
  EXPECT_FALSE(UIWebViewController::OpenUrl(server.url("/page.html")));
  EXPECT_EQ(rootController->presentedViewController(), other);
  testing_loop::runUntil([&] { return !server.requests().empty(); }, 1);
  EXPECT_TRUE(server.requests().empty());
  // Once that screen has gone the page opens (a scheme is the same in any case).
  rootController->dismissViewControllerAnimatedCompletion(false);
  testing_loop::runUntilIdle();
  EXPECT_TRUE(UIWebViewController::OpenUrl("HTTP" + server.url("/page.html").substr(4)));
  EXPECT_TRUE(shown());
  ASSERT_TRUE(finished());
  UIWebViewController::Close();
  ASSERT_TRUE(testing_loop::runUntil([&] { return !rootController->presentedViewController(); }));
}

TEST_F(WebPage, TextsThatAreNoHttpURLOpenNothing) {
  // Script URLs load no page either: the panel would spin for good.
  for (const char* text : {"", "www.example.com/page", "/relative/page.html", "not a url",
                           "javascript:void(0)", "JavaScript:alert(1)"}) {
    EXPECT_FALSE(UIWebViewController::OpenUrl(std::string(text))) << text;
  }
  EXPECT_FALSE(UIWebViewController::OpenUrl(std::nullopt));
  // Nor do other schemes: this screen hands them to the system instead of loading them, which
  // would leave the panel over the game for good. They are not handed on from here either.
  for (const char* text :
       {"mailto:someone@example.com", "myapp://login?token=1", "otherapp://x", "about:blank",
        "data:text/html,<p>hi</p>", "file:///etc/hostname", "ftp://127.0.0.1/x"}) {
    EXPECT_FALSE(UIWebViewController::OpenUrl(std::string(text))) << text;
  }
  testing_loop::runUntilIdle();
  EXPECT_TRUE(URLOpener::shared().openedURLs().empty());
  EXPECT_FALSE(screen());
  EXPECT_FALSE(rootController->presentedViewController());
  // Without the resource bundle, or a controller to present from, nothing opens either.
  IOSPlugin::SetRootController(nullptr);
  EXPECT_FALSE(UIWebViewController::OpenUrl(server.url("/page.html")));
  EXPECT_FALSE(rootController->presentedViewController());
  {
    testing_device::TempAppBundle empty;
    UIWebViewController::ResetForTesting();
    IOSPlugin::SetRootController(rootController);
    log.clear();
    EXPECT_FALSE(UIWebViewController::OpenUrl(server.url("/page.html")));
    EXPECT_EQ(log, std::vector<std::string>{
                       "UIWebViewController: no Lumora.bundle, the web page cannot open"});
  }
  EXPECT_FALSE(rootController->presentedViewController());
}

}  // namespace
