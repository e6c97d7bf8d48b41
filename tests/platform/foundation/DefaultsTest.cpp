#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "platform/foundation/DeviceRoot.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSLog.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/NSUserDefaults.h"

namespace plat {
namespace {

class DefaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = std::getenv("LUMORA_TEST_OUTPUT");
    std::string root = base ? base : "/tmp";
    fm().createDirectoryAtPathWithIntermediateDirectoriesAttributesError(root, true);
    std::string templ = root + "/device-XXXXXX";
    ASSERT_TRUE(mkdtemp(templ.data()));
    root_ = templ;
    ASSERT_TRUE(DeviceRoot::setPath(root_ + "/"));
    NSBundle::setMainBundlePath(root_ + "/NoSuch.app");
    NSUserDefaults::resetStandardUserDefaults();
    setNSLogCaptureForTesting([this](const std::string& m) { logs_.push_back(m); });
  }
  void TearDown() override {
    setNSLogCaptureForTesting(nullptr);
    fm().removeItemAtPathError(root_);
  }
  static NSFileManager& fm() { return NSFileManager::defaultManager(); }
  std::shared_ptr<NSUserDefaults> reopen() {
    NSUserDefaults::resetStandardUserDefaults();
    return NSUserDefaults::standardUserDefaults();
  }
  std::string root_;
  std::vector<std::string> logs_;
};

TEST_F(DefaultsTest, ValuesSurviveAReopenWithTheirKinds) {
  auto d = NSUserDefaults::standardUserDefaults();
  EXPECT_EQ(d, NSUserDefaults::standardUserDefaults());
  EXPECT_EQ(d->filePath(), root_ + "/Platform/Preferences/Application.plist");
  d->setObjectForKey(Value("token"), "KEY_AntiIndulge_KEY");
  d->setIntegerForKey(-7, "count");
  d->setBoolForKey(true, "flag");
  d->setDoubleForKey(2.5, "ratio");
  NSDate when = NSDate::fromSeconds1970(1700000000, 123456000);
  d->setObjectForKey(Value(when), "lastUpdatedTime");
  d->setObjectForKey(Value(Dictionary{{"list", Value(Array{Value(1), Value("x")})}}), "nested");
  // Dates far from 2001 and integers beyond INT64_MAX are kept, not dropped.
  d->setObjectForKey(Value(NSDate::distantFuture()), "expires");
  d->setObjectForKey(Value(std::numeric_limits<uint64_t>::max()), "huge");
  EXPECT_TRUE(d->synchronize());

  auto again = reopen();
  EXPECT_NE(again, d);
  EXPECT_EQ(again->stringForKey("KEY_AntiIndulge_KEY"), "token");
  EXPECT_EQ(again->integerForKey("count"), -7);
  EXPECT_TRUE(again->objectForKey("count").isInteger());
  EXPECT_TRUE(again->boolForKey("flag"));
  EXPECT_EQ(again->doubleForKey("ratio"), 2.5);
  EXPECT_EQ(again->objectForKey("lastUpdatedTime"), Value(when));
  EXPECT_EQ(again->dictionaryForKey("nested")["list"][1], Value("x"));
  EXPECT_EQ(again->objectForKey("expires"), Value(NSDate::distantFuture()));
  EXPECT_EQ(again->objectForKey("huge"), Value(std::numeric_limits<uint64_t>::max()));

  // Setting nil removes the key, also from the file.
  again->setObjectForKey(Value(), "count");
  again->removeObjectForKey("flag");
  auto third = reopen();
  EXPECT_TRUE(third->objectForKey("count").isNil());
  EXPECT_FALSE(third->boolForKey("flag"));
  EXPECT_EQ(third->stringForKey("KEY_AntiIndulge_KEY"), "token");
}

TEST_F(DefaultsTest, NullAndNonPropertyListValuesAreDroppedNotStored) {
  auto d = NSUserDefaults::standardUserDefaults();
  d->setObjectForKey(Value("kept"), "k");
  d->setObjectForKey(Value::null(), "k");
  d->setObjectForKey(Value(std::make_shared<Object>()), "k");
  EXPECT_EQ(d->objectForKey("k"), Value("kept"));
  EXPECT_EQ(logs_.size(), 2u);
  // Inside containers only the offending entries are left out.
  d->setObjectForKey(
      Value(Dictionary{
          {"a", Value(1)}, {"b", Value::null()}, {"c", Value(Array{Value::null(), Value(2)})}}),
      "mixed");
  auto again = reopen();
  EXPECT_EQ(again->objectForKey("k"), Value("kept"));
  EXPECT_EQ(again->objectForKey("mixed"),
            Value(Dictionary{{"a", Value(1)}, {"c", Value(Array{Value(2)})}}));
  ASSERT_EQ(logs_.size(), 3u);
  EXPECT_NE(logs_.back().find("mixed.b"), std::string::npos);
}

TEST_F(DefaultsTest, TypedReadsRegisteredDefaultsAndCorruptFiles) {
  auto d = NSUserDefaults::standardUserDefaults();
  d->registerDefaults({{"volume", Value(0.5)}, {"name", Value("guest")}});
  d->setObjectForKey(Value("42abc"), "numeric");
  d->setObjectForKey(Value("YES"), "yes");
  d->setIntegerForKey(12, "n");
  EXPECT_EQ(d->doubleForKey("volume"), 0.5);
  EXPECT_EQ(d->integerForKey("numeric"), 42);
  EXPECT_TRUE(d->boolForKey("yes"));
  EXPECT_EQ(d->stringForKey("n"), "12");
  EXPECT_FALSE(d->stringForKey("missing"));
  EXPECT_FALSE(d->dataForKey("n"));
  EXPECT_TRUE(d->arrayForKey("n").isNil());
  EXPECT_EQ(d->dictionaryRepresentation()["name"], Value("guest"));
  // Registered defaults are not written.
  EXPECT_TRUE(reopen()->objectForKey("volume").isNil());

  // An unreadable file is kept aside, not overwritten.
  std::string file = d->filePath();
  ASSERT_TRUE(writeDataToFile(Data::fromString("{ broken"), file, NSDataWritingAtomic));
  auto fresh = reopen();
  EXPECT_TRUE(fresh->objectForKey("n").isNil());
  fresh->setIntegerForKey(1, "n");
  EXPECT_EQ(dataWithContentsOfFile(file + ".corrupt")->toString(), "{ broken");
  EXPECT_EQ(reopen()->integerForKey("n"), 1);
}

TEST_F(DefaultsTest, ContainerFoldersAnswerFromTheDeviceRoot) {
  EXPECT_EQ(DeviceRoot::path(), root_);
  EXPECT_FALSE(DeviceRoot::setPath(""));
  EXPECT_EQ(DeviceRoot::path(), root_);
  EXPECT_EQ(NSHomeDirectory(), root_ + "/Application");
  EXPECT_EQ(NSTemporaryDirectory(), root_ + "/Application/tmp/");
  EXPECT_EQ(NSSearchPathForDirectoriesInDomains(NSDocumentDirectory, NSUserDomainMask, true),
            std::vector<std::string>{root_ + "/Application/Documents"});
  EXPECT_EQ(NSSearchPathForDirectoriesInDomains(NSCachesDirectory, NSUserDomainMask, false),
            std::vector<std::string>{"~/Library/Caches"});
  EXPECT_TRUE(
      NSSearchPathForDirectoriesInDomains(NSDocumentDirectory, NSSystemDomainMask, true).empty());
  bool isDir = false;
  for (const std::string& p : {DeviceRoot::documentsPath(), DeviceRoot::cachesPath(),
                               DeviceRoot::temporaryPath(), DeviceRoot::platformStatePath()}) {
    EXPECT_TRUE(fm().fileExistsAtPath(p, &isDir) && isDir) << p;
  }
  // The defaults follow the main bundle's identifier into the platform state folder.
  std::string app = root_ + "/Game.app";
  ASSERT_TRUE(fm().createDirectoryAtPathWithIntermediateDirectoriesAttributesError(app, true));
  ASSERT_TRUE(writeDataToFile(Data::fromString("{ CFBundleIdentifier = com.example.game; }"),
                              app + "/Info.plist", 0));
  NSBundle::setMainBundlePath(app);
  EXPECT_EQ(reopen()->filePath(), root_ + "/Platform/Preferences/com.example.game.plist");
}

TEST_F(DefaultsTest, ProcessInfoAndLog) {
  auto& info = NSProcessInfo::processInfo();
  EXPECT_EQ(info.operatingSystemVersion().majorVersion, 15);
  EXPECT_TRUE(info.isOperatingSystemAtLeastVersion({11, 0, 0}));
  EXPECT_TRUE(info.isOperatingSystemAtLeastVersion({15, 0, 0}));
  EXPECT_FALSE(info.isOperatingSystemAtLeastVersion({15, 0, 1}));
  EXPECT_EQ(info.operatingSystemVersionString(), "Version 15.0");
  info.setOperatingSystemVersion({12, 4, 1});
  EXPECT_FALSE(info.isOperatingSystemAtLeastVersion({13, 0, 0}));
  EXPECT_EQ(info.operatingSystemVersionString(), "Version 12.4.1");
  info.setProcessorCount(3);
  EXPECT_EQ(info.processorCount(), 3u);
  info.setProcessorCount(0);
  EXPECT_GE(info.activeProcessorCount(), 1u);
  EXPECT_EQ(info.processIdentifier(), getpid());
  EXPECT_FALSE(info.processName().empty());
  setenv("LUMORA_DEFAULTS_TEST", "on", 1);
  EXPECT_EQ(info.environment()["LUMORA_DEFAULTS_TEST"], Value("on"));

  NSLog("Error: %@ (%d)", Value("disk full"), 28);
  ASSERT_EQ(logs_.size(), 1u);
  EXPECT_EQ(logs_[0], "Error: disk full (28)");
}

}  // namespace
}  // namespace plat
