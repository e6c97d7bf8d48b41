#include "platform/webkit/WKWebView.h"

#include <deque>
#include <map>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/NSTimer.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/foundation/NSLog.h"
#include "platform/foundation/NSURL.h"
#include "platform/network/MIMEType.h"
#include "platform/network/NSURLError.h"
#include "platform/network/NSURLSession.h"
#include "platform/uikit/UIScreen.h"
#include "platform/webkit/HTMLDocument.h"
#include "platform/webkit/PageEnvironment.h"
#include "platform/webkit/ScriptWorld.h"

namespace plat {

namespace {

constexpr const char* kDefaultUserAgent =
    "Mozilla/5.0 (iPhone; CPU iPhone OS 15_0 like Mac OS X) AppleWebKit/605.1.15 "
    "(KHTML, like Gecko) Mobile/15E148";

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

void onMain(std::function<void()> fn) { dispatch_async(dispatch_get_main_queue(), std::move(fn)); }

// One fetch of a resource, answered on the main thread with the whole body.
struct FetchResult {
  NSURLResponseRef response;
  Data body;
  NSErrorRef error;
};

class Fetch {
 public:
  explicit Fetch(std::function<void(FetchResult)> done) : done_(std::move(done)) {}
  void setCancel(std::function<void()> cancel) { cancel_ = std::move(cancel); }
  // Stops the fetch: `done` is never called afterwards.
  void cancel() {
    if (finished_) return;
    finished_ = true;
    done_ = nullptr;
    auto c = std::move(cancel_);
    cancel_ = nullptr;
    if (c) c();
  }
  void complete(FetchResult r) {
    if (finished_) return;
    finished_ = true;
    cancel_ = nullptr;
    auto d = std::move(done_);
    done_ = nullptr;
    if (d) d(std::move(r));
  }
  bool finished() const { return finished_; }

  // Accumulated answer of a streaming source.
  NSURLResponseRef response;
  Data body;

 private:
  std::function<void(FetchResult)> done_;
  std::function<void()> cancel_;
  bool finished_ = false;
};
using FetchRef = std::shared_ptr<Fetch>;

// Routes the web view's URL session events to their fetches (main queue).
class SessionDelegate : public NSURLSessionDelegate {
 public:
  void add(const NSURLSessionTaskRef& task, const FetchRef& fetch) {
    fetches_[task->taskIdentifier()] = fetch;
  }
  void remove(uint64_t id) { fetches_.erase(id); }
  void URLSessionDataTaskDidReceiveData(const NSURLSessionRef&, const NSURLSessionDataTaskRef& task,
                                        const Data& data) override {
    if (auto f = find(task)) f->body.append(data);
  }
  void URLSessionTaskDidCompleteWithError(const NSURLSessionRef&, const NSURLSessionTaskRef& task,
                                          const NSErrorRef& error) override {
    auto f = find(task);
    fetches_.erase(task->taskIdentifier());
    if (!f) return;
    FetchResult r;
    r.error = error;
    if (!error) {
      r.response = task->response();
      r.body = std::move(f->body);
    }
    f->complete(std::move(r));
  }

 private:
  FetchRef find(const NSURLSessionTaskRef& task) {
    auto it = fetches_.find(task->taskIdentifier());
    return it == fetches_.end() ? nullptr : it->second.lock();
  }
  std::map<uint64_t, std::weak_ptr<Fetch>> fetches_;
};

struct Load {
  uint64_t id = 0;
  WKNavigationRef navigation;
  NSURLRequestRef request;
  bool hasHTML = false;  // loadHTMLString: the document is given
  std::string html;
  bool started = false;
  bool committed = false;
  bool finished = false;
  FetchRef fetch;
};
using LoadRef = std::shared_ptr<Load>;

NSErrorRef scriptError(int64_t code, const std::string& description, const std::string& message = {}) {
  Dictionary info;
  info.set(NSLocalizedDescriptionKey, description);
  if (!message.empty()) info.set(WKJavaScriptExceptionMessageKey, message);
  return NSError::make(WKErrorDomain, code, std::move(info));
}

// The completion of one evaluateJavaScript call. It is answered exactly once, on a later
// main-queue turn: with the script's outcome, or, if the web view goes away before the script
// ran, with WKErrorWebViewInvalidated when the last holder lets go of it.
class PendingEvaluation {
 public:
  using Completion = std::function<void(const Value&, const NSErrorRef&)>;
  explicit PendingEvaluation(Completion completion) : completion_(std::move(completion)) {}
  PendingEvaluation(const PendingEvaluation&) = delete;
  PendingEvaluation& operator=(const PendingEvaluation&) = delete;
  ~PendingEvaluation() {
    if (completion_)
      answer(Value(), scriptError(WKErrorWebViewInvalidated, "The WKWebView was invalidated"));
  }
  void answer(Value result, NSErrorRef error) {
    if (!completion_) return;
    auto completion = std::move(completion_);
    completion_ = nullptr;
    onMain([completion, result = std::move(result), error = std::move(error)] {
      completion(result, error);
    });
  }

 private:
  Completion completion_;
};

}  // namespace

struct WKWebView::Impl : public WKUserContentController::Observer,
                         public std::enable_shared_from_this<WKWebView::Impl> {
  std::weak_ptr<WKWebView> view;
  WKWebViewConfigurationRef config;
  std::weak_ptr<WKNavigationDelegate> navDelegate;
  std::weak_ptr<WKUIDelegate> uiDelegate;
  std::string customUserAgent;

  std::unique_ptr<webkit::ScriptWorld> world;
  uint64_t generation = 0;  // bumped for every new document; stale callbacks check it
  std::string url;
  std::string title;
  LoadRef load;
  uint64_t loadCounter = 0;
  std::map<int64_t, NSTimerRef> timers;
  struct XHR {
    FetchRef fetch;
    NSTimerRef timeout;  // the page's timeout, on the main run loop's clock
    void cancel() {
      if (timeout) timeout->invalidate();
      if (fetch) fetch->cancel();
    }
  };
  std::map<int64_t, XHR> xhrs;
  std::map<int64_t, FetchRef> scriptLoads;
  std::vector<FetchRef> pageScriptFetches;
  int blocked = 0;  // script panels waiting for their delegate
  std::deque<std::function<void()>> deferred;
  bool drainPosted = false;

  std::vector<ConsoleMessage> console;
  std::vector<std::string> errors;
  std::function<void(const ConsoleMessage&)> consoleObserver;
  std::function<void(const std::string&)> errorObserver;

  NSURLSessionRef session;
  std::shared_ptr<SessionDelegate> sessionDelegate;

  ~Impl() override {
    teardownDocument();
    if (load && load->fetch) load->fetch->cancel();
    deferred.clear();
    if (session) session->invalidateAndCancel();
  }

  WKWebViewRef self() const { return view.lock(); }

  // ---- script entry ----
  // Whether the page's script is running (or waiting in a script panel) and must not be
  // re-entered or have its world replaced underneath it.
  bool busy() const { return blocked > 0 || (world && world->depth() > 0); }
  // Runs `fn` now, or, when the page's script is busy, once it has returned; work deferred
  // earlier runs first, so everything reaches the page in arrival order.
  void runScript(std::function<void()> fn) {
    if (busy() || !deferred.empty()) {
      deferred.push_back(std::move(fn));
      drainDeferred();
      return;
    }
    fn();
  }
  void drainDeferred() {
    if (deferred.empty() || drainPosted) return;
    drainPosted = true;
    auto weak = weak_from_this();
    onMain([weak] {
      auto impl = weak.lock();
      if (!impl) return;
      impl->drainPosted = false;
      while (!impl->deferred.empty() && !impl->busy()) {
        auto fn = std::move(impl->deferred.front());
        impl->deferred.pop_front();
        fn();
      }
      // Still busy (a panel is open): the panel drains when it is answered.
    });
  }

  void pageError(const std::string& text) {
    errors.push_back(text);
    if (errorObserver) errorObserver(text);
  }
  void report(const webkit::ScriptWorld::Result& r) {
    if (!r.ok) pageError(r.stack.empty() ? r.error : r.error + "\n" + r.stack);
  }

  // ---- delegates ----
  void tellNav(const std::function<void(WKNavigationDelegate&, const WKWebViewRef&)>& fn) {
    auto d = navDelegate.lock();
    auto v = self();
    if (d && v) fn(*d, v);
  }

  // ---- fetching ----
  FetchRef startFetch(const NSURLRequestRef& request, std::function<void(FetchResult)> done) {
    auto fetch = std::make_shared<Fetch>(std::move(done));
    auto failSoon = [fetch](NSErrorRef e) {
      onMain([fetch, e] { fetch->complete(FetchResult{nullptr, {}, e}); });
    };
    auto parsed = NSURL::URLWithString(request->URL());
    if (!parsed || parsed->scheme().empty()) {
      failSoon(makeURLError(NSURLErrorUnsupportedURL, request->URL()));
      return fetch;
    }
    std::string scheme = lower(parsed->scheme());
    if (auto handler = config->urlSchemeHandlerForURLScheme(scheme)) {
      startSchemeTask(handler, request, fetch);
    } else if (scheme == "http" || scheme == "https") {
      startSessionTask(request, fetch);
    } else if (scheme == "file") {
      std::string path = parsed->path();
      std::string ext = parsed->pathExtension();
      std::string urlText = request->URL();
      dispatch_async(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT), [fetch, path, ext, urlText] {
        FetchResult r;
        FILE* f = std::fopen(path.c_str(), "rb");
        if (!f) {
          r.error = makeURLError(NSURLErrorFileDoesNotExist, urlText);
        } else {
          char buf[65536];
          size_t n;
          while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) r.body.append(buf, n);
          std::fclose(f);
          auto mime = MIMETypeForPathExtension(ext).value_or("application/octet-stream");
          r.response = std::make_shared<NSURLResponse>(urlText, mime,
                                                       static_cast<int64_t>(r.body.length()), "");
        }
        onMain([fetch, r] { fetch->complete(r); });
      });
    } else if (scheme == "about") {
      std::string urlText = request->URL();
      onMain([fetch, urlText] {
        fetch->complete(FetchResult{std::make_shared<NSURLResponse>(urlText, "text/html", 0, ""), {}, nullptr});
      });
    } else {
      failSoon(makeURLError(NSURLErrorUnsupportedURL, request->URL()));
    }
    return fetch;
  }

  void startSchemeTask(const WKURLSchemeHandlerRef& handler, const NSURLRequestRef& request,
                       const FetchRef& fetch) {
    std::weak_ptr<Fetch> weakFetch = fetch;
    WKURLSchemeTask::Sink sink;
    sink.response = [weakFetch](const NSURLResponseRef& r) {
      if (auto f = weakFetch.lock()) f->response = r;
    };
    sink.data = [weakFetch](const Data& d) {
      auto f = weakFetch.lock();
      if (!f) return;
      if (f->body.empty()) f->body = d;
      else f->body.append(d);
    };
    sink.finish = [weakFetch] {
      auto f = weakFetch.lock();
      if (!f) return;
      FetchResult r;
      if (!f->response) {
        r.error = makeURLError(NSURLErrorBadServerResponse, "");
      } else {
        r.response = f->response;
        r.body = std::move(f->body);
      }
      f->complete(std::move(r));
    };
    sink.fail = [weakFetch](const NSErrorRef& e) {
      if (auto f = weakFetch.lock())
        f->complete(FetchResult{nullptr, {}, e ? e : makeURLError(NSURLErrorUnknown, "")});
    };
    auto task = std::make_shared<WKURLSchemeTask>(request, std::move(sink));
    auto started = std::make_shared<bool>(false);
    std::weak_ptr<WKWebView> weakView = view;
    fetch->setCancel([task, handler, started, weakView] {
      task->markStopped();
      if (*started) handler->webViewStopURLSchemeTask(weakView.lock(), task);
    });
    // Started on a later turn, as the platform does, so the caller's load call returns first.
    onMain([task, handler, started, weakView, weakFetch] {
      auto f = weakFetch.lock();
      if (!f || f->finished()) return;
      *started = true;
      handler->webViewStartURLSchemeTask(weakView.lock(), task);
    });
  }

  void startSessionTask(const NSURLRequestRef& request, const FetchRef& fetch) {
    if (!session) {
      sessionDelegate = std::make_shared<SessionDelegate>();
      session = NSURLSession::sessionWithConfigurationDelegateDelegateQueue(
          NSURLSessionConfiguration::defaultSessionConfiguration(), sessionDelegate,
          NSOperationQueue::mainQueue());
    }
    auto req = request->mutableCopy();
    if (!req->valueForHTTPHeaderField("User-Agent"))
      req->setValueForHTTPHeaderField(userAgent(), "User-Agent");
    auto task = session->dataTaskWithRequest(req);
    if (!task) {
      onMain([fetch, u = request->URL()] {
        fetch->complete(FetchResult{nullptr, {}, makeURLError(NSURLErrorUnknown, u)});
      });
      return;
    }
    sessionDelegate->add(task, fetch);
    std::weak_ptr<SessionDelegate> weakDelegate = sessionDelegate;
    fetch->setCancel([task, weakDelegate] {
      if (auto d = weakDelegate.lock()) d->remove(task->taskIdentifier());
      task->cancel();
    });
    task->resume();
  }

  std::string userAgent() const {
    return customUserAgent.empty() ? kDefaultUserAgent : customUserAgent;
  }

  // ---- loads ----
  void supersede(const NSErrorRef& error) {
    if (!load) return;
    auto old = load;
    load = nullptr;
    if (old->fetch) old->fetch->cancel();
    for (auto& f : pageScriptFetches) f->cancel();
    pageScriptFetches.clear();
    if (!old->started || old->finished) return;
    auto weak = weak_from_this();
    bool committed = old->committed;
    onMain([weak, old, committed, error] {
      auto impl = weak.lock();
      if (!impl) return;
      impl->tellNav([&](WKNavigationDelegate& d, const WKWebViewRef& v) {
        if (committed) d.webViewDidFailNavigationWithError(v, old->navigation, error);
        else d.webViewDidFailProvisionalNavigationWithError(v, old->navigation, error);
      });
    });
  }

  WKNavigationRef begin(const LoadRef& l) {
    supersede(makeURLError(NSURLErrorCancelled, load ? load->request->URL() : ""));
    l->id = ++loadCounter;
    l->navigation = std::make_shared<WKNavigation>(l->request);
    load = l;
    auto weak = weak_from_this();
    onMain([weak, l] {
      auto impl = weak.lock();
      if (!impl || impl->load != l) return;
      l->started = true;
      impl->tellNav([&](WKNavigationDelegate& d, const WKWebViewRef& v) {
        d.webViewDidStartProvisionalNavigation(v, l->navigation);
      });
      if (impl->load != l) return;  // the delegate started another load
      if (l->hasHTML) {
        auto response = std::make_shared<NSURLResponse>(l->request->URL(), "text/html",
                                                        static_cast<int64_t>(l->html.size()), "utf-8");
        impl->runScript([weak, l, response] {
          if (auto impl = weak.lock()) impl->commit(l, response, Data::fromString(l->html));
        });
        return;
      }
      l->fetch = impl->startFetch(l->request, [weak, l](FetchResult r) {
        auto impl = weak.lock();
        if (!impl) return;
        impl->runScript([weak, l, r] {
          auto impl = weak.lock();
          if (!impl || impl->load != l) return;
          if (r.error) {
            impl->load = nullptr;
            l->finished = true;
            impl->tellNav([&](WKNavigationDelegate& d, const WKWebViewRef& v) {
              d.webViewDidFailProvisionalNavigationWithError(v, l->navigation, r.error);
            });
            return;
          }
          impl->commit(l, r.response, r.body);
        });
      });
    });
    return l->navigation;
  }

  void teardownDocument() {
    for (auto& t : timers) t.second->invalidate();
    timers.clear();
    for (auto& x : xhrs) x.second.cancel();
    xhrs.clear();
    for (auto& s : scriptLoads) s.second->cancel();
    scriptLoads.clear();
    for (auto& f : pageScriptFetches) f->cancel();
    pageScriptFetches.clear();
    // Deferred work stays queued: each item checks the generation it was made for, and
    // evaluateJavaScript calls still run (in the new document) and answer their completions.
    world.reset();
  }

  void commit(const LoadRef& l, const NSURLResponseRef& response, const Data& body) {
    if (load != l) return;
    teardownDocument();
    ++generation;
    l->committed = true;
    url = response && !response->URL().empty() ? response->URL() : l->request->URL();
    auto doc = webkit::parseHTMLDocument(body.toString());
    title = doc.title;
    tellNav([&](WKNavigationDelegate& d, const WKWebViewRef& v) { d.webViewDidCommitNavigation(v, l->navigation); });
    if (load != l) return;
    if (!config->preferences()->javaScriptEnabled()) {
      finish(l);
      return;
    }
    makeWorld();
    runUserScripts(WKUserScriptInjectionTimeAtDocumentStart);
    report(world->call("__lumora.buildDocument", {doc.treeJSON}));
    runPageScripts(l, generation, std::make_shared<std::vector<webkit::PageScript>>(std::move(doc.scripts)), 0);
  }

  void runUserScripts(WKUserScriptInjectionTime time) {
    for (auto& s : config->userContentController()->userScripts()) {
      if (s->injectionTime() != time || !world) continue;
      report(world->evaluate(s->source(), "user-script"));
    }
  }

  void runPageScripts(const LoadRef& l, uint64_t gen,
                      const std::shared_ptr<std::vector<webkit::PageScript>>& scripts, size_t index) {
    auto weak = weak_from_this();
    for (; index < scripts->size(); ++index) {
      if (gen != generation || !world) return;
      const auto& s = (*scripts)[index];
      if (!s.external) {
        report(world->evaluate(s.source, url));
        continue;
      }
      auto resolved = NSURL::URLWithStringRelativeToURL(s.src, NSURL::URLWithString(url));
      if (!resolved) {
        pageError("Failed to load resource: " + s.src);
        continue;
      }
      std::string scriptURL = resolved->absoluteString();
      auto fetch = startFetch(NSURLRequest::requestWithURL(scriptURL),
                              [weak, l, gen, scripts, index, scriptURL](FetchResult r) {
        auto impl = weak.lock();
        if (!impl) return;
        impl->runScript([weak, l, gen, scripts, index, scriptURL, r] {
          auto impl = weak.lock();
          if (!impl || gen != impl->generation || !impl->world) return;
          if (impl->scriptFetchOK(r)) {
            impl->report(impl->world->evaluate(r.body.toString(), scriptURL));
          } else {
            impl->pageError("Failed to load resource: " + scriptURL);
          }
          impl->runPageScripts(l, gen, scripts, index + 1);
        });
      });
      pageScriptFetches.push_back(fetch);
      return;  // continues when the script has arrived
    }
    pageScriptFetches.clear();
    if (gen != generation || !world) return;
    runUserScripts(WKUserScriptInjectionTimeAtDocumentEnd);
    report(world->call("__lumora.setReadyState", {"\"interactive\""}));
    report(world->call("__lumora.fireDocumentEvent", {"\"DOMContentLoaded\""}));
    report(world->call("__lumora.setReadyState", {"\"complete\""}));
    report(world->call("__lumora.fireWindowEvent", {"\"load\""}));
    finish(l);
  }

  bool scriptFetchOK(const FetchResult& r) const {
    if (r.error || !r.response) return false;
    auto http = std::dynamic_pointer_cast<NSHTTPURLResponse>(r.response);
    return !http || (http->statusCode() >= 200 && http->statusCode() < 300);
  }

  void finish(const LoadRef& l) {
    if (load != l) return;
    load = nullptr;
    l->finished = true;
    tellNav([&](WKNavigationDelegate& d, const WKWebViewRef& v) { d.webViewDidFinishNavigation(v, l->navigation); });
  }

  // ---- the world ----
  std::string handlerNamesJSON() const {
    std::string names = "[";
    for (auto& n : config->userContentController()->handlerNames()) {
      if (names.size() > 1) names += ",";
      names += webkit::jsonQuote(n);
    }
    return names + "]";
  }
  void handlersChanged() override {
    if (!world) return;
    std::string names = handlerNamesJSON();
    auto weak = weak_from_this();
    uint64_t gen = generation;
    // Posted like evaluateJavaScript, so the page sees the change in call order with scripts
    // sent to it.
    onMain([weak, gen, names] {
      auto impl = weak.lock();
      if (!impl) return;
      impl->runScript([weak, gen, names] {
        auto impl = weak.lock();
        if (impl && impl->world && gen == impl->generation)
          impl->report(impl->world->call("__lumora.setHandlers", {names}));
      });
    });
  }

  void makeWorld();
  std::string locationJSON() const;
  std::optional<std::string> native(const std::string& name, const std::vector<std::string>& a);
  void sendXHR(int64_t id, const std::vector<std::string>& a);
  void loadInsertedScript(int64_t id, const std::string& src);
  bool waitForPanel(const std::shared_ptr<bool>& done);
};

std::string WKWebView::Impl::locationJSON() const {
  auto u = NSURL::URLWithString(url);
  Dictionary parts;
  parts.set("href", url);
  if (u) {
    std::string host = u->host();
    std::string port = u->port() ? std::to_string(*u->port()) : "";
    parts.set("protocol", u->scheme() + ":");
    parts.set("hostname", host);
    parts.set("port", port);
    parts.set("host", port.empty() ? host : host + ":" + port);
    parts.set("pathname", u->percentEncodedPath().empty() ? "/" : u->percentEncodedPath());
    parts.set("search", u->query().empty() ? "" : "?" + u->query());
    parts.set("hash", u->fragment().empty() ? "" : "#" + u->fragment());
    std::string scheme = lower(u->scheme());
    parts.set("origin", (scheme == "http" || scheme == "https")
                            ? scheme + "://" + parts.get("host").stringOr()
                            : "null");
  }
  return NSJSONSerialization::stringWithJSONObject(Value(parts));
}

void WKWebView::Impl::makeWorld() {
  world = std::make_unique<webkit::ScriptWorld>();
  std::weak_ptr<Impl> weak = weak_from_this();
  static const char* const kNatives[] = {"console", "pageError", "setTimer", "clearTimer",
                                         "alert", "confirm", "prompt", "postMessage", "reload",
                                         "navigate", "xhrSend", "xhrAbort", "loadScript"};
  for (auto name : kNatives) {
    std::string n = name;
    world->defineNative(n, [weak, n](const std::vector<std::string>& args) -> std::optional<std::string> {
      auto impl = weak.lock();
      if (!impl) return std::nullopt;
      return impl->native(n, args);
    });
  }
  auto r = world->evaluate(webkit::pageEnvironmentSource(), "page-environment");
  if (!r.ok) {
    NSLogMessage("page environment failed: " + r.error);
    return;
  }
  Dictionary nav;
  nav.set("userAgent", userAgent());
  report(world->call("__lumora.setNavigator", {NSJSONSerialization::stringWithJSONObject(Value(nav))}));
  report(world->call("__lumora.setLocation", {locationJSON()}));
  CGRect screen = UIScreen::mainScreen().bounds();
  report(world->call("__lumora.setScreen", {std::to_string(static_cast<int64_t>(screen.size.width)),
                                             std::to_string(static_cast<int64_t>(screen.size.height)),
                                             std::to_string(UIScreen::mainScreen().scale())}));
  report(world->call("__lumora.setHandlers", {handlerNamesJSON()}));
}

// Waits, running the main loop, until a script panel's completion has been called. The page's
// script is suspended meanwhile; work for it is deferred. `done` is shared with the completion
// only, so a completion the delegate let go of without calling leaves `done` with one owner.
// Returns false, and the panel gives its default answer, if the completion was let go of or
// the web view went away while waiting.
bool WKWebView::Impl::waitForPanel(const std::shared_ptr<bool>& done) {
  ++blocked;
  bool answered = true;
  while (!*done) {
    if (done.use_count() == 1) {
      NSLogMessage("a script panel's completion handler was released without being called");
      answered = false;
      break;
    }
    if (view.expired()) {
      answered = false;
      break;
    }
    RunLoop::main()->runOnce(kCFRunLoopDefaultMode, 0.05);
  }
  --blocked;
  drainDeferred();
  return answered;
}

std::optional<std::string> WKWebView::Impl::native(const std::string& name,
                                                   const std::vector<std::string>& a) {
  auto arg = [&](size_t i) -> const std::string& {
    return i < a.size() ? a[i] : Value::emptyString();
  };
  auto number = [&](size_t i) { return std::strtod(arg(i).c_str(), nullptr); };
  uint64_t gen = generation;
  std::weak_ptr<Impl> weak = weak_from_this();

  if (name == "console") {
    ConsoleMessage m{arg(0), arg(1)};
    console.push_back(m);
    if (consoleObserver) consoleObserver(m);
  } else if (name == "pageError") {
    pageError(arg(0));
  } else if (name == "setTimer") {
    auto id = static_cast<int64_t>(number(0));
    double seconds = number(1) / 1000.0;
    bool repeats = number(2) != 0;
    auto timer = NSTimer::timerWithTimeIntervalRepeatsBlock(
        seconds, repeats, [weak, gen, id, repeats](const NSTimerRef&) {
          auto impl = weak.lock();
          if (!impl || gen != impl->generation) return;
          if (!repeats) impl->timers.erase(id);
          impl->runScript([weak, gen, id] {
            auto impl = weak.lock();
            if (impl && impl->world && gen == impl->generation)
              impl->report(impl->world->call("__lumora.fireTimer", {std::to_string(id)}));
          });
        });
    timers[id] = timer;
    RunLoop::main()->addTimer(timer, kCFRunLoopCommonModes);
  } else if (name == "clearTimer") {
    auto it = timers.find(static_cast<int64_t>(number(0)));
    if (it != timers.end()) {
      it->second->invalidate();
      timers.erase(it);
    }
  } else if (name == "alert" || name == "confirm" || name == "prompt") {
    WKFrameInfo frame{true, NSURLRequest::requestWithURL(url)};
    auto done = std::make_shared<bool>(false);
    // The delegate and the web view are held for the call only: while the panel is open the
    // page keeps neither alive. An answer that never comes leaves the defaults below.
    auto ask = [&](const std::function<bool(WKUIDelegate&, const WKWebViewRef&)>& call) {
      bool claimed = false;
      {
        auto d = uiDelegate.lock();
        auto v = self();
        claimed = d && v && call(*d, v);
      }
      if (claimed) waitForPanel(done);
    };
    if (name == "alert") {
      ask([&](WKUIDelegate& d, const WKWebViewRef& v) {
        return d.webViewRunJavaScriptAlertPanelWithMessageInitiatedByFrameCompletionHandler(
            v, arg(0), frame, [done] { *done = true; });
      });
      return std::nullopt;
    }
    if (name == "confirm") {
      auto answer = std::make_shared<bool>(false);
      ask([&](WKUIDelegate& d, const WKWebViewRef& v) {
        return d.webViewRunJavaScriptConfirmPanelWithMessageInitiatedByFrameCompletionHandler(
            v, arg(0), frame, [done, answer](bool yes) {
              *answer = yes;
              *done = true;
            });
      });
      return std::string(*done && *answer ? "true" : "false");
    }
    auto answer = std::make_shared<std::optional<std::string>>();
    ask([&](WKUIDelegate& d, const WKWebViewRef& v) {
      return d
          .webViewRunJavaScriptTextInputPanelWithPromptDefaultTextInitiatedByFrameCompletionHandler(
              v, arg(0), arg(1), frame, [done, answer](std::optional<std::string> text) {
                *answer = std::move(text);
                *done = true;
              });
    });
    return *done ? *answer : std::nullopt;
  } else if (name == "postMessage") {
    auto controller = config->userContentController();
    auto handler = controller->handlerForName(arg(0));
    if (!handler) return std::nullopt;
    Value body;
    if (number(2) != 0) {
      body = NSJSONSerialization::JSONObjectWithString(
          arg(1), NSJSONSerialization::NSJSONReadingFragmentsAllowed);
    }
    auto message = std::make_shared<WKScriptMessage>(arg(0), std::move(body), view);
    onMain([controller, handler, message] {
      handler->userContentControllerDidReceiveScriptMessage(controller, message);
    });
  } else if (name == "reload" || name == "navigate") {
    std::string target = name == "reload" ? url : arg(0);
    auto resolved = NSURL::URLWithStringRelativeToURL(target, NSURL::URLWithString(url));
    if (!resolved) return std::nullopt;
    std::string absolute = resolved->absoluteString();
    std::weak_ptr<WKWebView> weakView = view;
    onMain([weakView, absolute] {
      if (auto v = weakView.lock()) v->loadRequest(NSURLRequest::requestWithURL(absolute));
    });
  } else if (name == "xhrSend") {
    sendXHR(static_cast<int64_t>(number(0)), a);
  } else if (name == "xhrAbort") {
    auto it = xhrs.find(static_cast<int64_t>(number(0)));
    if (it != xhrs.end()) {
      it->second.cancel();
      xhrs.erase(it);
    }
  } else if (name == "loadScript") {
    loadInsertedScript(static_cast<int64_t>(number(0)), arg(1));
  }
  return std::nullopt;
}

void WKWebView::Impl::sendXHR(int64_t id, const std::vector<std::string>& a) {
  // a: id, method, url, headers JSON, body, hasBody, timeout ms
  std::weak_ptr<Impl> weak = weak_from_this();
  uint64_t gen = generation;
  auto deliver = [weak, gen, id](std::string eventJSON) {
    auto impl = weak.lock();
    if (!impl) return;
    impl->runScript([weak, gen, id, eventJSON] {
      auto impl = weak.lock();
      if (!impl || !impl->world || gen != impl->generation) return;
      auto it = impl->xhrs.find(id);
      if (it != impl->xhrs.end()) {
        if (it->second.timeout) it->second.timeout->invalidate();
        impl->xhrs.erase(it);
      }
      impl->report(impl->world->call("__lumora.xhrEvent", {std::to_string(id), eventJSON}));
    });
  };
  auto resolved = NSURL::URLWithStringRelativeToURL(a.size() > 2 ? a[2] : "", NSURL::URLWithString(url));
  if (!resolved) {
    onMain([deliver] { deliver("{\"type\":\"error\"}"); });
    return;
  }
  auto request = NSMutableURLRequest::requestWithURL(resolved->absoluteString());
  request->setHTTPMethod(a.size() > 1 ? a[1] : "GET");
  Value headers = NSJSONSerialization::JSONObjectWithString(a.size() > 3 ? a[3] : "{}");
  if (auto d = headers.dictionary()) {
    for (auto& [k, v] : *d) request->setValueForHTTPHeaderField(v.stringOr(), k);
  }
  if (a.size() > 5 && a[5] == "1") request->setHTTPBody(Data::fromString(a[4]));
  double timeoutMs = a.size() > 6 ? std::strtod(a[6].c_str(), nullptr) : 0;
  if (timeoutMs > 0) request->setTimeoutInterval(timeoutMs / 1000.0);
  auto fetch = startFetch(request, [deliver](FetchResult r) {
    if (r.error) {
      deliver(r.error->code() == NSURLErrorTimedOut ? "{\"type\":\"timeout\"}" : "{\"type\":\"error\"}");
      return;
    }
    int64_t status = 200;
    std::string statusText = "OK";
    std::string headersJSON = "{";
    if (auto http = std::dynamic_pointer_cast<NSHTTPURLResponse>(r.response)) {
      status = http->statusCode();
      statusText = status == 200 ? "OK" : NSHTTPURLResponse::localizedStringForStatusCode(status);
      for (auto& [k, v] : http->headerFields().fields()) {
        if (headersJSON.size() > 1) headersJSON += ",";
        headersJSON += webkit::jsonQuote(k) + ":" + webkit::jsonQuote(v);
      }
    } else if (r.response && !r.response->MIMEType().empty()) {
      headersJSON += "\"Content-Type\":" + webkit::jsonQuote(r.response->MIMEType());
    }
    headersJSON += "}";
    std::string ev = "{\"type\":\"load\",\"status\":" + std::to_string(status) +
                     ",\"statusText\":" + webkit::jsonQuote(statusText) +
                     ",\"url\":" + webkit::jsonQuote(r.response ? r.response->URL() : "") +
                     ",\"headers\":" + headersJSON + ",\"body\":" + webkit::jsonQuote(r.body.toString()) + "}";
    deliver(std::move(ev));
  });
  XHR& record = xhrs[id];
  record.fetch = fetch;
  if (timeoutMs > 0 && !fetch->finished()) {
    // The page's timeout counts from send to the whole answer, whatever loads the resource.
    std::weak_ptr<Fetch> weakFetch = fetch;
    record.timeout = NSTimer::timerWithTimeIntervalRepeatsBlock(
        timeoutMs / 1000.0, false, [weakFetch, deliver](const NSTimerRef&) {
          auto f = weakFetch.lock();
          if (!f || f->finished()) return;
          f->cancel();
          deliver("{\"type\":\"timeout\"}");
        });
    RunLoop::main()->addTimer(record.timeout, kCFRunLoopCommonModes);
  }
}

void WKWebView::Impl::loadInsertedScript(int64_t id, const std::string& src) {
  std::weak_ptr<Impl> weak = weak_from_this();
  uint64_t gen = generation;
  auto resolved = NSURL::URLWithStringRelativeToURL(src, NSURL::URLWithString(url));
  std::string scriptURL = resolved ? resolved->absoluteString() : src;
  auto fetch = startFetch(NSURLRequest::requestWithURL(scriptURL), [weak, gen, id, scriptURL](FetchResult r) {
    auto impl = weak.lock();
    if (!impl) return;
    impl->runScript([weak, gen, id, scriptURL, r] {
      auto impl = weak.lock();
      if (!impl || !impl->world || gen != impl->generation) return;
      impl->scriptLoads.erase(id);
      bool ok = impl->scriptFetchOK(r);
      if (ok) impl->report(impl->world->evaluate(r.body.toString(), scriptURL));
      else impl->pageError("Failed to load resource: " + scriptURL);
      if (impl->world && gen == impl->generation)
        impl->report(impl->world->call("__lumora.scriptLoaded", {std::to_string(id), ok ? "true" : "false"}));
    });
  });
  scriptLoads[id] = fetch;
}

// ---- WKWebView ----

WKWebView::WKWebView(CGRect frame, WKWebViewConfigurationRef configuration)
    : UIView(frame), impl_(std::make_shared<Impl>()) {
  impl_->config = configuration ? configuration->copy() : WKWebViewConfiguration::make();
  impl_->config->userContentController()->addObserver(impl_);
}

WKWebView::~WKWebView() = default;

void WKWebView::didInit() {
  UIView::didInit();
  impl_->view = std::static_pointer_cast<WKWebView>(shared_from_this());
  scrollView_ = plat::make<UIScrollView>(bounds());
  scrollView_->setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);
  addSubview(scrollView_);
}

std::shared_ptr<WKWebView> WKWebView::make(CGRect frame, WKWebViewConfigurationRef configuration) {
  return plat::make<WKWebView>(frame, std::move(configuration));
}

WKWebViewConfigurationRef WKWebView::configuration() const { return impl_->config->copy(); }

std::shared_ptr<WKNavigationDelegate> WKWebView::navigationDelegate() const {
  return impl_->navDelegate.lock();
}
void WKWebView::setNavigationDelegate(const std::shared_ptr<WKNavigationDelegate>& d) {
  impl_->navDelegate = d;
}
std::shared_ptr<WKUIDelegate> WKWebView::UIDelegate() const { return impl_->uiDelegate.lock(); }
void WKWebView::setUIDelegate(const std::shared_ptr<WKUIDelegate>& d) { impl_->uiDelegate = d; }

WKNavigationRef WKWebView::loadRequest(const NSURLRequestRef& request) {
  if (!request) return nullptr;
  auto l = std::make_shared<Load>();
  l->request = request->copy();
  return impl_->begin(l);
}

WKNavigationRef WKWebView::loadHTMLStringBaseURL(const std::string& html, const std::string& baseURL) {
  auto l = std::make_shared<Load>();
  l->request = NSURLRequest::requestWithURL(baseURL.empty() ? "about:blank" : baseURL);
  l->hasHTML = true;
  l->html = html;
  return impl_->begin(l);
}

WKNavigationRef WKWebView::reload() {
  if (impl_->url.empty()) return nullptr;
  return loadRequest(NSURLRequest::requestWithURL(impl_->url));
}

void WKWebView::stopLoading() {
  impl_->supersede(makeURLError(NSURLErrorCancelled, impl_->load ? impl_->load->request->URL() : ""));
}

void WKWebView::evaluateJavaScriptCompletionHandler(const std::string& script,
                                                    JavaScriptCompletion completion) {
  if (!dispatch_is_main_thread()) {
    NSLogMessage("evaluateJavaScript must be called on the main thread; the call was ignored");
    return;
  }
  std::weak_ptr<Impl> weak = impl_;
  auto pending = std::make_shared<PendingEvaluation>(std::move(completion));
  onMain([weak, script, pending] {
    auto impl = weak.lock();
    if (!impl) return;
    impl->runScript([weak, script, pending] {
      auto impl = weak.lock();
      if (!impl) return;
      if (!impl->world) {
        pending->answer(Value(), scriptError(WKErrorUnknown, "An unknown error occurred"));
        return;
      }
      auto r = impl->world->evaluate(script, impl->url);
      Value result;
      NSErrorRef error;
      if (!r.ok) {
        error = scriptError(WKErrorJavaScriptExceptionOccurred, "A JavaScript exception occurred",
                            r.error);
      } else if (r.undefinedResult) {
        error = scriptError(WKErrorJavaScriptResultTypeIsUnsupported,
                            "JavaScript execution returned a result of an unsupported type");
      } else {
        result = NSJSONSerialization::JSONObjectWithString(
            r.json, NSJSONSerialization::NSJSONReadingFragmentsAllowed);
      }
      // Answered behind the messages the script posted, as a reply from the page would be.
      pending->answer(std::move(result), std::move(error));
    });
  });
}

std::string WKWebView::URL() const { return impl_->url; }
std::string WKWebView::title() const { return impl_->title; }
bool WKWebView::isLoading() const { return impl_->load != nullptr; }
std::string WKWebView::customUserAgent() const { return impl_->customUserAgent; }
void WKWebView::setCustomUserAgent(std::string ua) { impl_->customUserAgent = std::move(ua); }
std::string WKWebView::userAgent() const { return impl_->userAgent(); }

std::vector<WKWebView::ConsoleMessage> WKWebView::consoleMessages() const { return impl_->console; }
std::vector<std::string> WKWebView::pageErrors() const { return impl_->errors; }
void WKWebView::setConsoleObserver(std::function<void(const ConsoleMessage&)> o) {
  impl_->consoleObserver = std::move(o);
}
void WKWebView::setPageErrorObserver(std::function<void(const std::string&)> o) {
  impl_->errorObserver = std::move(o);
}

void WKWebView::simulateWebContentProcessTermination() {
  std::weak_ptr<Impl> weak = impl_;
  impl_->runScript([weak] {
    auto impl = weak.lock();
    if (!impl) return;
    if (impl->load && impl->load->fetch) impl->load->fetch->cancel();
    impl->load = nullptr;
    impl->teardownDocument();
    ++impl->generation;
    onMain([weak] {
      if (auto impl = weak.lock())
        if (auto d = impl->navDelegate.lock())
          if (auto v = impl->self()) d->webViewWebContentProcessDidTerminate(v);
    });
  });
}

}  // namespace plat
