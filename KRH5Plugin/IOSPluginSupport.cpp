#include "KRH5Plugin/IOSPluginSupport.h"

#include <atomic>
#include <cstdio>

#include "platform/dispatch/Dispatch.h"

namespace {

std::mutex& observerMutex() {
  static std::mutex* m = new std::mutex();
  return *m;
}
std::function<void(const std::string&)>& observerSlot() {
  static auto* f = new std::function<void(const std::string&)>();
  return *f;
}

std::atomic<uint64_t>& pageNumber() {
  static auto* n = new std::atomic<uint64_t>(1);
  return *n;
}

std::string replyHead(const std::string& object, const std::string& callback) {
  return object + ".CallFunc(\"" + IOSPluginEscapeScriptString(callback) + "\"";
}

// The length of the well-formed UTF-8 sequence starting at text[i] (a byte >= 0x80), or 0
// when it is not one (stray continuation byte, truncated or overlong sequence, surrogate,
// beyond U+10FFFF).
size_t utf8SequenceLength(const std::string& text, size_t i) {
  auto at = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char c = at(i);
  size_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  if (at(i + 1) < lo || at(i + 1) > hi) return 0;
  for (size_t k = 2; k < n; ++k)
    if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
  return n;
}

}  // namespace

std::string IOSPluginEscapeScriptString(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '\\':
        out += "\\\\";
        continue;
      case '"':
        out += "\\\"";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      default:
        break;
    }
    if (c < 0x20 || c == 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
      continue;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
      continue;
    }
    // A byte that does not start a well-formed UTF-8 sequence would make the page refuse the
    // whole script (and the reply would be lost): it stands for U+FFFD instead.
    size_t n = utf8SequenceLength(text, i);
    if (n == 0) {
      out += "\\ufffd";
      continue;
    }
    // U+2028 and U+2029 end a line in script source: E2 80 A8 / E2 80 A9.
    if (n == 3 && c == 0xE2 && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
        (static_cast<unsigned char>(text[i + 2]) == 0xA8 ||
         static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
      out += static_cast<unsigned char>(text[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
    } else {
      out.append(text, i, n);
    }
    i += n - 1;
  }
  return out;
}

std::string IOSPluginCompactJSON(const std::string& json) {
  std::string out;
  out.reserve(json.size());
  bool inString = false;
  for (size_t i = 0; i < json.size(); ++i) {
    char c = json[i];
    if (inString) {
      out += c;
      if (c == '\\' && i + 1 < json.size()) {
        out += json[++i];
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
    if (c == '"') inString = true;
    out += c;
  }
  return out;
}

std::optional<std::string> IOSPluginProcessInjectString(const std::optional<std::string>& text) {
  if (!text || text->empty()) return text;
  return IOSPluginEscapeScriptString(IOSPluginCompactJSON(*text));
}

std::string IOSPluginReply(const std::string& object, const std::string& callback) {
  return replyHead(object, callback) + ");";
}

std::string IOSPluginReplyText(const std::string& object, const std::string& callback,
                               const std::string& text) {
  return replyHead(object, callback) + ", \"" + IOSPluginEscapeScriptString(text) + "\");";
}

std::string IOSPluginReplyInt(const std::string& object, const std::string& callback,
                              int32_t value) {
  return replyHead(object, callback) + ", " + std::to_string(value) + ");";
}

std::string IOSPluginReplyBool(const std::string& object, const std::string& callback, bool value) {
  return replyHead(object, callback) + (value ? ", true);" : ", false);");
}

std::string IOSPluginReplyJSON(const std::string& object, const std::string& callback,
                               const std::string& json) {
  return replyHead(object, callback) + ", JSON.parse(\"" +
         IOSPluginEscapeScriptString(IOSPluginCompactJSON(json)) + "\"));";
}

void IOSPluginSetScriptObserver(std::function<void(const std::string&)> observer) {
  std::lock_guard<std::mutex> lock(observerMutex());
  observerSlot() = std::move(observer);
}

uint64_t IOSPluginCurrentPage() { return pageNumber().load(); }

uint64_t IOSPluginNextPage() { return ++pageNumber(); }

void IOSPluginEvaluate(const std::weak_ptr<plat::WKWebView>& webView, const std::string& script) {
  if (script.empty() || webView.expired()) return;
  uint64_t page = IOSPluginCurrentPage();
  plat::dispatch_async(plat::dispatch_get_main_queue(), [webView, script, page] {
    auto web = webView.lock();
    if (!web || page != IOSPluginCurrentPage()) return;
    std::function<void(const std::string&)> observer;
    {
      std::lock_guard<std::mutex> lock(observerMutex());
      observer = observerSlot();
    }
    if (observer) observer(script);
    web->evaluateJavaScriptCompletionHandler(script);
  });
}

IOSPluginState::IOSPluginState(std::string handlerName, std::string scriptSource)
    : handlerName_(std::move(handlerName)), scriptSource_(std::move(scriptSource)) {}

bool IOSPluginState::SetWebView(
    const plat::WKWebViewRef& webView,
    const std::function<plat::WKScriptMessageHandlerRef()>& makeHandler) {
  if (!webView || !makeHandler) return false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (webView_ == webView) return false;
  }
  auto handler = makeHandler();
  auto content = webView->configuration()->userContentController();
  // The platform refuses a second handler under one name: a web view that had this
  // plugin's handler before gets the new one in its place.
  content->removeScriptMessageHandlerForName(handlerName_);
  content->addScriptMessageHandlerName(handler, handlerName_);
  if (!scriptSource_.empty()) {
    content->addUserScript(plat::WKUserScript::make(
        scriptSource_, plat::WKUserScriptInjectionTimeAtDocumentStart, true));
  }
  std::lock_guard<std::mutex> lock(mu_);
  webView_ = webView;
  handler_ = std::move(handler);
  return true;
}

plat::WKWebViewRef IOSPluginState::webView() const {
  std::lock_guard<std::mutex> lock(mu_);
  return webView_;
}

plat::WKScriptMessageHandlerRef IOSPluginState::handler() const {
  std::lock_guard<std::mutex> lock(mu_);
  return handler_;
}

void IOSPluginState::SetInterface(const plat::ObjectRef& object) {
  if (!object) return;
  std::lock_guard<std::mutex> lock(mu_);
  interface_ = object;
}

plat::ObjectRef IOSPluginState::GetInterface() const {
  std::lock_guard<std::mutex> lock(mu_);
  return interface_;
}

void IOSPluginState::ReleaseInterface() {
  std::lock_guard<std::mutex> lock(mu_);
  interface_.reset();
}

void IOSPluginState::CallJS(const std::string& script) const {
  plat::WKWebViewRef web = webView();
  if (!web || script.empty()) return;
  IOSPluginEvaluate(web, script);
}

void IOSPluginState::ResetForTesting() {
  std::lock_guard<std::mutex> lock(mu_);
  webView_.reset();
  handler_.reset();
  interface_.reset();
}
