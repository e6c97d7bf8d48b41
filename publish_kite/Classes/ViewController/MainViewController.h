#pragma once
// MainViewController: the application's only screen, a full-screen web view showing the HTML5
// game. It builds the web view, hands it to the script bridge, loads the game page from the
// game host (Info.plist "LM_GAME_HOST") with a fresh "timestamp" parameter, retries a failed
// load every second, answers the page's script panels at once, and serves the application's
// "Data" folder to the page through the "local" URL scheme (whole files, byte ranges for
// "mp4" files, MIME types from the asset table "nativefiles.json").
//
// Threading: main thread, except the file work of the "local" scheme, which runs on the
// concurrent queue "lumora_h5_file_queue"; basePath and fileDict are written in viewDidLoad
// before the first request and only read afterwards. Load may be called from any thread: it
// posts the page load to the main queue.

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Value.h"
#include "platform/network/NSURLResponse.h"
#include "platform/uikit/UIViewController.h"
#include "platform/webkit/WKWebView.h"

class MainViewController : public plat::UIViewController,
                           public plat::WKUIDelegate,
                           public plat::WKNavigationDelegate,
                           public plat::WKURLSchemeHandler {
 public:
  static constexpr const char* kStoryboardName = "Main";
  static constexpr const char* kStoryboardIdentifier = "MainViewController";
  static constexpr const char* kFileQueueLabel = "lumora_h5_file_queue";
  static constexpr const char* kLocalScheme = "local";
  static constexpr const char* kGamePagePath = "/mrzd4/index/native_ios/release/index.html";

  // The controller as the storyboard "Main" holds it under "MainViewController": a root view
  // with the screen's bounds and the container `holderView` filling it.
  static std::shared_ptr<MainViewController> instantiateFromStoryboard();

  std::string className() const override { return "MainViewController"; }
  void loadView() override;
  void viewDidLoad() override;

  // Builds the web view once (later calls do nothing).
  void InitWebView();
  // Loads the game page from GetUrl, or else Data/index.html with GetBaseUrl as base URL;
  // logs "index error: %@" when neither is there (a fallback page that is not a regular
  // file counts as missing and is never opened).
  void Load();
  // The game page address "<LM_GAME_HOST><page path>?timestamp=<now>", or "" when the key is
  // missing or empty.
  std::string GetUrl() const;
  // "<LM_URL>?timestamp=<now>", or "" when the key is missing or empty.
  std::string GetBaseUrl() const;
  // Seconds since 1970 on the platform clock, rounded to whole seconds ("%.0f").
  static std::string GetCurrentTimestamp();
  // MD5 of the UTF-8 bytes as 32 lowercase hexadecimal characters.
  static std::string GetMD5(const std::string& text);
  // The review-switch request: posts the application's identifiers to the review server
  // (Info.plist "LM_REVIEW_HOST"; nothing is sent without it) and loads the page again when
  // the answer arrives. Nothing in the application calls it.
  void RequestURL();
  // Stores "data"."content" of a review-switch answer in url(); failures are logged.
  void HandleReviewSwitchResponse(const plat::Data& data, const plat::NSURLResponseRef& response,
                                  const plat::NSErrorRef& error);
  int64_t preferredStatusBarStyle() const { return 1; }

  // Asset table.
  void LoadLocalSettings();
  // basePath followed by `path`; `path` unchanged when empty.
  std::string GetAssetPath(const std::string& path) const;
  // The entry's "mime" text (the path's entry, or else that of its other Unicode normal
  // form), or "application/octet-stream".
  std::string GetAssetMIME(const std::string& path) const;
  // The entry's "encoding" text, or "".
  std::string GetAssetEncoding(const std::string& path) const;

  // ---- WKUIDelegate: answered at once ----
  bool webViewRunJavaScriptAlertPanelWithMessageInitiatedByFrameCompletionHandler(
      const plat::WKWebViewRef& webView, const std::string& message, const plat::WKFrameInfo& frame,
      std::function<void()> completionHandler) override;
  bool webViewRunJavaScriptConfirmPanelWithMessageInitiatedByFrameCompletionHandler(
      const plat::WKWebViewRef& webView, const std::string& message, const plat::WKFrameInfo& frame,
      std::function<void(bool)> completionHandler) override;
  bool webViewRunJavaScriptTextInputPanelWithPromptDefaultTextInitiatedByFrameCompletionHandler(
      const plat::WKWebViewRef& webView, const std::string& prompt, const std::string& defaultText,
      const plat::WKFrameInfo& frame,
      std::function<void(std::optional<std::string>)> completionHandler) override;

  // ---- WKNavigationDelegate ----
  // Every load that replaces the page ends it for the bridge (IOSPlugin::EndPage): Load as it
  // starts the load, a navigation of the page's own as it starts, and every new document as
  // it commits. The old page's orders open no cashier and report nothing, and no answer it
  // asked for reaches the new page.
  // Notes the navigation as the latest load (the page may navigate by itself).
  void webViewDidStartProvisionalNavigation(const plat::WKWebViewRef& webView,
                                            const plat::WKNavigationRef& navigation) override;
  void webViewDidCommitNavigation(const plat::WKWebViewRef& webView,
                                  const plat::WKNavigationRef& navigation) override;
  // "Load Fail" on the console log and, unless a newer load superseded this one, one new
  // Load a second later (at most one pending). Whatever the error code: an answer the web
  // view cannot show fails with the same code as a superseded load.
  void webViewDidFailProvisionalNavigationWithError(const plat::WKWebViewRef& webView,
                                                    const plat::WKNavigationRef& navigation,
                                                    const plat::NSErrorRef& error) override;
  void webViewDidFailNavigationWithError(const plat::WKWebViewRef& webView,
                                         const plat::WKNavigationRef& navigation,
                                         const plat::NSErrorRef& error) override;

  // ---- WKURLSchemeHandler ("local") ----
  // Serves files inside the Data folder only: a path that leads outside it, a missing file or
  // anything but a regular file fails the task (NSCocoaErrorDomain, 404) with no response; a
  // named pipe or device is never opened, so it cannot block the file queue.
  // "mp4" files need a "Range" header ("bytes=<start>-<end>", open end, "*" end, or the
  // suffix form "bytes=-<n>"); numbers may have white space and a sign before them; the end
  // is clamped to the last byte; a range longer than 8 MiB (an open one into a large video)
  // is answered with its first 8 MiB and the Content-Range of that piece; an unsatisfiable
  // range answers 416 with "Content-Range: bytes */<size>". Other files are answered whole
  // (200), read as the task takes them. A file that turns out shorter than announced, or
  // cannot be read, fails the task (NSCocoaErrorDomain, a read error) instead of finishing
  // it. A name missing as asked is looked up in its other Unicode normal form.
  void webViewStartURLSchemeTask(const plat::WKWebViewRef& webView,
                                 const plat::WKURLSchemeTaskRef& task) override;
  // The task gets no further calls, also from file work already queued for it.
  void webViewStopURLSchemeTask(const plat::WKWebViewRef& webView,
                                const plat::WKURLSchemeTaskRef& task) override;
  // Files are only read: request bodies are never looked at.
  bool readsRequestBody() const override { return false; }

  // ---- Properties ----
  plat::UIViewRef holderView() const { return holderView_; }
  plat::WKWebViewRef webView() const { return webView_; }
  plat::DispatchQueueRef queue() const { return queue_; }
  std::string url() const;
  const std::string& basePath() const { return basePath_; }
  const plat::Value& fileDict() const { return fileDict_; }

 private:
  std::shared_ptr<MainViewController> self();
  void ServeLocalFileRange(const std::string& filePath, const std::string& urlPath,
                           const std::string& startText, const std::string& endText,
                           const plat::WKURLSchemeTaskRef& task);
  void ServeLocalFile(const std::string& filePath, const std::string& urlPath,
                      const plat::WKURLSchemeTaskRef& task);
  // The Data folder's path for `urlPath` when it stays inside the folder; "" otherwise.
  std::string ContainedAssetPath(const std::string& urlPath) const;
  void ScheduleRetry();
  // The existing path inside the Data folder that `filePath` names when each missing name is
  // read in its other Unicode normal form (composed or decomposed); "" when there is none.
  std::string OtherlyNormalisedAssetPath(const std::string& filePath) const;
  // Opens the regular file at `filePath` (or at its other normalisation, when `filePath` does
  // not exist) when its resolved path lies inside the Data folder; -1 otherwise. Sets *size.
  int OpenContainedFile(const std::string& filePath, uint64_t* size) const;

  plat::UIViewRef holderView_;
  plat::WKWebViewRef webView_;
  plat::DispatchQueueRef queue_;
  mutable std::mutex urlMutex_;
  std::string url_;
  std::string basePath_;
  std::string baseRealPath_;  // basePath_ with links resolved
  plat::Value fileDict_;
  bool retryPending_ = false;  // main thread
  // The newest load, started by Load or by the page (main thread): a failed navigation that
  // is not this one was superseded.
  plat::WKNavigationRef latestLoad_;
};
