#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <set>
#include <thread>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSURL.h"
#include "platform/network/NSURLError.h"
#include "platform/webkit/WKWebView.h"
#include "testing/loop/Pump.h"
#include "testing/net/LoopbackServer.h"

using namespace plat;

namespace {

// Answers "test:" URLs from a table, or holds the task for the test to answer.
class RecordingSchemeHandler : public WKURLSchemeHandler {
 public:
  struct Entry {
    std::string mime;
    std::string body;
    int status = 200;
  };
  std::map<std::string, Entry> files;  // path -> answer
  bool hold = false;
  std::set<std::string> held;  // paths whose tasks are held even when `hold` is false
  std::vector<WKURLSchemeTaskRef> started, stopped;

  void webViewStartURLSchemeTask(const WKWebViewRef&, const WKURLSchemeTaskRef& task) override {
    started.push_back(task);
    auto url = NSURL::URLWithString(task->request()->URL());
    if (hold || held.count(url ? url->path() : "")) return;
    auto it = files.find(url ? url->path() : "");
    if (it == files.end()) {
      task->didFailWithError(makeURLError(NSURLErrorFileDoesNotExist, task->request()->URL()));
      return;
    }
    HTTPHeaderFields h;
    h.set("Content-Type", it->second.mime);
    task->didReceiveResponse(NSHTTPURLResponse::make(task->request()->URL(), it->second.status, h));
    task->didReceiveData(Data::fromString(it->second.body));
    task->didFinish();
  }
  void webViewStopURLSchemeTask(const WKWebViewRef&, const WKURLSchemeTaskRef& task) override {
    stopped.push_back(task);
  }
};

class RecordingMessages : public WKScriptMessageHandler {
 public:
  std::vector<Value> bodies;
  std::vector<std::string> order;  // shared log with evaluate completions
  std::vector<std::string>* log = nullptr;
  void userContentControllerDidReceiveScriptMessage(const WKUserContentControllerRef&,
                                                    const WKScriptMessageRef& m) override {
    bodies.push_back(m->body());
    if (log) log->push_back("message:" + m->body().description());
  }
};

class RecordingNavigation : public WKNavigationDelegate {
 public:
  std::vector<std::string> events;
  std::vector<NSErrorRef> errors;
  void webViewDidStartProvisionalNavigation(const WKWebViewRef&, const WKNavigationRef&) override {
    events.push_back("start");
  }
  void webViewDidFailProvisionalNavigationWithError(const WKWebViewRef&, const WKNavigationRef&,
                                                    const NSErrorRef& e) override {
    events.push_back("failProvisional");
    errors.push_back(e);
  }
  void webViewDidCommitNavigation(const WKWebViewRef&, const WKNavigationRef&) override {
    events.push_back("commit");
  }
  void webViewDidFinishNavigation(const WKWebViewRef&, const WKNavigationRef&) override {
    events.push_back("finish");
  }
  void webViewDidFailNavigationWithError(const WKWebViewRef&, const WKNavigationRef&,
                                         const NSErrorRef& e) override {
    events.push_back("fail");
    errors.push_back(e);
  }
  void webViewWebContentProcessDidTerminate(const WKWebViewRef&) override {
    events.push_back("terminated");
  }
  int count(const std::string& e) const { return (int)std::count(events.begin(), events.end(), e); }
};

struct Fixture : ::testing::Test {
  std::shared_ptr<RecordingSchemeHandler> scheme = std::make_shared<RecordingSchemeHandler>();
  std::shared_ptr<RecordingMessages> messages = std::make_shared<RecordingMessages>();
  std::shared_ptr<RecordingNavigation> nav = std::make_shared<RecordingNavigation>();
  WKWebViewConfigurationRef config = WKWebViewConfiguration::make();
  WKWebViewRef web;

  void SetUp() override {
    ASSERT_TRUE(config->setURLSchemeHandlerForURLScheme(scheme, "test"));
    config->userContentController()->addScriptMessageHandlerName(messages, "native");
  }
  WKWebViewRef view() {
    if (!web) {
      web = WKWebView::make(CGRectMake(0, 0, 320, 480), config);
      web->setNavigationDelegate(nav);
    }
    return web;
  }
  void serve(const std::string& path, const std::string& body, const std::string& mime = "text/html") {
    scheme->files[path] = {mime, body};
  }
  void loadAndFinish(const std::string& url) {
    int finishedBefore = nav->count("finish") + nav->count("failProvisional");
    view()->loadRequest(NSURLRequest::requestWithURL(url));
    ASSERT_TRUE(testing_loop::runUntil(
        [&] { return nav->count("finish") + nav->count("failProvisional") > finishedBefore; }));
  }
  std::vector<std::string> consoleTexts() {
    std::vector<std::string> out;
    for (auto& m : web->consoleMessages()) out.push_back(m.text);
    return out;
  }
};

TEST_F(Fixture, UserScriptsRunAroundPageScriptsInEveryNewWorld) {
  config->userContentController()->addUserScript(WKUserScript::make(
      "console.log('start', typeof window.marker); window.injected = 1;",
      WKUserScriptInjectionTimeAtDocumentStart, true));
  config->userContentController()->addUserScript(WKUserScript::make(
      "console.log('end', document.readyState);", WKUserScriptInjectionTimeAtDocumentEnd, true));
  serve("/a.html", "<html><head><title> A  page </title><script>console.log('page', window.injected);"
                   "window.marker = 'a';</script></head><body id=b>x</body></html>");
  serve("/b.html", "<script>console.log('second', typeof window.marker);</script>");
  loadAndFinish("test://host/a.html");
  EXPECT_EQ(web->title(), "A page");
  loadAndFinish("test://host/b.html");
  EXPECT_EQ(consoleTexts(), (std::vector<std::string>{"start undefined", "page 1", "end loading",
                                                      "start undefined", "second undefined",
                                                      "end loading"}));
  EXPECT_EQ(web->URL(), "test://host/b.html");
  ASSERT_TRUE(web->scrollView());
  EXPECT_EQ(web->scrollView()->superview(), web);
  EXPECT_EQ(web->scrollView()->frame().size.width, 320);
}

TEST_F(Fixture, MessagesAreAsynchronousOrderedAndDeeplyConverted) {
  serve("/m.html",
        "<script>"
        "webkit.messageHandlers.native.postMessage({name: 'A', args: [1, 2.5, 'x', null, true],"
        "  skip: undefined, fn: function () {}, nested: {deep: [{}]}});"
        "console.log('after post');"
        "webkit.messageHandlers.native.postMessage('two \\ud83d\\ude00 \xf0\x9f\x98\x80');"
        "webkit.messageHandlers.native.postMessage(undefined);"
        "console.log(typeof webkit.messageHandlers.missing);"
        "</script>");
  std::vector<std::string> log;
  messages->log = &log;
  web = view();
  web->setConsoleObserver([&](const WKWebView::ConsoleMessage& m) { log.push_back("console:" + m.text); });
  loadAndFinish("test://host/m.html");
  ASSERT_TRUE(testing_loop::runUntil([&] { return messages->bodies.size() == 3; }));
  EXPECT_EQ(log[0], "console:after post");  // delivery never happens inside postMessage
  const Value& first = messages->bodies[0];
  EXPECT_EQ(first["name"], Value("A"));
  EXPECT_EQ(first["args"][0].type(), Value::Type::Int);
  EXPECT_EQ(first["args"][1], Value(2.5));
  EXPECT_TRUE(first["args"][3].isNull());
  EXPECT_EQ(first["args"][4], Value(true));
  EXPECT_FALSE(first.dictionary()->contains("skip"));
  EXPECT_FALSE(first.dictionary()->contains("fn"));
  EXPECT_EQ(first["nested"]["deep"].count(), 1u);
  EXPECT_EQ(messages->bodies[1], Value("two \xf0\x9f\x98\x80 \xf0\x9f\x98\x80"));
  EXPECT_TRUE(messages->bodies[2].isNil());
  EXPECT_EQ(consoleTexts().back(), "undefined");
}

TEST_F(Fixture, EvaluateJavaScriptKeepsOrderWithMessagesAndReportsErrors) {
  serve("/e.html", "<script>var counter = 41;</script>");
  loadAndFinish("test://host/e.html");
  std::vector<std::string> log;
  messages->log = &log;
  std::vector<std::pair<Value, NSErrorRef>> results;
  auto record = [&](const Value& v, const NSErrorRef& e) {
    results.emplace_back(v, e);
    log.push_back("result");
  };
  web->evaluateJavaScriptCompletionHandler("webkit.messageHandlers.native.postMessage(1); ++counter", record);
  web->evaluateJavaScriptCompletionHandler("({a: [counter, 'x']})", record);
  web->evaluateJavaScriptCompletionHandler("throw new TypeError('boom')", record);
  web->evaluateJavaScriptCompletionHandler("undefined", record);
  EXPECT_TRUE(results.empty());  // always asynchronous
  ASSERT_TRUE(testing_loop::runUntil([&] { return results.size() == 4; }));
  EXPECT_EQ(results[0].first, Value(42));
  EXPECT_EQ(results[1].first["a"][0], Value(42));
  ASSERT_TRUE(results[2].second);
  EXPECT_EQ(results[2].second->code(), WKErrorJavaScriptExceptionOccurred);
  EXPECT_NE(results[2].second->userInfo().get(WKJavaScriptExceptionMessageKey).stringOr().find("boom"),
            std::string::npos);
  ASSERT_TRUE(results[3].second);
  EXPECT_EQ(results[3].second->code(), WKErrorJavaScriptResultTypeIsUnsupported);
  testing_loop::runUntilIdle();
  // The message posted by the first script arrives before that script's answer.
  EXPECT_EQ(log, (std::vector<std::string>{"message:1", "result", "result", "result", "result"}));
}

TEST_F(Fixture, NavigationEventsSupersedingAndFailures) {
  testing_net::LoopbackServer server;
  server.respond("/missing", 404, "<script>console.log('404 page ran')</script>", "text/html");
  loadAndFinish(server.url("/missing"));
  EXPECT_EQ(nav->events, (std::vector<std::string>{"start", "commit", "finish"}));
  EXPECT_EQ(consoleTexts(), (std::vector<std::string>{"404 page ran"}));

  nav->events.clear();
  scheme->hold = true;
  web->loadRequest(NSURLRequest::requestWithURL("test://host/slow.html"));
  ASSERT_TRUE(testing_loop::runUntil([&] { return scheme->started.size() == 1; }));
  scheme->hold = false;
  serve("/fast.html", "<p>fast</p>");
  loadAndFinish("test://host/fast.html");
  EXPECT_EQ(nav->events, (std::vector<std::string>{"start", "failProvisional", "start", "commit", "finish"}));
  EXPECT_EQ(nav->errors[0]->code(), NSURLErrorCancelled);
  EXPECT_EQ(scheme->stopped.size(), 1u);
  // The stopped task's late answers are ignored and counted.
  auto slow = scheme->started[0];
  slow->didReceiveResponse(std::make_shared<NSURLResponse>("test://host/slow.html", "text/html", 0, ""));
  slow->didFinish();
  EXPECT_EQ(slow->ignoredCallCount(), 2);
  testing_loop::runUntilIdle();
  EXPECT_EQ(web->URL(), "test://host/fast.html");

  nav->events.clear();
  loadAndFinish("http://127.0.0.1:" + std::to_string(testing_net::unusedLoopbackPort()) + "/");
  EXPECT_EQ(nav->events, (std::vector<std::string>{"start", "failProvisional"}));
  EXPECT_EQ(nav->errors.back()->code(), NSURLErrorCannotConnectToHost);
  EXPECT_EQ(web->URL(), "test://host/fast.html");  // the old document stays
  web.reset();  // closes its connections before the server stops
  testing_loop::runUntilIdle();
}

class PanelDelegate : public WKUIDelegate {
 public:
  std::vector<std::string> seen;
  bool WebAnswerLater = true;
  bool webViewRunJavaScriptAlertPanelWithMessageInitiatedByFrameCompletionHandler(
      const WKWebViewRef&, const std::string& message, const WKFrameInfo&,
      std::function<void()> done) override {
    seen.push_back("alert:" + message);
    // Answered on a later turn, as a person tapping OK would.
    dispatch_async(dispatch_get_main_queue(), done);
    return true;
  }
  bool webViewRunJavaScriptConfirmPanelWithMessageInitiatedByFrameCompletionHandler(
      const WKWebViewRef&, const std::string& message, const WKFrameInfo&,
      std::function<void(bool)> done) override {
    seen.push_back("confirm:" + message);
    done(true);
    return true;
  }
  bool webViewRunJavaScriptTextInputPanelWithPromptDefaultTextInitiatedByFrameCompletionHandler(
      const WKWebViewRef&, const std::string& prompt, const std::string& def, const WKFrameInfo&,
      std::function<void(std::optional<std::string>)> done) override {
    seen.push_back("prompt:" + prompt + "/" + def);
    dispatch_async(dispatch_get_main_queue(), [done] { done(std::string("typed")); });
    return true;
  }
};

TEST_F(Fixture, DialogsWaitForTheDelegateAndHaveDefaultsWithoutOne) {
  serve("/d.html",
        "<script>alert('hi'); console.log('after alert');"
        "console.log(confirm('sure?'), prompt('name', 'def'));</script>");
  loadAndFinish("test://host/d.html");
  EXPECT_EQ(consoleTexts(), (std::vector<std::string>{"after alert", "false null"}));

  auto panels = std::make_shared<PanelDelegate>();
  web->setUIDelegate(panels);
  loadAndFinish("test://host/d.html");
  EXPECT_EQ(panels->seen, (std::vector<std::string>{"alert:hi", "confirm:sure?", "prompt:name/def"}));
  EXPECT_EQ(consoleTexts().back(), "true typed");
}

TEST_F(Fixture, XMLHttpRequestAgainstLoopbackAndSchemeHandler) {
  testing_net::LoopbackServer server;
  server.route("/data", [](const testing_net::Request& req, testing_net::Response& res) {
    res.status = 201;
    res.contentType = "application/json";
    res.body = "{\"got\":\"" + req.header("X-Test").value_or("") + "\",\"body\":\"" + req.body + "\"}";
    res.setHeader("X-Reply", "yes");
  });
  server.respond("/fail", 500, "server trouble", "text/plain");
  std::string page =
      "<script>"
      "var x = new XMLHttpRequest();"
      "x.onreadystatechange = function () { if (x.readyState === 4) console.log('state4'); };"
      "x.onload = function () { console.log(x.status, x.getResponseHeader('x-reply'), x.responseText); };"
      "x.open('POST', '" + server.url("/data") + "'); x.setRequestHeader('X-Test', 'v1'); x.send('payload');"
      "var y = new XMLHttpRequest();"
      "y.onload = function () { console.log('local', y.status, y.responseText, y.getResponseHeader('Content-Type')); };"
      "y.open('GET', 'file.txt'); y.setRequestHeader('Range', 'bytes=0-3'); y.send();"
      "var z = new XMLHttpRequest();"
      "z.onerror = function () { console.log('missing failed', z.status); };"
      "z.open('GET', '/nothing'); z.send();"
      "var f = new XMLHttpRequest();"
      "f.onload = function () { console.log('server error', f.status, f.responseText); };"
      "f.open('GET', '" + server.url("/fail") + "'); f.send();"
      "</script>";
  serve("/x/page.html", page);
  serve("/x/file.txt", "0123456789", "text/plain");
  loadAndFinish("test://host/x/page.html");
  ASSERT_TRUE(testing_loop::runUntil([&] { return web->consoleMessages().size() >= 5; }));
  auto texts = consoleTexts();
  EXPECT_NE(std::find(texts.begin(), texts.end(), "server error 500 server trouble"), texts.end());
  EXPECT_NE(std::find(texts.begin(), texts.end(), "201 yes {\"got\":\"v1\",\"body\":\"payload\"}"), texts.end());
  EXPECT_NE(std::find(texts.begin(), texts.end(), "local 200 0123456789 text/plain"), texts.end());
  EXPECT_NE(std::find(texts.begin(), texts.end(), "missing failed 0"), texts.end());
  // The scheme handler saw the page's headers.
  bool sawRange = false;
  for (auto& t : scheme->started)
    if (t->request()->valueForHTTPHeaderField("Range") == std::optional<std::string>("bytes=0-3")) sawRange = true;
  EXPECT_TRUE(sawRange);
  web.reset();
  testing_loop::runUntilIdle();
}

TEST_F(Fixture, PageErrorsDoNotStopLaterScriptsAndExternalScriptsRunInOrder) {
  serve("/p/index.html",
        "<script>console.log('one'); undefinedFunction();</script>"
        "<script src='lib.js'></script>"
        "<script src='missing.js'></script>"
        "<script>console.log('three', window.lib);"
        "document.addEventListener('DOMContentLoaded', function () { console.log('dom', document.getElementById('t').textContent); });"
        "window.onload = function () { console.log('load', document.readyState); };</script>"
        "<div id='t'>text <b>bold</b></div>");
  serve("/p/lib.js", "console.log('two'); window.lib = 'ok';", "application/javascript");
  loadAndFinish("test://host/p/index.html");
  EXPECT_EQ(consoleTexts(), (std::vector<std::string>{"one", "two", "three ok", "dom text bold", "load complete"}));
  auto errors = web->pageErrors();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_NE(errors[0].find("undefinedFunction"), std::string::npos);
  EXPECT_NE(errors[1].find("missing.js"), std::string::npos);
}

TEST_F(Fixture, TimersRunOnTheVirtualClock) {
  testing_loop::VirtualClockScope clock;
  serve("/t.html",
        "<script>var n = 0; var id = setInterval(function () { n++; console.log('tick', n);"
        "  if (n === 3) clearInterval(id); }, 1000);"
        "setTimeout(function (a) { console.log('once', a); }, 2500, 'arg');"
        "var gone = setTimeout(function () { console.log('never'); }, 100); clearTimeout(gone);</script>");
  loadAndFinish("test://host/t.html");
  EXPECT_TRUE(web->consoleMessages().empty());
  testing_loop::advance(1.0);
  EXPECT_EQ(consoleTexts(), (std::vector<std::string>{"tick 1"}));
  testing_loop::advance(10.0);
  EXPECT_EQ(consoleTexts(), (std::vector<std::string>{"tick 1", "tick 2", "once arg", "tick 3"}));
}

TEST_F(Fixture, SchemeTaskAnsweredFromAnotherThread) {
  scheme->hold = true;
  view()->loadRequest(NSURLRequest::requestWithURL("test://host/thread.html"));
  ASSERT_TRUE(testing_loop::runUntil([&] { return scheme->started.size() == 1; }));
  auto task = scheme->started[0];
  std::thread worker([task] {
    task->didReceiveResponse(std::make_shared<NSURLResponse>("test://host/thread.html", "text/html", -1, ""));
    for (int i = 0; i < 50; ++i) task->didReceiveData(Data::fromString("<p>" + std::to_string(i) + "</p>"));
    task->didReceiveData(Data::fromString("<script>console.log(document.getElementsByTagName('p').length,"
                                          " document.querySelector('p').textContent)</script>"));
    task->didFinish();
    task->didFinish();  // a second finish is ignored
  });
  worker.join();
  ASSERT_TRUE(testing_loop::runUntil([&] { return nav->count("finish") == 1; }));
  EXPECT_EQ(consoleTexts(), (std::vector<std::string>{"50 0"}));
  EXPECT_EQ(task->ignoredCallCount(), 1);
}

TEST_F(Fixture, HostileScriptsCannotCrashTheNativeSide) {
  serve("/h.html",
        "<script>"
        "var cyclic = {}; cyclic.self = cyclic;"
        "try { webkit.messageHandlers.native.postMessage(cyclic); } catch (e) { console.log('caught', e.name); }"
        "Object.defineProperty(window, '__lumora', {get: function () { throw new Error('x'); }});"
        "setTimeout(function () {}, 0);"
        "</script>");
  loadAndFinish("test://host/h.html");
  testing_loop::runUntilIdle();
  EXPECT_EQ(consoleTexts().front(), "caught TypeError");
  EXPECT_TRUE(messages->bodies.empty());
  std::optional<NSErrorRef> err;
  web->evaluateJavaScriptCompletionHandler("1+1", [&](const Value& v, const NSErrorRef& e) { err = e; });
  ASSERT_TRUE(testing_loop::runUntil([&] { return err.has_value(); }));
  EXPECT_FALSE(*err);
}

TEST_F(Fixture, ConfigurationRefusesBuiltInAndDuplicateSchemesAndHandlers) {
  EXPECT_FALSE(config->setURLSchemeHandlerForURLScheme(scheme, "https"));
  EXPECT_FALSE(config->setURLSchemeHandlerForURLScheme(scheme, "TEST"));
  EXPECT_FALSE(config->userContentController()->addScriptMessageHandlerName(messages, "native"));
  serve("/c.html", "<script>console.log(typeof webkit.messageHandlers.native, typeof webkit.messageHandlers.late)</script>");
  loadAndFinish("test://host/c.html");
  config->userContentController()->addScriptMessageHandlerName(std::make_shared<RecordingMessages>(), "late");
  std::optional<Value> result;
  web->evaluateJavaScriptCompletionHandler("typeof webkit.messageHandlers.late",
                                           [&](const Value& v, const NSErrorRef&) { result = v; });
  ASSERT_TRUE(testing_loop::runUntil([&] { return result.has_value(); }));
  EXPECT_EQ(consoleTexts(), (std::vector<std::string>{"object undefined"}));
  EXPECT_EQ(*result, Value("object"));
  // A removed handler leaves the live page too, in order with scripts sent before and after;
  // a reference the page kept posts into nothing.
  result.reset();
  web->evaluateJavaScriptCompletionHandler("var kept = webkit.messageHandlers.native; 0", {});
  config->userContentController()->removeScriptMessageHandlerForName("native");
  web->evaluateJavaScriptCompletionHandler("kept.postMessage('lost'); typeof webkit.messageHandlers.native",
                                           [&](const Value& v, const NSErrorRef&) { result = v; });
  ASSERT_TRUE(testing_loop::runUntil([&] { return result.has_value(); }));
  EXPECT_EQ(*result, Value("undefined"));
  testing_loop::runUntilIdle();
  EXPECT_TRUE(messages->bodies.empty());
}

TEST_F(Fixture, HTMLStringsStopLoadingAndReload) {
  serve("/base/lib.js", "console.log('lib from base');", "application/javascript");
  view()->loadHTMLStringBaseURL("<script src='lib.js'></script><script>console.log(location.pathname)</script>",
                                "test://host/base/page.html");
  ASSERT_TRUE(testing_loop::runUntil([&] { return nav->count("finish") == 1; }));
  EXPECT_EQ(consoleTexts(), (std::vector<std::string>{"lib from base", "/base/page.html"}));

  scheme->hold = true;
  web->loadRequest(NSURLRequest::requestWithURL("test://host/never.html"));
  ASSERT_TRUE(testing_loop::runUntil([&] { return scheme->started.size() == 2; }));
  EXPECT_TRUE(web->isLoading());
  web->stopLoading();
  ASSERT_TRUE(testing_loop::runUntil([&] { return nav->count("failProvisional") == 1; }));
  EXPECT_EQ(nav->errors.back()->code(), NSURLErrorCancelled);
  EXPECT_FALSE(web->isLoading());
  EXPECT_EQ(scheme->stopped.size(), 1u);
  EXPECT_EQ(web->URL(), "test://host/base/page.html");

  scheme->hold = false;
  serve("/base/page.html", "<script>console.log('reloaded')</script>");
  web->reload();
  ASSERT_TRUE(testing_loop::runUntil([&] { return nav->count("finish") == 2; }));
  EXPECT_EQ(consoleTexts().back(), "reloaded");
}

TEST_F(Fixture, ContentProcessTerminationEndsTheWorld) {
  serve("/k.html", "<script>var alive = true;</script>");
  loadAndFinish("test://host/k.html");
  web->simulateWebContentProcessTermination();
  ASSERT_TRUE(testing_loop::runUntil([&] { return nav->count("terminated") == 1; }));
  std::optional<NSErrorRef> err;
  web->evaluateJavaScriptCompletionHandler("alive", [&](const Value&, const NSErrorRef& e) { err = e; });
  ASSERT_TRUE(testing_loop::runUntil([&] { return err.has_value(); }));
  ASSERT_TRUE(*err);
  web->reload();
  ASSERT_TRUE(testing_loop::runUntil([&] { return nav->count("finish") == 2; }));
}

}  // namespace

namespace {

// Answers panels the way a test scripts it, from a later main-queue turn.
class ScriptedPanels : public WKUIDelegate {
 public:
  // Runs on a later turn while the page waits in alert(); gets the alert's completion.
  std::function<void(std::function<void()>)> onAlert;
  bool dropConfirm = false;
  bool webViewRunJavaScriptAlertPanelWithMessageInitiatedByFrameCompletionHandler(
      const WKWebViewRef&, const std::string&, const WKFrameInfo&,
      std::function<void()> done) override {
    auto act = onAlert;
    dispatch_async(dispatch_get_main_queue(), [act, done] { act(done); });
    return true;
  }
  bool webViewRunJavaScriptConfirmPanelWithMessageInitiatedByFrameCompletionHandler(
      const WKWebViewRef&, const std::string&, const WKFrameInfo&,
      std::function<void(bool)> done) override {
    return dropConfirm;  // claims the panel, then lets the completion go without calling it
  }
};

TEST_F(Fixture, WorkArrivingDuringAPanelWaitsForTheScriptAndIsNotLost) {
  auto panels = std::make_shared<ScriptedPanels>();
  panels->dropConfirm = true;
  std::optional<Value> evaluated;
  std::optional<NSErrorRef> evaluateError;
  panels->onAlert = [&](std::function<void()> done) {
    // While the page waits: a new document is loaded and a script is sent to the page.
    web->loadHTMLStringBaseURL("<script>var doc = 'new'; console.log('new page')</script>",
                               "test://host/new.html");
    dispatch_async(dispatch_get_main_queue(), [&, done] {
      web->evaluateJavaScriptCompletionHandler(
          "typeof doc === 'undefined' ? 'none' : doc", [&](const Value& v, const NSErrorRef& e) {
            evaluated = v;
            evaluateError = e;
          });
      dispatch_async(dispatch_get_main_queue(), done);
    });
  };
  view()->setUIDelegate(panels);
  serve("/old.html",
        "<script>var doc = 'old'; alert('wait'); console.log('after alert', doc);"
        "console.log('dropped confirm', confirm('?'));</script>");
  loadAndFinish("test://host/old.html");
  ASSERT_TRUE(testing_loop::runUntil([&] { return evaluated.has_value(); }, 5));
  // The old page's script finished in its own world before the new document replaced it; the
  // script sent meanwhile ran afterwards, in order.
  EXPECT_EQ(consoleTexts(), (std::vector<std::string>{"after alert old", "dropped confirm false",
                                                      "new page"}));
  EXPECT_FALSE(*evaluateError);
  EXPECT_EQ(*evaluated, Value("new"));

  // A page error observer that changes the handlers while the page's script is still running
  // (an event listener threw).
  web->setPageErrorObserver([&](const std::string&) {
    config->userContentController()->addScriptMessageHandlerName(
        std::make_shared<RecordingMessages>(), "late");
  });
  std::optional<Value> late, dispatched;
  web->evaluateJavaScriptCompletionHandler(
      "addEventListener('ping', function () { null.x; }); dispatchEvent(new Event('ping'))",
      [&](const Value& v, const NSErrorRef&) { dispatched = v; });
  ASSERT_TRUE(testing_loop::runUntil([&] { return dispatched.has_value(); }));
  EXPECT_EQ(*dispatched, Value(true));  // bare calls act on the window
  EXPECT_EQ(web->pageErrors().size(), 1u);
  web->evaluateJavaScriptCompletionHandler("typeof webkit.messageHandlers.late",
                                           [&](const Value& v, const NSErrorRef&) { late = v; });
  ASSERT_TRUE(testing_loop::runUntil([&] { return late.has_value(); }));
  EXPECT_EQ(*late, Value("object"));
}

TEST_F(Fixture, AWebViewDestroyedDuringAPanelLetsTheScriptEnd) {
  auto panels = std::make_shared<ScriptedPanels>();
  bool released = false;
  panels->onAlert = [&](std::function<void()>) {
    web.reset();  // the only owner lets go; the alert is never answered
    released = true;
  };
  std::vector<std::string> lines;
  view()->setUIDelegate(panels);
  web->setConsoleObserver([&](const WKWebView::ConsoleMessage& m) { lines.push_back(m.text); });
  serve("/a.html", "<script>alert('x'); console.log('after', confirm('y'));</script>");
  web->loadRequest(NSURLRequest::requestWithURL("test://host/a.html"));
  ASSERT_TRUE(testing_loop::runUntil([&] { return lines.size() == 1; }, 5));
  EXPECT_TRUE(released);
  EXPECT_EQ(lines, (std::vector<std::string>{"after false"}));
  testing_loop::runUntilIdle();
}

TEST_F(Fixture, XMLHttpRequestStatesAbortAndTimeout) {
  testing_loop::VirtualClockScope clock;
  serve("/x/done.txt", "body", "text/plain");
  std::string page =
      "<script>"
      "function trace(x, name) {"
      "  var seen = [];"
      "  x.onreadystatechange = function () { seen.push(x.readyState); };"
      "  ['load', 'error', 'abort', 'timeout', 'loadend'].forEach(function (t) {"
      "    x.addEventListener(t, function () {"
      "      seen.push(t);"
      "      if (t === 'loadend') console.log(name, seen.join(','), x.status, x.responseText);"
      "    });"
      "  });"
      "}"
      "var ok = new XMLHttpRequest(); trace(ok, 'ok'); ok.open('GET', 'done.txt'); ok.send();"
      "var early = new XMLHttpRequest(); trace(early, 'early');"
      "early.addEventListener('readystatechange', function () { if (early.readyState === 2) early.abort(); });"
      "early.open('GET', 'done.txt'); early.send();"
      "var slow = new XMLHttpRequest(); trace(slow, 'slow'); slow.timeout = 500;"
      "slow.open('GET', 'held-slow'); slow.send();"
      "var gone = new XMLHttpRequest(); trace(gone, 'gone'); gone.open('GET', 'held-gone'); gone.send();"
      "window.abortGone = function () { gone.abort(); console.log('after abort', gone.readyState); };"
      "</script>";
  serve("/x/page.html", page);
  scheme->held = {"/x/held-slow", "/x/held-gone"};
  loadAndFinish("test://host/x/page.html");
  ASSERT_TRUE(testing_loop::runUntil([&] { return consoleTexts().size() == 2; }));
  EXPECT_EQ(consoleTexts()[0], "ok 1,2,3,4,load,loadend 200 body");
  // Aborted by its own handler as the headers arrived: no body and no load follow.
  EXPECT_EQ(consoleTexts()[1], "early 1,2,4,abort,loadend 0 ");
  testing_loop::runUntilIdle();
  ASSERT_EQ(consoleTexts().size(), 2u);
  EXPECT_EQ(scheme->started.size(), 5u);

  web->evaluateJavaScriptCompletionHandler("abortGone()", {});
  testing_loop::runUntilIdle();
  ASSERT_EQ(consoleTexts().size(), 4u);
  EXPECT_EQ(consoleTexts()[2], "gone 1,4,abort,loadend 0 ");
  EXPECT_EQ(consoleTexts()[3], "after abort 0");

  testing_loop::advance(0.4);
  EXPECT_EQ(consoleTexts().size(), 4u);
  testing_loop::advance(0.1);
  ASSERT_EQ(consoleTexts().size(), 5u);
  EXPECT_EQ(consoleTexts()[4], "slow 1,4,timeout,loadend 0 ");
  // Both unanswered tasks were stopped; their late answers are ignored.
  EXPECT_EQ(scheme->stopped.size(), 2u);
  for (auto& t : scheme->stopped) {
    t->didReceiveResponse(std::make_shared<NSURLResponse>(t->request()->URL(), "text/plain", 1, ""));
    t->didFinish();
  }
  testing_loop::runUntilIdle();
  EXPECT_EQ(consoleTexts().size(), 5u);
}

TEST_F(Fixture, DestroyedWithLoadsTimersAndTasksInFlight) {
  testing_loop::VirtualClockScope clock;
  testing_net::LoopbackServer server;
  std::atomic<int> hanging{0};
  server.route("/hang", [&](const testing_net::Request&, testing_net::Response& res) {
    ++hanging;
    res.hang = true;
  });
  std::vector<std::string> lines;
  view()->setConsoleObserver([&](const WKWebView::ConsoleMessage& m) { lines.push_back(m.text); });
  scheme->hold = true;
  web->loadHTMLStringBaseURL(
      "<script>var x = new XMLHttpRequest(); x.open('GET', 'data'); x.send();"
      "var h = new XMLHttpRequest(); h.open('GET', '" + server.url("/hang") + "'); h.send();"
      "setTimeout(function () { console.log('timer'); }, 1000);</script>"
      "<script src='held.js'></script>",
      "test://host/page.html");
  ASSERT_TRUE(testing_loop::runUntil([&] { return scheme->started.size() == 2 && hanging == 1; }));
  std::optional<NSErrorRef> error;
  web->evaluateJavaScriptCompletionHandler("1", [&](const Value&, const NSErrorRef& e) { error = e; });
  web.reset();
  ASSERT_TRUE(testing_loop::runUntil([&] { return error.has_value(); }));
  ASSERT_TRUE(*error);
  EXPECT_EQ((*error)->domain(), WKErrorDomain);
  EXPECT_EQ((*error)->code(), WKErrorWebViewInvalidated);
  // Every task still open was stopped, and answers that come anyway are dropped.
  EXPECT_EQ(scheme->stopped.size(), 2u);
  for (auto& t : scheme->started) {
    t->didReceiveResponse(std::make_shared<NSURLResponse>(t->request()->URL(), "text/plain", 1, ""));
    t->didReceiveData(Data::fromString("console.log('late')"));
    t->didFinish();
    EXPECT_TRUE(t->isStopped());
  }
  testing_loop::advance(2);
  EXPECT_TRUE(lines.empty());
}

}  // namespace

namespace {

TEST_F(Fixture, WhatAPageSeesOfItsWindow) {
  serve("/w/page.html",
        "<html><head><title>Game</title></head><body><div id='hud'>ready</div><script>"
        "console.log(window === self, window === this, typeof window.open('x'), window.open('x'));"
        "console.info(navigator.userAgent);"
        "console.warn(location.protocol, location.host, location.pathname, location.search);"
        "console.error(document.title, document.getElementById('hud').textContent, document.readyState);"
        "console.debug('debug', {a: [1]});"
        "addEventListener('load', function () { console.log('bare load', document.readyState); });"
        "</script></body></html>");
  view()->setCustomUserAgent("LumoraTest/1.0");
  loadAndFinish("test://game:8080/w/page.html?q=1");
  std::vector<std::pair<std::string, std::string>> seen;
  for (auto& m : web->consoleMessages()) seen.emplace_back(m.level, m.text);
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, std::string>>{
                      {"log", "true true object null"},
                      {"info", "LumoraTest/1.0"},
                      {"warn", "test: game:8080 /w/page.html ?q=1"},
                      {"error", "Game ready loading"},
                      {"debug", "debug {\"a\":[1]}"},
                      {"log", "bare load complete"}}));

  // Only the main thread may send scripts to the page.
  bool answered = false;
  std::thread other([&] {
    web->evaluateJavaScriptCompletionHandler("1", [&](const Value&, const NSErrorRef&) { answered = true; });
  });
  other.join();
  testing_loop::runUntilIdle();
  EXPECT_FALSE(answered);
}

}  // namespace

namespace {

TEST_F(Fixture, ScriptsAddedByThePageRunThenTellTheirOutcome) {
  serve("/s/engine.js", "console.log('engine ran'); window.engine = 2;", "application/javascript");
  serve("/s/index.html",
        "<body><script>"
        "function add(src) {"
        "  var s = document.createElement('script'); s.src = src;"
        "  s.onload = function () { console.log('loaded', src, window.engine); };"
        "  s.onerror = function () { console.log('failed', src); };"
        "  document.body.appendChild(s);"
        "}"
        "add('engine.js'); add('nope.js');"
        "var inline = document.createElement('script'); inline.text = 'console.log(\"inline ran\")';"
        "document.head.appendChild(inline);"
        "var broken = document.createElement('script'); broken.text = 'missingThing()';"
        "document.head.appendChild(broken);"
        "console.log('after adding');"
        "</script></body>");
  loadAndFinish("test://host/s/index.html");
  ASSERT_TRUE(testing_loop::runUntil([&] { return consoleTexts().size() == 5; }));
  EXPECT_EQ(consoleTexts(), (std::vector<std::string>{"inline ran", "after adding", "engine ran",
                                                      "loaded engine.js 2", "failed nope.js"}));
  // The broken inline script was reported as a page error; its inserter went on.
  ASSERT_EQ(web->pageErrors().size(), 2u);
  EXPECT_NE(web->pageErrors()[0].find("missingThing"), std::string::npos);
  EXPECT_NE(web->pageErrors()[1].find("nope.js"), std::string::npos);
}

TEST_F(Fixture, ANewLoadEndsTheCommittedOneStillFetchingItsScripts) {
  serve("/c/first.html",
        "<script>console.log('first'); setTimeout(function () { console.log('old timer'); }, 0);"
        "</script><script src='held.js'></script><script>console.log('never');</script>");
  serve("/c/second.html", "<script>console.log('second')</script>");
  scheme->held = {"/c/held.js"};
  view()->loadRequest(NSURLRequest::requestWithURL("test://host/c/first.html"));
  ASSERT_TRUE(testing_loop::runUntil([&] { return scheme->started.size() == 2; }));
  EXPECT_TRUE(web->isLoading());
  loadAndFinish("test://host/c/second.html");
  EXPECT_EQ(nav->events, (std::vector<std::string>{"start", "commit", "fail", "start", "commit",
                                                   "finish"}));
  EXPECT_EQ(nav->errors[0]->code(), NSURLErrorCancelled);
  ASSERT_EQ(scheme->stopped.size(), 1u);
  EXPECT_EQ(scheme->stopped[0], scheme->started[1]);
  // The held script answers late: nothing of the first document runs any more.
  auto late = scheme->started[1];
  late->didReceiveResponse(std::make_shared<NSURLResponse>(late->request()->URL(), "text/javascript", 1, ""));
  late->didFinish();
  testing_loop::runUntilIdle();
  auto texts = consoleTexts();
  EXPECT_EQ(texts.front(), "first");
  EXPECT_EQ(texts.back(), "second");
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "never"), 0);
  EXPECT_EQ(web->URL(), "test://host/c/second.html");
}

}  // namespace
