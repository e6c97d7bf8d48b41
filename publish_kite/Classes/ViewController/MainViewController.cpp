#include "publish_kite/Classes/ViewController/MainViewController.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

#include "KRH5Plugin/IOSPlugin.h"
#include "KRH5Plugin/SysPlugin.h"
#include "logging/LGLog.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/foundation/NSLog.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/StringTransform.h"
#include "platform/foundation/UTF16.h"
#include "platform/network/NSURLError.h"
#include "platform/network/NSURLSession.h"
#include "platform/network/NSURLSessionConfiguration.h"
#include "platform/security/CommonCrypto.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIScrollView.h"

using namespace plat;

namespace {

constexpr const char* kDefaultMIME = "application/octet-stream";
constexpr const char* kAssetTableName = "nativefiles.json";
constexpr const char* kReviewSwitchPath = "/api2/game_audit/geturl";
constexpr const char* kReviewSwitchSalt = "5c7e19a0b3d24f86e1a97c03d5b28f4e";
constexpr uint64_t kErrorLevel = LGLogFlagError | LGLogFlagWarning;
constexpr uint64_t kFileChunk = 1u << 20;
// The longest piece of a video answered at once. The engine drains an answer as fast as it is
// written, whatever the page reads, so a longer or open range gets its first kMaxRangePiece
// bytes (206 with the shorter Content-Range, which players follow with the next range): a
// range the page stops reading is never read, or held, beyond this.
constexpr uint64_t kMaxRangePiece = 8u << 20;

// The methods that log, named as the platform prints a method.
constexpr const char* kLoadMethod = "-[MainViewController Load]";
constexpr const char* kReviewSwitchMethod =
    "-[MainViewController HandleReviewSwitchResponse:response:error:]";

// Logs an error synchronously, as from `method` at `line` of this file.
template <class... Args>
void logError(const char* method, int line, const char* format, const Args&... args) {
  LGLog::logLevelFlagContextFileFunctionLineTagFormat(
      false, kErrorLevel, LGLogFlagError, 0, __FILE__, method, line, Value(), format, args...);
}

// Info.plist text of `key`, or "" when missing or not a string.
std::string infoString(const char* key) {
  return NSBundle::mainBundle()->objectForInfoDictionaryKey(key).stringOr();
}

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// `text` read as a signed decimal number the way the platform's texts read one: white space
// first is skipped, a sign may follow, then the leading digits count (0 when there are none;
// held at the 64-bit limits).
int64_t leadingNumber(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && isBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t n = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    int digit = text[i] - '0';
    if (n > (INT64_MAX - digit) / 10) return negative ? INT64_MIN : INT64_MAX;
    n = n * 10 + digit;
  }
  return negative ? -n : n;
}

bool allBlank(const std::string& text) { return std::all_of(text.begin(), text.end(), isBlank); }

// Opens `path` for reading only when it names a regular file. The type is checked before
// the open, and the open does not wait, so a named pipe or a device never blocks the
// caller; the open file is checked again in case the path changed in between. -1 otherwise.
int openRegularFile(const std::string& path, uint64_t* size) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  *size = static_cast<uint64_t>(st.st_size);
  return fd;
}

// `text` in the Unicode normal forms it is not already in (composed, decomposed): the other
// spellings of a name that a phone's file system takes as the same name. None for ASCII or
// text that is not UTF-8.
std::vector<std::string> otherNormalisations(const std::string& text) {
  std::vector<std::string> forms;
  bool ascii = std::all_of(text.begin(), text.end(),
                           [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii || !isValidUTF8(text)) return forms;
  for (const char* form : {"Any-NFC", "Any-NFD"}) {
    std::optional<std::string> other = applyStringTransform(text, form);
    if (other && *other != text && std::find(forms.begin(), forms.end(), *other) == forms.end())
      forms.push_back(std::move(*other));
  }
  return forms;
}

NSErrorRef notFoundError() { return NSError::make(NSCocoaErrorDomain, 404, Dictionary()); }

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Reads `length` bytes at `offset` of `fd` straight into the answer's buffer; fewer when the
// file ends first or a read fails (*readError then holds the errno value).
Data readRange(int fd, uint64_t offset, uint64_t length, int* readError) {
  Data bytes = Data::uninitialized(length);
  uint64_t got = 0;
  while (got < length) {
    ssize_t n =
        ::pread(fd, bytes.mutableBytes() + got, length - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) *readError = errno;
    if (n <= 0) break;
    got += static_cast<uint64_t>(n);
  }
  bytes.setLength(got);
  return bytes;
}

// Answers `task` with `response` and then `length` bytes of `fd` from `offset`, in order, in
// pieces of at most kFileChunk, each read only once the task has room for it, so a large file
// or range never sits in memory whole. The first piece is read before the response is given,
// so a small answer reaches the main thread in one go. Ends the task: finished once every
// byte was handed over; failed (a read error of `filePath`) when fewer can be read, before
// the response when the first piece is already short; left alone once stopped.
void answerWithFileBytes(int fd, uint64_t offset, uint64_t length, const std::string& filePath,
                         const std::shared_ptr<NSURLResponse>& response,
                         const WKURLSchemeTaskRef& task) {
  int readError = 0;
  uint64_t want = std::min(kFileChunk, length);
  Data bytes = readRange(fd, offset, want, &readError);
  if (task->isStopped()) return;
  uint64_t sent = 0;
  if (bytes.length() == want) {
    task->didReceiveResponse(response);
    while (!task->isStopped()) {
      sent += bytes.length();
      if (!bytes.empty()) task->didReceiveData(std::move(bytes));
      if (sent >= length || task->isStopped()) break;
      want = std::min(kFileChunk, length - sent);
      bytes = readRange(fd, offset + sent, want, &readError);
      if (bytes.length() < want) break;  // the file shrank or cannot be read: a corrupt asset
    }
  }
  if (task->isStopped()) return;
  if (sent < length)
    task->didFailWithError(fileErrorFromErrno(readError ? readError : EIO, filePath, false));
  else
    task->didFinish();
}

// The whole content of the regular file at `path`, or nullopt (see openRegularFile).
std::optional<std::string> readRegularFile(const std::string& path) {
  uint64_t size = 0;
  int fd = openRegularFile(path, &size);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return text;
}

// Forwards the "local" scheme to the controller without the configuration keeping it alive.
class LocalSchemeForwarder : public WKURLSchemeHandler {
 public:
  explicit LocalSchemeForwarder(std::weak_ptr<MainViewController> owner)
      : owner_(std::move(owner)) {}
  void webViewStartURLSchemeTask(const WKWebViewRef& webView,
                                 const WKURLSchemeTaskRef& task) override {
    if (auto o = owner_.lock()) {
      o->webViewStartURLSchemeTask(webView, task);
    } else {
      task->didFailWithError(notFoundError());
    }
  }
  void webViewStopURLSchemeTask(const WKWebViewRef& webView,
                                const WKURLSchemeTaskRef& task) override {
    if (auto o = owner_.lock()) o->webViewStopURLSchemeTask(webView, task);
  }
  bool readsRequestBody() const override { return false; }

 private:
  std::weak_ptr<MainViewController> owner_;
};

// Collects the review-switch answer and hands it to the controller.
class ReviewSwitchDelegate : public NSURLSessionDelegate {
 public:
  explicit ReviewSwitchDelegate(std::weak_ptr<MainViewController> owner)
      : owner_(std::move(owner)) {}
  void URLSessionDataTaskDidReceiveData(const NSURLSessionRef&, const NSURLSessionDataTaskRef&,
                                        const Data& data) override {
    body_.append(data);
  }
  // Handled on the main queue, where the controller lives: the session's own queue never holds
  // the controller, so its last reference (and its web view) is never let go of off the main
  // thread.
  void URLSessionTaskDidCompleteWithError(const NSURLSessionRef&, const NSURLSessionTaskRef& task,
                                          const NSErrorRef& error) override {
    dispatch_async(dispatch_get_main_queue(),
                   [owner = owner_, body = body_, response = task->response(), error] {
                     auto o = owner.lock();
                     if (!o) return;
                     o->HandleReviewSwitchResponse(body, response, error);
                     o->Load();
                   });
  }

 private:
  std::weak_ptr<MainViewController> owner_;
  Data body_;
};

}  // namespace

std::shared_ptr<MainViewController> MainViewController::instantiateFromStoryboard() {
  auto vc = std::make_shared<MainViewController>();
  vc->didInit();
  return vc;
}

std::shared_ptr<MainViewController> MainViewController::self() {
  return std::static_pointer_cast<MainViewController>(shared_from_this());
}

void MainViewController::loadView() {
  CGRect screen = UIScreen::mainScreen().bounds();
  auto root = make<UIView>(screen);
  root->setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);
  holderView_ = make<UIView>(CGRectMake(0, 0, screen.size.width, screen.size.height));
  holderView_->setAutoresizingMask(UIViewAutoresizingFlexibleWidth |
                                   UIViewAutoresizingFlexibleHeight);
  root->addSubview(holderView_);
  setView(root);
}

void MainViewController::viewDidLoad() {
  UIViewController::viewDidLoad();
  if (!queue_) queue_ = dispatch_queue_create(kFileQueueLabel, DISPATCH_QUEUE_CONCURRENT);
  // The fallback page is read from the Data folder: its path must be known before Load.
  basePath_ = NSBundle::mainBundle()->bundlePath() + "/Data";
  InitWebView();
  Load();
  LoadLocalSettings();
  // The page's "Reload" command loads the page again.
  std::weak_ptr<MainViewController> weak = self();
  SysPlugin::SetReloadFunc([weak] {
    if (auto me = weak.lock()) me->Load();
  });
}

void MainViewController::InitWebView() {
  if (webView_) return;
  auto config = WKWebViewConfiguration::make();
  config->preferences()->setJavaScriptCanOpenWindowsAutomatically(false);
  config->preferences()->setJavaScriptEnabled(true);
  config->setAllowsInlineMediaPlayback(true);
  config->setMediaTypesRequiringUserActionForPlayback(WKAudiovisualMediaTypeNone);
  config->setURLSchemeHandlerForURLScheme(std::make_shared<LocalSchemeForwarder>(self()),
                                          kLocalScheme);
  view();  // the storyboard's views
  CGRect holder = holderView_->frame();
  auto web = WKWebView::make(CGRectMake(0, 0, holder.size.width, holder.size.height), config);
  web->setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);
  web->setUIDelegate(self());
  web->setNavigationDelegate(self());
  web->scrollView()->setContentInsetAdjustmentBehavior(UIScrollViewContentInsetAdjustmentNever);
  holderView_->addSubview(web);
  webView_ = web;
  IOSPlugin::SetWebView(web);
}

void MainViewController::Load() {
  std::weak_ptr<MainViewController> weak = self();
  std::string pageURL = GetUrl();
  if (!pageURL.empty()) {
    dispatch_async(dispatch_get_main_queue(), [weak, pageURL] {
      auto me = weak.lock();
      if (!me || !me->webView_) return;
      // The page shown goes away: nothing it asked for is answered to the new one.
      IOSPlugin::EndPage();
      me->latestLoad_ = me->webView_->loadRequest(NSURLRequest::requestWithURL(pageURL));
    });
    return;
  }
  std::string path = GetAssetPath("/index.html");
  std::optional<std::string> html = path.empty() ? std::nullopt : readRegularFile(path);
  if (!html) {
    logError(kLoadMethod, __LINE__, "index error: %@", path);
    return;
  }
  dispatch_async(dispatch_get_main_queue(), [weak, text = std::move(*html)] {
    auto me = weak.lock();
    if (!me || !me->webView_) return;
    IOSPlugin::EndPage();
    me->latestLoad_ = me->webView_->loadHTMLStringBaseURL(text, me->GetBaseUrl());
  });
}

std::string MainViewController::GetUrl() const {
  std::string host = infoString("LM_GAME_HOST");
  if (host.empty()) return "";
  while (!host.empty() && host.back() == '/') host.pop_back();
  return plat::format("%@?timestamp=%@", host + kGamePagePath, GetCurrentTimestamp());
}

std::string MainViewController::GetBaseUrl() const {
  std::string base = infoString("LM_URL");
  if (base.empty()) return "";
  return plat::format("%@?timestamp=%@", base, GetCurrentTimestamp());
}

std::string MainViewController::GetCurrentTimestamp() {
  return plat::format("%.0f", Clock::current()->date().timeIntervalSince1970());
}

std::string MainViewController::GetMD5(const std::string& text) {
  unsigned char digest[CC_MD5_DIGEST_LENGTH];
  CC_MD5(text.data(), text.size(), digest);
  std::string hex;
  char buf[3];
  for (unsigned char b : digest) {
    std::snprintf(buf, sizeof buf, "%02x", b);
    hex += buf;
  }
  return hex;
}

void MainViewController::RequestURL() {
  std::string host = infoString("LM_REVIEW_HOST");
  if (host.empty() || NSBundle::mainBundle()->infoDictionary().empty()) return;
  while (!host.empty() && host.back() == '/') host.pop_back();
  auto request = NSMutableURLRequest::requestWithURL(host + kReviewSwitchPath);
  request->setHTTPMethod("POST");
  request->setCachePolicy(NSURLRequestReloadIgnoringLocalCacheData);
  std::string time = GetCurrentTimestamp();
  auto info = [](const char* key) {
    return NSBundle::mainBundle()->objectForInfoDictionaryKey(key);
  };
  std::string body = plat::format("%@=%@&", "appid", info("LM_APP_ID")) +
                     plat::format("%@=%@&", "gameid", info("LM_GAME_ID")) +
                     plat::format("%@=%@&", "pack_name", info("CFBundleIdentifier")) +
                     plat::format("%@=%@&", "version", info("CFBundleVersion")) +
                     plat::format("%@=%@&", "time", time) +
                     plat::format("%@=%@", "token", GetMD5(std::string(kReviewSwitchSalt) + time));
  request->setHTTPBody(Data::fromString(body));
  auto config = NSURLSessionConfiguration::defaultSessionConfiguration();
  config->setTimeoutIntervalForRequest(5.0);
  config->setAllowsCellularAccess(true);
  auto session = NSURLSession::sessionWithConfigurationDelegateDelegateQueue(
      config, std::make_shared<ReviewSwitchDelegate>(self()), nullptr);
  auto task = session->dataTaskWithRequest(request);
  if (task) task->resume();
  session->finishTasksAndInvalidate();
}

void MainViewController::HandleReviewSwitchResponse(const Data& data, const NSURLResponseRef&,
                                                    const NSErrorRef& error) {
  if (error) {
    logError(kReviewSwitchMethod, __LINE__, "request url error: %@", error->localizedDescription());
    return;
  }
  std::string text = data.toString();
  NSErrorRef parseError;
  Value json = NSJSONSerialization::JSONObjectWithData(
      data, NSJSONSerialization::NSJSONReadingMutableContainers, &parseError);
  if (json.isNil() || parseError) {
    logError(kReviewSwitchMethod, __LINE__, "json parse error: %@", text);
    return;
  }
  // A body that is not an object, or a "data" that is not one, is a data error.
  const Value& code = json["code"];
  if (!json.isDictionary() || code.isNil() || code.isNull()) {
    logError(kReviewSwitchMethod, __LINE__, "request url data error: %@", text);
    return;
  }
  if (code.intValue() != 200) {
    LGLog::logLevelFlagContextFileFunctionLineTagFormat(
        true, kErrorLevel, LGLogFlagWarning, 0, __FILE__, kReviewSwitchMethod, __LINE__, Value(),
        "request url: code %d", code.intValue());
    return;
  }
  const Value& payload = json["data"];
  const Value& content = payload["content"];
  if (!payload.isDictionary() || content.isNil() || content.isNull()) {
    logError(kReviewSwitchMethod, __LINE__, "request url data error: %@", text);
    return;
  }
  std::lock_guard<std::mutex> lock(urlMutex_);
  url_ = content.description();
}

std::string MainViewController::url() const {
  std::lock_guard<std::mutex> lock(urlMutex_);
  return url_;
}

// ---- Asset table ----

void MainViewController::LoadLocalSettings() {
  basePath_ = NSBundle::mainBundle()->bundlePath() + "/Data";
  char* real = ::realpath(basePath_.c_str(), nullptr);
  baseRealPath_ = real ? real : "";
  std::free(real);
  fileDict_ = Value();
  std::optional<std::string> text =
      readRegularFile(plat::format("%@/%@", basePath_, kAssetTableName));
  if (!text) return;
  NSErrorRef error;
  Value table = NSJSONSerialization::JSONObjectWithString(
      *text, NSJSONSerialization::NSJSONReadingMutableContainers, &error);
  if (!error && table.isDictionary()) fileDict_ = table;
}

std::string MainViewController::GetAssetPath(const std::string& path) const {
  if (path.empty()) return path;
  return basePath_ + path;
}

std::string MainViewController::GetAssetMIME(const std::string& path) const {
  if (path.empty()) return kDefaultMIME;
  const std::string* mime = fileDict_[path]["mime"].string();
  if (!mime && fileDict_.isDictionary()) {
    // The table may spell the path in another Unicode normal form than the request.
    for (const std::string& other : otherNormalisations(path)) {
      if ((mime = fileDict_[other]["mime"].string())) break;
    }
  }
  return mime ? *mime : kDefaultMIME;
}

std::string MainViewController::GetAssetEncoding(const std::string& path) const {
  if (path.empty()) return "";
  const std::string* encoding = fileDict_[path]["encoding"].string();
  return encoding ? *encoding : "";
}

// ---- Script panels ----

bool MainViewController::webViewRunJavaScriptAlertPanelWithMessageInitiatedByFrameCompletionHandler(
    const WKWebViewRef&, const std::string&, const WKFrameInfo&, std::function<void()> done) {
  if (done) done();
  return true;
}

bool MainViewController::
    webViewRunJavaScriptConfirmPanelWithMessageInitiatedByFrameCompletionHandler(
        const WKWebViewRef&, const std::string&, const WKFrameInfo&,
        std::function<void(bool)> done) {
  if (done) done(true);
  return true;
}

bool MainViewController::
    webViewRunJavaScriptTextInputPanelWithPromptDefaultTextInitiatedByFrameCompletionHandler(
        const WKWebViewRef&, const std::string&, const std::string&, const WKFrameInfo&,
        std::function<void(std::optional<std::string>)> done) {
  if (done) done(std::nullopt);
  return true;
}

// ---- Navigation ----

void MainViewController::webViewDidStartProvisionalNavigation(const WKWebViewRef&,
                                                              const WKNavigationRef& navigation) {
  // A navigation the page started itself is the latest load as well, and ends the page: it
  // either replaces it or fails and is retried with a new load.
  if (navigation && navigation != latestLoad_) IOSPlugin::EndPage();
  if (navigation) latestLoad_ = navigation;
}

void MainViewController::webViewDidCommitNavigation(const WKWebViewRef&, const WKNavigationRef&) {
  // A new document: what the old one asked for since the load began (it ran until now) ends.
  IOSPlugin::EndPage();
}

void MainViewController::webViewDidFailProvisionalNavigationWithError(
    const WKWebViewRef&, const WKNavigationRef& navigation, const NSErrorRef&) {
  NSLog("Load Fail");
  // A load superseded by a newer one is not a failure of the page: the newer load runs. The
  // error code cannot tell: the engine reports an answer it cannot show with the same cancel
  // code, and that load must be retried.
  if (navigation && latestLoad_ && navigation != latestLoad_) return;
  ScheduleRetry();
}

void MainViewController::webViewDidFailNavigationWithError(const WKWebViewRef&,
                                                           const WKNavigationRef&,
                                                           const NSErrorRef&) {
  NSLog("Load Fail");
}

void MainViewController::ScheduleRetry() {
  if (retryPending_) return;
  retryPending_ = true;
  std::weak_ptr<MainViewController> weak = self();
  dispatch_after(dispatch_time(DISPATCH_TIME_NOW, 1000000000LL), dispatch_get_main_queue(), [weak] {
    auto me = weak.lock();
    if (!me) return;
    me->retryPending_ = false;
    me->Load();
  });
}

// ---- "local" scheme ----

std::string MainViewController::ContainedAssetPath(const std::string& urlPath) const {
  if (urlPath.empty() || urlPath[0] != '/' || basePath_.empty()) return "";
  if (urlPath.find('\0') != std::string::npos) return "";
  // Normalise the segments: "." stays, ".." goes up, and going up from the Data folder itself
  // leaves it.
  std::vector<std::string_view> segments;
  std::string_view rest(urlPath);
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    std::string_view segment = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (segment.empty() || segment == ".") continue;
    if (segment == "..") {
      if (segments.empty()) return "";
      segments.pop_back();
      continue;
    }
    segments.push_back(segment);
  }
  if (segments.empty()) return "";
  std::string path = basePath_;
  for (auto segment : segments) {
    path += '/';
    path += segment;
  }
  return path;
}

std::string MainViewController::OtherlyNormalisedAssetPath(const std::string& filePath) const {
  if (filePath.size() <= basePath_.size() || filePath.compare(0, basePath_.size(), basePath_) != 0)
    return "";
  // Name by name from the Data folder: each name as asked, or else its other spelling.
  std::string found = basePath_;
  bool changed = false;
  std::string_view rest = std::string_view(filePath).substr(basePath_.size() + 1);
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    std::string name(rest.substr(0, slash));
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    struct stat st;
    if (::lstat((found + '/' + name).c_str(), &st) == 0) {
      found += '/' + name;
      continue;
    }
    bool matched = false;
    for (const std::string& other : otherNormalisations(name)) {
      if (::lstat((found + '/' + other).c_str(), &st) == 0) {
        found += '/' + other;
        matched = changed = true;
        break;
      }
    }
    if (!matched) return "";
  }
  return changed ? found : "";
}

int MainViewController::OpenContainedFile(const std::string& filePath, uint64_t* size) const {
  // Links are followed, but only to files that are themselves inside the Data folder.
  char* real = ::realpath(filePath.c_str(), nullptr);
  if (!real && errno == ENOENT) {
    // A name written in another Unicode normal form than the file's names the same file.
    std::string other = OtherlyNormalisedAssetPath(filePath);
    if (!other.empty()) real = ::realpath(other.c_str(), nullptr);
  }
  if (!real) return -1;
  std::string resolved(real);
  std::free(real);
  if (baseRealPath_.empty() || resolved.size() <= baseRealPath_.size() + 1 ||
      resolved.compare(0, baseRealPath_.size(), baseRealPath_) != 0 ||
      resolved[baseRealPath_.size()] != '/') {
    return -1;
  }
  return openRegularFile(resolved, size);
}

void MainViewController::webViewStartURLSchemeTask(const WKWebViewRef&,
                                                   const WKURLSchemeTaskRef& task) {
  if (!task) return;
  auto url = task->request() ? NSURL::URLWithString(task->request()->URL()) : nullptr;
  std::string urlPath = url ? url->path() : "";
  std::string filePath = ContainedAssetPath(urlPath);
  if (filePath.empty()) {
    task->didFailWithError(notFoundError());
    return;
  }
  // Whether the file exists is asked on the file queue: the main thread never waits for the
  // disk. A missing file still fails the task before any response.
  auto me = self();
  if (endsWith(filePath, "mp4")) {
    auto range = task->request()->valueForHTTPHeaderField("Range");
    const std::string prefix = "bytes=";
    if (!range || range->compare(0, prefix.size(), prefix) != 0 ||
        range->find('-', prefix.size()) == std::string::npos) {
      dispatch_async(queue_, [task] { task->didFailWithError(notFoundError()); });
      return;
    }
    size_t dash = range->find('-', prefix.size());
    std::string startText = range->substr(prefix.size(), dash - prefix.size());
    std::string endText = range->substr(dash + 1);
    dispatch_async(queue_, [me, filePath, urlPath, startText, endText, task] {
      me->ServeLocalFileRange(filePath, urlPath, startText, endText, task);
    });
    return;
  }
  dispatch_async(queue_,
                 [me, filePath, urlPath, task] { me->ServeLocalFile(filePath, urlPath, task); });
}

void MainViewController::webViewStopURLSchemeTask(const WKWebViewRef&, const WKURLSchemeTaskRef&) {
  // A stopped task is marked by the web view; the file work checks the mark before every
  // call and leaves it alone from then on.
}

void MainViewController::ServeLocalFileRange(const std::string& filePath,
                                             const std::string& urlPath,
                                             const std::string& startText,
                                             const std::string& endText,
                                             const WKURLSchemeTaskRef& task) {
  if (task->isStopped()) return;
  uint64_t size = 0;
  int fd = OpenContainedFile(filePath, &size);
  if (fd < 0) {
    task->didFailWithError(notFoundError());
    return;
  }
  const int64_t fileSize = static_cast<int64_t>(size);
  int64_t start, end;
  if (allBlank(startText) && !endText.empty() && endText != "*") {
    // Suffix form: the last N bytes.
    int64_t n = leadingNumber(endText);
    // None, or a negative count: nothing to satisfy.
    start = n <= 0 ? -1 : n >= fileSize ? 0 : fileSize - n;
    end = fileSize - 1;
  } else {
    start = leadingNumber(startText);
    end = (endText.empty() || endText == "*") ? fileSize - 1 : leadingNumber(endText);
    if (end > fileSize - 1) end = fileSize - 1;
  }
  HTTPHeaderFields headers;
  if (start < 0 || start >= fileSize || start > end) {
    headers.set("Content-Range", plat::format("bytes */%lld", static_cast<long long>(fileSize)));
    headers.set("Content-Length", "0");
    headers.set("Access-Control-Allow-Origin", "*");
    headers.set("Access-Control-Allow-Methods", "GET, POST, OPTIONS");
    ::close(fd);
    if (task->isStopped()) return;
    task->didReceiveResponse(
        std::make_shared<NSHTTPURLResponse>(task->request()->URL(), 416, "HTTP/1.1", headers));
    task->didFinish();
    return;
  }
  // A long or open range is answered with its first piece.
  const uint64_t length = std::min(static_cast<uint64_t>(end - start + 1), kMaxRangePiece);
  end = start + static_cast<int64_t>(length) - 1;
  headers.set("Content-Type", GetAssetMIME(urlPath));
  headers.set("Content-Length", std::to_string(length));
  headers.set("Content-Range",
              plat::format("bytes %lld-%lld/%lld", static_cast<long long>(start),
                           static_cast<long long>(end), static_cast<long long>(fileSize)));
  headers.set("Connection", "keep-alive");
  headers.set("Access-Control-Allow-Origin", "*");
  headers.set("Access-Control-Allow-Methods", "GET, POST, OPTIONS");
  answerWithFileBytes(
      fd, static_cast<uint64_t>(start), length, filePath,
      std::make_shared<NSHTTPURLResponse>(task->request()->URL(), 206, "HTTP/1.1", headers), task);
  ::close(fd);
}

void MainViewController::ServeLocalFile(const std::string& filePath, const std::string& urlPath,
                                        const WKURLSchemeTaskRef& task) {
  if (task->isStopped()) return;
  uint64_t size = 0;
  int fd = OpenContainedFile(filePath, &size);
  if (fd < 0) {
    task->didFailWithError(notFoundError());
    return;
  }
  HTTPHeaderFields headers;
  headers.set("Content-Type", GetAssetMIME(urlPath));
  headers.set("Content-Length", std::to_string(size));
  headers.set("Access-Control-Allow-Origin", "*");
  headers.set("Access-Control-Allow-Methods", "GET, POST, OPTIONS");
  answerWithFileBytes(
      fd, 0, size, filePath,
      std::make_shared<NSHTTPURLResponse>(task->request()->URL(), 200, "HTTP/1.1", headers), task);
  ::close(fd);
}
