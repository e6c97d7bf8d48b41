// The legacy web view over the engine: its delegate is asked before every navigation with the
// type the engine gives it, may refuse one, and hears of starts, finishes and failures.
// Page script runs in real time: every wait has a deadline.

#include <gtest/gtest.h>

#include "platform/webkit/EngineObjects.h"
#include "platform/webkit/UIWebView.h"
#include "testing/loop/Pump.h"
#include "testing/net/LoopbackServer.h"

using namespace plat;

namespace {

constexpr double kPageDeadline = 20;

struct Recorder : UIWebViewDelegate {
  std::string host;  // removed from the URLs recorded
  std::vector<std::string> events;
  std::function<bool(const std::string& url)> allow = [](const std::string&) { return true; };

  std::string shortURL(std::string url) const {
    if (!host.empty() && url.rfind(host, 0) == 0) url = url.substr(host.size());
    return url;
  }
  std::optional<bool> webViewShouldStartLoadWithRequestNavigationType(
      const UIWebViewRef&, const NSURLRequestRef& request, UIWebViewNavigationType type) override {
    std::string kind = type == UIWebViewNavigationTypeLinkClicked ? "link"
                       : type == UIWebViewNavigationTypeOther     ? "other"
                                                                  : std::to_string(type);
    std::string url = shortURL(request->URL());
    bool yes = allow(url);
    events.push_back("ask " + kind + " " + url + (yes ? "" : " (no)"));
    return yes;
  }
  void webViewDidStartLoad(const UIWebViewRef&) override { events.push_back("start"); }
  void webViewDidFinishLoad(const UIWebViewRef&) override { events.push_back("finish"); }
  void webViewDidFailLoadWithError(const UIWebViewRef&, const NSErrorRef& e) override {
    events.push_back("fail " + std::to_string(e->code()));
  }
  size_t count(const std::string& event) const {
    return std::count(events.begin(), events.end(), event);
  }
};

std::string joined(const std::vector<std::string>& v) {
  std::string out;
  for (auto& s : v) out += (out.empty() ? "" : ", ") + s;
  return out;
}

struct LegacyWebView : ::testing::Test {
  testing_net::LoopbackServer server;
  std::shared_ptr<Recorder> delegate = std::make_shared<Recorder>();
  UIWebViewRef web;

  void SetUp() override {
    webkit::EngineObjects::startRecording();
    delegate->host = server.url("");
    for (const char* path : {"/a.html", "/b.html", "/c.html", "/d.html"})
      server.respond(path, 200, "<a id=l href='/c.html'>c</a><a id=app href='myapp://open?x=1'>app</a>",
                     "text/html");
    web = UIWebView::make(CGRectMake(0, 0, 320, 480));
    web->setDelegate(delegate);
  }
  void TearDown() override {
    web.reset();
    testing_loop::runUntilIdle();
    EXPECT_TRUE(testing_loop::runUntil([] { return webkit::EngineObjects::live().empty(); },
                                       kPageDeadline))
        << joined(webkit::EngineObjects::live());
    webkit::EngineObjects::stopRecording();
  }
  bool waitFor(const std::string& event, size_t n) {
    return testing_loop::runUntil([&] { return delegate->count(event) >= n; }, kPageDeadline);
  }
  void run(const std::string& script) { web->wkWebView()->evaluateJavaScriptCompletionHandler(script); }
};

TEST_F(LegacyWebView, EveryNavigationIsAskedWithItsTypeAndARefusedOneNeverStarts) {
  web->loadRequest(NSURLRequest::requestWithURL(server.url("/a.html")));
  ASSERT_TRUE(waitFor("finish", 1));
  ASSERT_TRUE(web->request());
  EXPECT_EQ(web->request()->URL(), server.url("/a.html"));
  EXPECT_EQ(web->wkWebView()->frame().size.width, 320);

  // Script that sets location is "other"; a link's click() is "link clicked".
  run("location.href = '/b.html'");
  ASSERT_TRUE(waitFor("finish", 2));
  run("document.getElementById('l').click()");
  ASSERT_TRUE(waitFor("finish", 3));
  EXPECT_EQ(web->request()->URL(), server.url("/c.html"));

  // Refused: another scheme's link and a page; the page stays.
  delegate->allow = [](const std::string& url) { return url != "/d.html" && url.find("myapp:") != 0; };
  run("document.getElementById('app').click()");
  ASSERT_TRUE(testing_loop::runUntil([&] { return delegate->events.size() >= 10; }, kPageDeadline));
  run("location.href = '/d.html'");
  ASSERT_TRUE(testing_loop::runUntil([&] { return delegate->events.size() >= 11; }, kPageDeadline));
  // The page still answers after both refusals: a load it allows goes on.
  delegate->allow = [](const std::string&) { return true; };
  run("location.href = '/b.html'");
  ASSERT_TRUE(waitFor("finish", 4));

  EXPECT_EQ(joined(delegate->events),
            "ask other /a.html, start, finish, "
            "ask other /b.html, start, finish, "
            "ask link /c.html, start, finish, "
            "ask link myapp://open?x=1 (no), ask other /d.html (no), "
            "ask other /b.html, start, finish");
  for (auto& r : server.requests()) EXPECT_NE(r.path, "/d.html");
  EXPECT_EQ(web->request()->URL(), server.url("/b.html"));
}

TEST_F(LegacyWebView, AnHTMLStringIsAskedAsBlankAndFailuresAreReported) {
  web->loadHTMLStringBaseURL("<p>hello</p>", "");
  ASSERT_TRUE(waitFor("finish", 1));
  uint16_t closed = testing_net::unusedLoopbackPort();
  web->loadRequest(NSURLRequest::requestWithURL("http://127.0.0.1:" + std::to_string(closed) + "/x"));
  ASSERT_TRUE(testing_loop::runUntil(
      [&] { return delegate->events.size() >= 6; }, kPageDeadline));
  ASSERT_EQ(delegate->events.size(), 6u) << joined(delegate->events);
  EXPECT_EQ(joined({delegate->events.begin(), delegate->events.begin() + 5}),
            "ask other about:blank, start, finish, ask other http://127.0.0.1:" +
                std::to_string(closed) + "/x, start");
  EXPECT_EQ(delegate->events[5].rfind("fail ", 0), 0u) << delegate->events[5];
  EXPECT_NE(delegate->events[5], "fail 0");

  // A view without a delegate loads all the same.
  web->setDelegate(nullptr);
  web->loadRequest(NSURLRequest::requestWithURL(server.url("/a.html")));
  ASSERT_TRUE(testing_loop::runUntil(
      [&] { return web->request() && web->request()->URL() == server.url("/a.html") && !web->isLoading(); },
      kPageDeadline));
  EXPECT_EQ(delegate->events.size(), 6u);
}

}  // namespace
