// The script bridge in a real web view: a plugin built on the common pattern, the reply forms
// and their escaping, the registry's wiring, and the console handler's logging.

#include <gtest/gtest.h>

#include <thread>

#include "KRH5Plugin/IOSHandler.h"
#include "KRH5Plugin/IOSPlugin.h"
#include "KRH5Plugin/IOSPluginSupport.h"
#include "logging/LGFileLogger.h"
#include "logging/LGOSLogger.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "testing/loop/Pump.h"
#include "tests/logging/LGTestSupport.h"

using namespace plat;

namespace {

// The test plugin's script object, shaped like the system's plugins.
constexpr const char* kTestScript = R"JS(
(function () {
  var callbacks = {};
  var obj = window.Test_IOS || {};
  window.Test_IOS = obj;
  console.log('Init Test');
  obj.Ask = function (what, cb) {
    if (typeof what !== 'string' || typeof cb !== 'function') {
      console.warn('Test_IOS.Ask param error');
      return;
    }
    callbacks['Test_Ask_CbFunc'] = cb;
    window.webkit.messageHandlers.iOS_Test.postMessage({name: 'Ask', args: what});
  };
  obj.SetCallback = function (table) {
    if (typeof table !== 'object' || table === null) {
      console.warn('Test_IOS.SetCallback param error');
      return;
    }
    for (var k in table) if (typeof table[k] === 'function') callbacks[k] = table[k];
  };
  obj.CallFunc = function (name, args) {
    var f = callbacks[name];
    if (typeof f !== 'function') {
      console.warn('Test_IOS.CallFunc ' + name + ' not exist');
      return;
    }
    if (Object.prototype.toString.call(args) === '[object Array]') f.apply(null, args);
    else f(args);
  };
})();
)JS";

// Texts that break naive escaping.
const std::vector<std::string> kHostile = {
    "say \"hi\" and 'bye'",
    "back\\slash \\n \\\" \\u0041",
    "line one\nline two\r\nthree",
    "sep\xE2\x80\xA8"
    "and\xE2\x80\xA9"
    "end",
    "tab\there \x01\x1f del\x7f",
    "  a nickname  with   spaces ",
    "</script><script>alert(1)</script>",
    "\xE4\xB8\xAD\xE6\x96\x87 caf\xC3\xA9",
    "",
};

IOSPluginState& testState() {
  static auto* s = new IOSPluginState("iOS_Test", kTestScript);
  return *s;
}

// Answers "Ask" with the reply form its argument names.
class TestHandler : public WKScriptMessageHandler {
 public:
  void userContentControllerDidReceiveScriptMessage(const WKUserContentControllerRef&,
                                                    const WKScriptMessageRef& m) override {
    const Dictionary* body = m->body().dictionary();
    if (!body || body->get("name").stringOr() != "Ask") return;
    std::string what = body->get("args").stringOr();
    const std::string obj = "Test_IOS", cb = "Test_Ask_CbFunc";
    if (what == "pair") testState().CallJS(IOSPluginReplyJSON(obj, cb, "[1, 2]"));
    if (what == "empty") testState().CallJS(IOSPluginReplyJSON(obj, cb, "[ ]"));
    if (what == "object")
      testState().CallJS(IOSPluginReplyJSON(obj, cb, "{\n  \"a b\" : \"x y\",\n  \"n\" : 1\n}"));
    if (what == "none") testState().CallJS(IOSPluginReply(obj, cb));
    if (what == "int") testState().CallJS(IOSPluginReplyInt(obj, cb, -7));
    if (what == "bool") testState().CallJS(IOSPluginReplyBool(obj, cb, false));
    if (what == "event") testState().CallJS(IOSPluginReply(obj, "onMissing"));
    if (what.rfind("text", 0) == 0) {
      const std::string& s = kHostile[std::stoul(what.substr(4))];
      testState().CallJS(IOSPluginReplyText(obj, cb, s));
    }
    if (what.rfind("json", 0) == 0) {
      const std::string& s = kHostile[std::stoul(what.substr(4))];
      std::string json = NSJSONSerialization::stringWithJSONObject(
          Dictionary{{"nick", s}}, NSJSONSerialization::NSJSONWritingPrettyPrinted);
      testState().CallJS(IOSPluginReplyJSON(obj, cb, json));
    }
  }
};

// Records what the page sends back.
class ResultHandler : public WKScriptMessageHandler {
 public:
  std::vector<Value> bodies;
  void userContentControllerDidReceiveScriptMessage(const WKUserContentControllerRef&,
                                                    const WKScriptMessageRef& m) override {
    bodies.push_back(m->body());
  }
};

IOSPluginClass testPlugin(std::vector<std::string>* calls, const std::string& tag) {
  IOSPluginClass p;
  p.Load = [calls, tag] { calls->push_back(tag + ".Load"); };
  p.Unload = [calls, tag] { calls->push_back(tag + ".Unload"); };
  p.SetWebView = [calls, tag](const WKWebViewRef&) { calls->push_back(tag + ".SetWebView"); };
  p.SetInterface = [calls, tag](const ObjectRef&) { calls->push_back(tag + ".SetInterface"); };
  return p;
}

// Leaves the registry, the test plugin's state, the script observer and the hub as they were:
// the plugins registered here point at the test's own objects.
struct CleanBridge : ::testing::Test {
  void TearDown() override {
    IOSPluginSetScriptObserver({});
    IOSPlugin::ResetForTesting();
    testState().ResetForTesting();
    LGLog::resetForTesting();
    testing_loop::runUntilIdle();
  }
};
using BridgeRegistry = CleanBridge;
using BridgeConsole = CleanBridge;

struct Bridge : CleanBridge {
  WKWebView::KeepPageLogForTesting keepPageLog;
  WKWebViewRef web = WKWebView::make(CGRectMake(0, 0, 320, 480), WKWebViewConfiguration::make());
  std::shared_ptr<ResultHandler> results = std::make_shared<ResultHandler>();

  void SetUp() override {
    IOSPluginClass sys;
    sys.SetWebView = [](const WKWebViewRef& w) {
      testState().SetWebView(w, [] { return std::make_shared<TestHandler>(); });
    };
    IOSPlugin::RegisterPlugin(IOSPlugin::kSysPlugin, sys);
    IOSPlugin::SetWebView(web);
    web->configuration()->userContentController()->addScriptMessageHandlerName(results,
                                                                               "iOS_Result");
  }
  void load(const std::string& script) {
    web->loadHTMLStringBaseURL("<script>" + script + "\nconsole.log('ready');</script>", "");
    ASSERT_TRUE(testing_loop::runUntil([&] { return has("ready"); }));
  }
  bool has(const std::string& text, const std::string& level = "") {
    for (auto& m : web->consoleMessages())
      if (m.text == text && (level.empty() || m.level == level)) return true;
    return false;
  }
  std::vector<std::string> texts() {
    std::vector<std::string> out;
    for (auto& m : web->consoleMessages()) out.push_back(m.text);
    return out;
  }
};

constexpr const char* kReport =
    "function report(label) { return function () {"
    "  var a = Array.prototype.slice.call(arguments);"
    "  console.log(label + ' ' + a.length + ' ' + JSON.stringify(a) + ' ' + typeof arguments[0]);"
    "}; }";

TEST_F(Bridge, InjectedObjectsAndHandlersExistInEveryNewPage) {
  load(
      "console.log('objects ' + typeof Test_IOS + ' ' + typeof webkit.messageHandlers.iOS_Test"
      " + ' ' + typeof webkit.messageHandlers.iOS_Console);");
  EXPECT_EQ(texts().front(), "Init Test");
  EXPECT_TRUE(has("objects object object object"));
  auto names = web->configuration()->userContentController()->handlerNames();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"iOS_Console", "iOS_Result", "iOS_Test"}));
  // The script is injected once, at document start, for the main frame only.
  auto scripts = web->configuration()->userContentController()->userScripts();
  ASSERT_EQ(scripts.size(), 1u);
  EXPECT_EQ(scripts[0]->injectionTime(), WKUserScriptInjectionTimeAtDocumentStart);
  EXPECT_TRUE(scripts[0]->isForMainFrameOnly());
}

TEST_F(Bridge, RepliesCallTheStoredCallbackWithTheirValues) {
  load(std::string(kReport) +
       "Test_IOS.Ask('pair', report('pair'));"
       "Test_IOS.Ask('empty', report('empty'));"
       "Test_IOS.Ask('object', report('object'));"
       "Test_IOS.Ask('none', report('none'));"
       "Test_IOS.Ask('int', report('int'));"
       "Test_IOS.Ask('bool', report('bool'));");
  // One callback slot per command: every reply reaches the callback of the last call.
  ASSERT_TRUE(testing_loop::runUntil([&] { return texts().size() >= 8; }));
  EXPECT_TRUE(has("bool 2 [1,2] number"));
  EXPECT_TRUE(has("bool 0 [] undefined"));
  EXPECT_TRUE(has("bool 1 [{\"a b\":\"x y\",\"n\":1}] object"));  // spaces inside kept
  EXPECT_TRUE(has("bool 1 [null] undefined"));                    // a reply without value
  EXPECT_TRUE(has("bool 1 [-7] number"));
  EXPECT_TRUE(has("bool 1 [false] boolean"));
}

TEST_F(Bridge, MisuseIsReportedAsPageWarnings) {
  load(
      "Test_IOS.SetCallback(null); Test_IOS.SetCallback({onLogin: 5});"
      "Test_IOS.Ask(5, function () {});"
      "Test_IOS.Ask('event', function () {});");
  ASSERT_TRUE(testing_loop::runUntil([&] { return has("Test_IOS.CallFunc onMissing not exist"); }));
  EXPECT_TRUE(has("Test_IOS.SetCallback param error", "warn"));
  EXPECT_TRUE(has("Test_IOS.Ask param error", "warn"));
  EXPECT_TRUE(has("Test_IOS.CallFunc onMissing not exist", "warn"));
}

TEST_F(Bridge, HostileTextsReachThePageExactlyAsTextAndInsideJSON) {
  std::string script =
      "function back(kind) { return function (v) {"
      "  webkit.messageHandlers.iOS_Result.postMessage({kind: kind,"
      "    value: typeof v === 'string' ? v : v.nick}); }; }";
  load(script);
  // Each question waits for its answer, as every answer goes to the one callback slot.
  for (size_t i = 0; i < kHostile.size(); ++i) {
    for (std::string kind : {"text", "json"}) {
      size_t before = results->bodies.size();
      web->evaluateJavaScriptCompletionHandler("Test_IOS.Ask('" + kind + std::to_string(i) +
                                               "', back('" + kind + "'));");
      ASSERT_TRUE(testing_loop::runUntil([&] { return results->bodies.size() > before; }))
          << kind << i;
      EXPECT_EQ(results->bodies.back()["value"].stringOr("<not text>"), kHostile[i]) << kind << i;
    }
  }
  EXPECT_TRUE(web->pageErrors().empty());

  EXPECT_EQ(IOSPluginEscapeScriptString("a\"b\\c\nd\re\xE2\x80\xA8"), "a\\\"b\\\\c\\nd\\re\\u2028");
  EXPECT_EQ(IOSPluginCompactJSON("{ \"a b\" : [ 1 , \"x \\\" y\" ] }\n"),
            "{\"a b\":[1,\"x \\\" y\"]}");
  EXPECT_EQ(IOSPluginReplyJSON("LM_IOS", "Sys_X_CbFunc", "{ \"k\" : \"v w\" }"),
            "LM_IOS.CallFunc(\"Sys_X_CbFunc\", JSON.parse(\"{\\\"k\\\":\\\"v w\\\"}\"));");
}

TEST_F(Bridge, CallJSFromAnyThreadIsPostedToTheMainQueue) {
  load("");
  std::vector<std::string> seen;
  IOSPluginSetScriptObserver([&](const std::string& s) { seen.push_back(s); });
  std::thread([] { IOSPlugin::CallJS("console.log('from a worker');"); }).join();
  IOSPlugin::CallJS("console.log('from main');");
  EXPECT_TRUE(seen.empty());  // nothing evaluated inside the calls
  ASSERT_TRUE(testing_loop::runUntil([&] { return has("from main"); }));
  EXPECT_TRUE(has("from a worker"));
  EXPECT_EQ(seen, (std::vector<std::string>{"console.log('from a worker');",
                                            "console.log('from main');"}));
  IOSPluginSetScriptObserver({});

  // A reply still on its way when a new page replaces the one it was for is dropped.
  IOSPlugin::CallJS("console.log('for the old page');");
  IOSPlugin::EndPage();
  IOSPlugin::CallJS("console.log('for the new page');");
  ASSERT_TRUE(testing_loop::runUntil([&] { return has("for the new page"); }));
  EXPECT_FALSE(has("for the old page"));
}

TEST_F(BridgeRegistry, WiresPluginsByKindAndOrder) {
  std::vector<std::string> calls;
  IOSPlugin::RegisterPlugin(IOSPlugin::kSysPlugin, testPlugin(&calls, "Sys"));
  IOSPlugin::RegisterPlugin(IOSPlugin::kKiteSDKPlugin, testPlugin(&calls, "Kite"));
  IOSPlugin::RegisterPlugin(IOSPlugin::kHSSDKPlugin, testPlugin(&calls, "HS"));
  IOSPlugin::RegisterPlugin(IOSPlugin::kMXSDKPlugin, testPlugin(&calls, "MX"));
  auto object = std::make_shared<Object>();

  IOSPlugin::SetInterfaceWithName(object, "MXSDK");
  IOSPlugin::SetInterfaceWithName(nullptr, "KiteSDK");
  EXPECT_EQ(IOSPlugin::GetSDKKind(), IOSPlugin::kSDKNone);
  EXPECT_TRUE(calls.empty());
  IOSPlugin::SetInterfaceWithName(object, "KiteSDK");
  EXPECT_EQ(IOSPlugin::GetSDKKind(), IOSPlugin::kSDKKiteSDK);

  IOSPlugin::Load();
  auto web = WKWebView::make(CGRectMake(0, 0, 10, 10), WKWebViewConfiguration::make());
  IOSPlugin::SetWebView(web);
  IOSPlugin::SetWebView(web);  // the same web view again changes nothing
  IOSPlugin::Unload();
  EXPECT_EQ(calls, (std::vector<std::string>{"Kite.SetInterface", "Sys.Load", "Kite.Load",
                                             "HS.Load", "MX.Load", "Sys.SetWebView",
                                             "Kite.SetWebView", "MX.SetWebView", "Sys.Unload",
                                             "Kite.Unload", "HS.Unload", "MX.Unload"}));
  // Loading set up the rolling file logger (hourly, 48 files) and the system-log logger.
  auto loggers = LGLog::allLoggers();
  ASSERT_EQ(loggers.size(), 2u);
  auto file = std::dynamic_pointer_cast<LGFileLogger>(loggers[0]);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->rollingFrequency(), 3600);
  EXPECT_EQ(file->logFileManager()->maximumNumberOfLogFiles(), 48u);
  EXPECT_EQ(loggers[1], std::dynamic_pointer_cast<LGLogger>(LGOSLogger::sharedInstance()));
  EXPECT_EQ(IOSPlugin::GetWebView(), web);
}

TEST_F(BridgeRegistry, AWebViewSeenBeforeGetsItsHandlerReplaced) {
  auto a = WKWebView::make(CGRectMake(0, 0, 10, 10), WKWebViewConfiguration::make());
  auto b = WKWebView::make(CGRectMake(0, 0, 10, 10), WKWebViewConfiguration::make());
  IOSPlugin::SetWebView(a);
  auto first = a->configuration()->userContentController()->handlerForName("iOS_Console");
  IOSPlugin::SetWebView(b);
  IOSPlugin::SetWebView(a);
  auto second = a->configuration()->userContentController()->handlerForName("iOS_Console");
  ASSERT_TRUE(first && second);
  EXPECT_NE(first, second);
  EXPECT_TRUE(b->configuration()->userContentController()->handlerForName("iOS_Console"));
  EXPECT_EQ(IOSPlugin::GetWebView(), a);
}

TEST_F(BridgeConsole, WarningsAndErrorsOfThePageAreLogged) {
  auto logger = std::make_shared<RecordingLogger>();
  LGLog::addLogger(logger);
  IOSHandler handler;
  auto post = [&](Value body) {
    handler.userContentControllerDidReceiveScriptMessage(
        nullptr,
        std::make_shared<WKScriptMessage>("iOS_Console", body, std::weak_ptr<WKWebView>()));
  };
  post(Dictionary{{"name", "console_error"}, {"args", "boom"}});
  // Errors are synchronous: the logger has it when the handler returns.
  ASSERT_EQ(logger->texts(), std::vector<std::string>{"js_error: boom"});
  post(Dictionary{{"name", "console_warn"}, {"args", "careful"}});
  post(Dictionary{{"name", "console_log"}, {"args", "quiet"}});
  post(Dictionary{{"name", "console_other"}, {"args", "x"}});
  post(Value("not a dictionary"));
  post(Value());
  post(Dictionary{{"args", "no name"}});
  LGLog::flushLog();
  auto messages = logger->messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].flag(), LGLogFlagError);
  EXPECT_EQ(messages[1].text(), "js_warn: careful");
  EXPECT_EQ(messages[1].flag(), LGLogFlagWarning);
  EXPECT_EQ(messages[1].level(), 3u);
  EXPECT_EQ(messages[1].context(), 0);
  for (const auto& m : messages) {
    EXPECT_EQ(m.function(), "-[IOSHandler userContentController:didReceiveScriptMessage:]");
  }
  EXPECT_TRUE(callSiteHolds(messages[0], "js_error"));
  EXPECT_TRUE(callSiteHolds(messages[1], "js_warn"));
}

TEST_F(Bridge, BytesThatAreNotUTF8StillGiveAReplyWithReplacementCharacters) {
  load(
      "function back(v) { webkit.messageHandlers.iOS_Result.postMessage("
      "  typeof v === 'string' ? v : v.v); }"
      "Test_IOS.SetCallback({Test_Ask_CbFunc: back});");
  const std::string fffd = "\xEF\xBF\xBD";
  testState().CallJS(IOSPluginReplyText("Test_IOS", "Test_Ask_CbFunc", "bad \xff\xfe end"));
  testState().CallJS(IOSPluginReplyJSON("Test_IOS", "Test_Ask_CbFunc", "{\"v\": \"cut \xc3\"}"));
  // Overlong form of '/', an encoded surrogate, and a sequence beyond U+10FFFF.
  testState().CallJS(
      IOSPluginReplyText("Test_IOS", "Test_Ask_CbFunc", "\xC0\xAF|\xED\xA0\x80|\xF4\x90\x80\x80"));
  ASSERT_TRUE(testing_loop::runUntil([&] { return results->bodies.size() == 3; }));
  EXPECT_EQ(results->bodies[0].stringOr(), "bad " + fffd + fffd + " end");
  EXPECT_EQ(results->bodies[1].stringOr(), "cut " + fffd);
  EXPECT_EQ(results->bodies[2].stringOr(),
            fffd + fffd + "|" + fffd + fffd + fffd + "|" + fffd + fffd + fffd + fffd);
  EXPECT_TRUE(web->pageErrors().empty());
}

}  // namespace
