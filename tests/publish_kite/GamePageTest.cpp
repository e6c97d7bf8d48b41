// Loading the game page from the game host: the page address and its time stamp, retries
// while the host cannot be reached, superseded loads, script panels, reloads, and the
// review-switch request.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>

#include "AppTestSupport.h"
#include "KRH5Plugin/IOSPlugin.h"
#include "KRH5Plugin/SysPlugin.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/NSLog.h"
#include "publish_kite/Classes/ViewController/MainViewController.h"
#include "testing/loop/Pump.h"
#include "testing/net/LoopbackServer.h"
#include "tests/logging/LGTestSupport.h"

using namespace plat;

namespace {

constexpr const char* kPage = "/mrzd4/index/native_ios/release/index.html";

struct GamePage : ::testing::Test {
  testing_loop::VirtualClockScope clock;
  WKWebView::KeepPageLogForTesting keepPageLog;
  TempBundle bundle;
  testing_net::LoopbackServer server;
  std::shared_ptr<MainViewController> vc;
  std::mutex logMu;
  std::vector<std::string> nslog;

  void SetUp() override {
    setNSLogCaptureForTesting([this](const std::string& line) {
      std::lock_guard<std::mutex> lock(logMu);
      nslog.push_back(line);
    });
  }
  void TearDown() override {
    setNSLogCaptureForTesting({});
    // The bridge keeps the web view; without it the web view's connections to the server
    // close, and the server stops at once.
    vc.reset();
    SysPlugin::ResetForTesting();
    IOSPlugin::ResetForTesting();
    testing_loop::runUntilIdle();
  }

  int loadFails() {
    std::lock_guard<std::mutex> lock(logMu);
    return static_cast<int>(std::count(nslog.begin(), nslog.end(), "Load Fail"));
  }
  std::string host() const { return "http://127.0.0.1:" + std::to_string(server.port()); }
  void start() {
    vc = MainViewController::instantiateFromStoryboard();
    vc->loadViewIfNeeded();
  }
  bool consoleHas(const std::string& text) {
    for (auto& m : vc->webView()->consoleMessages())
      if (m.text == text) return true;
    return false;
  }
  std::vector<std::string> pageQueries() {
    std::vector<std::string> out;
    for (auto& r : server.requests())
      if (r.path == kPage) out.push_back(r.query);
    return out;
  }
};

TEST_F(GamePage, ThePageAddressCarriesTheCurrentWholeSeconds) {
  server.respond(kPage, 200, "<script>console.log('game page');</script>", "text/html");
  bundle.writeInfo({{"LM_GAME_HOST", host() + "/"}});
  std::string stamp = MainViewController::GetCurrentTimestamp();
  EXPECT_EQ(stamp, std::to_string(static_cast<long long>(
                       std::llround(Clock::current()->date().timeIntervalSince1970()))));
  start();
  ASSERT_TRUE(testing_loop::runUntil([&] { return consoleHas("game page"); }));
  EXPECT_EQ(pageQueries(), std::vector<std::string>{"timestamp=" + stamp});
  EXPECT_EQ(vc->GetUrl(), host() + kPage + "?timestamp=" + stamp);
  // The web view fills the container of the storyboard.
  EXPECT_EQ(vc->webView()->superview(), vc->holderView());
  EXPECT_TRUE(CGRectEqualToRect(vc->webView()->frame(), vc->holderView()->bounds()));

  // Loading again: a new time stamp once the clock has moved on, the same within a second.
  testing_loop::advance(5);
  vc->Load();
  ASSERT_TRUE(testing_loop::runUntil([&] { return pageQueries().size() == 2; }));
  EXPECT_EQ(pageQueries()[1], "timestamp=" + std::to_string(std::stoll(stamp) + 5));
}

TEST_F(GamePage, AnUnreachableHostIsAskedAgainEverySecondUntilThePageLoads) {
  TempBundle down;
  down.writeInfo(
      {{"LM_GAME_HOST", "http://127.0.0.1:" + std::to_string(testing_net::unusedLoopbackPort())}});
  start();
  ASSERT_TRUE(testing_loop::runUntil([&] { return loadFails() == 1; }));
  testing_loop::advance(0.9);
  EXPECT_EQ(loadFails(), 1);
  EXPECT_FALSE(vc->webView()->isLoading());
  testing_loop::advance(0.1);
  ASSERT_TRUE(testing_loop::runUntil([&] { return loadFails() == 2; }));
  testing_loop::advance(1);
  ASSERT_TRUE(testing_loop::runUntil([&] { return loadFails() == 3; }));

  // The host comes up: the next retry loads the page, and the retries stop.
  server.respond(kPage, 200, "<script>console.log('up');</script>", "text/html");
  bundle.writeInfo({{"LM_GAME_HOST", host()}});
  testing_loop::advance(1);
  ASSERT_TRUE(testing_loop::runUntil([&] { return consoleHas("up"); }));
  testing_loop::advance(3);
  ASSERT_TRUE(testing_loop::runUntilIdle());
  EXPECT_EQ(loadFails(), 3);
  EXPECT_EQ(pageQueries().size(), 1u);
}

TEST_F(GamePage, ALoadSupersededByANewerOneSchedulesNoRetry) {
  std::atomic<int> calls{0};
  server.route(kPage, [&](const testing_net::Request&, testing_net::Response& res) {
    if (calls.fetch_add(1) == 0) {
      res.hang = true;
      return;
    }
    res.body = "<script>console.log('second');</script>";
    res.contentType = "text/html";
  });
  bundle.writeInfo({{"LM_GAME_HOST", host()}});
  start();
  ASSERT_TRUE(testing_loop::runUntil([&] { return calls.load() == 1; }));
  vc->Load();
  ASSERT_TRUE(testing_loop::runUntil([&] { return consoleHas("second"); }));
  EXPECT_EQ(loadFails(), 1);
  testing_loop::advance(3);
  ASSERT_TRUE(testing_loop::runUntilIdle());
  EXPECT_EQ(calls.load(), 2);
}

// The engine reports an answer it cannot show (a download) with the same cancel code as a
// superseded load; only a newer load means no retry.
TEST_F(GamePage, AnAnswerTheWebViewCannotShowIsAskedForAgain) {
  std::atomic<int> calls{0};
  server.route(kPage, [&](const testing_net::Request&, testing_net::Response& res) {
    bool first = calls.fetch_add(1) == 0;
    res.body = first ? "binary" : "<script>console.log('shown');</script>";
    res.contentType = first ? "application/octet-stream" : "text/html";
  });
  bundle.writeInfo({{"LM_GAME_HOST", host()}});
  start();
  ASSERT_TRUE(testing_loop::runUntil([&] { return loadFails() == 1; }));
  testing_loop::advance(1);
  ASSERT_TRUE(testing_loop::runUntil([&] { return consoleHas("shown"); }));
  EXPECT_EQ(calls.load(), 2);
}

TEST_F(GamePage, ScriptPanelsAreAnsweredAtOnce) {
  server.respond(kPage, 200,
                 "<script>alert('hello'); console.log('after alert');"
                 "console.log('confirm ' + confirm('sure?'));"
                 "console.log('prompt ' + prompt('name?', 'x'));</script>",
                 "text/html");
  bundle.writeInfo({{"LM_GAME_HOST", host()}});
  start();
  ASSERT_TRUE(testing_loop::runUntil([&] { return consoleHas("prompt null"); }));
  EXPECT_TRUE(consoleHas("after alert"));
  EXPECT_TRUE(consoleHas("confirm true"));
  EXPECT_EQ(vc->preferredStatusBarStyle(), 1);
}

TEST_F(GamePage, WithoutAGameHostNorAFallbackPageNothingIsLoadedAndTheErrorIsLogged) {
  auto logger = std::make_shared<RecordingLogger>();
  LGLog::addLogger(logger);
  bundle.writeInfo({{"LM_GAME_HOST", ""}});
  start();
  EXPECT_EQ(vc->GetUrl(), "");
  EXPECT_EQ(vc->GetBaseUrl(), "");
  ASSERT_TRUE(testing_loop::runUntilIdle());
  LGLog::flushLog();
  const std::string indexError = "index error: " + bundle.path() + "/Data/index.html";
  EXPECT_EQ(logger->texts(), std::vector<std::string>{indexError});
  EXPECT_EQ(logger->messages()[0].function(), "-[MainViewController Load]");
  EXPECT_TRUE(callSiteHolds(logger->messages()[0], "index error"));
  EXPECT_EQ(vc->webView()->URL(), "");

  // A fallback page that is not a regular file counts as missing: a named pipe is never
  // opened, so the load cannot wait for a writer that never comes.
  std::filesystem::create_directories(bundle.path() + "/Data");
  ASSERT_EQ(::mkfifo((bundle.path() + "/Data/index.html").c_str(), 0600), 0);
  vc->Load();
  ASSERT_TRUE(testing_loop::runUntilIdle());
  LGLog::flushLog();
  EXPECT_EQ(logger->texts(), (std::vector<std::string>{indexError, indexError}));
  EXPECT_EQ(vc->webView()->URL(), "");
  LGLog::removeLogger(logger);
}

TEST_F(GamePage, TheReviewSwitchPostsTheSignedFormAndKeepsTheAnsweredAddress) {
  server.respond("/api2/game_audit/geturl", 200,
                 R"({"code": 200, "data": {"content": "http://review.example/page"}})",
                 "application/json");
  server.respond(kPage, 200, "<script>console.log('page');</script>", "text/html");
  bundle.writeInfo({{"LM_GAME_HOST", host()},
                    {"LM_REVIEW_HOST", host()},
                    {"LM_APP_ID", "11"},
                    {"LM_GAME_ID", "22"},
                    {"CFBundleVersion", "1.2"}});
  start();
  ASSERT_TRUE(testing_loop::runUntil([&] { return consoleHas("page"); }));
  std::string time = MainViewController::GetCurrentTimestamp();
  vc->RequestURL();
  ASSERT_TRUE(testing_loop::runUntil([&] { return pageQueries().size() == 2; }));
  EXPECT_EQ(vc->url(), "http://review.example/page");
  auto requests = server.requests();
  auto review = std::find_if(requests.begin(), requests.end(),
                             [](auto& r) { return r.path == "/api2/game_audit/geturl"; });
  ASSERT_NE(review, requests.end());
  EXPECT_EQ(review->method, "POST");
  EXPECT_EQ(review->body,
            "appid=11&gameid=22&pack_name=com.example.lumora.test&version=1.2&time=" + time +
                "&token=" + MainViewController::GetMD5("5c7e19a0b3d24f86e1a97c03d5b28f4e" + time));
  EXPECT_EQ(MainViewController::GetMD5(""), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST_F(GamePage, MalformedReviewSwitchAnswersAreLoggedAndKeepNoAddress) {
  auto logger = std::make_shared<RecordingLogger>();
  LGLog::addLogger(logger);
  bundle.writeInfo({});
  vc = MainViewController::instantiateFromStoryboard();
  auto answer = [&](const std::string& body) {
    vc->HandleReviewSwitchResponse(Data::fromString(body), nullptr, nullptr);
  };
  vc->HandleReviewSwitchResponse(Data(), nullptr, NSError::make(NSURLErrorDomain, -1004, "down"));
  answer("not json");
  answer("[1, 2]");
  answer(R"({"data": {"content": "x"}})");
  answer(R"({"code": 500})");
  answer(R"({"code": 200, "data": "text"})");
  answer(R"({"code": 200, "data": {"content": null}})");
  LGLog::flushLog();
  EXPECT_EQ(logger->texts(),
            (std::vector<std::string>{
                "request url error: down",
                "json parse error: not json",
                "request url data error: [1, 2]",
                "request url data error: {\"data\": {\"content\": \"x\"}}",
                "request url: code 500",
                "request url data error: {\"code\": 200, \"data\": \"text\"}",
                "request url data error: {\"code\": 200, \"data\": {\"content\": null}}",
            }));
  // Each record names the method in the platform's form and the line of its call.
  std::vector<std::string> calls = {"request url error",      "json parse error",
                                    "request url data error", "request url data error",
                                    "request url: code",      "request url data error",
                                    "request url data error"};
  auto messages = logger->messages();
  ASSERT_EQ(messages.size(), calls.size());
  for (size_t i = 0; i < messages.size(); ++i) {
    EXPECT_EQ(messages[i].function(),
              "-[MainViewController HandleReviewSwitchResponse:response:error:]");
    EXPECT_TRUE(callSiteHolds(messages[i], calls[i])) << messages[i].line();
  }
  EXPECT_NE(messages[0].line(), messages[1].line());
  EXPECT_NE(messages[1].line(), messages[2].line());
  EXPECT_EQ(vc->url(), "");
  answer(R"({"code": "200", "data": {"content": "http://ok"}})");
  EXPECT_EQ(vc->url(), "http://ok");
}

// A device that takes every page's asks for screens and answers them when the test says.
class LateAnswers : public SysInterface {
 public:
  int asks = 0;
  void ScanQRCode() override { ++asks; }
  void SelectImage(int32_t) override { ++asks; }
  void CropImage(const Text&) override { ++asks; }
  void Photograph(const Text&) override { ++asks; }
  void ShowAlert() override { ++asks; }
  void OpenUrl(const Text&) override { ++asks; }
  static void answerAll() {
    SysPlugin::OnScanQRCode("code");
    SysPlugin::OnSelectImage("[\"/a.jpg\"]");
    SysPlugin::OnCropImage("{\"result\":true}");
    SysPlugin::OnPhotograph("{\"result\":true}");
    SysPlugin::OnAlertViewClick(1);
    SysPlugin::OnOpenUrl("{\"result\":true}");
  }
};

// The late answers of the device (a scan, picked images, a crop, a photograph, an alert tap,
// the in-app web page) belong to the page that asked: once a new page has replaced it (its
// reload, a failed navigation's retry, a page of another origin), none of them reaches it.
TEST_F(GamePage, ADevicesLateAnswersReachOnlyThePageThatAskedForThem) {
  const std::string page =
      "<script>var t = {};"
      "['onScanQRCode', 'onSelectImage', 'onCropImage', 'onPhotograph', 'onAlertViewClick',"
      " 'onOpenUrl'].forEach(function (e) {"
      "  t[e] = function (v) { console.log('heard ' + e + ' ' + JSON.stringify(v)); }; });"
      "LM_IOS.SetCallback(t);"
      "console.log('ready ' + location.host);</script>";
  testing_net::LoopbackServer other;
  server.respond(kPage, 200, page, "text/html");
  other.respond("/other.html", 200, page, "text/html");
  bundle.writeInfo({{"LM_GAME_HOST", host()}});
  auto device = std::make_shared<LateAnswers>();
  SysPlugin::Register();
  SysPlugin::Load();
  SysPlugin::SetInterfaceForTesting(device);
  start();

  // The console lines of every page so far that start with `prefix`.
  auto lines = [&](const std::string& prefix) {
    int n = 0;
    for (auto& m : vc->webView()->consoleMessages()) n += m.text.rfind(prefix, 0) == 0;
    return n;
  };
  auto eval = [&](const std::string& script) {
    vc->webView()->evaluateJavaScriptCompletionHandler(script);
  };
  auto askAll = [&] {
    int before = device->asks;
    eval(
        "LM_IOS.ScanQRCode(); LM_IOS.SelectImage(2); LM_IOS.CropImage({path: 'a'});"
        "LM_IOS.Photograph({path: 'b'}); LM_IOS.ShowAlert(); LM_IOS.OpenUrl('https://x.test/');");
    return testing_loop::runUntil([&] { return device->asks == before + 6; });
  };
  // Answers, then a mark through the same road: what comes before the mark has been heard.
  auto answerAllAndMark = [&](const std::string& mark) {
    LateAnswers::answerAll();
    SysPlugin::CallJS("console.log('" + mark + "');");
    return testing_loop::runUntil([&] { return lines(mark) == 1; });
  };
  ASSERT_TRUE(testing_loop::runUntil([&] { return lines("ready ") == 1; }));

  std::string down = "http://127.0.0.1:" + std::to_string(testing_net::unusedLoopbackPort());
  const std::pair<const char*, std::function<void()>> steps[] = {
      {"LM_IOS.Reload()", [&] { eval("LM_IOS.Reload();"); }},
      {"a failed navigation retried",
       [&] {
         eval("location.href = '" + down + "/';");
         testing_loop::runUntil([&] { return loadFails() == 1; });
         testing_loop::advance(1);
       }},
      {"another origin",
       [&] {
         eval("location.href = 'http://127.0.0.1:" + std::to_string(other.port()) +
              "/other.html';");
       }},
  };
  int pages = 1;
  for (const auto& [how, replace] : steps) {
    SCOPED_TRACE(how);
    ASSERT_TRUE(askAll());
    replace();
    ASSERT_TRUE(testing_loop::runUntil([&] { return lines("ready ") == pages + 1; }));
    ++pages;
    ASSERT_TRUE(answerAllAndMark(std::string("after ") + how));
    EXPECT_EQ(lines("heard "), 0);
  }
  EXPECT_EQ(vc->webView()->URL().rfind("http://127.0.0.1:" + std::to_string(other.port()), 0), 0u);

  // The page shown hears the answers it asked for.
  ASSERT_TRUE(askAll());
  ASSERT_TRUE(answerAllAndMark("answered"));
  EXPECT_EQ(lines("heard "), 6);
}

}  // namespace
