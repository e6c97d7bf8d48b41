#include "platform/webkit/WKWebView.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <atomic>
#include <cmath>
#include <deque>
#include <map>
#include <set>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/foundation/NSLog.h"
#include "platform/foundation/NSURL.h"
#include "platform/network/NSURLError.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/webkit/EngineObjects.h"
#include "platform/webkit/SchemeStream.h"
#include "platform/webkit/WebKitRuntime.h"

namespace plat {

namespace {

constexpr const char* kDefaultUserAgent =
    "Mozilla/5.0 (iPhone; CPU iPhone OS 15_0 like Mac OS X) AppleWebKit/605.1.15 "
    "(KHTML, like Gecko) Mobile/15E148";

// The private channel of the page log script below.
constexpr const char* kPageLogHandler = "lumoraPageLog";

// Reports console calls, uncaught errors, unhandled rejections and failed resource loads of
// every document through the private channel, before any page script runs.
constexpr const char* kPageLogScript = R"JS((function () {
  const channel = window.webkit.messageHandlers.lumoraPageLog;
  const post = (m) => { try { channel.postMessage(m); } catch (e) {} };
  const text = (v) => {
    if (typeof v === 'string') return v;
    if (v instanceof Error) return String(v);
    try { const j = JSON.stringify(v); return j === undefined ? String(v) : j; }
    catch (e) { return String(v); }
  };
  for (const level of ['log', 'info', 'warn', 'error', 'debug']) {
    const original = console[level];
    console[level] = function (...args) {
      post({kind: 'console', level: level, text: args.map(text).join(' ')});
      return original.apply(this, args);
    };
  }
  window.addEventListener('error', (e) => {
    const t = e.target;
    if (t && t !== window && (t.src || t.href)) {
      post({kind: 'error', text: 'Failed to load resource: ' + (t.src || t.href)});
      return;
    }
    let m = e.message || String(e.error);
    if (e.error && e.error.stack) m += '\n' + e.error.stack;
    post({kind: 'error', text: m});
  }, true);
  window.addEventListener('unhandledrejection', (e) => {
    post({kind: 'error', text: 'Unhandled Promise Rejection: ' + text(e.reason)});
  });
})();)JS";

// Turns request bodies that hold blobs into bytes before they leave the page, for fetch and
// asynchronous XMLHttpRequest to the schemes named in its argument (those whose handler reads
// bodies): the engine crashes handing such a body to a scheme handler, and cannot read a form
// holding files itself, so forms are written out here as browsers write them. The content
// type the body would have set (a Blob's type, the form's boundary) goes with the bytes. A
// body that cannot be read, and a synchronous XMLHttpRequest's blob body, are sent as absent.
constexpr const char* kBlobBodyScript = R"JS((function (schemes) {
  const ours = (url) => {
    try { return schemes.includes(new URL(String(url), location.href).protocol.slice(0, -1)); }
    catch (e) { return false; }
  };
  const holdsBlobs = (b) => b instanceof Blob || b instanceof FormData ||
                            (typeof ReadableStream !== 'undefined' && b instanceof ReadableStream);
  const text = new TextEncoder();
  const quoted = (n) => String(n).replace(/"/g, '%22').replace(/\r/g, '%0D').replace(/\n/g, '%0A');
  const formBytes = async (form) => {
    const boundary = '----LumoraFormBoundary' + Math.random().toString(36).slice(2);
    const parts = [];
    for (const [name, value] of form.entries()) {
      let head = '--' + boundary + '\r\nContent-Disposition: form-data; name="' + quoted(name) + '"';
      if (typeof value === 'string') {
        parts.push(text.encode(head + '\r\n\r\n' + value + '\r\n'));
      } else {
        head += '; filename="' + quoted(value.name === undefined ? 'blob' : value.name) + '"\r\n' +
                'Content-Type: ' + (value.type || 'application/octet-stream') + '\r\n\r\n';
        parts.push(text.encode(head), await value.arrayBuffer(), text.encode('\r\n'));
      }
    }
    parts.push(text.encode('--' + boundary + '--\r\n'));
    return {bytes: await new Blob(parts).arrayBuffer(),
            type: 'multipart/form-data; boundary=' + boundary};
  };
  const bytesOf = (body) => {
    if (body instanceof FormData) return formBytes(body);
    if (body instanceof Blob) return body.arrayBuffer().then((bytes) => ({bytes, type: body.type}));
    return new Response(body).arrayBuffer().then((bytes) => ({bytes, type: ''}));
  };
  const absent = () => ({bytes: null, type: ''});
  const fetch0 = window.fetch;
  window.fetch = function (input, init) {
    const isRequest = input instanceof Request;
    const body = init ? init.body : undefined;
    const requestBody = isRequest && input.body && body === undefined;
    if (!ours(isRequest ? input.url : input) || !(holdsBlobs(body) || requestBody))
      return fetch0.apply(this, arguments);
    let options = init || {};
    if (requestBody) {
      options = {method: input.method, headers: input.headers, mode: input.mode,
                 credentials: input.credentials, cache: input.cache, redirect: input.redirect,
                 referrer: input.referrer, integrity: input.integrity, signal: input.signal};
    }
    const read = requestBody ? input.arrayBuffer().then((bytes) => ({bytes, type: ''}))
                             : bytesOf(body);
    return read.catch(absent).then(({bytes, type}) => {
      const r = new Request(requestBody ? input.url : input, Object.assign({}, options, {body: bytes}));
      if (type && !r.headers.has('Content-Type')) r.headers.set('Content-Type', type);
      return fetch0.call(window, r);
    });
  };
  const proto = XMLHttpRequest.prototype;
  const open0 = proto.open, send0 = proto.send, header0 = proto.setRequestHeader;
  const abort0 = proto.abort;
  const state = new WeakMap();
  proto.open = function (method, url, async) {
    state.set(this, {ours: ours(url), async: arguments.length < 3 || !!async, typed: false});
    return open0.apply(this, arguments);
  };
  proto.abort = function () {
    state.delete(this);  // a send still turning its body into bytes goes nowhere
    return abort0.apply(this, arguments);
  };
  proto.setRequestHeader = function (name, value) {
    const s = state.get(this);
    if (s && String(name).toLowerCase() === 'content-type') s.typed = true;
    return header0.apply(this, arguments);
  };
  proto.send = function (body) {
    const s = state.get(this);
    if (!s || !s.ours || !holdsBlobs(body)) return send0.apply(this, arguments);
    if (!s.async) return send0.call(this, null);
    bytesOf(body).catch(absent).then(({bytes, type}) => {
      if (state.get(this) !== s || this.readyState !== XMLHttpRequest.OPENED) return;
      if (type && !s.typed) header0.call(this, 'Content-Type', type);
      send0.call(this, bytes);
    });
  };
}))JS";

void onMain(std::function<void()> fn) { dispatch_async(dispatch_get_main_queue(), std::move(fn)); }

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

NSErrorRef wkError(int64_t code, const std::string& description, const std::string& message = {}) {
  Dictionary info;
  info.set(NSLocalizedDescriptionKey, description);
  if (!message.empty()) info.set(WKJavaScriptExceptionMessageKey, message);
  return NSError::make(WKErrorDomain, code, std::move(info));
}

// The engine's JSON writer escapes a lone UTF-16 surrogate (a text cut in the middle of an
// emoji) as "\ud800", which is no character: each such escape becomes U+FFFD, so the value
// is read and its other text kept. Pairs and every other escape stay as they are.
void replaceLoneSurrogates(std::string& json) {
  auto hexAt = [&](size_t i) -> int {
    if (i + 6 > json.size() || json[i] != '\\' || json[i + 1] != 'u') return -1;
    int v = 0;
    for (size_t k = i + 2; k < i + 6; ++k) {
      int c = json[k], d = c >= '0' && c <= '9'   ? c - '0'
                           : c >= 'a' && c <= 'f' ? c - 'a' + 10
                           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                  : -1;
      if (d < 0) return -1;
      v = v * 16 + d;
    }
    return v;
  };
  for (size_t i = 0; i < json.size(); ++i) {
    if (json[i] != '\\') continue;
    int unit = hexAt(i);
    if (unit < 0xD800 || unit > 0xDFFF) {
      ++i;  // skips the escaped character, so "\\" is never read as the start of an escape
      continue;
    }
    int next = unit <= 0xDBFF ? hexAt(i + 6) : -1;
    if (next >= 0xDC00 && next <= 0xDFFF) {
      i += 11;  // a pair: both escapes stay
      continue;
    }
    json.replace(i + 2, 4, "fffd");
    i += 5;
  }
}

// A script value as a plat::Value, through its JSON form: every JSON type, nested; members
// that are undefined or functions are dropped. Nothing (empty) for undefined itself.
std::optional<Value> valueOf(JSCValue* value) {
  if (!value || jsc_value_is_undefined(value)) return std::nullopt;
  char* written = jsc_value_to_json(value, 0);
  if (!written) return std::nullopt;
  std::string json = written;
  g_free(written);
  replaceLoneSurrogates(json);
  Value v = NSJSONSerialization::JSONObjectWithString(
      json, NSJSONSerialization::NSJSONReadingFragmentsAllowed);
  return v;
}

// The platform's error for an engine load failure.
NSErrorRef loadError(const GError* error, const std::string& url) {
  int64_t code = NSURLErrorUnknown;
  if (error) {
    if (error->domain == WEBKIT_NETWORK_ERROR) {
      switch (error->code) {
        case WEBKIT_NETWORK_ERROR_CANCELLED:
          code = NSURLErrorCancelled;
          break;
        case WEBKIT_NETWORK_ERROR_UNKNOWN_PROTOCOL:
          code = NSURLErrorUnsupportedURL;
          break;
        case WEBKIT_NETWORK_ERROR_FILE_DOES_NOT_EXIST:
          code = NSURLErrorFileDoesNotExist;
          break;
        default:
          code = NSURLErrorCannotConnectToHost;
          break;
      }
    } else if (error->domain == WEBKIT_POLICY_ERROR) {
      code = NSURLErrorCancelled;
    } else if (error->domain == G_IO_ERROR) {
      switch (error->code) {
        case G_IO_ERROR_CANCELLED:
          code = NSURLErrorCancelled;
          break;
        case G_IO_ERROR_TIMED_OUT:
          code = NSURLErrorTimedOut;
          break;
        case G_IO_ERROR_CONNECTION_REFUSED:
        case G_IO_ERROR_HOST_UNREACHABLE:
          code = NSURLErrorCannotConnectToHost;
          break;
        case G_IO_ERROR_NETWORK_UNREACHABLE:
          code = NSURLErrorCannotConnectToHost;
          break;
        case G_IO_ERROR_NOT_FOUND:
          code = NSURLErrorFileDoesNotExist;
          break;
        case G_IO_ERROR_BROKEN_PIPE:
          code = NSURLErrorNetworkConnectionLost;
          break;
        default:
          code = NSURLErrorCannotConnectToHost;
          break;
      }
    } else if (error->domain == G_RESOLVER_ERROR) {
      code = NSURLErrorCannotFindHost;
    } else if (error->domain == G_TLS_ERROR) {
      code = NSURLErrorSecureConnectionFailed;
    }
  }
  return makeURLError(code, url);
}

// Whether the engine showed `shown` in place of the page `nav` asked for: a blank page for a
// web address means the engine refused to load it.
bool isRefusedLoad(const WKNavigationRef& nav, const std::string& shown) {
  if (shown != "about:blank" || !nav->request()) return false;
  auto url = NSURL::URLWithString(nav->request()->URL());
  std::string scheme = url ? lower(url->scheme()) : "";
  return scheme == "http" || scheme == "https";
}

NSErrorRef restrictedPortError(const std::string& url) {
  Dictionary info;
  info.set(NSLocalizedDescriptionKey, std::string("Not allowed to use restricted network port"));
  info.set(NSURLErrorFailingURLStringErrorKey, url);
  return NSError::make(WebKitErrorDomain, WebKitErrorCannotUseRestrictedPort, std::move(info));
}

HTTPHeaderFields headersOf(SoupMessageHeaders* headers) {
  HTTPHeaderFields fields;
  if (!headers) return fields;
  SoupMessageHeadersIter iter;
  soup_message_headers_iter_init(&iter, headers);
  const char* name;
  const char* value;
  while (soup_message_headers_iter_next(&iter, &name, &value)) {
    auto old = fields.get(name);
    fields.set(name, old ? *old + ", " + value : std::string(value));
  }
  return fields;
}

NSURLRequestRef requestOf(WebKitURIRequest* request) {
  auto r = NSMutableURLRequest::requestWithURL(webkit_uri_request_get_uri(request));
  if (const char* method = webkit_uri_request_get_http_method(request)) r->setHTTPMethod(method);
  HTTPHeaderFields fields = headersOf(webkit_uri_request_get_http_headers(request));
  for (auto& [k, v] : fields.fields()) r->setValueForHTTPHeaderField(v, k);
  return r;
}

NSURLResponseRef responseOf(WebKitURIResponse* response) {
  std::string url = webkit_uri_response_get_uri(response);
  guint status = webkit_uri_response_get_status_code(response);
  SoupMessageHeaders* headers = webkit_uri_response_get_http_headers(response);
  if (status > 0 || headers) return NSHTTPURLResponse::make(url, status, headersOf(headers));
  const char* mime = webkit_uri_response_get_mime_type(response);
  return std::make_shared<NSURLResponse>(
      url, mime ? mime : "", static_cast<int64_t>(webkit_uri_response_get_content_length(response)),
      "");
}

WKNavigationType navigationTypeOf(WebKitNavigationType t) {
  switch (t) {
    case WEBKIT_NAVIGATION_TYPE_LINK_CLICKED:
      return WKNavigationTypeLinkActivated;
    case WEBKIT_NAVIGATION_TYPE_FORM_SUBMITTED:
      return WKNavigationTypeFormSubmitted;
    case WEBKIT_NAVIGATION_TYPE_BACK_FORWARD:
      return WKNavigationTypeBackForward;
    case WEBKIT_NAVIGATION_TYPE_RELOAD:
      return WKNavigationTypeReload;
    case WEBKIT_NAVIGATION_TYPE_FORM_RESUBMITTED:
      return WKNavigationTypeFormResubmitted;
    default:
      return WKNavigationTypeOther;
  }
}

// Calls `decide(false)` when released without an answer, so a delegate that drops its
// handler cannot leave the engine waiting.
struct PolicyAnswer {
  WebKitPolicyDecision* decision;
  bool answered = false;
  explicit PolicyAnswer(WebKitPolicyDecision* d)
      : decision(WEBKIT_POLICY_DECISION(g_object_ref(d))) {
    webkit::EngineObjects::note(G_OBJECT(decision), "decision");
  }
  void decide(bool allow) {
    if (answered) return;
    answered = true;
    if (allow)
      webkit_policy_decision_use(decision);
    else
      webkit_policy_decision_ignore(decision);
  }
  ~PolicyAnswer() {
    if (!answered) {
      NSLogMessage("a navigation decision handler was released without being called");
      decide(false);
    }
    g_object_unref(decision);
  }
};

// Closes a script dialog once: with the answer given, or with the defaults (confirm false,
// prompt null) when released without one.
struct PanelAnswer {
  WebKitScriptDialog* dialog;
  bool closed = false;
  explicit PanelAnswer(WebKitScriptDialog* d) : dialog(webkit_script_dialog_ref(d)) {}
  void close() {
    if (closed) return;
    closed = true;
    webkit_script_dialog_close(dialog);
  }
  ~PanelAnswer() {
    close();
    webkit_script_dialog_unref(dialog);
  }
};

// A script evaluation the engine has not answered yet. Answered once: by the engine, or by the
// web view when its content process ends or the view goes first.
struct Evaluation {
  WKWebView::JavaScriptCompletion completion;
  bool answered = false;
  void answer(Value value, NSErrorRef error) {
    if (answered) return;
    answered = true;
    if (!completion) return;
    onMain([completion = std::move(completion), value = std::move(value),
            error = std::move(error)] { completion(value, error); });
  }
};

NSErrorRef processEndedError() {
  return wkError(WKErrorWebContentProcessTerminated,
                 "The WKWebView's content process was terminated");
}

}  // namespace

struct WKWebView::Impl : public WKUserContentController::Observer,
                         public std::enable_shared_from_this<WKWebView::Impl> {
  std::weak_ptr<WKWebView> view;
  WKWebViewConfigurationRef config;
  std::weak_ptr<WKNavigationDelegate> navDelegate;
  std::weak_ptr<WKUIDelegate> uiDelegate;
  std::string customUserAgent;

  GtkWidget* window = nullptr;
  WebKitWebView* web = nullptr;
  WebKitUserContentManager* content = nullptr;
  std::set<std::string> registeredHandlers;
  std::vector<gulong> contentSignals;

  // The navigation the app asked for last (taken by the next start), and the one under way.
  WKNavigationRef requested;
  // The request of the main-frame navigation allowed last (taken by the next start): the
  // engine still names the page being left when a load the page started begins.
  NSURLRequestRef allowedMainRequest;
  WKNavigationRef current;
  bool currentCommitted = false;
  bool currentEnded = true;
  // Finishes still to come for superseded loads whose failure came after the next load began.
  int staleFinishes = 0;

  // The newest page log entries, kept only for tests (bounded: a page may log without end).
  std::deque<ConsoleMessage> console;
  std::deque<std::string> errors;
  size_t consoleBytes = 0, errorBytes = 0;
  std::function<void(const ConsoleMessage&)> consoleObserver;
  std::function<void(const std::string&)> errorObserver;
  UIImageRef snapshot;
  int width = 0, height = 0;

  // Evaluations waiting for the engine's answer.
  std::set<std::shared_ptr<Evaluation>> evaluations;
  // The content process ended and no load has started a new one yet.
  bool processEnded = false;

  // Answers every waiting evaluation with `error` (the engine's later answers are dropped).
  void endEvaluations(const NSErrorRef& error) {
    auto ended = std::move(evaluations);
    evaluations.clear();
    for (auto& e : ended) e->answer(Value(), error);
  }

  ~Impl() override {
    endEvaluations(wkError(WKErrorWebViewInvalidated, "The WKWebView was invalidated"));
    if (content) {
      for (gulong id : contentSignals) g_signal_handler_disconnect(content, id);
      g_object_unref(content);
    }
    if (web) {
      g_signal_handlers_disconnect_by_data(web, this);
      g_object_unref(web);
    }
    if (window) gtk_widget_destroy(window);
  }

  WKWebViewRef self() const { return view.lock(); }

  // Posts `fn` with the navigation delegate and the view, if both are still there then.
  void tellNav(std::function<void(WKNavigationDelegate&, const WKWebViewRef&)> fn) {
    std::weak_ptr<Impl> weak = weak_from_this();
    onMain([weak, fn = std::move(fn)] {
      auto impl = weak.lock();
      if (!impl) return;
      auto d = impl->navDelegate.lock();
      auto v = impl->self();
      if (d && v) fn(*d, v);
    });
  }

  // Adds `entry` to `tail`, then drops the oldest entries beyond the bounds.
  template <typename T>
  static void keep(std::deque<T>& tail, size_t& bytes, T entry, size_t size) {
    if (!keepsPageLogForTesting() || size > kKeptPageLogBytes) return;
    tail.push_back(std::move(entry));
    bytes += size;
    while (tail.size() > kKeptPageLogEntries || bytes > kKeptPageLogBytes) {
      bytes -= textOf(tail.front()).size();
      tail.pop_front();
    }
  }
  static const std::string& textOf(const ConsoleMessage& m) { return m.text; }
  static const std::string& textOf(const std::string& s) { return s; }

  void pageError(const std::string& text) {
    keep(errors, errorBytes, text, text.size());
    if (errorObserver) errorObserver(text);
  }

  // ---- user content ----
  void syncUserScripts() {
    webkit_user_content_manager_remove_all_scripts(content);
    auto add = [&](const std::string& source, WebKitUserContentInjectedFrames frames,
                   WebKitUserScriptInjectionTime time) {
      auto* script = webkit_user_script_new(source.c_str(), frames, time, nullptr, nullptr);
      webkit_user_content_manager_add_script(content, script);
      webkit_user_script_unref(script);
    };
    add(kPageLogScript, WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
        WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START);
    std::string schemes;
    for (auto& [scheme, handler] : config->schemeHandlers()) {
      if (!handler || !handler->readsRequestBody()) continue;
      schemes += (schemes.empty() ? "'" : ",'") + scheme + "'";
    }
    if (!schemes.empty())
      add(std::string(kBlobBodyScript) + "([" + schemes + "]);",
          WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES, WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START);
    for (auto& s : config->userContentController()->userScripts()) {
      add(s->source(),
          s->isForMainFrameOnly() ? WEBKIT_USER_CONTENT_INJECT_TOP_FRAME
                                  : WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
          s->injectionTime() == WKUserScriptInjectionTimeAtDocumentStart
              ? WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START
              : WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_END);
    }
  }

  void handlersChanged() override {
    if (!content) return;
    auto names = config->userContentController()->handlerNames();
    std::set<std::string> wanted(names.begin(), names.end());
    wanted.insert(kPageLogHandler);
    for (auto it = registeredHandlers.begin(); it != registeredHandlers.end();) {
      if (!wanted.count(*it)) {
        webkit_user_content_manager_unregister_script_message_handler(content, it->c_str());
        it = registeredHandlers.erase(it);
      } else {
        ++it;
      }
    }
    for (auto& name : wanted) {
      if (registeredHandlers.count(name)) continue;
      if (webkit_user_content_manager_register_script_message_handler(content, name.c_str()))
        registeredHandlers.insert(name);
    }
  }

  static void onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result,
                              gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    // The handler's name is the signal's detail.
    auto* hint = g_signal_get_invocation_hint(impl->content);
    std::string name = hint && hint->detail ? g_quark_to_string(hint->detail) : "";
    auto body = valueOf(webkit_javascript_result_get_js_value(result));
    impl->received(name, body.value_or(Value()));
  }

  void received(const std::string& name, Value body) {
    std::weak_ptr<Impl> weak = weak_from_this();
    onMain([weak, name, body = std::move(body)] {
      auto impl = weak.lock();
      if (!impl) return;
      if (name == kPageLogHandler) {
        impl->pageLog(body);
        return;
      }
      auto controller = impl->config->userContentController();
      auto handler = controller->handlerForName(name);
      if (!handler) return;
      auto message = std::make_shared<WKScriptMessage>(name, body, impl->view);
      handler->userContentControllerDidReceiveScriptMessage(controller, message);
    });
  }

  void pageLog(const Value& body) {
    auto d = body.dictionary();
    if (!d) return;
    std::string kind = d->get("kind").stringOr();
    std::string text = d->get("text").stringOr();
    if (kind == "console") {
      ConsoleMessage m{d->get("level").stringOr(), text};
      keep(console, consoleBytes, m, m.text.size());
      if (consoleObserver) consoleObserver(m);
    } else if (kind == "error") {
      pageError(text);
    }
  }

  // ---- navigation ----
  static void onLoadChanged(WebKitWebView* web, WebKitLoadEvent event, gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    const char* uri = webkit_web_view_get_uri(web);
    std::string url = uri ? uri : "";
    if (!url.empty()) impl->lastURL = url;
    switch (event) {
      case WEBKIT_LOAD_STARTED: {
        impl->supersede(url);
        auto nav = impl->requested;
        if (!nav) {
          nav = std::make_shared<WKNavigation>(impl->allowedMainRequest
                                                   ? impl->allowedMainRequest
                                                   : NSURLRequest::requestWithURL(url));
        }
        impl->requested = nullptr;
        impl->allowedMainRequest = nullptr;
        impl->current = nav;
        impl->currentCommitted = false;
        impl->currentEnded = false;
        impl->tellNav([nav](WKNavigationDelegate& d, const WKWebViewRef& v) {
          d.webViewDidStartProvisionalNavigation(v, nav);
        });
        break;
      }
      case WEBKIT_LOAD_COMMITTED: {
        // A load the engine refuses to make (a restricted port) ends as a blank page that
        // commits and finishes: it is a failed load, as the phone reports it.
        if (impl->current && !impl->currentEnded && isRefusedLoad(impl->current, url)) {
          impl->fail(restrictedPortError(impl->current->request()->URL()));
          break;
        }
        impl->currentCommitted = true;
        impl->staleFinishes = 0;  // a superseded load reports nothing after the next commits
        auto nav = impl->current;
        if (nav)
          impl->tellNav([nav](WKNavigationDelegate& d, const WKWebViewRef& v) {
            d.webViewDidCommitNavigation(v, nav);
          });
        break;
      }
      case WEBKIT_LOAD_FINISHED: {
        auto nav = impl->current;
        // The engine ends every failed load with a finish: that of a superseded load whose
        // late failure was passed over is not the current load's.
        if (impl->staleFinishes > 0) {
          --impl->staleFinishes;
          break;
        }
        if (nav && !impl->currentEnded) {
          impl->currentEnded = true;
          impl->tellNav([nav](WKNavigationDelegate& d, const WKWebViewRef& v) {
            d.webViewDidFinishNavigation(v, nav);
          });
        }
        break;
      }
      default:
        break;
    }
  }

  // A load that starts while another is under way ends that one as cancelled, if the engine
  // has not said so itself.
  void supersede(const std::string& url) {
    if (!current || currentEnded) return;
    fail(makeURLError(NSURLErrorCancelled, url));
  }

  void fail(const NSErrorRef& error) {
    auto nav = current;
    if (!nav || currentEnded) return;
    currentEnded = true;
    bool committed = currentCommitted;
    tellNav([nav, committed, error](WKNavigationDelegate& d, const WKWebViewRef& v) {
      if (committed)
        d.webViewDidFailNavigationWithError(v, nav, error);
      else
        d.webViewDidFailProvisionalNavigationWithError(v, nav, error);
    });
  }

  // The request's time-out passed: a navigation that has had no answer yet fails as timed
  // out, and the engine stops waiting for it.
  void timedOut(const WKNavigationRef& nav) {
    if (!web || current != nav || currentCommitted || currentEnded) return;
    fail(makeURLError(NSURLErrorTimedOut, nav->request() ? nav->request()->URL() : lastURL));
    webkit_web_view_stop_loading(web);
  }

  static gboolean onLoadFailed(WebKitWebView* web, WebKitLoadEvent, gchar* uri, GError* error,
                               gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    std::string failed = uri ? uri : "";
    // The engine may report a superseded load's cancellation after the next load started (that
    // load already ended as cancelled when it was superseded): it is not the current one's.
    bool cancelled =
        error &&
        ((error->domain == WEBKIT_NETWORK_ERROR && error->code == WEBKIT_NETWORK_ERROR_CANCELLED) ||
         g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED));
    if (cancelled && impl->current && !failed.empty()) {
      const char* active = webkit_web_view_get_uri(web);
      auto request = impl->current->request();
      if (failed != (active ? active : "") && (!request || failed != request->URL())) {
        ++impl->staleFinishes;
        return TRUE;
      }
    }
    impl->fail(loadError(error, failed));
    return TRUE;  // no error page: the app decides what to show
  }

  static gboolean onLoadFailedTLS(WebKitWebView*, gchar* uri, GTlsCertificate*,
                                  GTlsCertificateFlags, gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    impl->fail(makeURLError(NSURLErrorServerCertificateUntrusted, uri ? uri : ""));
    return TRUE;
  }

  static gboolean onDecidePolicy(WebKitWebView* web, WebKitPolicyDecision* decision,
                                 WebKitPolicyDecisionType type, gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    auto answer = std::make_shared<PolicyAnswer>(decision);
    std::weak_ptr<Impl> weak = impl->weak_from_this();
    if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) {
      auto* rd = WEBKIT_RESPONSE_POLICY_DECISION(decision);
      auto response = std::make_shared<WKNavigationResponse>(
          responseOf(webkit_response_policy_decision_get_response(rd)),
          webkit_response_policy_decision_is_main_frame_main_resource(rd),
          webkit_response_policy_decision_is_mime_type_supported(rd));
      onMain([weak, answer, response] {
        auto impl = weak.lock();
        auto d = impl ? impl->navDelegate.lock() : nullptr;
        auto v = impl ? impl->self() : nullptr;
        bool asked = d && v &&
                     d->webViewDecidePolicyForNavigationResponseDecisionHandler(
                         v, response, [answer](WKNavigationResponsePolicy p) {
                           answer->decide(p == WKNavigationResponsePolicyAllow);
                         });
        if (!asked) answer->decide(response->canShowMIMEType());
      });
      return TRUE;
    }
    auto* nd = WEBKIT_NAVIGATION_POLICY_DECISION(decision);
    WebKitNavigationAction* na = webkit_navigation_policy_decision_get_navigation_action(nd);
    bool mainFrame = type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION &&
                     !webkit_navigation_policy_decision_get_frame_name(nd);
    auto action = std::make_shared<WKNavigationAction>(
        requestOf(webkit_navigation_action_get_request(na)),
        navigationTypeOf(webkit_navigation_action_get_navigation_type(na)), mainFrame);
    onMain([weak, answer, action] {
      auto impl = weak.lock();
      auto d = impl ? impl->navDelegate.lock() : nullptr;
      auto v = impl ? impl->self() : nullptr;
      auto decide = [weak, answer, action](bool allow) {
        auto impl = weak.lock();
        if (impl && allow && action->targetsMainFrame() && !answer->answered)
          impl->allowedMainRequest = action->request();
        answer->decide(allow);
      };
      bool asked = d && v &&
                   d->webViewDecidePolicyForNavigationActionDecisionHandler(
                       v, action, [decide](WKNavigationActionPolicy p) {
                         decide(p == WKNavigationActionPolicyAllow);
                       });
      if (!asked) decide(true);
    });
    return TRUE;
  }

  static void onProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason,
                                  gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    impl->processEnded = true;
    impl->endEvaluations(processEndedError());
    impl->fail(processEndedError());
    impl->tellNav([](WKNavigationDelegate& d, const WKWebViewRef& v) {
      d.webViewWebContentProcessDidTerminate(v);
    });
  }

  // ---- panels and windows ----
  static gboolean onScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    auto answer = std::make_shared<PanelAnswer>(dialog);
    auto type = webkit_script_dialog_get_dialog_type(dialog);
    std::string message = webkit_script_dialog_get_message(dialog);
    std::string defaultText;
    if (type == WEBKIT_SCRIPT_DIALOG_PROMPT) {
      const char* d = webkit_script_dialog_prompt_get_default_text(dialog);
      defaultText = d ? d : "";
    }
    const char* uri = webkit_web_view_get_uri(impl->web);
    WKFrameInfo frame{true, NSURLRequest::requestWithURL(uri ? uri : "")};
    std::weak_ptr<Impl> weak = impl->weak_from_this();
    // Answered on a later turn: the engine does not take an answer inside this signal.
    onMain([weak, answer, type, message, defaultText, frame] {
      auto impl = weak.lock();
      auto d = impl ? impl->uiDelegate.lock() : nullptr;
      auto v = impl ? impl->self() : nullptr;
      if (!d || !v) return;  // `answer` closes with the defaults
      switch (type) {
        case WEBKIT_SCRIPT_DIALOG_ALERT:
          d->webViewRunJavaScriptAlertPanelWithMessageInitiatedByFrameCompletionHandler(
              v, message, frame, [answer] { answer->close(); });
          break;
        case WEBKIT_SCRIPT_DIALOG_CONFIRM:
        case WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM:
          d->webViewRunJavaScriptConfirmPanelWithMessageInitiatedByFrameCompletionHandler(
              v, message, frame, [answer](bool yes) {
                if (answer->closed) return;
                webkit_script_dialog_confirm_set_confirmed(answer->dialog, yes);
                answer->close();
              });
          break;
        case WEBKIT_SCRIPT_DIALOG_PROMPT:
          d->webViewRunJavaScriptTextInputPanelWithPromptDefaultTextInitiatedByFrameCompletionHandler(
              v, message, defaultText, frame, [answer](std::optional<std::string> text) {
                if (answer->closed) return;
                if (text) webkit_script_dialog_prompt_set_text(answer->dialog, text->c_str());
                answer->close();
              });
          break;
      }
    });
    return TRUE;
  }

  static GtkWidget* onCreate(WebKitWebView*, WebKitNavigationAction* na, gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    auto d = impl->uiDelegate.lock();
    auto v = impl->self();
    if (!d || !v) return nullptr;
    auto action = std::make_shared<WKNavigationAction>(
        requestOf(webkit_navigation_action_get_request(na)),
        navigationTypeOf(webkit_navigation_action_get_navigation_type(na)), true);
    auto configuration = impl->config->copy();
    configuration->setRelatedWebViewForOpening(v);
    auto made =
        d->webViewCreateWebViewWithConfigurationForNavigationAction(v, configuration, action);
    if (!made || made->impl_->relatedTo.lock() != v) {
      if (made)
        NSLogMessage("a web view for window.open must be made with the configuration given");
      return nullptr;
    }
    // The engine takes no reference of its own here: the new view stays the web view's, and
    // goes with it.
    return GTK_WIDGET(made->impl_->web);
  }

  static void onClose(WebKitWebView*, gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    std::weak_ptr<Impl> weak = impl->weak_from_this();
    onMain([weak] {
      auto impl = weak.lock();
      auto d = impl ? impl->uiDelegate.lock() : nullptr;
      auto v = impl ? impl->self() : nullptr;
      if (d && v) d->webViewDidClose(v);
    });
  }

  std::weak_ptr<WKWebView> relatedTo;
  // The address shown last: it stays when the content process ends.
  std::string lastURL;

  // ---- custom schemes ----
  static void onSchemeRequest(WebKitURISchemeRequest* request, gpointer);
  void startSchemeTask(WebKitURISchemeRequest* request);

  void create(const WKWebViewRef& related);
  void applySettings();
};

// ---- custom schemes ----

namespace {

std::map<WebKitWebView*, std::weak_ptr<WKWebView::Impl>>& liveViews() {
  static auto* m = new std::map<WebKitWebView*, std::weak_ptr<WKWebView::Impl>>;
  return *m;
}

// One scheme task as the engine sees it: the request (until the answer starts), the body
// stream, and whether the engine let go of it before its end.
struct SchemeLoad {
  WebKitURISchemeRequest* request = nullptr;  // toggle-referenced until the response
  std::shared_ptr<webkit::SchemeStreamFeed> feed;
  std::function<void()> stop;
  bool responded = false;
  bool ended = false;

  // The load is over: a stop can no longer come, and the stop's hold on the handler goes (a
  // handler that keeps its tasks would otherwise keep itself, its tasks and this load alive).
  void end() {
    ended = true;
    stop = nullptr;
  }
};

void releaseRequest(const std::shared_ptr<SchemeLoad>& l, std::shared_ptr<SchemeLoad>* token);

void onRequestToggled(gpointer data, GObject*, gboolean isLast) {
  // Only this toggle reference is left: the engine dropped the request, so the load was
  // stopped before its answer began.
  auto* load = static_cast<std::shared_ptr<SchemeLoad>*>(data);
  if (!isLast) return;
  auto l = *load;
  if (l->responded || l->ended || !l->request) return;
  l->ended = true;
  if (auto stop = std::move(l->stop)) {
    l->stop = nullptr;
    stop();
  }
  // Our reference is the last one; it goes on a later turn, outside the engine's call.
  onMain([l, load] { releaseRequest(l, load); });
}

void releaseRequest(const std::shared_ptr<SchemeLoad>& l, std::shared_ptr<SchemeLoad>* token) {
  if (!l->request) return;
  auto* request = l->request;
  l->request = nullptr;
  g_object_remove_toggle_ref(G_OBJECT(request), onRequestToggled, token);
  delete token;
}

}  // namespace

void WKWebView::Impl::onSchemeRequest(WebKitURISchemeRequest* request, gpointer) {
  WebKitWebView* web = webkit_uri_scheme_request_get_web_view(request);
  auto it = liveViews().find(web);
  auto impl = it == liveViews().end() ? nullptr : it->second.lock();
  if (!impl) {
    GError* e = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_CANCELLED, "the web view is gone");
    webkit_uri_scheme_request_finish_error(request, e);
    g_error_free(e);
    return;
  }
  impl->startSchemeTask(request);
}

void WKWebView::Impl::startSchemeTask(WebKitURISchemeRequest* request) {
  std::string scheme = lower(webkit_uri_scheme_request_get_scheme(request));
  auto handler = config->urlSchemeHandlerForURLScheme(scheme);
  if (!handler) {
    GError* e =
        g_error_new(G_IO_ERROR, G_IO_ERROR_NOT_SUPPORTED, "no handler for %s", scheme.c_str());
    webkit_uri_scheme_request_finish_error(request, e);
    g_error_free(e);
    return;
  }
  auto r = NSMutableURLRequest::requestWithURL(webkit_uri_scheme_request_get_uri(request));
  if (const char* m = webkit_uri_scheme_request_get_http_method(request)) r->setHTTPMethod(m);
  HTTPHeaderFields fields = headersOf(webkit_uri_scheme_request_get_http_headers(request));
  for (auto& [k, v] : fields.fields()) r->setValueForHTTPHeaderField(v, k);
  // Only a handler that reads bodies gets one: the engine cannot give every body safely
  // (see readsRequestBody), and most handlers never look.
  GInputStream* body =
      handler->readsRequestBody() ? webkit_uri_scheme_request_get_http_body(request) : nullptr;
  if (body) {
    webkit::EngineObjects::note(G_OBJECT(body), "request body");
    Data bytes;
    char buf[65536];
    gssize n;
    while ((n = g_input_stream_read(body, buf, sizeof buf, nullptr, nullptr)) > 0)
      bytes.append(buf, static_cast<size_t>(n));
    g_object_unref(body);
    r->setHTTPBody(bytes);
  }

  auto load = std::make_shared<SchemeLoad>();
  auto* token = new std::shared_ptr<SchemeLoad>(load);
  load->request = request;
  webkit::EngineObjects::note(G_OBJECT(request), "scheme request");
  g_object_add_toggle_ref(G_OBJECT(request), onRequestToggled, token);

  std::weak_ptr<WKWebView> weakView = view;
  auto taskSlot = std::make_shared<std::weak_ptr<WKURLSchemeTask>>();
  load->stop = [handler, weakView, taskSlot] {
    auto task = taskSlot->lock();
    if (!task) return;
    task->markStopped();
    onMain([handler, weakView, task] { handler->webViewStopURLSchemeTask(weakView.lock(), task); });
  };
  std::weak_ptr<SchemeLoad> weakLoad = load;
  load->feed = std::make_shared<webkit::SchemeStreamFeed>(
      [weakLoad] {
        auto load = weakLoad.lock();
        if (!load || load->ended || !load->stop) return;
        auto stop = std::move(load->stop);
        load->stop = nullptr;
        stop();
      },
      [taskSlot](size_t n) {
        if (auto task = taskSlot->lock()) task->bytesConsumed(static_cast<int64_t>(n));
      });

  WKURLSchemeTask::Sink sink;
  sink.reportsConsumption = true;
  sink.response = [load, token](const NSURLResponseRef& response) {
    if (load->responded || !load->request) return;
    load->responded = true;
    int64_t length = response->expectedContentLength();
    GInputStream* stream = load->feed->makeStream();
    auto* answer = webkit_uri_scheme_response_new(stream, length >= 0 ? length : -1);
    webkit::EngineObjects::note(G_OBJECT(stream), "stream");
    webkit::EngineObjects::note(G_OBJECT(answer), "response");
    g_object_unref(stream);
    std::string mime = response->MIMEType();
    if (auto http = std::dynamic_pointer_cast<NSHTTPURLResponse>(response)) {
      webkit_uri_scheme_response_set_status(answer, static_cast<guint>(http->statusCode()),
                                            nullptr);
      auto* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
      for (auto& [k, v] : http->headerFields().fields())
        soup_message_headers_append(headers, k.c_str(), v.c_str());
      webkit_uri_scheme_response_set_http_headers(answer, headers);  // takes the headers
    } else {
      webkit_uri_scheme_response_set_status(answer, 200, nullptr);
    }
    if (!mime.empty()) {
      // The engine takes the content type from here alone: the charset goes with it.
      std::string type = mime;
      if (!response->textEncodingName().empty())
        type += "; charset=" + response->textEncodingName();
      webkit_uri_scheme_response_set_content_type(answer, type.c_str());
    }
    webkit_uri_scheme_request_finish_with_response(load->request, answer);
    g_object_unref(answer);
    releaseRequest(load, token);
  };
  sink.data = [load, taskSlot](Data&& bytes) {
    if (load->responded && !load->ended) {
      load->feed->push(std::move(bytes));
    } else if (auto task = taskSlot->lock()) {
      task->bytesConsumed(static_cast<int64_t>(bytes.length()));  // dropped: nothing to wait for
    }
  };
  sink.finish = [load, token] {
    if (load->ended) return;
    if (!load->responded) {
      // Finished without a response: the platform fails such a load.
      if (load->request) {
        GError* e =
            g_error_new_literal(G_IO_ERROR, G_IO_ERROR_FAILED, "finished without a response");
        webkit_uri_scheme_request_finish_error(load->request, e);
        g_error_free(e);
      }
      load->end();
      releaseRequest(load, token);
      return;
    }
    load->end();
    load->feed->finish();
  };
  sink.fail = [load, token](const NSErrorRef& error) {
    if (load->ended) return;
    load->end();
    if (!load->responded) {
      if (load->request) {
        GError* e =
            g_error_new_literal(G_IO_ERROR, G_IO_ERROR_FAILED,
                                error ? error->localizedDescription().c_str() : "the load failed");
        webkit_uri_scheme_request_finish_error(load->request, e);
        g_error_free(e);
      }
      releaseRequest(load, token);
      return;
    }
    load->feed->fail(error);
  };
  auto task = std::make_shared<WKURLSchemeTask>(r, std::move(sink));
  *taskSlot = task;
  onMain([handler, weakView, task] { handler->webViewStartURLSchemeTask(weakView.lock(), task); });
}

// ---- setup ----

void WKWebView::Impl::applySettings() {
  WebKitSettings* s = webkit_web_view_get_settings(web);
  auto prefs = config->preferences();
  webkit_settings_set_enable_javascript(s, prefs->javaScriptEnabled());
  webkit_settings_set_javascript_can_open_windows_automatically(
      s, prefs->javaScriptCanOpenWindowsAutomatically());
  if (prefs->minimumFontSize() > 0)
    webkit_settings_set_minimum_font_size(s, static_cast<guint32>(prefs->minimumFontSize()));
  webkit_settings_set_media_playback_requires_user_gesture(
      s, config->mediaTypesRequiringUserActionForPlayback() != WKAudiovisualMediaTypeNone);
  webkit_settings_set_media_playback_allows_inline(s, config->allowsInlineMediaPlayback());
  webkit_settings_set_enable_webgl(s, TRUE);
  webkit_settings_set_enable_write_console_messages_to_stdout(s, FALSE);
  webkit_settings_set_javascript_can_access_clipboard(s, FALSE);
  webkit_settings_set_user_agent(
      s, customUserAgent.empty() ? kDefaultUserAgent : customUserAgent.c_str());
}

void WKWebView::Impl::create(const WKWebViewRef& related) {
  if (!webkit::start()) return;
  content = webkit_user_content_manager_new();
  webkit::EngineObjects::note(G_OBJECT(content), "content manager");
  for (auto& [scheme, handler] : config->schemeHandlers()) {
    (void)handler;
    webkit::registerScheme(scheme, onSchemeRequest);
  }
  if (related && related->impl_->web) {
    relatedTo = related;
    web = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "related-view", related->impl_->web,
                                       "user-content-manager", content, nullptr));
  } else {
    web = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", webkit::context(),
                                       "user-content-manager", content, nullptr));
  }
  g_object_ref_sink(web);
  webkit::EngineObjects::note(G_OBJECT(web), "view");
  liveViews()[web] = weak_from_this();
  applySettings();
  syncUserScripts();
  handlersChanged();
  contentSignals.push_back(
      g_signal_connect(content, "script-message-received", G_CALLBACK(onScriptMessage), this));
  g_signal_connect(web, "load-changed", G_CALLBACK(onLoadChanged), this);
  g_signal_connect(web, "load-failed", G_CALLBACK(onLoadFailed), this);
  g_signal_connect(web, "load-failed-with-tls-errors", G_CALLBACK(onLoadFailedTLS), this);
  g_signal_connect(web, "decide-policy", G_CALLBACK(onDecidePolicy), this);
  g_signal_connect(web, "web-process-terminated", G_CALLBACK(onProcessTerminated), this);
  g_signal_connect(web, "script-dialog", G_CALLBACK(onScriptDialog), this);
  g_signal_connect(web, "create", G_CALLBACK(onCreate), this);
  g_signal_connect(web, "close", G_CALLBACK(onClose), this);

  window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  webkit::EngineObjects::note(G_OBJECT(window), "window");
  gtk_window_set_default_size(GTK_WINDOW(window), std::max(width, 1), std::max(height, 1));
  gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(web));
  gtk_widget_show_all(window);
}

// ---- WKWebView ----

WKWebView::WKWebView(CGRect frame, WKWebViewConfigurationRef configuration)
    : UIView(frame), impl_(std::make_shared<Impl>()) {
  impl_->config = configuration ? configuration->copy() : WKWebViewConfiguration::make();
  impl_->width = static_cast<int>(std::lround(frame.size.width));
  impl_->height = static_cast<int>(std::lround(frame.size.height));
}

WKWebView::~WKWebView() {
  if (impl_->web) liveViews().erase(impl_->web);
}

void WKWebView::didInit() {
  UIView::didInit();
  auto self = std::static_pointer_cast<WKWebView>(shared_from_this());
  impl_->view = self;
  impl_->config->userContentController()->addObserver(impl_);
  auto related = impl_->config->relatedWebViewForOpening();
  impl_->config->setRelatedWebViewForOpening(nullptr);
  if (!dispatch_is_main_thread()) {
    NSLogMessage("a WKWebView must be made on the main thread; it shows nothing");
  } else {
    impl_->create(related);
  }
  scrollView_ = plat::make<UIScrollView>(bounds());
  scrollView_->setAutoresizingMask(UIViewAutoresizingFlexibleWidth |
                                   UIViewAutoresizingFlexibleHeight);
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
  auto nav = std::make_shared<WKNavigation>(request->copy());
  if (!impl_->web) return nav;
  impl_->syncUserScripts();
  impl_->requested = nav;
  impl_->processEnded = false;
  auto* r = webkit_uri_request_new(request->URL().c_str());
  webkit::EngineObjects::note(G_OBJECT(r), "request");
  if (SoupMessageHeaders* h = webkit_uri_request_get_http_headers(r)) {
    for (auto& [k, v] : request->headerFields().fields())
      soup_message_headers_replace(h, k.c_str(), v.c_str());
  }
  webkit_web_view_load_request(impl_->web, r);
  g_object_unref(r);
  // The engine takes no time-out: the request's own is kept here, on the main run loop.
  if (double limit = request->timeoutInterval(); std::isfinite(limit) && limit > 0) {
    std::weak_ptr<Impl> weak = impl_;
    dispatch_after(limit, dispatch_get_main_queue(), [weak, nav] {
      if (auto impl = weak.lock()) impl->timedOut(nav);
    });
  }
  return nav;
}

WKNavigationRef WKWebView::loadHTMLStringBaseURL(const std::string& html,
                                                 const std::string& baseURL) {
  auto nav = std::make_shared<WKNavigation>(
      NSURLRequest::requestWithURL(baseURL.empty() ? "about:blank" : baseURL));
  if (!impl_->web) return nav;
  impl_->syncUserScripts();
  impl_->requested = nav;
  impl_->processEnded = false;
  const char* base = baseURL.empty() ? nullptr : baseURL.c_str();
  if (html.empty()) {
    webkit_web_view_load_html(impl_->web, "", base);  // the engine takes no empty bytes
  } else {
    // Handed over with its length: a NUL byte in the text does not end the document.
    GBytes* bytes = g_bytes_new(html.data(), html.size());
    webkit_web_view_load_bytes(impl_->web, bytes, "text/html", "UTF-8", base);
    g_bytes_unref(bytes);
  }
  return nav;
}

WKNavigationRef WKWebView::reload() {
  if (URL().empty() || !impl_->web) return nullptr;
  const char* shown = webkit_web_view_get_uri(impl_->web);
  // After the content process ended the engine has no page to reload: load the address again.
  if (!shown || !*shown) return loadRequest(NSURLRequest::requestWithURL(URL()));
  auto nav = std::make_shared<WKNavigation>(NSURLRequest::requestWithURL(URL()));
  impl_->syncUserScripts();
  impl_->requested = nav;
  impl_->processEnded = false;
  webkit_web_view_reload(impl_->web);
  return nav;
}

void WKWebView::reportCancelledLoadForTesting(const std::string& url) {
  if (!impl_->web) return;
  GError* error = g_error_new_literal(WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED,
                                      "Load request cancelled");
  gboolean handled = FALSE;
  g_signal_emit_by_name(impl_->web, "load-failed", WEBKIT_LOAD_STARTED, url.c_str(), error,
                        &handled);
  g_error_free(error);
  g_signal_emit_by_name(impl_->web, "load-changed", WEBKIT_LOAD_FINISHED);
}

void WKWebView::stopLoading() {
  if (!impl_->web) return;
  // Told here, not left to the engine's report, whose address may differ from the request's.
  impl_->fail(makeURLError(NSURLErrorCancelled, URL()));
  webkit_web_view_stop_loading(impl_->web);
}

namespace {

struct EvaluationCall {
  std::weak_ptr<WKWebView::Impl> impl;
  std::shared_ptr<Evaluation> evaluation;
};

void evaluated(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<EvaluationCall> call(static_cast<EvaluationCall*>(data));
  GError* error = nullptr;
  JSCValue* value =
      webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
  webkit::EngineObjects::note(G_OBJECT(value), "script value");
  Value out;
  NSErrorRef err;
  if (error) {
    if (error->domain == WEBKIT_JAVASCRIPT_ERROR &&
        error->code == WEBKIT_JAVASCRIPT_ERROR_SCRIPT_FAILED) {
      err = wkError(WKErrorJavaScriptExceptionOccurred, "A JavaScript exception occurred",
                    error->message);
    } else if (error->domain == WEBKIT_JAVASCRIPT_ERROR &&
               error->code == WEBKIT_JAVASCRIPT_ERROR_INVALID_RESULT) {
      err = wkError(WKErrorJavaScriptResultTypeIsUnsupported,
                    "JavaScript execution returned a result of an unsupported type");
    } else {
      err = wkError(WKErrorUnknown, error->message ? error->message : "An unknown error occurred");
    }
    g_error_free(error);
  } else {
    auto v = valueOf(value);
    if (!v) {
      err = wkError(WKErrorJavaScriptResultTypeIsUnsupported,
                    "JavaScript execution returned a result of an unsupported type");
    } else {
      out = std::move(*v);
    }
  }
  if (value) g_object_unref(value);
  // Already answered when the process ended or the view went before the engine answered.
  auto impl = call->impl.lock();
  if (impl) impl->evaluations.erase(call->evaluation);
  call->evaluation->answer(std::move(out), std::move(err));
}

}  // namespace

void WKWebView::evaluateJavaScriptCompletionHandler(const std::string& script,
                                                    JavaScriptCompletion completion) {
  if (!dispatch_is_main_thread()) {
    NSLogMessage("evaluateJavaScript must be called on the main thread; the call was ignored");
    return;
  }
  if (!impl_->web) {
    if (completion)
      onMain([completion] {
        completion(Value(), wkError(WKErrorUnknown, "An unknown error occurred"));
      });
    return;
  }
  auto evaluation = std::make_shared<Evaluation>();
  evaluation->completion = std::move(completion);
  if (impl_->processEnded) {
    // The engine has no page to run it in until a load starts a new process.
    evaluation->answer(Value(), processEndedError());
    return;
  }
  impl_->evaluations.insert(evaluation);
  webkit_web_view_evaluate_javascript(impl_->web, script.data(), static_cast<gssize>(script.size()),
                                      nullptr, nullptr, nullptr, evaluated,
                                      new EvaluationCall{impl_, evaluation});
}

std::string WKWebView::URL() const {
  const char* u = impl_->web ? webkit_web_view_get_uri(impl_->web) : nullptr;
  return u && *u ? u : impl_->lastURL;
}
std::string WKWebView::title() const {
  const char* t = impl_->web ? webkit_web_view_get_title(impl_->web) : nullptr;
  return t ? t : "";
}
bool WKWebView::isLoading() const { return impl_->web && webkit_web_view_is_loading(impl_->web); }
std::string WKWebView::customUserAgent() const { return impl_->customUserAgent; }
void WKWebView::setCustomUserAgent(std::string ua) {
  impl_->customUserAgent = std::move(ua);
  if (impl_->web) impl_->applySettings();
}
std::string WKWebView::userAgent() const {
  return impl_->customUserAgent.empty() ? kDefaultUserAgent : impl_->customUserAgent;
}

namespace {
std::atomic<bool> keepPageLog{false};
}  // namespace

void WKWebView::setKeepsPageLogForTesting(bool keep) { keepPageLog = keep; }
bool WKWebView::keepsPageLogForTesting() { return keepPageLog; }

std::vector<WKWebView::ConsoleMessage> WKWebView::consoleMessages() const {
  return {impl_->console.begin(), impl_->console.end()};
}
std::vector<std::string> WKWebView::pageErrors() const {
  return {impl_->errors.begin(), impl_->errors.end()};
}
void WKWebView::setConsoleObserver(std::function<void(const ConsoleMessage&)> o) {
  impl_->consoleObserver = std::move(o);
}
void WKWebView::setPageErrorObserver(std::function<void(const std::string&)> o) {
  impl_->errorObserver = std::move(o);
}

void WKWebView::simulateWebContentProcessTermination() {
  if (impl_->web) webkit_web_view_terminate_web_process(impl_->web);
}

void WKWebView::terminateAllContentProcesses() {
  for (auto& [web, weak] : liveViews()) {
    if (!weak.expired()) webkit_web_view_terminate_web_process(web);
  }
}

namespace {

struct SnapshotRequest {
  std::weak_ptr<WKWebView::Impl> impl;
  WKWebView::SnapshotCompletion completion;
};

void snapshotTaken(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<SnapshotRequest> r(static_cast<SnapshotRequest*>(data));
  GError* error = nullptr;
  cairo_surface_t* surface =
      webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, &error);
  webkit::EngineObjects::noteSurface(surface, "snapshot");
  UIImageRef image;
  NSErrorRef err;
  if (surface && cairo_surface_get_type(surface) == CAIRO_SURFACE_TYPE_IMAGE) {
    int w = cairo_image_surface_get_width(surface);
    int h = cairo_image_surface_get_height(surface);
    // A copy of our own in ARGB32, the layout pictures use.
    cairo_surface_t* copy = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    cairo_t* cr = cairo_create(copy);
    cairo_set_source_surface(cr, surface, 0, 0);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_flush(copy);
    image = UIImage::imageWithCGImage(std::make_shared<CGImage>(copy), 1);
  } else {
    err = wkError(WKErrorUnknown,
                  error && error->message ? error->message : "No snapshot could be taken");
  }
  if (surface) cairo_surface_destroy(surface);
  if (error) g_error_free(error);
  if (auto impl = r->impl.lock()) {
    if (image) impl->snapshot = image;
  }
  if (!r->completion) return;
  onMain([completion = std::move(r->completion), image, err] { completion(image, err); });
}

}  // namespace

void WKWebView::takeSnapshotWithCompletionHandler(SnapshotCompletion completion) {
  if (!impl_->web) {
    if (completion)
      onMain([completion] {
        completion(nullptr, wkError(WKErrorUnknown, "No snapshot could be taken"));
      });
    return;
  }
  auto* r = new SnapshotRequest{impl_, std::move(completion)};
  webkit_web_view_get_snapshot(impl_->web, WEBKIT_SNAPSHOT_REGION_VISIBLE,
                               WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr, snapshotTaken, r);
}

UIImageRef WKWebView::lastSnapshot() const { return impl_->snapshot; }

void WKWebView::drawBuiltInContent(CGContextRef c) const {
  if (!impl_->snapshot) return;
  CGRect b = bounds();
  UIDrawImageUpright(c, CGRectMake(0, 0, b.size.width, b.size.height), impl_->snapshot->CGImage(),
                     1.0, kCGBlendModeNormal);
}

void WKWebView::layoutSubviews() {
  UIView::layoutSubviews();
  int w = static_cast<int>(std::lround(bounds().size.width));
  int h = static_cast<int>(std::lround(bounds().size.height));
  if (w == impl_->width && h == impl_->height) return;
  impl_->width = w;
  impl_->height = h;
  if (impl_->window) gtk_window_resize(GTK_WINDOW(impl_->window), std::max(w, 1), std::max(h, 1));
}

}  // namespace plat
