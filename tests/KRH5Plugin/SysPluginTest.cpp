// The Sys plugin in a real web view: every page method of LM_IOS reaches the interface with
// its argument and answers the page in its reply form; the page events; the page's own checks.

#include <gtest/gtest.h>

#include "KRH5Plugin/HSSDKPlugin.h"
#include "KRH5Plugin/IOSPlugin.h"
#include "KRH5Plugin/KiteSDKPlugin.h"
#include "KRH5Plugin/SysPlugin.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "testing/loop/Pump.h"
#include "tests/KRH5Plugin/PluginPage.h"

using namespace plat;

namespace {

using Text = std::optional<std::string>;

// Records each call as "Name(arg)" and answers with canned results.
class FakeSys : public SysInterface {
 public:
  std::vector<std::string> calls;
  void rec(const char* name, const Text& arg = std::nullopt) {
    calls.push_back(std::string(name) + "(" + (arg ? *arg : "-") + ")");
  }
  void InitSDK() override { rec("InitSDK"); }
  void ReleaseSDK() override { rec("ReleaseSDK"); }
  Text GetAdId() override { return rec("GetAdId"), Text("AD-1"); }
  Text GetIDFV() override { return rec("GetIDFV"), std::nullopt; }
  std::string GetDeviceInfo() override {
    return rec("GetDeviceInfo"), "{\n  \"device\" : \"my phone\"\n}";
  }
  std::string GetDeviceState() override {
    return rec("GetDeviceState"), "{\n  \"batteryLevel\" : 56\n}";
  }
  std::string GetNetworkInfo() override {
    return rec("GetNetworkInfo"), "{\n  \"available\" : true\n}";
  }
  bool CheckPermission(const Text& a) override { return rec("CheckPermission", a), true; }
  Text GetMetaData(const Text& a) override { return rec("GetMetaData", a), Text("{\"k\":[1]}"); }
  void OpenUrl(const Text& a) override { rec("OpenUrl", a); }
  void Vibrate() override { rec("Vibrate"); }
  void SetAppLaunchUrl(const NSURLRef& u) override {
    rec("SetAppLaunchUrl", u ? Text(u->absoluteString()) : std::nullopt);
  }
  Text GetAppLaunchInfo() override { return rec("GetAppLaunchInfo"), Text("{\"scheme\":\"x\"}"); }
  void AddSearchItems(const Text& a) override { rec("AddSearchItems", a); }
  void ClearSearchItems() override { rec("ClearSearchItems"); }
  void CreateAlert(const Text& a) override { rec("CreateAlert", a); }
  void AddAlertButton(const Text& a) override { rec("AddAlertButton", a); }
  void ShowAlert() override { rec("ShowAlert"); }
  void InitKeychain(const Text& a) override { rec("InitKeychain", a); }
  void SetKeychain(const Text& a) override { rec("SetKeychain", a); }
  Text GetKeychain(const Text& a) override {
    return rec("GetKeychain", a), Text("q\"uo te\\ \n\t");
  }
  void DelKeychain(const Text& a) override { rec("DelKeychain", a); }
  void ResetKeychain() override { rec("ResetKeychain"); }
  void SetClipboardText(const Text& a) override { rec("SetClipboardText", a); }
  Text GetClipboardText() override { return rec("GetClipboardText"), std::nullopt; }
  void CreateQRCode(const Text& a) override { rec("CreateQRCode", a); }
  void ScanQRCode() override { rec("ScanQRCode"); }
  void SelectImage(int32_t n) override { rec("SelectImage", std::to_string(n)); }
  void SaveImageToPhotoAlbum(const Text& a) override { rec("SaveImageToPhotoAlbum", a); }
  void SaveThumbnail(const Text& a) override { rec("SaveThumbnail", a); }
  void CropImage(const Text& a) override { rec("CropImage", a); }
  void Photograph(const Text& a) override { rec("Photograph", a); }
  Text GetDocumentPath() override { return rec("GetDocumentPath"), Text("/docs"); }
  bool CreateDir(const Text& a) override { return rec("CreateDir", a), true; }
  bool MoveFile(const Text& a) override { return rec("MoveFile", a), false; }
  bool CopyFile(const Text& a) override { return rec("CopyFile", a), true; }
  Text GetFilesAtPath(const Text& a) override {
    return rec("GetFilesAtPath", a), Text("[\n  \"a b\",\n  \"c\"\n]");
  }
  Text GetDirsAtPath(const Text& a) override { return rec("GetDirsAtPath", a), Text("[\n\n]"); }
  bool IsExistAtPath(const Text& a) override { return rec("IsExistAtPath", a), true; }
  bool IsDirAtPath(const Text& a) override { return rec("IsDirAtPath", a), false; }
  bool DeleteAtPath(const Text& a) override { return rec("DeleteAtPath", a), true; }
};

struct SysPluginTest : ::testing::Test, plugin_page::PluginPage {
  std::shared_ptr<FakeSys> sys = std::make_shared<FakeSys>();

  void SetUp() override {
    SysPlugin::Register();
    SysPlugin::SetInterfaceForTesting(sys);
    ASSERT_TRUE(attach());
  }
  void TearDown() override {
    SysPlugin::ResetForTesting();
    IOSPlugin::ResetForTesting();
  }
};

struct Row {
  const char* script;     // page call; "back" is the callback
  const char* native;     // the interface call it makes
  const char* reply;      // what the callback receives (JSON of its arguments); null: none
};

TEST_F(SysPluginTest, EveryCommandReachesTheInterfaceAndAnswersInItsForm) {
  const std::vector<Row> rows = {
      {"LM_IOS.CreateQRCode('{\"text\":\"t\"}')", "CreateQRCode({\"text\":\"t\"})", nullptr},
      {"LM_IOS.ScanQRCode()", "ScanQRCode(-)", nullptr},
      {"LM_IOS.InitKeychain('svc')", "InitKeychain(svc)", nullptr},
      {"LM_IOS.SetKeychain({key: 'k', value: 'v w'})", "SetKeychain({\"key\":\"k\",\"value\":\"v w\"})",
       nullptr},
      {"LM_IOS.GetKeychain('k', back)", "GetKeychain(k)", "[\"q\\\"uo te\\\\ \\n\\t\"]"},
      {"LM_IOS.DelKeychain('k')", "DelKeychain(k)", nullptr},
      {"LM_IOS.ResetKeychain()", "ResetKeychain(-)", nullptr},
      {"LM_IOS.CreateAlert({title: 'T', message: 'M'})",
       "CreateAlert({\"title\":\"T\",\"message\":\"M\"})", nullptr},
      {"LM_IOS.AddAlertButton('OK')", "AddAlertButton(OK)", nullptr},
      {"LM_IOS.ShowAlert()", "ShowAlert(-)", nullptr},
      {"LM_IOS.SelectImage(3)", "SelectImage(3)", nullptr},
      {"LM_IOS.SelectImage(1e20)", "SelectImage(2147483647)", nullptr},
      {"LM_IOS.SelectImage(NaN)", "SelectImage(0)", nullptr},
      {"LM_IOS.SaveImageToPhotoAlbum('/p')", "SaveImageToPhotoAlbum(/p)", nullptr},
      {"LM_IOS.SaveThumbnail({width: 2})", "SaveThumbnail({\"width\":2})", nullptr},
      {"LM_IOS.CropImage({})", "CropImage({})", nullptr},
      {"LM_IOS.Photograph({savePath: '/s'})", "Photograph({\"savePath\":\"/s\"})", nullptr},
      {"LM_IOS.GetAdId(back)", "GetAdId(-)", "[\"AD-1\"]"},
      {"LM_IOS.GetIDFV(back)", "GetIDFV(-)", "[\"u\"]"},
      {"LM_IOS.CheckPermission('Photo', back)", "CheckPermission(Photo)", "[true]"},
      {"LM_IOS.GetDeviceInfo(back)", "GetDeviceInfo(-)", "[{\"device\":\"my phone\"}]"},
      {"LM_IOS.GetDeviceState(back)", "GetDeviceState(-)", "[{\"batteryLevel\":56}]"},
      {"LM_IOS.GetNetworkInfo(back)", "GetNetworkInfo(-)", "[{\"available\":true}]"},
      {"LM_IOS.SetClipboardText('c')", "SetClipboardText(c)", nullptr},
      {"LM_IOS.GetClipboardText(back)", "GetClipboardText(-)", "[\"u\"]"},
      {"LM_IOS.OpenUrl('x://y')", "OpenUrl(x://y)", nullptr},
      {"LM_IOS.GetAppLaunchInfo(back)", "GetAppLaunchInfo(-)", "[{\"scheme\":\"x\"}]"},
      {"LM_IOS.Vibrate()", "Vibrate(-)", nullptr},
      {"LM_IOS.GetMetaData('K', back)", "GetMetaData(K)", "[\"{\\\"k\\\":[1]}\"]"},
      {"LM_IOS.AddSearchItems([{id: '1'}])", "AddSearchItems([{\"id\":\"1\"}])", nullptr},
      {"LM_IOS.ClearSearchItems()", "ClearSearchItems(-)", nullptr},
      {"LM_IOS.GetDocumentPath(back)", "GetDocumentPath(-)", "[\"/docs\"]"},
      {"LM_IOS.CreateDir('/d', back)", "CreateDir(/d)", "[true]"},
      {"LM_IOS.MoveFile({srcPath: 'a'}, back)", "MoveFile({\"srcPath\":\"a\"})", "[false]"},
      {"LM_IOS.CopyFile({}, back)", "CopyFile({})", "[true]"},
      {"LM_IOS.GetFilesAtPath('/f', back)", "GetFilesAtPath(/f)", "[\"a b\",\"c\"]"},
      {"LM_IOS.GetDirsAtPath('/f', back)", "GetDirsAtPath(/f)", "[]"},
      {"LM_IOS.IsExistAtPath('/e', back)", "IsExistAtPath(/e)", "[true]"},
      {"LM_IOS.IsDirAtPath('/e', back)", "IsDirAtPath(/e)", "[false]"},
      {"LM_IOS.DeleteAtPath('/e', back)", "DeleteAtPath(/e)", "[true]"},
  };
  for (const auto& row : rows) {
    sys->calls.clear();
    size_t before = results.size();
    web->evaluateJavaScriptCompletionHandler(row.script);
    ASSERT_TRUE(testing_loop::runUntil([&] { return !sys->calls.empty(); })) << row.script;
    EXPECT_EQ(sys->calls.back(), row.native);
    if (row.reply) {
      ASSERT_TRUE(testing_loop::runUntil([&] { return results.size() > before; }))
          << row.script;
      EXPECT_EQ(results.back(), row.reply) << row.script;
    }
  }
  // "Reload" does nothing before the game view sets its block, then runs the block.
  int reloads = 0;
  sys->calls.clear();
  web->evaluateJavaScriptCompletionHandler("LM_IOS.Reload(); LM_IOS.Vibrate();");
  ASSERT_TRUE(testing_loop::runUntil([&] { return !sys->calls.empty(); }));
  SysPlugin::SetReloadFunc([&] { ++reloads; });
  web->evaluateJavaScriptCompletionHandler("LM_IOS.Reload();");
  EXPECT_TRUE(testing_loop::runUntil([&] { return reloads == 1; }));

  // GetAppLaunchInfo handed the kept launch URL (none) to the interface first.
  sys->calls.clear();
  SysPlugin::SetLaunchUrl(NSURL::URLWithString("a://first"));
  SysPlugin::SetLaunchUrl(NSURL::URLWithString("b://second?x=1"));
  web->evaluateJavaScriptCompletionHandler("LM_IOS.GetAppLaunchInfo(back)");
  ASSERT_TRUE(testing_loop::runUntil([&] { return sys->calls.size() == 2; }));
  EXPECT_EQ(sys->calls[0], "SetAppLaunchUrl(b://second?x=1)");
  EXPECT_TRUE(web->pageErrors().empty());
}

TEST_F(SysPluginTest, PageChecksAndMalformedMessagesPostNothing) {
  web->evaluateJavaScriptCompletionHandler(
      "LM_IOS.SelectImage('3'); LM_IOS.GetKeychain('k'); LM_IOS.CreateDir(5, back);"
      "webkit.messageHandlers.iOS_Sys.postMessage({name: 'Nope'});"
      "webkit.messageHandlers.iOS_Sys.postMessage('Vibrate');"
      "webkit.messageHandlers.iOS_Sys.postMessage({name: 'SelectImage'});"
      "webkit.messageHandlers.iOS_Sys.postMessage({name: 'InitKeychain', args: 7});");
  ASSERT_TRUE(testing_loop::runUntil([&] { return sys->calls.size() == 2; }));
  // The message without args asks the picker for 0; a number is no text argument.
  EXPECT_EQ(sys->calls, (std::vector<std::string>{"SelectImage(0)", "InitKeychain(-)"}));
  EXPECT_TRUE(has("LM_IOS.SelectImage param error"));
  EXPECT_TRUE(has("LM_IOS.GetKeychain param error"));
  EXPECT_TRUE(has("LM_IOS.CreateDir param error"));
  EXPECT_TRUE(has("Init Sys"));
}

TEST_F(SysPluginTest, EventsReachThePageInTheirForms) {
  web->evaluateJavaScriptCompletionHandler(
      "LM_IOS.SetCallback({onScanQRCode: back, onCropImage: back, onSelectImage: back,"
      " onAlertViewClick: back, onOpenUrl: back, onEnterBackground: back, onPhotograph: back});");
  auto expect = [&](const std::function<void()>& raise, const std::string& want) {
    size_t before = results.size();
    raise();
    ASSERT_TRUE(testing_loop::runUntil([&] { return results.size() > before; })) << want;
    EXPECT_EQ(results.back(), want);
  };
  testing_loop::runUntilIdle();
  expect([] { SysPlugin::OnScanQRCode("a \"code\"\n with  spaces"); },
         "[\"a \\\"code\\\"\\n with  spaces\"]");
  expect([] { SysPlugin::OnScanQRCode(std::nullopt); }, "[\"u\"]");
  expect([] { SysPlugin::OnCropImage("{\n  \"result\" : true,\n  \"path\" : \"/a b\"\n}"); },
         "[\"{\\\"result\\\":true,\\\"path\\\":\\\"/a b\\\"}\"]");
  expect([] { SysPlugin::OnPhotograph("{\n  \"result\" : false\n}"); },
         "[\"{\\\"result\\\":false}\"]");
  expect([] { SysPlugin::OnSelectImage("[\n  \"/p/1\",\n  \"/p/2\"\n]"); }, "[\"/p/1\",\"/p/2\"]");
  expect([] { SysPlugin::OnAlertViewClick(-1); }, "[-1]");
  expect([] { SysPlugin::OnOpenUrl("{\"url\":\"x\",\"result\":false}"); },
         "[{\"url\":\"x\",\"result\":false}]");
  expect([] { SysPlugin::OnEnterBackground(); }, "[\"u\"]");
}

TEST_F(SysPluginTest, LoadCreatesOneInterfaceAndUnloadReleasesIt) {
  SysPlugin::ResetForTesting();
  SysPlugin::Load();
  auto first = SysPlugin::GetInterface();
  ASSERT_TRUE(first);
  SysPlugin::Load();
  EXPECT_EQ(SysPlugin::GetInterface(), first);
  SysPlugin::SetLaunchUrl(NSURL::URLWithString("k://kept"));
  SysPlugin::SetReloadFunc([] {});
  SysPlugin::Unload();
  EXPECT_FALSE(SysPlugin::GetInterface());
  EXPECT_FALSE(SysPlugin::GetReloadFunc());
  EXPECT_TRUE(SysPlugin::GetLaunchUrl());
}

// The text a plugin puts between a reply's double quotes: compact, with the blanks inside
// strings kept and every quote and backslash escaped, the same in every plugin.
TEST(ProcessInjectString, MakesATextReadyForAReplyAlikeInEveryPlugin) {
  const std::string json = "{\n  \"a b\" : \"x \\\"y\\\" \\\\ z\",\r\n  \"n\" : [1, 2]\n}";
  const std::string ready = R"({\"a b\":\"x \\\"y\\\" \\\\ z\",\"n\":[1,2]})";
  for (auto process : {&SysPlugin::ProcessInjectString, &HSSDKPlugin::ProcessInjectString,
                       &KiteSDKPlugin::ProcessInjectString}) {
    EXPECT_EQ(process(json), ready);
    EXPECT_EQ(process(std::string("")), "");
    EXPECT_FALSE(process(std::nullopt).has_value());
  }
}

}  // namespace
