// Background tasks of the application object: identifiers, ending, expiry and misuse.

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "platform/foundation/NSLog.h"
#include "platform/uikit/UIApplication.h"

using namespace plat;

namespace {

class UIApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setNSLogCaptureForTesting([this](const std::string& line) { logs_.push_back(line); });
  }
  void TearDown() override {
    UIApplication::sharedApplication().resetForTesting();
    setNSLogCaptureForTesting(nullptr);
  }
  std::vector<std::string> logs_;
};

TEST_F(UIApplicationTest, BackgroundTasksBeginEndAndExpire) {
  auto& app = UIApplication::sharedApplication();
  int expired = 0;
  UIBackgroundTaskIdentifier a = UIBackgroundTaskInvalid;
  a = app.beginBackgroundTaskWithExpirationHandler([&] {
    expired++;
    app.endBackgroundTask(a);  // a handler ends its own task
  });
  auto b = app.beginBackgroundTaskWithExpirationHandler(nullptr);
  auto c = app.beginBackgroundTaskWithExpirationHandler([&] { expired += 10; });
  EXPECT_NE(a, UIBackgroundTaskInvalid);
  EXPECT_NE(a, b);
  EXPECT_EQ(app.backgroundTaskCountForTesting(), 3u);

  app.endBackgroundTask(b);
  EXPECT_EQ(app.backgroundTaskCountForTesting(), 2u);
  app.expireAllBackgroundTasksForTesting();
  EXPECT_EQ(expired, 11);
  // c's handler did not end c; a second expiry does not call it again.
  EXPECT_EQ(app.backgroundTaskCountForTesting(), 1u);
  app.expireAllBackgroundTasksForTesting();
  EXPECT_EQ(expired, 11);
  app.endBackgroundTask(c);
  EXPECT_EQ(app.backgroundTaskCountForTesting(), 0u);
  EXPECT_TRUE(logs_.empty());

  // Ending twice, an unknown or the invalid identifier is logged and ignored.
  app.endBackgroundTask(c);
  app.endBackgroundTask(UIBackgroundTaskInvalid);
  EXPECT_EQ(logs_.size(), 2u);
  EXPECT_EQ(app.backgroundTaskCountForTesting(), 0u);
}

TEST_F(UIApplicationTest, BackgroundTasksFromManyThreadsGetDistinctIdentifiers) {
  auto& app = UIApplication::sharedApplication();
  std::vector<std::vector<UIBackgroundTaskIdentifier>> ids(4);
  std::vector<std::thread> threads;
  for (auto& mine : ids) {
    threads.emplace_back([&app, &mine] {
      for (int i = 0; i < 200; i++) mine.push_back(app.beginBackgroundTaskWithExpirationHandler({}));
    });
  }
  for (auto& t : threads) t.join();
  std::set<UIBackgroundTaskIdentifier> all;
  for (auto& mine : ids) all.insert(mine.begin(), mine.end());
  EXPECT_EQ(all.size(), 800u);
  EXPECT_FALSE(all.count(UIBackgroundTaskInvalid));
  for (auto id : all) app.endBackgroundTask(id);
  EXPECT_EQ(app.backgroundTaskCountForTesting(), 0u);
}

}  // namespace
