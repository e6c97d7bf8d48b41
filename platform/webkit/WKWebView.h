#pragma once
// plat::WKWebView: a web view on a real engine (WebKitGTK): layout, CSS, canvas, WebGL and
// modern script run in the engine's own processes. Each view has a window of its frame's size
// on the (virtual) X display that is never shown to a person. Pages load through the
// configuration's URL scheme handlers, http/https, files and data.
//
// Thread-safety: main thread only, as on the platform. Work that arrives from other threads
// (scheme task answers) is delivered on the main thread in order. The engine's events reach
// the app through GLib's main context, which the main run loop serves on every turn; page
// script runs in real time.
//
// Order of events of a load: didStartProvisionalNavigation, then either
// didFailProvisionalNavigation (error before the document arrived; -999 when a newer load or
// stopLoading superseded it) or didCommitNavigation, then didFinishNavigation or
// didFailNavigation. Delegate calls, script messages and evaluateJavaScript answers are
// posted to the main queue in the order the engine reported them.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIScrollView.h"
#include "platform/uikit/UIView.h"
#include "platform/webkit/WKNavigationDelegate.h"
#include "platform/webkit/WKWebViewConfiguration.h"

namespace plat {

inline constexpr const char* WKErrorDomain = "WKErrorDomain";
enum WKErrorCode : int64_t {
  WKErrorUnknown = 1,
  WKErrorWebContentProcessTerminated = 2,
  WKErrorWebViewInvalidated = 3,
  WKErrorJavaScriptExceptionOccurred = 4,
  WKErrorJavaScriptResultTypeIsUnsupported = 5,
};
// The engine's own refusals of a page load, reported as the phone's web view reports them.
inline constexpr const char* WebKitErrorDomain = "WebKitErrorDomain";
// The page's address names a port the engine never connects to (6000, 6667, 9, ...).
inline constexpr int64_t WebKitErrorCannotUseRestrictedPort = 103;
// User-info key of a script exception's message.
inline constexpr const char* WKJavaScriptExceptionMessageKey = "WKJavaScriptExceptionMessage";

class WKWebView : public UIView {
 public:
  WKWebView(CGRect frame, WKWebViewConfigurationRef configuration);
  ~WKWebView() override;
  void didInit() override;
  static std::shared_ptr<WKWebView> make(CGRect frame, WKWebViewConfigurationRef configuration);
  std::string className() const override { return "WKWebView"; }

  // A copy of the configuration the view was made with, sharing its user content controller.
  WKWebViewConfigurationRef configuration() const;

  // Held weakly.
  std::shared_ptr<WKNavigationDelegate> navigationDelegate() const;
  void setNavigationDelegate(const std::shared_ptr<WKNavigationDelegate>& delegate);
  std::shared_ptr<WKUIDelegate> UIDelegate() const;
  void setUIDelegate(const std::shared_ptr<WKUIDelegate>& delegate);

  // Starts loading `request` (superseding a load in progress). Returns the navigation, or null
  // for a null request.
  WKNavigationRef loadRequest(const NSURLRequestRef& request);
  // Loads `html` as a document whose URL is `baseURL` ("about:blank" when empty).
  WKNavigationRef loadHTMLStringBaseURL(const std::string& html, const std::string& baseURL);
  // Loads the current URL again; null when there is none.
  WKNavigationRef reload();
  // Cancels the load in progress (-999 to the delegate); the current document stays.
  void stopLoading();

  using JavaScriptCompletion = std::function<void(const Value& result, const NSErrorRef& error)>;
  // Runs `script` in the current document, always asynchronously and in order with message
  // deliveries. The completion gets the completion value converted like a message body, or an
  // error in WKErrorDomain (4: the script threw, with WKJavaScriptExceptionMessage; 5: the value
  // is undefined or cannot be converted; 1: the engine failed; 3: the web view went away
  // before the answer came; 2: the page's process ended before the answer came, or had ended
  // and no load has started since). Each completion is called once. While the page waits in a
  // script panel the script waits too.
  // REQUIRES: main thread (a call from another thread is refused and reported).
  void evaluateJavaScriptCompletionHandler(const std::string& script,
                                           JavaScriptCompletion completion = {});

  // The scroll view that holds the page (fills the web view; the engine scrolls the page
  // itself, so its offsets are not the page's).
  std::shared_ptr<UIScrollView> scrollView() const { return scrollView_; }

  // The committed document's URL ("" before the first commit).
  std::string URL() const;
  std::string title() const;
  bool isLoading() const;
  std::string customUserAgent() const;
  void setCustomUserAgent(std::string userAgent);
  // The user agent pages see.
  std::string userAgent() const;

  // Takes a picture of the page as drawn (the visible part, at the view's size in points),
  // on a later turn; an error in WKErrorDomain when the engine cannot give one. The picture is
  // also kept as the web view's content for the view renderer.
  using SnapshotCompletion = std::function<void(const UIImageRef& image, const NSErrorRef& error)>;
  void takeSnapshotWithCompletionHandler(SnapshotCompletion completion);
  // The last picture taken, or null.
  UIImageRef lastSnapshot() const;
  void drawBuiltInContent(CGContextRef c) const override;
  void layoutSubviews() override;

  // ---- Test hooks ----
  struct ConsoleMessage {
    std::string level;  // "log", "info", "warn", "error" or "debug"
    std::string text;
  };
  // The page log goes to the observers as it comes and is not kept. Only while a test has
  // switched keeping on (process-wide, off by default) does each view keep a short tail of
  // what arrives: the newest entries, at most kKeptPageLogEntries of each kind holding at most
  // kKeptPageLogBytes of text together (a longer single entry is not kept).
  static constexpr size_t kKeptPageLogEntries = 256;
  static constexpr size_t kKeptPageLogBytes = 64 * 1024;
  // Has the engine report, as it can late, that the load of `url` was cancelled, then its
  // finish, as it follows every failed load.
  void reportCancelledLoadForTesting(const std::string& url);
  static void setKeepsPageLogForTesting(bool keep);
  static bool keepsPageLogForTesting();
  // Switches keeping on for its lifetime, then restores the setting it found.
  class KeepPageLogForTesting {
   public:
    KeepPageLogForTesting() : previous_(keepsPageLogForTesting()) {
      setKeepsPageLogForTesting(true);
    }
    ~KeepPageLogForTesting() { setKeepsPageLogForTesting(previous_); }
    KeepPageLogForTesting(const KeepPageLogForTesting&) = delete;
    KeepPageLogForTesting& operator=(const KeepPageLogForTesting&) = delete;

   private:
    bool previous_;
  };
  // The newest console messages of the page, oldest first (empty unless kept).
  std::vector<ConsoleMessage> consoleMessages() const;
  // The newest uncaught exceptions, unhandled promise rejections and failed resource loads of
  // the page, oldest first (empty unless kept).
  std::vector<std::string> pageErrors() const;
  // Each is called on the main thread with every console message or page error, in order.
  void setConsoleObserver(std::function<void(const ConsoleMessage&)> observer);
  void setPageErrorObserver(std::function<void(const std::string&)> observer);
  // Ends the page's content process (the engine really kills it); the delegate is told.
  void simulateWebContentProcessTermination();
  // Ends the content processes of every web view, so a quitting program leaves none behind.
  static void terminateAllContentProcesses();

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
  std::shared_ptr<UIScrollView> scrollView_;
};
using WKWebViewRef = std::shared_ptr<WKWebView>;

}  // namespace plat
