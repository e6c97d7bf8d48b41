#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSLocale.h"
#include "platform/foundation/NSPropertyListSerialization.h"

namespace plat {
namespace {

class BundleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = std::getenv("LUMORA_TEST_OUTPUT");
    std::string root = base ? base : "/tmp";
    fm().createDirectoryAtPathWithIntermediateDirectoriesAttributesError(root, true);
    std::string templ = root + "/bundle-XXXXXX";
    ASSERT_TRUE(mkdtemp(templ.data()));
    app_ = templ + "/Game.app";
    Dictionary info{{"CFBundleIdentifier", Value("com.example.game")},
                    {"KITE_PRODUCT_CODE", Value(1024)},
                    {"UIBackgroundModes", Value(Array{Value("audio")})}};
    put("Info.plist", NSPropertyListSerialization::dataWithPropertyList(
                          Value(info), NSPropertyListSerialization::NSPropertyListXMLFormat_v1_0));
    put("kiteChannel.cfg", Data::fromString("{}"));
    put("kitePlugins.cfg", Data::fromString("()"));
    put("Data/nativefiles.json", Data::fromString("{}"));
    put("en.lproj/Localizable.strings", Data::fromString("\"hello\" = \"Hello\";"));
    put("zh-Hans.lproj/Localizable.strings",
        Data::fromString("/* greeting */\n\"hello\" = \"你好\";\n\"only.zh\" = \"仅中文\";"));
    put("zh-Hans.lproj/Intro.png", Data::fromString("png"));
    put("Lumora.bundle/Ding.caf", Data::fromString("sound"));
    put("Lumora.bundle/en.lproj/Scan.strings", Data::fromString("title = Scan;"));
    NSBundle::setMainBundlePath(app_);
    NSLocale::setPreferredLanguages({"en-US"});
  }
  void TearDown() override {
    NSLocale::setPreferredLanguages({});
    fm().removeItemAtPathError(app_.substr(0, app_.rfind('/')));
  }
  static NSFileManager& fm() { return NSFileManager::defaultManager(); }
  void put(const std::string& rel, const Data& data) {
    std::string p = app_ + "/" + rel;
    fm().createDirectoryAtPathWithIntermediateDirectoriesAttributesError(p.substr(0, p.rfind('/')),
                                                                         true);
    ASSERT_TRUE(writeDataToFile(data, p, NSDataWritingAtomic));
  }
  std::string app_;
};

TEST_F(BundleTest, InfoDictionaryAndResources) {
  auto main = NSBundle::mainBundle();
  EXPECT_EQ(main->bundlePath(), app_);
  EXPECT_EQ(main->bundleIdentifier(), "com.example.game");
  // Values keep their type: a number stays a number.
  EXPECT_EQ(main->objectForInfoDictionaryKey("KITE_PRODUCT_CODE"), Value(1024));
  EXPECT_TRUE(main->objectForInfoDictionaryKey("KITE_PRODUCT_CODE").isInteger());
  EXPECT_TRUE(main->objectForInfoDictionaryKey("missing").isNil());

  EXPECT_EQ(main->pathForResourceOfType("kiteChannel", "cfg"), app_ + "/kiteChannel.cfg");
  EXPECT_EQ(main->pathForResourceOfType("kitePlugins.cfg", ""), app_ + "/kitePlugins.cfg");
  EXPECT_EQ(main->pathForResourceOfType("nativefiles", ".json"), "");
  EXPECT_EQ(main->pathForResourceOfTypeInDirectory("nativefiles", "json", "Data"),
            app_ + "/Data/nativefiles.json");
  EXPECT_EQ(main->pathForResourceOfType("", "cfg"), "");
  EXPECT_EQ(main->pathsForResourcesOfTypeInDirectory("cfg"),
            (std::vector<std::string>{app_ + "/kiteChannel.cfg", app_ + "/kitePlugins.cfg"}));

  // A localized resource is found in the language folder of the preferred language only.
  EXPECT_EQ(main->pathForResourceOfType("Intro", "png"), "");
  NSLocale::setPreferredLanguages({"zh-Hans-CN"});
  EXPECT_EQ(main->pathForResourceOfType("Intro", "png"), app_ + "/zh-Hans.lproj/Intro.png");

  // Sub-bundles are folders inside, opened by path; one object per folder.
  std::string sub = main->pathForResourceOfType("Lumora", "bundle");
  EXPECT_EQ(sub, app_ + "/Lumora.bundle");
  auto lumora = NSBundle::bundleWithPath(sub);
  ASSERT_TRUE(lumora);
  EXPECT_EQ(lumora, NSBundle::bundleWithPath(sub + "/"));
  EXPECT_EQ(lumora->pathForResourceOfType("Ding", "caf"), sub + "/Ding.caf");
  EXPECT_TRUE(lumora->infoDictionary().empty());
  EXPECT_EQ(lumora->bundleIdentifier(), "");
  EXPECT_FALSE(NSBundle::bundleWithPath(app_ + "/Missing.bundle"));
  EXPECT_FALSE(NSBundle::bundleWithPath(app_ + "/kiteChannel.cfg"));
}

TEST_F(BundleTest, LocalizedStringsFollowPreferredLanguagesWithFallback) {
  auto main = NSBundle::mainBundle();
  EXPECT_EQ(main->localizations(), (std::vector<std::string>{"en", "zh-Hans"}));
  EXPECT_EQ(main->localizedStringForKeyValueTable("hello"), "Hello");

  NSLocale::setPreferredLanguages({"zh-Hans-CN", "en-GB"});
  EXPECT_EQ(main->preferredLocalizations(), (std::vector<std::string>{"zh-Hans", "en"}));
  EXPECT_EQ(main->localizedStringForKeyValueTable("hello"), "你好");

  NSLocale::setPreferredLanguages({"fr-FR"});
  // No French: the development language.
  EXPECT_EQ(main->localizedStringForKeyValueTable("hello"), "Hello");
  EXPECT_EQ(main->localizedStringForKeyValueTable("only.zh"), "only.zh");  // not in English
  // Missing key: the given value, or the key itself when the value is empty.
  EXPECT_EQ(main->localizedStringForKeyValueTable("absent", "Default"), "Default");
  EXPECT_EQ(main->localizedStringForKeyValueTable("absent", ""), "absent");
  EXPECT_EQ(main->localizedStringForKeyValueTable("hello", "", "NoSuchTable"), "hello");

  auto lumora = NSBundle::bundleWithPath(app_ + "/Lumora.bundle");
  EXPECT_EQ(lumora->localizedStringForKeyValueTable("title", "", "Scan"), "Scan");
}

TEST(LocaleTest, PreferredLanguagesFromTheEnvironment) {
  EXPECT_EQ(NSLocale::languageTagFromPOSIXLocale("zh_CN.UTF-8"), "zh-Hans-CN");
  EXPECT_EQ(NSLocale::languageTagFromPOSIXLocale("zh_TW"), "zh-Hant-TW");
  EXPECT_EQ(NSLocale::languageTagFromPOSIXLocale("en_US.UTF-8@euro"), "en-US");
  EXPECT_EQ(NSLocale::languageTagFromPOSIXLocale("de"), "de");
  EXPECT_EQ(NSLocale::languageTagFromPOSIXLocale("C.UTF-8"), "en-US");
  EXPECT_EQ(NSLocale::languageTagFromPOSIXLocale(""), "en-US");

  setenv("LC_ALL", "", 1);
  setenv("LC_MESSAGES", "", 1);
  setenv("LANG", "ja_JP.UTF-8", 1);
  EXPECT_EQ(NSLocale::preferredLanguages(), std::vector<std::string>{"ja-JP"});
  setenv("LC_ALL", "zh_HK.UTF-8", 1);
  EXPECT_EQ(NSLocale::preferredLanguages(), std::vector<std::string>{"zh-Hant-HK"});
  EXPECT_EQ(NSLocale::currentLocaleIdentifier(), "zh_HK");
  NSLocale::setPreferredLanguages({"fr-CA", "en"});
  EXPECT_EQ(NSLocale::preferredLanguages(), (std::vector<std::string>{"fr-CA", "en"}));
}

}  // namespace
}  // namespace plat
