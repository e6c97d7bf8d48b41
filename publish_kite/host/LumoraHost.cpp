#include "publish_kite/host/LumoraHost.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>

#include "KRH5Plugin/IOSPlugin.h"
#include "KRH5Plugin/IOSPluginSupport.h"
#include "logging/LGLog.h"
#include "platform/device/AVCaptureSession.h"
#include "platform/device/PermissionStore.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/foundation/DeviceRoot.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/foundation/NSLog.h"
#include "platform/foundation/NSPropertyListSerialization.h"
#include "platform/network/SCNetworkReachability.h"
#include "platform/uikit/UIApplicationMain.h"
#include "platform/uikit/UIRenderer.h"
#include "publish_kite/host/AutoChannel.h"

using namespace plat;

namespace {

constexpr const char* kHostHandlerName = "lumoraHost";
// The empty blank page the engine shows in place of a page it refused to load (the load
// failed) is no page load.
constexpr const char* kLoadProbe =
    "window.addEventListener('load', function () {"
    " var d = document;"
    " if (d.URL === 'about:blank' && !(d.head && d.head.firstChild) &&"
    "     !(d.body && d.body.firstChild)) return;"
    " window.webkit.messageHandlers.lumoraHost.postMessage('load'); });";

long long monotonicNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Prints `line` as one line: line breaks inside it are written as \n and \r.
void printLine(const std::string& line) {
  std::string one;
  one.reserve(line.size());
  for (char c : line) {
    if (c == '\n') {
      one += "\\n";
    } else if (c == '\r') {
      one += "\\r";
    } else {
      one += c;
    }
  }
  static std::mutex* mu = new std::mutex();
  std::lock_guard<std::mutex> lock(*mu);
  std::fwrite(one.data(), 1, one.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

constexpr const char* kUsage =
    "usage: lumora --bundle DIR --device DIR [--seconds N] "
    "[--screenshot FILE] [--auto-channel] [--online] [--camera IMAGE]\n";

int usage(const std::string& why) {
  writeToStandardError("lumora: " + why + "\n" + kUsage);
  return 2;
}

// Prints each message of a bridge handler, then hands it on.
class PrintingHandler : public WKScriptMessageHandler {
 public:
  PrintingHandler(std::string name, WKScriptMessageHandlerRef inner)
      : name_(std::move(name)), inner_(std::move(inner)) {}
  void userContentControllerDidReceiveScriptMessage(const WKUserContentControllerRef& controller,
                                                    const WKScriptMessageRef& message) override {
    std::string json = NSJSONSerialization::stringWithJSONObject(
        message->body(), NSJSONSerialization::NSJSONWritingFragmentsAllowed |
                             NSJSONSerialization::NSJSONWritingWithoutEscapingSlashes);
    printLine("bridge> " + name_ + " " + (json.empty() ? "null" : json));
    inner_->userContentControllerDidReceiveScriptMessage(controller, message);
  }

 private:
  std::string name_;
  WKScriptMessageHandlerRef inner_;
};

class LoadProbeHandler : public WKScriptMessageHandler {
 public:
  explicit LoadProbeHandler(std::function<void()> onLoad) : onLoad_(std::move(onLoad)) {}
  void userContentControllerDidReceiveScriptMessage(const WKUserContentControllerRef&,
                                                    const WKScriptMessageRef&) override {
    onLoad_();
  }

 private:
  std::function<void()> onLoad_;
};

// Written to by the signal handler, read by the thread that ends the application.
int gSignalPipe[2] = {-1, -1};

void onEndingSignal(int) {
  int saved = errno;
  char byte = 1;
  ssize_t ignored = ::write(gSignalPipe[1], &byte, 1);
  (void)ignored;
  errno = saved;
}

}  // namespace

LumoraHost::LumoraHost() : startNs_(monotonicNs()) {}

int LumoraHost::Prepare(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string text;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--bundle") {
      if (!value(bundle_)) return usage("--bundle needs a folder");
    } else if (arg == "--device") {
      if (!value(device_)) return usage("--device needs a folder");
    } else if (arg == "--screenshot") {
      if (!value(screenshot_)) return usage("--screenshot needs a file name");
    } else if (arg == "--camera") {
      if (!value(camera_)) return usage("--camera needs an image file");
    } else if (arg == "--auto-channel") {
      autoChannel_ = true;
    } else if (arg == "--online") {
      online_ = true;
    } else if (arg == "--seconds") {
      if (!value(text)) return usage("--seconds needs a number");
      char* end = nullptr;
      seconds_ = std::strtod(text.c_str(), &end);
      if (!end || *end || !(seconds_ >= 0))
        return usage("--seconds needs a number of seconds >= 0");
    } else {
      return usage("unknown argument \"" + arg + "\"");
    }
  }
  if (bundle_.empty() || device_.empty()) return usage("--bundle and --device are required");

  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_directory(bundle_, ec)) return usage("bundle \"" + bundle_ + "\" is not a folder");
  std::string plist = bundle_ + "/Info.plist";
  if (!fs::is_regular_file(plist, ec) || ::access(plist.c_str(), R_OK) != 0) {
    return usage("bundle \"" + bundle_ + "\" has no readable Info.plist");
  }
  bundle_ = fs::absolute(bundle_, ec).lexically_normal().string();
  while (bundle_.size() > 1 && bundle_.back() == '/') bundle_.pop_back();
  NSBundle::setMainBundlePath(bundle_);
  // An empty dictionary is a bundle with every key missing; anything else is refused.
  auto infoBytes = dataWithContentsOfFile(plist);
  if (!infoBytes ||
      !NSPropertyListSerialization::propertyListWithData(*infoBytes).dictionary()) {
    return usage("bundle \"" + bundle_ +
                 "\" has an Info.plist that is not a property list "
                 "dictionary");
  }
  // Every path the application hands out (the documents folder the page builds its paths
  // from) is absolute, whatever the current folder is later.
  device_ = fs::absolute(device_, ec).lexically_normal().string();
  while (device_.size() > 1 && device_.back() == '/') device_.pop_back();
  NSErrorRef error;
  if (!DeviceRoot::setPath(device_, &error)) {
    return usage("device root \"" + device_ + "\" cannot be used: " +
                 (error ? error->localizedDescription() : std::string("unknown error")));
  }

  // SIGINT and SIGTERM end the application from a thread of their own, as the phone does.
  // A handler rather than a blocked mask: libraries start threads before main (the web
  // engine's allocator does), and a thread that has not blocked them would take the signal
  // and end the process on the spot.
  if (::pipe2(gSignalPipe, O_CLOEXEC) == 0) {
    // A burst of signals must not block the handler once the pipe is full.
    ::fcntl(gSignalPipe[1], F_SETFL, O_NONBLOCK);
    struct sigaction action {};
    action.sa_handler = onEndingSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::thread([] {
      char byte;
      for (;;) {
        ssize_t n = ::read(gSignalPipe[0], &byte, 1);
        if (n == 1) UIApplicationRequestTermination();
        else if (n == 0 || errno != EINTR) return;
      }
    }).detach();
  }

  if (seconds_ >= 0) {
    dispatch_after(seconds_, dispatch_get_main_queue(), [] { UIApplicationRequestTermination(); });
  }

  // The device has a camera only when a picture stands for what it sees: camera pickers
  // take that picture, and the QR scanner's capture session sees it as its frames.
  if (!camera_.empty()) {
    struct stat st;
    std::optional<Data> bytes;
    if (::stat(camera_.c_str(), &st) == 0 && S_ISREG(st.st_mode))
      bytes = dataWithContentsOfFile(camera_);
    UIImageRef picture = bytes ? UIImage::imageWithData(*bytes) : nullptr;
    if (!picture) return usage("camera picture \"" + camera_ + "\" is not an image file");
    AVCaptureFakeCamera::setPicture(picture);
    PermissionStore::shared().setCameraAvailable(true);
  } else {
    PermissionStore::shared().setCameraAvailable(false);
  }

  if (autoChannel_) AutoChannel::install();
  // A machine without a default route or a non-loopback address has no network for the
  // platform; --online makes the device report one (loopback servers are reachable anyway).
  if (online_) {
    ReachabilitySource::install(
        std::make_shared<FakeReachabilitySource>(kSCNetworkReachabilityFlagsReachable));
  }
  IOSPluginSetScriptObserver([](const std::string& script) { printLine("bridge< " + script); });
  NSNotificationCenter::defaultCenter().addObserverForNameObjectQueueUsingBlock(
      UIApplicationDidFinishLaunchingNotification, Value(), nullptr,
      [this](const NSNotification&) { AttachToPage(); });
  return -1;
}

void LumoraHost::AttachToPage() {
  auto web = IOSPlugin::GetWebView();
  if (!web) {
    writeToStandardError("lumora: the application made no web view");
    return;
  }
  web->setConsoleObserver(
      [](const WKWebView::ConsoleMessage& m) { printLine("console." + m.level + ": " + m.text); });
  web->setPageErrorObserver([](const std::string& e) { printLine("console.error: " + e); });
  auto content = web->configuration()->userContentController();
  for (const auto& name : content->handlerNames()) {
    auto inner = content->handlerForName(name);
    if (!inner) continue;
    content->removeScriptMessageHandlerForName(name);
    content->addScriptMessageHandlerName(std::make_shared<PrintingHandler>(name, inner), name);
  }
  content->addScriptMessageHandlerName(std::make_shared<LoadProbeHandler>([this] {
                                         if (loadReported_) return;
                                         loadReported_ = true;
                                         writeToStandardError(
                                             format("lumora: page load event %.1f ms after start",
                                                    (monotonicNs() - startNs_) / 1e6));
                                       }),
                                       kHostHandlerName);
  content->addUserScript(
      WKUserScript::make(kLoadProbe, WKUserScriptInjectionTimeAtDocumentStart, true));
}

void LumoraHost::Finish() {
  auto web = IOSPlugin::GetWebView();
  if (!screenshot_.empty() && web) {
    // The page as drawn now, composited by the renderer under and over the native views.
    bool done = false;
    web->takeSnapshotWithCompletionHandler([&done](const UIImageRef&, const NSErrorRef& error) {
      if (error) {
        writeToStandardError("lumora: no picture of the page: " + error->localizedDescription());
      }
      done = true;
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done && std::chrono::steady_clock::now() < deadline)
      RunLoop::main()->runOnce(kCFRunLoopDefaultMode, 0.05);
  }
  if (!screenshot_.empty()) {
    auto window = UIApplication::sharedApplication().keyWindow();
    if (!window || !UIRenderer::writePNG(window, screenshot_)) {
      writeToStandardError("lumora: could not write the screenshot \"" + screenshot_ + "\"");
    }
  }
  LGLog::flushLog();
  std::fflush(stdout);
}
