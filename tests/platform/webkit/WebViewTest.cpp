// The web view on the engine: script messages and evaluation, user scripts and the page log,
// panels, navigation decisions and failures, custom-scheme tasks (whole, ranges, stopped),
// fetch and XHR from an http page to a custom scheme, a killed content process, two views,
// and the pixels of a snapshot. Page script runs in real time: every wait has a deadline.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/network/NSURLError.h"
#include "platform/webkit/EngineObjects.h"
#include "platform/webkit/WKWebView.h"
#include "testing/loop/Pump.h"
#include "testing/net/LoopbackServer.h"

using namespace plat;

namespace {

constexpr double kPageDeadline = 20;

// Serves fixed answers for "app:" URLs; "app://h/stream" answers a response and one chunk,
// then waits for the test.
class AppScheme : public WKURLSchemeHandler {
 public:
  std::map<std::string, std::pair<std::string, std::string>> files;  // path -> (mime, body)
  std::vector<WKURLSchemeTaskRef> started, stopped;
  std::vector<std::string> rangeHeaders;
  // Bodies and content types of the requests, in arrival order.
  std::vector<std::string> bodies, types;
  bool readsBodies = true;
  bool readsRequestBody() const override { return readsBodies; }

  void webViewStartURLSchemeTask(const WKWebViewRef&, const WKURLSchemeTaskRef& task) override {
    started.push_back(task);
    std::string url = task->request()->URL();
    std::string path = url.substr(url.find('/', 6));
    if (auto q = path.find('?'); q != std::string::npos) path.resize(q);
    auto range = task->request()->valueForHTTPHeaderField("Range");
    rangeHeaders.push_back(range.value_or(""));
    bodies.push_back(task->request()->HTTPBody() ? task->request()->HTTPBody()->toString() : "");
    types.push_back(task->request()->valueForHTTPHeaderField("Content-Type").value_or(""));
    HTTPHeaderFields h;
    h.set("Access-Control-Allow-Origin", "*");
    if (path == "/hang") return;  // never answered
    if (path == "/stream") {
      h.set("Content-Type", "text/plain");
      task->didReceiveResponse(NSHTTPURLResponse::make(url, 200, h));
      task->didReceiveData(Data::fromString("first"));
      return;
    }
    auto it = files.find(path);
    if (it == files.end()) {
      task->didFailWithError(makeURLError(NSURLErrorFileDoesNotExist, url));
      return;
    }
    h.set("Content-Type", it->second.first);
    const std::string& body = it->second.second;
    if (range && range->rfind("bytes=", 0) == 0) {
      size_t dash = range->find('-');
      size_t from = std::stoul(range->substr(6, dash - 6));
      size_t to = dash + 1 < range->size() ? std::stoul(range->substr(dash + 1)) : body.size() - 1;
      h.set("Content-Range", "bytes " + std::to_string(from) + "-" + std::to_string(to) + "/" +
                                 std::to_string(body.size()));
      h.set("Content-Length", std::to_string(to - from + 1));
      task->didReceiveResponse(NSHTTPURLResponse::make(url, 206, h));
      task->didReceiveData(Data::fromString(body.substr(from, to - from + 1)));
    } else {
      h.set("Content-Length", std::to_string(body.size()));
      task->didReceiveResponse(NSHTTPURLResponse::make(url, 200, h));
      // In pieces, as a file would be read.
      for (size_t i = 0; i < body.size(); i += 7)
        task->didReceiveData(Data::fromString(body.substr(i, 7)));
    }
    task->didFinish();
  }
  void webViewStopURLSchemeTask(const WKWebViewRef&, const WKURLSchemeTaskRef& task) override {
    stopped.push_back(task);
  }
};

class Recorder : public WKScriptMessageHandler {
 public:
  std::vector<Value> bodies;
  void userContentControllerDidReceiveScriptMessage(const std::shared_ptr<WKUserContentController>&,
                                                    const WKScriptMessageRef& m) override {
    bodies.push_back(m->body());
  }
};

struct NavRecord : WKNavigationDelegate {
  std::vector<std::string> events;
  std::vector<std::string> started, committed;  // the navigations' URLs
  std::vector<int64_t> errors;
  bool cancelActions = false;
  std::function<bool(const WKNavigationResponseRef&)> allowResponse;
  int terminated = 0;
  void webViewDidStartProvisionalNavigation(const WKWebViewRef&,
                                            const WKNavigationRef& n) override {
    events.push_back("start");
    started.push_back(n->request()->URL());
  }
  void webViewDidCommitNavigation(const WKWebViewRef&, const WKNavigationRef& n) override {
    events.push_back("commit");
    committed.push_back(n->request()->URL());
  }
  void webViewDidFinishNavigation(const WKWebViewRef&, const WKNavigationRef&) override {
    events.push_back("finish");
  }
  void webViewDidFailProvisionalNavigationWithError(const WKWebViewRef&, const WKNavigationRef&,
                                                    const NSErrorRef& e) override {
    events.push_back("failProvisional");
    errors.push_back(e->code());
  }
  void webViewDidFailNavigationWithError(const WKWebViewRef&, const WKNavigationRef&,
                                         const NSErrorRef& e) override {
    events.push_back("fail");
    errors.push_back(e->code());
  }
  void webViewWebContentProcessDidTerminate(const WKWebViewRef&) override { ++terminated; }
  bool webViewDecidePolicyForNavigationActionDecisionHandler(
      const WKWebViewRef&, const WKNavigationActionRef& a,
      std::function<void(WKNavigationActionPolicy)> decide) override {
    bool cancel = cancelActions && a->request()->URL().find("blocked") != std::string::npos;
    decide(cancel ? WKNavigationActionPolicyCancel : WKNavigationActionPolicyAllow);
    return true;
  }
  bool webViewDecidePolicyForNavigationResponseDecisionHandler(
      const WKWebViewRef&, const WKNavigationResponseRef& r,
      std::function<void(WKNavigationResponsePolicy)> decide) override {
    if (!allowResponse) return false;
    decide(allowResponse(r) ? WKNavigationResponsePolicyAllow : WKNavigationResponsePolicyCancel);
    return true;
  }
};

std::string joined(const std::vector<std::string>& v) {
  std::string out;
  for (auto& s : v) out += (out.empty() ? "" : ", ") + s;
  return out;
}

// Records the engine objects the web view code makes for the test's length.
struct EngineObjectRecording {
  EngineObjectRecording() { webkit::EngineObjects::startRecording(); }
  ~EngineObjectRecording() { webkit::EngineObjects::stopRecording(); }
};

struct WebView : ::testing::Test {
  std::shared_ptr<AppScheme> scheme = std::make_shared<AppScheme>();
  std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
  WKWebViewConfigurationRef config = WKWebViewConfiguration::make();
  WKWebViewRef web;
  EngineObjectRecording recording;
  WKWebView::KeepPageLogForTesting keepPageLog;

  void SetUp() override {
    config->setURLSchemeHandlerForURLScheme(scheme, "app");
    config->userContentController()->addScriptMessageHandlerName(recorder, "test");
  }
  void TearDown() override {
    web.reset();
    testing_loop::runUntilIdle();
    // Whatever the case did, the engine objects it made go with their owners.
    EXPECT_TRUE(
        testing_loop::runUntil([] { return webkit::EngineObjects::live().empty(); }, kPageDeadline))
        << joined(webkit::EngineObjects::live());
  }
  WKWebViewRef make(double w = 320, double h = 240) {
    return WKWebView::make(CGRectMake(0, 0, w, h), config);
  }
  // Loads `html` as app://h/index.html and waits for its posts to reach `count`.
  void loadPage(const std::string& html, size_t count = 1) {
    scheme->files["/index.html"] = {"text/html; charset=utf-8", html};
    if (!web) web = make();
    web->loadRequest(NSURLRequest::requestWithURL("app://h/index.html"));
    ASSERT_TRUE(waitPosts(count)) << joined(web->pageErrors());
  }
  bool waitPosts(size_t n) {
    return testing_loop::runUntil([&] { return recorder->bodies.size() >= n; }, kPageDeadline);
  }
  struct Eval {
    bool done = false;
    Value value;
    NSErrorRef error;
  };
  Eval evaluate(const std::string& script) {
    auto e = std::make_shared<Eval>();
    web->evaluateJavaScriptCompletionHandler(script, [e](const Value& v, const NSErrorRef& err) {
      e->done = true;
      e->value = v;
      e->error = err;
    });
    EXPECT_TRUE(testing_loop::runUntil([&] { return e->done; }, kPageDeadline)) << script;
    return *e;
  }
  std::string json(const Value& v) {
    return NSJSONSerialization::stringWithJSONObject(v,
                                                     NSJSONSerialization::NSJSONWritingSortedKeys);
  }
};

TEST_F(WebView, MessageBodiesAndEvaluationResultsConvertEveryJSONTypeNested) {
  loadPage(R"(<script>
    const post = (v) => window.webkit.messageHandlers.test.postMessage(v);
    post({s: 'é', n: 1.5, i: -3, t: true, f: false, z: null, a: [1, [2, {x: 'y'}]],
          u: undefined});
    post('text'); post(7); post(null); post([]);
    class Point { constructor(x) { this.x = x; } }
    (async () => { await null; post(new Point(4)); })();
  </script>)",
           6);
  auto& b = recorder->bodies;
  EXPECT_EQ(json(b[0]),
            R"({"a":[1,[2,{"x":"y"}]],"f":false,"i":-3,"n":1.5,"s":"é","t":true,"z":null})");
  EXPECT_EQ(b[1].stringOr(), "text");
  EXPECT_EQ(b[2].intValue(), 7);
  EXPECT_TRUE(b[3].isNull());
  EXPECT_EQ(json(b[4]), "[]");
  EXPECT_EQ(json(b[5]), R"({"x":4})");

  // A text cut in the middle of an emoji keeps the rest of the message; whole pairs and an
  // escaped backslash before "ud800" stay as they are.
  evaluate(R"JS(window.webkit.messageHandlers.test.postMessage(
      {name: 'a\ud83d', args: ['\udc00b', '\ud83d\ude00', '\\ud800', '\ud800\ud800']}); 1)JS");
  ASSERT_TRUE(waitPosts(7));
  EXPECT_EQ(json(b[6]),
            "{\"args\":[\"\uFFFDb\",\"\U0001F600\",\"\\\\ud800\",\"\uFFFD\uFFFD\"],"
            "\"name\":\"a\uFFFD\"}");
  EXPECT_EQ(evaluate("'x\\ud800y'").value.stringOr(), "x\uFFFDy");

  auto r = evaluate("({list: [1, 'two', {three: 3}], ok: true})");
  ASSERT_FALSE(r.error);
  EXPECT_EQ(json(r.value), R"({"list":[1,"two",{"three":3}],"ok":true})");
  EXPECT_EQ(evaluate("6 * 7").value.intValue(), 42);

  auto thrown = evaluate("throw new TypeError('bad thing')");
  ASSERT_TRUE(thrown.error);
  EXPECT_EQ(thrown.error->domain(), WKErrorDomain);
  EXPECT_EQ(thrown.error->code(), WKErrorJavaScriptExceptionOccurred);
  EXPECT_NE(
      thrown.error->userInfo().get(WKJavaScriptExceptionMessageKey).stringOr().find("bad thing"),
      std::string::npos);
  auto undef = evaluate("undefined");
  ASSERT_TRUE(undef.error);
  EXPECT_EQ(undef.error->code(), WKErrorJavaScriptResultTypeIsUnsupported);

  // A message posted by an evaluated script arrives before the evaluation's answer.
  size_t before = b.size();
  bool answered = false;
  size_t postsAtAnswer = 0;
  web->evaluateJavaScriptCompletionHandler(
      "window.webkit.messageHandlers.test.postMessage('from script'); 1",
      [&](const Value&, const NSErrorRef&) {
        answered = true;
        postsAtAnswer = b.size();
      });
  ASSERT_TRUE(testing_loop::runUntil([&] { return answered; }, kPageDeadline));
  EXPECT_EQ(postsAtAnswer, before + 1);
}

TEST_F(WebView, UserScriptsRunInOrderAndThePageLogReachesTheHooks) {
  auto ucc = config->userContentController();
  ucc->addUserScript(WKUserScript::make("window.order = ['start'];",
                                        WKUserScriptInjectionTimeAtDocumentStart, true));
  ucc->addUserScript(WKUserScript::make("window.order.push('end');",
                                        WKUserScriptInjectionTimeAtDocumentEnd, true));
  std::vector<std::string> observed;
  web = make();
  web->setConsoleObserver(
      [&](const WKWebView::ConsoleMessage& m) { observed.push_back(m.level + ":" + m.text); });
  loadPage(R"(<script>
    window.order.push('page');
    console.log('hello', 3, {a: 1});
    console.warn('careful');
    window.addEventListener('load', () => {
      window.webkit.messageHandlers.test.postMessage(window.order.join(','));
      Promise.reject(new Error('nobody caught'));
      setTimeout(() => { throw new RangeError('late'); }, 0);
    });
  </script><script src="app://h/missing.js"></script>)");
  EXPECT_EQ(recorder->bodies[0].stringOr(), "start,page,end");
  ASSERT_TRUE(testing_loop::runUntil([&] { return web->pageErrors().size() >= 3; }, kPageDeadline));
  EXPECT_EQ(observed, (std::vector<std::string>{"log:hello 3 {\"a\":1}", "warn:careful"}));
  auto errors = web->pageErrors();
  auto has = [&](const std::string& text) {
    for (auto& e : errors)
      if (e.find(text) != std::string::npos) return true;
    return false;
  };
  EXPECT_TRUE(has("Failed to load resource: app://h/missing.js"));
  EXPECT_TRUE(has("nobody caught"));
  EXPECT_TRUE(has("RangeError: late"));
}

struct Panels : WKUIDelegate {
  std::vector<std::string> seen;
  bool claim = true;
  bool webViewRunJavaScriptAlertPanelWithMessageInitiatedByFrameCompletionHandler(
      const WKWebViewRef&, const std::string& m, const WKFrameInfo&,
      std::function<void()> done) override {
    if (!claim) return false;
    seen.push_back("alert:" + m);
    dispatch_async(dispatch_get_main_queue(), done);
    return true;
  }
  bool webViewRunJavaScriptConfirmPanelWithMessageInitiatedByFrameCompletionHandler(
      const WKWebViewRef&, const std::string& m, const WKFrameInfo&,
      std::function<void(bool)> done) override {
    if (!claim) return false;
    seen.push_back("confirm:" + m);
    done(true);
    return true;
  }
  bool webViewRunJavaScriptTextInputPanelWithPromptDefaultTextInitiatedByFrameCompletionHandler(
      const WKWebViewRef&, const std::string& p, const std::string& d, const WKFrameInfo&,
      std::function<void(std::optional<std::string>)> done) override {
    if (!claim) return false;
    seen.push_back("prompt:" + p + "/" + d);
    done(p == "name?" ? std::optional<std::string>("Ann") : std::nullopt);
    return true;
  }
};

TEST_F(WebView, PanelsAskTheUIDelegateAndGiveDefaultsWithoutOne) {
  const std::string page = R"(<script>
    alert('hi');
    const c = confirm('sure?');
    const p = prompt('name?', 'def');
    const q = prompt('other?');
    window.webkit.messageHandlers.test.postMessage([c, p, q]);
  </script>)";
  auto panels = std::make_shared<Panels>();
  web = make();
  web->setUIDelegate(panels);
  loadPage(page);
  EXPECT_EQ(json(recorder->bodies[0]), R"([true,"Ann",null])");
  EXPECT_EQ(panels->seen, (std::vector<std::string>{"alert:hi", "confirm:sure?", "prompt:name?/def",
                                                    "prompt:other?/"}));
  // Without a delegate (and with one that declines) the page gets the defaults at once.
  panels->claim = false;
  web->reload();
  ASSERT_TRUE(waitPosts(2));
  EXPECT_EQ(json(recorder->bodies[1]), "[false,null,null]");
  web->setUIDelegate(nullptr);
  web->reload();
  ASSERT_TRUE(waitPosts(3));
  EXPECT_EQ(json(recorder->bodies[2]), "[false,null,null]");
}

TEST_F(WebView, NavigationDecisionsAndFailuresReachTheDelegate) {
  auto nav = std::make_shared<NavRecord>();
  nav->cancelActions = true;
  web = make();
  web->setNavigationDelegate(nav);
  loadPage("<script>window.webkit.messageHandlers.test.postMessage('loaded')</script>");
  ASSERT_TRUE(testing_loop::runUntil([&] { return nav->events.size() >= 3; }, kPageDeadline));
  EXPECT_EQ(nav->events, (std::vector<std::string>{"start", "commit", "finish"}));

  // A cancelled action never starts; the page stays.
  nav->events.clear();
  bool answered = false;
  web->evaluateJavaScriptCompletionHandler(
      "location.href = 'app://h/blocked.html'; 1",
      [&](const Value&, const NSErrorRef&) { answered = true; });
  ASSERT_TRUE(testing_loop::runUntil([&] { return answered; }, kPageDeadline));
  EXPECT_EQ(evaluate("location.href").value.stringOr(), "app://h/index.html");

  // A refused answer and an unreachable host fail before commit.
  nav->allowResponse = [](const WKNavigationResponseRef& r) {
    auto http = std::dynamic_pointer_cast<NSHTTPURLResponse>(r->response());
    return !(http && http->statusCode() == 200 &&
             r->response()->URL().find("refused") != std::string::npos);
  };
  scheme->files["/refused.html"] = {"text/html", "<p>no</p>"};
  web->loadRequest(NSURLRequest::requestWithURL("app://h/refused.html"));
  ASSERT_TRUE(testing_loop::runUntil([&] { return nav->errors.size() == 1; }, kPageDeadline));
  web->loadRequest(NSURLRequest::requestWithURL(
      "http://127.0.0.1:" + std::to_string(testing_net::unusedLoopbackPort()) + "/"));
  ASSERT_TRUE(testing_loop::runUntil([&] { return nav->errors.size() == 2; }, kPageDeadline));
  EXPECT_EQ(nav->errors[1], NSURLErrorCannotConnectToHost);
  EXPECT_EQ(nav->events,
            (std::vector<std::string>{"start", "failProvisional", "start", "failProvisional"}));

  // A missing custom-scheme document fails too, and stopLoading ends a hanging load.
  nav->events.clear();
  web->loadRequest(NSURLRequest::requestWithURL("app://h/stream"));
  ASSERT_TRUE(testing_loop::runUntil(
      [&] {
        return !scheme->started.empty() &&
               scheme->started.back()->request()->URL() == "app://h/stream";
      },
      kPageDeadline));
  web->stopLoading();
  ASSERT_TRUE(testing_loop::runUntil([&] { return nav->errors.size() == 3; }, kPageDeadline));
  EXPECT_EQ(nav->errors[2], NSURLErrorCancelled);
}

// The engine shows a blank page for an address on a port it never connects to: the load
// fails before commit, as on the phone, and the next load goes on as usual.
TEST_F(WebView, ALoadOnARestrictedPortFailsBeforeCommit) {
  auto nav = std::make_shared<NavRecord>();
  web = make();
  web->setNavigationDelegate(nav);
  for (int port : {6000, 6667, 9}) {
    nav->events.clear();
    nav->errors.clear();
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/index.html";
    web->loadRequest(NSURLRequest::requestWithURL(url));
    ASSERT_TRUE(testing_loop::runUntil([&] { return !nav->errors.empty(); }, kPageDeadline))
        << port << ": " << joined(nav->events);
    testing_loop::runUntilIdle();
    EXPECT_EQ(nav->events, (std::vector<std::string>{"start", "failProvisional"})) << port;
    EXPECT_EQ(nav->errors[0], WebKitErrorCannotUseRestrictedPort) << port;
  }
  nav->events.clear();
  loadPage("<script>window.webkit.messageHandlers.test.postMessage('loaded')</script>");
  ASSERT_TRUE(testing_loop::runUntil([&] { return nav->events.size() >= 3; }, kPageDeadline));
  EXPECT_EQ(nav->events, (std::vector<std::string>{"start", "commit", "finish"}));
}

TEST_F(WebView, ANavigationThePageStartsNamesThePageItGoesTo) {
  auto nav = std::make_shared<NavRecord>();
  web = make();
  web->setNavigationDelegate(nav);
  scheme->files["/second.html"] = {"text/html", "<p>second</p>"};
  loadPage(
      "<a id=l "
      "href='third.html'>l</a><script>window.webkit.messageHandlers.test.postMessage(1)</script>");
  scheme->files["/third.html"] = {"text/html", "<p>third</p>"};
  evaluate("location.href = 'app://h/second.html'; 1");
  ASSERT_TRUE(testing_loop::runUntil(
      [&] { return nav->committed.size() == 2 && web->URL() == "app://h/second.html"; },
      kPageDeadline));
  evaluate("history.back(); 1");
  ASSERT_TRUE(testing_loop::runUntil([&] { return nav->committed.size() == 3; }, kPageDeadline));
  evaluate("document.getElementById('l').click(); 1");
  ASSERT_TRUE(testing_loop::runUntil([&] { return nav->committed.size() == 4; }, kPageDeadline));
  EXPECT_EQ(joined(nav->started),
            "app://h/index.html, app://h/second.html, app://h/index.html, app://h/third.html");
  EXPECT_EQ(joined(nav->committed), joined(nav->started));
}

TEST_F(WebView, SchemeTasksDeliverWholeBodiesRangesAndStopMidStream) {
  std::string big(300000, 'x');
  for (size_t i = 0; i < big.size(); i += 1000) big[i] = static_cast<char>('a' + (i / 1000) % 26);
  scheme->files["/big.bin"] = {"application/octet-stream", big};
  scheme->files["/data.txt"] = {"text/plain", "0123456789abcdef"};
  loadPage(R"(<script>
    const post = (v) => window.webkit.messageHandlers.test.postMessage(v);
    (async () => {
      const whole = await (await fetch('app://h/big.bin')).text();
      const part = await fetch('app://h/data.txt', {headers: {Range: 'bytes=4-9'}});
      const xhr = new XMLHttpRequest();
      xhr.open('GET', 'app://h/data.txt');
      xhr.setRequestHeader('Range', 'bytes=10-');
      xhr.onload = () => post({length: whole.length, a: whole[0], z: whole[299000],
                               status: part.status, range: part.headers.get('Content-Range'),
                               xhr: [xhr.status, xhr.responseText,
                                                 xhr.getResponseHeader('Content-Range')]});
      part.text().then((t) => { window.partText = t; xhr.send(); });
    })();
  </script>)");
  ASSERT_TRUE(recorder->bodies[0].dictionary());
  const Dictionary& got = *recorder->bodies[0].dictionary();
  EXPECT_EQ(got.get("length").intValue(), 300000);
  EXPECT_EQ(got.get("a").stringOr() + got.get("z").stringOr(), "an");
  EXPECT_EQ(got.get("status").intValue(), 206);
  EXPECT_EQ(got.get("range").stringOr(), "bytes 4-9/16");
  EXPECT_EQ(json(got.get("xhr")), R"([206,"abcdef","bytes 10-15\/16"])");
  EXPECT_EQ(evaluate("window.partText").value.stringOr(), "456789");

  // A body the page abandons: the handler is told, and later answers are ignored.
  size_t before = scheme->started.size();
  evaluate(
      "window.ctl = new AbortController(); fetch('app://h/stream', {signal: ctl.signal})"
      ".then(r => r.body.getReader().read()).then(c => window.webkit.messageHandlers.test"
      ".postMessage(new TextDecoder().decode(c.value))); 1");
  ASSERT_TRUE(waitPosts(2));
  EXPECT_EQ(recorder->bodies[1].stringOr(), "first");
  ASSERT_EQ(scheme->started.size(), before + 1);
  auto task = scheme->started.back();
  evaluate("ctl.abort(); 1");
  ASSERT_TRUE(testing_loop::runUntil([&] { return !scheme->stopped.empty(); }, kPageDeadline));
  EXPECT_EQ(scheme->stopped.back(), task);
  task->didReceiveData(Data::fromString("late"));
  task->didFinish();
  EXPECT_EQ(task->ignoredCallCount(), 2);

  // Finished loads let go of the handler, though the handler keeps its tasks.
  std::weak_ptr<AppScheme> handler = scheme;
  task.reset();
  web.reset();
  config.reset();
  scheme.reset();
  testing_loop::runUntilIdle();
  EXPECT_TRUE(handler.expired());
}

// Bodies holding blobs crash the engine when a scheme handler asks for them: they reach a
// handler that reads bodies as bytes, with their content type, and are never read for one
// that does not.
TEST_F(WebView, BlobBodiesReachTheSchemeAsBytesAndAreNeverReadForAHandlerThatTakesNone) {
  scheme->files["/post"] = {"text/plain", "ok"};
  const std::string posts = R"(<script>
    const post = (v) => window.webkit.messageHandlers.test.postMessage(v);
    const send = (body) => fetch('app://h/post', {method: 'POST', body}).then(r => r.text());
    const form = new FormData();
    form.append('name', 'v');
    form.append('file', new Blob(['file-bytes'], {type: 'text/plain'}), 'f.txt');
    const canvas = document.createElement('canvas');
    canvas.width = canvas.height = 2;
    (async () => {
      const out = [];
      out.push(await send(new Blob(['blob-bytes'], {type: 'application/x-test'})));
      out.push(await send(new Blob([])));
      out.push(await send(form));
      const png = await new Promise((done) => canvas.toBlob(done));
      out.push(await send(png));
      out.push(await fetch(new Request('app://h/post', {method: 'POST', body: new Blob(['req'])}))
                        .then(r => r.text()));
      out.push(await new Promise((done) => {
        const x = new XMLHttpRequest();
        x.open('POST', 'app://h/post');
        x.onload = () => done(x.responseText);
        x.onerror = () => done('xhr failed');
        x.send(new Blob(['xhr-bytes'], {type: 'text/x-xhr'}));
      }));
      post(out);
    })();
  </script>)";
  loadPage(posts);
  EXPECT_EQ(json(recorder->bodies[0]), R"(["ok","ok","ok","ok","ok","ok"])");
  ASSERT_EQ(scheme->bodies.size(), 7u);  // the page, then the six posts
  EXPECT_EQ(scheme->bodies[1], "blob-bytes");
  EXPECT_EQ(scheme->types[1], "application/x-test");
  EXPECT_EQ(scheme->bodies[2], "");
  EXPECT_NE(scheme->bodies[3].find("file-bytes"), std::string::npos);
  EXPECT_NE(scheme->bodies[3].find("filename=\"f.txt\""), std::string::npos);
  EXPECT_EQ(scheme->types[3].rfind("multipart/form-data; boundary=", 0), 0u) << scheme->types[3];
  EXPECT_EQ(scheme->bodies[4].substr(1, 3), "PNG");
  EXPECT_EQ(scheme->types[4], "image/png");
  EXPECT_EQ(scheme->bodies[5], "req");
  EXPECT_EQ(scheme->bodies[6], "xhr-bytes");
  EXPECT_EQ(scheme->types[6], "text/x-xhr");

  // A handler that reads no bodies: the same posts pass, the handler sees none.
  web.reset();
  recorder->bodies.clear();
  scheme->bodies.clear();
  scheme->readsBodies = false;
  loadPage(posts);
  EXPECT_EQ(json(recorder->bodies[0]), R"(["ok","ok","ok","ok","ok","ok"])");
  ASSERT_EQ(scheme->bodies.size(), 7u);
  for (auto& b : scheme->bodies) EXPECT_EQ(b, "");
}

TEST_F(WebView, AnHTMLStringIsLoadedWholeThoughItHoldsANulByte) {
  web = make();
  std::string html = "<p>before</p>";
  html += '\0';
  html += "<script>window.webkit.messageHandlers.test.postMessage('after é')</script>";
  web->loadHTMLStringBaseURL(html, "app://h/page.html");
  ASSERT_TRUE(waitPosts(1));
  EXPECT_EQ(recorder->bodies[0].stringOr(), "after é");
  EXPECT_EQ(web->URL(), "app://h/page.html");

  // An empty text clears the page.
  web->loadHTMLStringBaseURL("", "");
  EXPECT_TRUE(testing_loop::runUntil(
      [&] {
        return web->URL() == "about:blank" &&
               evaluate("document.body ? document.body.innerHTML : ''").value.stringOr().empty();
      },
      kPageDeadline));
}

// The engine can report a superseded load's cancellation, and the finish that follows it,
// after the next load began: neither ends the next load.
TEST_F(WebView, ALateCancelOfASupersededLoadLeavesTheNextLoadGoing) {
  auto nav = std::make_shared<NavRecord>();
  web = make();
  web->setNavigationDelegate(nav);
  loadPage("<script>window.webkit.messageHandlers.test.postMessage('page')</script>");
  web->loadRequest(NSURLRequest::requestWithURL("app://h/hang"));
  ASSERT_TRUE(testing_loop::runUntil([&] { return nav->started.size() == 2; }, kPageDeadline));
  size_t events = nav->events.size();
  web->reportCancelledLoadForTesting("app://h/index.html");
  testing_loop::runUntilIdle();
  EXPECT_EQ(nav->events.size(), events) << joined(nav->events);
  web->stopLoading();
  ASSERT_TRUE(testing_loop::runUntil([&] { return nav->events.back() == "failProvisional"; },
                                     kPageDeadline));
  EXPECT_EQ(nav->errors, std::vector<int64_t>{NSURLErrorCancelled});
}

// A host that takes connections and never answers: the kernel accepts them into the backlog.
struct SilentHost {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  uint16_t port = 0;
  SilentHost() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), n) == 0 && ::listen(fd, 16) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0)
      port = ntohs(a.sin_port);
  }
  ~SilentHost() { ::close(fd); }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port) + "/index.html"; }
};

TEST_F(WebView, APageLoadWithNoAnswerFailsAsTimedOutOnceTheRequestTimeOutPasses) {
  testing_loop::VirtualClockScope clock;
  SilentHost host;
  ASSERT_NE(host.port, 0);
  auto nav = std::make_shared<NavRecord>();
  web = make();
  web->setNavigationDelegate(nav);
  auto request = NSMutableURLRequest::requestWithURL(host.url());
  request->setTimeoutInterval(5);
  web->loadRequest(request);
  ASSERT_TRUE(testing_loop::runUntil([&] { return !nav->started.empty(); }, kPageDeadline));
  testing_loop::advance(4.5);
  EXPECT_TRUE(nav->errors.empty());
  testing_loop::advance(1);
  ASSERT_TRUE(testing_loop::runUntil([&] { return !nav->errors.empty(); }, kPageDeadline));
  EXPECT_EQ(nav->errors[0], NSURLErrorTimedOut);

  // A plain request waits its default time-out (60 s), then fails the same way, once.
  web->loadRequest(NSURLRequest::requestWithURL(host.url()));
  ASSERT_TRUE(testing_loop::runUntil([&] { return nav->started.size() == 2; }, kPageDeadline));
  testing_loop::advance(59);
  EXPECT_EQ(nav->errors.size(), 1u);
  testing_loop::advance(2);
  ASSERT_TRUE(testing_loop::runUntil([&] { return nav->errors.size() == 2; }, kPageDeadline));
  EXPECT_EQ(nav->errors[1], NSURLErrorTimedOut);

  // A page that answers in time is never failed by its time-out.
  loadPage("<script>window.webkit.messageHandlers.test.postMessage('page')</script>");
  ASSERT_TRUE(
      testing_loop::runUntil([&] { return nav->events.back() == "finish"; }, kPageDeadline));
  testing_loop::advance(120);
  testing_loop::runUntilIdle();
  EXPECT_EQ(nav->errors.size(), 2u);
  EXPECT_EQ(nav->events.back(), "finish");
}

TEST_F(WebView, AnHttpPageFetchesAndRequestsTheCustomScheme) {
  testing_net::LoopbackServer server;
  server.respond("/page.html", 200, R"(<script>
    const post = (v) => window.webkit.messageHandlers.test.postMessage(v);
    fetch('app://h/data.txt').then(r => r.text()).then(t => {
      const x = new XMLHttpRequest();
      x.open('GET', 'app://h/data.txt');
      x.onload = () => post([t, x.status, x.responseText]);
      x.onerror = () => post([t, 'xhr failed']);
      x.send();
    }, e => post(String(e)));
  </script>)",
                 "text/html");
  scheme->files["/data.txt"] = {"text/plain", "cross"};
  web = make();
  web->loadRequest(NSURLRequest::requestWithURL(
      "http://127.0.0.1:" + std::to_string(server.port()) + "/page.html"));
  ASSERT_TRUE(waitPosts(1));
  EXPECT_EQ(json(recorder->bodies[0]), R"(["cross",200,"cross"])");
}

TEST_F(WebView, AKilledContentProcessIsReportedAndAReloadWorks) {
  auto nav = std::make_shared<NavRecord>();
  web = make();
  web->setNavigationDelegate(nav);
  loadPage("<script>window.webkit.messageHandlers.test.postMessage(performance.now())</script>");
  web->simulateWebContentProcessTermination();
  ASSERT_TRUE(testing_loop::runUntil([&] { return nav->terminated == 1; }, kPageDeadline));
  EXPECT_EQ(web->URL(), "app://h/index.html");
  ASSERT_TRUE(web->reload());
  ASSERT_TRUE(waitPosts(2));

  // A second view runs beside the first, each with its own page.
  auto other = make();
  scheme->files["/two.html"] = {
      "text/html", "<script>window.webkit.messageHandlers.test.postMessage('two')</script>"};
  other->loadRequest(NSURLRequest::requestWithURL("app://h/two.html"));
  ASSERT_TRUE(waitPosts(3));
  EXPECT_EQ(recorder->bodies[2].stringOr(), "two");
  EXPECT_EQ(other->URL(), "app://h/two.html");
  EXPECT_EQ(web->URL(), "app://h/index.html");
}

TEST_F(WebView, ASnapshotShowsCanvasAndWebGLDrawing) {
  loadPage(R"(<body style="margin:0;background:#fff">
    <canvas id="c2" width="100" height="100" style="position:absolute;left:0;top:0"></canvas>
    <canvas id="gl" width="100" height="100" style="position:absolute;left:150px;top:0"></canvas>
    <script>
      const c = document.getElementById('c2').getContext('2d');
      c.fillStyle = '#ff0000'; c.fillRect(0, 0, 100, 100);
      const gl = document.getElementById('gl').getContext('webgl2', {preserveDrawingBuffer: true});
      gl.clearColor(0, 0, 1, 1); gl.clear(gl.COLOR_BUFFER_BIT);
      requestAnimationFrame(() => requestAnimationFrame(() =>
        window.webkit.messageHandlers.test.postMessage(!!gl)));
    </script></body>)");
  EXPECT_TRUE(recorder->bodies[0].boolValue());
  UIImageRef shot;
  NSErrorRef error;
  bool done = false;
  web->takeSnapshotWithCompletionHandler([&](const UIImageRef& i, const NSErrorRef& e) {
    shot = i;
    error = e;
    done = true;
  });
  ASSERT_TRUE(testing_loop::runUntil([&] { return done; }, kPageDeadline));
  ASSERT_TRUE(shot) << (error ? error->localizedDescription() : "");
  auto img = shot->CGImage();
  ASSERT_GE(img->width(), 250u);
  if (const char* out = std::getenv("LUMORA_TEST_OUTPUT"))
    CGImageWritePNGFile(img, std::string(out) + "/webview-snapshot.png");
  auto near = [](uint32_t px, uint32_t want) {
    for (int s = 0; s < 24; s += 8) {
      int a = (px >> s) & 0xff, b = (want >> s) & 0xff;
      if (std::abs(a - b) > 16) return false;
    }
    return true;
  };
  EXPECT_TRUE(near(img->pixelAt(50, 50), 0xffff0000)) << std::hex << img->pixelAt(50, 50);
  EXPECT_TRUE(near(img->pixelAt(200, 50), 0xff0000ff)) << std::hex << img->pixelAt(200, 50);
  EXPECT_TRUE(near(img->pixelAt(300, 200), 0xffffffff)) << std::hex << img->pixelAt(300, 200);
  EXPECT_EQ(web->lastSnapshot(), shot);
}

// Makes a web view for every window.open and keeps it until the test lets it go.
struct Opener : WKUIDelegate {
  std::vector<WKWebViewRef> children;
  WKWebViewRef webViewCreateWebViewWithConfigurationForNavigationAction(
      const WKWebViewRef&, const WKWebViewConfigurationRef& configuration,
      const WKNavigationActionRef&) override {
    children.push_back(WKWebView::make(CGRectMake(0, 0, 200, 100), configuration));
    return children.back();
  }
};

TEST_F(WebView, EngineObjectsAreFinalizedOnceViewsTasksAnswersAndChildWindowsGo) {
  config->preferences()->setJavaScriptCanOpenWindowsAutomatically(true);
  auto opener = std::make_shared<Opener>();
  scheme->files["/child.html"] = {
      "text/html", "<script>window.webkit.messageHandlers.test.postMessage('child')</script>"};
  web = make();
  web->setUIDelegate(opener);
  loadPage("<script>window.webkit.messageHandlers.test.postMessage('page')</script>");

  // Child windows, scheme tasks (answered, streaming and never answered), evaluations and a
  // snapshot, all still under way or kept by their owners when the view goes.
  evaluate("for (let i = 0; i < 3; ++i) window.open('app://h/child.html'); 1");
  ASSERT_TRUE(waitPosts(4));
  EXPECT_EQ(opener->children.size(), 3u);
  EXPECT_EQ(json(evaluate("({a: [1, 'b']})").value), R"({"a":[1,"b"]})");
  EXPECT_TRUE(evaluate("throw new Error('x')").error);
  bool shot = false;
  web->takeSnapshotWithCompletionHandler(
      [&](const UIImageRef&, const NSErrorRef&) { shot = true; });
  evaluate(
      "fetch('app://h/stream').then(r => r.body.getReader().read()).then(() => "
      "window.webkit.messageHandlers.test.postMessage('streamed')); fetch('app://h/hang');"
      "fetch('app://h/form', {method: 'POST', body: 'a=1'}).catch(() => {}); 1");
  ASSERT_TRUE(waitPosts(5));
  ASSERT_TRUE(
      testing_loop::runUntil([&] { return shot && scheme->started.size() >= 7; }, kPageDeadline));

  // A child may go before its opener, and outlive it. The opener goes with a snapshot and an
  // evaluation under way.
  opener->children.erase(opener->children.begin());
  EXPECT_EQ(evaluate("3 + 3").value.intValue(), 6);
  bool lateShot = false;
  web->takeSnapshotWithCompletionHandler(
      [&](const UIImageRef&, const NSErrorRef&) { lateShot = true; });
  web->evaluateJavaScriptCompletionHandler("2 + 2");
  web.reset();
  ASSERT_TRUE(testing_loop::runUntil([&] { return lateShot; }, kPageDeadline));
  bool childAnswered = false;
  opener->children[0]->evaluateJavaScriptCompletionHandler(
      "document.readyState",
      [&](const Value& v, const NSErrorRef&) { childAnswered = v.stringOr() == "complete"; });
  ASSERT_TRUE(testing_loop::runUntil([&] { return childAnswered; }, kPageDeadline));
  opener->children.clear();
  ASSERT_TRUE(
      testing_loop::runUntil([] { return webkit::EngineObjects::live().empty(); }, kPageDeadline))
      << joined(webkit::EngineObjects::live());
  EXPECT_EQ(webkit::EngineObjects::recorded("view"), 4u);
  EXPECT_EQ(webkit::EngineObjects::recorded("window"), 4u);
  EXPECT_EQ(webkit::EngineObjects::recorded("content manager"), 4u);
  EXPECT_GE(webkit::EngineObjects::recorded("scheme request"), 7u);
  EXPECT_EQ(webkit::EngineObjects::recorded("request body"), 1u);
  EXPECT_GE(webkit::EngineObjects::recorded("stream"), 5u);
  EXPECT_GE(webkit::EngineObjects::recorded("script value"), 3u);
  EXPECT_GE(webkit::EngineObjects::recorded("snapshot"), 1u);
}

TEST_F(WebView, OnlyABoundedTailOfThePageLogIsKept) {
  std::vector<std::string> observed, errors;
  web = make();
  web->setConsoleObserver([&](const WKWebView::ConsoleMessage& m) { observed.push_back(m.text); });
  web->setPageErrorObserver([&](const std::string& e) { errors.push_back(e); });
  loadPage(R"(<script>
    for (let i = 0; i < 300; ++i) console.log('line ' + i);
    console.log('y'.repeat(70000));
    for (let i = 0; i < 300; ++i)
      window.dispatchEvent(new ErrorEvent('error', {message: 'problem ' + i}));
    console.info('last');
    window.webkit.messageHandlers.test.postMessage('done');
  </script>)");
  ASSERT_TRUE(testing_loop::runUntil([&] { return !observed.empty() && observed.back() == "last"; },
                                     kPageDeadline));
  // The observers see everything, in order.
  ASSERT_EQ(observed.size(), 302u);
  EXPECT_EQ(observed[299], "line 299");
  EXPECT_EQ(observed[300].size(), 70000u);
  ASSERT_EQ(errors.size(), 300u);
  EXPECT_EQ(errors[299], "problem 299");
  // The view keeps only the newest few, and no long line among them.
  auto kept = web->consoleMessages();
  auto keptErrors = web->pageErrors();
  ASSERT_FALSE(kept.empty());
  EXPECT_LE(kept.size(), WKWebView::kKeptPageLogEntries);
  EXPECT_EQ(kept.back().level, "info");
  EXPECT_EQ(kept.back().text, "last");
  size_t bytes = 0;
  for (auto& m : kept) bytes += m.text.size();
  EXPECT_LE(bytes, WKWebView::kKeptPageLogBytes);
  EXPECT_LE(keptErrors.size(), WKWebView::kKeptPageLogEntries);
  ASSERT_FALSE(keptErrors.empty());
  EXPECT_EQ(keptErrors.back(), "problem 299");
}

TEST_F(WebView, WithoutTheTestSwitchThePageLogOnlyReachesTheObservers) {
  WKWebView::setKeepsPageLogForTesting(false);
  std::vector<std::string> observed, errors;
  web = make();
  web->setConsoleObserver([&](const WKWebView::ConsoleMessage& m) { observed.push_back(m.text); });
  web->setPageErrorObserver([&](const std::string& e) { errors.push_back(e); });
  loadPage(R"(<script>
    console.log('one'); console.warn('two');
    window.dispatchEvent(new ErrorEvent('error', {message: 'problem'}));
    console.info('last');
    window.webkit.messageHandlers.test.postMessage('done');
  </script>)");
  ASSERT_TRUE(testing_loop::runUntil([&] { return !observed.empty() && observed.back() == "last"; },
                                     kPageDeadline));
  EXPECT_EQ(joined(observed), "one, two, last");
  EXPECT_EQ(joined(errors), "problem");
  EXPECT_TRUE(web->consoleMessages().empty());
  EXPECT_TRUE(web->pageErrors().empty());
}

TEST_F(WebView, ViewsSharingAControllerLeaveNoEntryBehindWhenTheyGo) {
  auto controller = config->userContentController();
  for (int i = 0; i < 3; ++i) {
    auto view = make();
    testing_loop::runUntilIdle();
  }
  web = make();
  EXPECT_EQ(controller->observerCountForTesting(), 1u);
  // The view that stays still hears of new handlers.
  controller->addScriptMessageHandlerName(std::make_shared<Recorder>(), "later");
  loadPage(
      "<script>window.webkit.messageHandlers.later.postMessage(1);"
      "window.webkit.messageHandlers.test.postMessage('page')</script>");
}

TEST_F(WebView, AnEvaluationIsToldWhenTheContentProcessEndsOrTheViewGoes) {
  auto nav = std::make_shared<NavRecord>();
  web = make();
  web->setNavigationDelegate(nav);
  loadPage("<script>window.webkit.messageHandlers.test.postMessage('page')</script>");
  auto start = [&](const std::string& script) {
    auto e = std::make_shared<Eval>();
    web->evaluateJavaScriptCompletionHandler(script, [e](const Value& v, const NSErrorRef& err) {
      EXPECT_FALSE(e->done) << "answered twice";
      e->done = true;
      e->value = v;
      e->error = err;
    });
    return e;
  };
  auto code = [](const std::shared_ptr<Eval>& e) { return e->error ? e->error->code() : 0; };

  // Running when the process is killed, and asked after that before a new load.
  auto running = start("while (true) {}");
  web->simulateWebContentProcessTermination();
  ASSERT_TRUE(testing_loop::runUntil([&] { return running->done; }, kPageDeadline));
  EXPECT_EQ(running->error ? running->error->domain() : "", WKErrorDomain);
  EXPECT_EQ(code(running), WKErrorWebContentProcessTerminated);
  ASSERT_TRUE(testing_loop::runUntil([&] { return nav->terminated == 1; }, kPageDeadline));
  auto afterwards = start("1");
  ASSERT_TRUE(testing_loop::runUntil([&] { return afterwards->done; }, kPageDeadline));
  EXPECT_EQ(code(afterwards), WKErrorWebContentProcessTerminated);

  // A reload brings a process back.
  ASSERT_TRUE(web->reload());
  ASSERT_TRUE(waitPosts(2));
  EXPECT_EQ(evaluate("6 * 7").value.intValue(), 42);

  // The view goes while scripts are under way or queued.
  auto busy = start("const t = Date.now(); while (Date.now() - t < 300) {} 1");
  auto queued = start("2");
  web.reset();
  ASSERT_TRUE(testing_loop::runUntil([&] { return busy->done && queued->done; }, kPageDeadline));
  EXPECT_EQ(code(busy), WKErrorWebViewInvalidated);
  EXPECT_EQ(code(queued), WKErrorWebViewInvalidated);
}

}  // namespace

namespace {

// A producer thread faster than the page waits once 4 MiB are unread, goes on as the page
// reads, and is released by a stop.
TEST(SchemeTask, AProducerWaitsWhileTooMuchIsUnreadAndAStopReleasesIt) {
  std::atomic<int64_t> given{0};
  int64_t delivered = 0;
  WKURLSchemeTask::Sink sink;
  sink.reportsConsumption = true;
  sink.data = [&](const Data& d) { delivered += static_cast<int64_t>(d.length()); };
  auto task = std::make_shared<WKURLSchemeTask>(NSURLRequest::requestWithURL("app://h/x"), sink);
  task->didReceiveResponse(std::make_shared<NSURLResponse>("app://h/x", "text/plain", -1, ""));
  const int64_t chunk = 1 << 20;
  std::thread producer([&] {
    for (int i = 0; i < 12; ++i) {
      task->didReceiveData(Data(std::vector<uint8_t>(chunk, 'x')));
      given += chunk;
    }
  });
  ASSERT_TRUE(
      testing_loop::runUntil([&] { return delivered >= WKURLSchemeTask::kMaxBufferedBytes; }));
  // Nothing read: the producer stays within one chunk of the limit.
  EXPECT_LE(given.load(), WKURLSchemeTask::kMaxBufferedBytes + chunk);
  task->bytesConsumed(3 * chunk);
  ASSERT_TRUE(testing_loop::runUntil([&] { return given.load() >= 7 * chunk; }));
  task->markStopped();
  producer.join();
  EXPECT_EQ(given.load(), 12 * chunk);
  EXPECT_GT(task->ignoredCallCount(), 0);
}

}  // namespace
