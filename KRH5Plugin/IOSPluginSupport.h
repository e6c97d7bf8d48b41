#pragma once
// What every bridge plugin shares: the texts of its replies to the page, the escaping of text
// inserted into a reply, and the plugin's process-wide state with the common injection step
// (handler and user script registered on the web view) and script evaluation.
//
// A reply is a script text: <object>.CallFunc("<callback>"[, <value>]); The value forms are a
// JavaScript string literal, a decimal integer, true/false, or JSON.parse("<json>") of a JSON
// text. Every text inserted into a reply goes through IOSPluginEscapeScriptString, so the page
// receives exactly the native text whatever it holds (quotes, backslashes, line breaks,
// U+2028/U+2029, control characters); JSON texts are first made compact (white space between
// tokens removed, never inside strings).
//
// Thread-safety: the text functions are pure and may be called from any thread.
// IOSPluginState: SetWebView and the setters on the main thread; CallJS from any thread (the
// evaluation is always posted to the main queue, never run inline).

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/webkit/WKWebView.h"

// The text as the body of a JavaScript double-quoted string literal (without the quotes).
// Bytes that are not well-formed UTF-8 become U+FFFD, so the script always parses.
std::string IOSPluginEscapeScriptString(const std::string& text);
// `json` with the white space between tokens removed; white space inside strings is kept.
// A text that is not JSON is treated the same way (only its white space outside double-quoted
// runs goes).
std::string IOSPluginCompactJSON(const std::string& json);

// The plugins' ProcessInjectString: a text made ready to stand between the double quotes of a
// reply - made compact (line breaks and blanks between JSON tokens removed; those inside
// strings kept) and escaped (quotes, backslashes, line breaks ...), so the page parses back
// exactly the text given. nullopt and the empty text come back unchanged.
std::optional<std::string> IOSPluginProcessInjectString(const std::optional<std::string>& text);

// Reply texts. `object` is the script object ("LM_IOS", "KiteSDK_IOS" ...).
std::string IOSPluginReply(const std::string& object, const std::string& callback);
std::string IOSPluginReplyText(const std::string& object, const std::string& callback,
                               const std::string& text);
std::string IOSPluginReplyInt(const std::string& object, const std::string& callback,
                              int32_t value);
std::string IOSPluginReplyBool(const std::string& object, const std::string& callback, bool value);
std::string IOSPluginReplyJSON(const std::string& object, const std::string& callback,
                               const std::string& json);

// Sees every script text that a plugin or the registry has evaluated in the page, on the
// main thread, just before it is evaluated (the host prints them). Empty: none.
void IOSPluginSetScriptObserver(std::function<void(const std::string&)> observer);

// The number of the page the web view shows: each page that replaces another gets the next
// one (IOSPluginNextPage, called by IOSPlugin::EndPage). What a page asked for is answered
// only while its number is current. Any thread.
uint64_t IOSPluginCurrentPage();
// Starts the next page's number and returns it.
uint64_t IOSPluginNextPage();

// Evaluates `script` in `webView` on the main queue, later, without completion handler.
// Nothing happens when either is empty/null, the web view is gone by then, or another page
// has replaced the one shown when this was called (a reply never reaches a later page).
void IOSPluginEvaluate(const std::weak_ptr<plat::WKWebView>& webView, const std::string& script);

// The process-wide state of one plugin class: its web view, its current message handler, its
// SDK interface object (SDK plugins), and its handler name and injected script.
class IOSPluginState {
 public:
  IOSPluginState(std::string handlerName, std::string scriptSource);
  IOSPluginState(const IOSPluginState&) = delete;
  IOSPluginState& operator=(const IOSPluginState&) = delete;

  const std::string& handlerName() const { return handlerName_; }
  const std::string& scriptSource() const { return scriptSource_; }

  // The common injection step. Does nothing and returns false when `webView` is null or is
  // the one kept. Otherwise keeps it, makes a new handler with `makeHandler` (replacing the
  // kept one), registers it under the handler name (removing a handler of that name first,
  // for a web view seen before), and adds the script at document start for the main frame
  // only (no script when the source is empty). REQUIRES: main thread.
  bool SetWebView(const plat::WKWebViewRef& webView,
                  const std::function<plat::WKScriptMessageHandlerRef()>& makeHandler);
  plat::WKWebViewRef webView() const;
  plat::WKScriptMessageHandlerRef handler() const;

  // Stores `object` when it is not null.
  void SetInterface(const plat::ObjectRef& object);
  plat::ObjectRef GetInterface() const;
  // Drops the interface object (the plugin's Unload).
  void ReleaseInterface();

  // Evaluates `script` in the kept web view, posted to the main queue. Nothing when either is
  // empty. Any thread.
  void CallJS(const std::string& script) const;

  // Forgets web view, handler and interface (tests).
  void ResetForTesting();

 private:
  const std::string handlerName_;
  const std::string scriptSource_;
  mutable std::mutex mu_;
  plat::WKWebViewRef webView_;
  plat::WKScriptMessageHandlerRef handler_;
  plat::ObjectRef interface_;
};
