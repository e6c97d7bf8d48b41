// The memory cache: LRU order under count, cost and age limits, trims, notifications and
// where removed values die.

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "image/cache/HVMemoryCache.h"
#include "platform/uikit/UIApplication.h"
#include "testing/loop/Pump.h"

using namespace plat;

namespace {

// A value that reports the thread it dies on.
struct Tracked : Object {
  explicit Tracked(std::shared_ptr<std::atomic<int>> deaths, std::thread::id* where = nullptr)
      : deaths_(std::move(deaths)), where_(where) {}
  ~Tracked() override {
    if (where_) *where_ = std::this_thread::get_id();
    deaths_->fetch_add(1);
  }
  std::shared_ptr<std::atomic<int>> deaths_;
  std::thread::id* where_;
};

TEST(MemoryCacheTest, LeastRecentlyUsedUnderCountLimit) {
  auto cache = HVMemoryCache::create();
  cache->setCountLimit(2);
  cache->setObjectForKey(1, "a");
  cache->setObjectForKey(2, "b");
  // A read protects "a"; contains does not protect "b".
  EXPECT_EQ(cache->objectForKey("a"), Value(1));
  EXPECT_TRUE(cache->containsObjectForKey("b"));
  cache->setObjectForKey(3, "c");
  EXPECT_FALSE(cache->containsObjectForKey("b"));
  EXPECT_TRUE(cache->containsObjectForKey("a"));
  EXPECT_EQ(cache->totalCount(), 2u);

  // Replacing keeps one entry, moves it to the head and updates the cost.
  cache->setObjectForKeyWithCost(30, "c", 7);
  cache->setObjectForKeyWithCost(31, "c", 5);
  EXPECT_EQ(cache->totalCost(), 5u);
  cache->setObjectForKey(4, "d");  // evicts "a", the least recently used now
  EXPECT_FALSE(cache->containsObjectForKey("a"));
  EXPECT_EQ(cache->objectForKey("c"), Value(31));

  // No key: nothing happens; a nil value removes.
  cache->setObjectForKey(9, "");
  EXPECT_TRUE(cache->objectForKey("").isNil());
  EXPECT_FALSE(cache->containsObjectForKey(""));
  cache->setObjectForKey(Value(), "c");
  EXPECT_FALSE(cache->containsObjectForKey("c"));
  EXPECT_EQ(cache->totalCost(), 0u);
  EXPECT_TRUE(cache->linkedMapIsConsistentForTesting());
  EXPECT_TRUE(testing_loop::runUntilIdle());
}

TEST(MemoryCacheTest, CostOverflowTrimsAsynchronouslyAndZeroLimitsEmpty) {
  auto cache = HVMemoryCache::create();
  cache->setCostLimit(10);
  for (int i = 0; i < 5; i++) cache->setObjectForKeyWithCost(i, std::to_string(i), 4);
  // The store itself does not trim by cost; the cache queue does.
  ASSERT_TRUE(testing_loop::runUntil([&] { return cache->totalCost() <= 10; }));
  EXPECT_EQ(cache->totalCount(), 2u);
  EXPECT_TRUE(cache->containsObjectForKey("4"));
  EXPECT_TRUE(cache->containsObjectForKey("3"));

  cache->trimToCost(0);
  EXPECT_EQ(cache->totalCount(), 0u);
  cache->setObjectForKey(1, "x");
  cache->trimToCount(0);
  EXPECT_EQ(cache->totalCount(), 0u);
  cache->setObjectForKey(1, "x");
  cache->trimToAge(-1);
  EXPECT_EQ(cache->totalCount(), 0u);

  // With default limits nothing goes by itself.
  auto open = HVMemoryCache::create();
  for (int i = 0; i < 1000; i++) open->setObjectForKeyWithCost(i, std::to_string(i), 1u << 30);
  EXPECT_TRUE(testing_loop::runUntilIdle());
  EXPECT_EQ(open->totalCount(), 1000u);
}

TEST(MemoryCacheTest, AgeTrimExplicitAndPeriodic) {
  testing_loop::VirtualClockScope clock;
  auto cache = HVMemoryCache::create();
  cache->setObjectForKey(1, "old");
  cache->setObjectForKey(2, "read");
  testing_loop::advance(3);
  cache->objectForKey("read");  // a read renews the time
  cache->setObjectForKey(3, "new");
  testing_loop::advance(2);
  cache->trimToAge(4);
  EXPECT_FALSE(cache->containsObjectForKey("old"));
  EXPECT_TRUE(cache->containsObjectForKey("read"));
  EXPECT_TRUE(cache->containsObjectForKey("new"));

  // The background trim runs every autoTrimInterval with the current limits.
  cache->setAgeLimit(10);
  cache->setCountLimit(1);
  cache->setObjectForKey(4, "newest");  // count overflow removes one at once
  EXPECT_EQ(cache->totalCount(), 2u);
  testing_loop::advance(5);
  ASSERT_TRUE(testing_loop::runUntil([&] { return cache->totalCount() == 1; }));
  EXPECT_TRUE(cache->containsObjectForKey("newest"));
  testing_loop::advance(11);
  ASSERT_TRUE(testing_loop::runUntil([&] { return cache->totalCount() == 0; }));
}

TEST(MemoryCacheTest, NotificationsCallBlocksAndHonourFlags) {
  auto cache = HVMemoryCache::create();
  int warnings = 0, backgrounds = 0;
  cache->setDidReceiveMemoryWarningBlock([&](HVMemoryCache& c) {
    EXPECT_EQ(&c, cache.get());
    warnings++;
  });
  cache->setDidEnterBackgroundBlock([&](HVMemoryCache&) { backgrounds++; });
  auto& center = NSNotificationCenter::defaultCenter();

  cache->setObjectForKey(1, "a");
  cache->setShouldRemoveAllObjectsOnMemoryWarning(false);
  cache->setShouldRemoveAllObjectsWhenEnteringBackground(false);
  center.postNotificationNameObject(UIApplicationDidReceiveMemoryWarningNotification, Value());
  center.postNotificationNameObject(UIApplicationDidEnterBackgroundNotification, Value());
  EXPECT_EQ(warnings, 1);
  EXPECT_EQ(backgrounds, 1);
  EXPECT_EQ(cache->totalCount(), 1u);

  cache->setShouldRemoveAllObjectsOnMemoryWarning(true);
  center.postNotificationNameObject(UIApplicationDidReceiveMemoryWarningNotification, Value());
  EXPECT_EQ(cache->totalCount(), 0u);
  cache->setObjectForKey(1, "a");
  cache->setShouldRemoveAllObjectsWhenEnteringBackground(true);
  center.postNotificationNameObject(UIApplicationDidEnterBackgroundNotification, Value());
  EXPECT_EQ(cache->totalCount(), 0u);
  EXPECT_EQ(warnings, 2);
  EXPECT_EQ(backgrounds, 2);

  // A cache that is gone no longer listens.
  cache.reset();
  center.postNotificationNameObject(UIApplicationDidReceiveMemoryWarningNotification, Value());
  EXPECT_EQ(warnings, 2);
  EXPECT_TRUE(testing_loop::runUntilIdle());
}

TEST(MemoryCacheTest, RemovedValuesDieWhereTheFlagsSay) {
  auto deaths = std::make_shared<std::atomic<int>>(0);
  std::thread::id where;
  const auto self = std::this_thread::get_id();
  auto cache = HVMemoryCache::create();

  // Default: asynchronously, off the caller's thread.
  cache->setObjectForKey(Value(std::make_shared<Tracked>(deaths, &where)), "k");
  cache->removeObjectForKey("k");
  ASSERT_TRUE(testing_loop::runUntil([&] { return deaths->load() == 1; }));
  EXPECT_NE(where, self);

  // On the main thread, asynchronously: not inside the call.
  cache->setReleaseOnMainThread(true);
  cache->setObjectForKey(Value(std::make_shared<Tracked>(deaths, &where)), "k");
  cache->removeAllObjects();
  EXPECT_EQ(deaths->load(), 1);
  ASSERT_TRUE(testing_loop::runUntil([&] { return deaths->load() == 2; }));
  EXPECT_EQ(where, self);

  // Synchronously: at once, on the caller's thread; a trim still hands off.
  cache->setReleaseOnMainThread(false);
  cache->setReleaseAsynchronously(false);
  cache->setObjectForKey(Value(std::make_shared<Tracked>(deaths, &where)), "k");
  cache->removeObjectForKey("k");
  EXPECT_EQ(deaths->load(), 3);
  EXPECT_EQ(where, self);
  cache->setObjectForKey(Value(std::make_shared<Tracked>(deaths, &where)), "k");
  cache->setObjectForKey(1, "j");
  cache->trimToCount(1);
  ASSERT_TRUE(testing_loop::runUntil([&] { return deaths->load() == 4; }));
  EXPECT_NE(where, self);
  EXPECT_TRUE(testing_loop::runUntilIdle());
}

TEST(MemoryCacheTest, FourThreadsWithTrimsKeepTheInvariants) {
  auto cache = HVMemoryCache::create();
  cache->setCountLimit(300);
  cache->setCostLimit(5000);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([cache, t] {
      std::mt19937 rng(t);
      for (int i = 0; i < 20000; i++) {
        std::string key = std::to_string(rng() % 500);
        switch (rng() % 10) {
          case 0:
            cache->removeObjectForKey(key);
            break;
          case 1:
            cache->trimToCount(rng() % 400 + 1);
            break;
          case 2:
            cache->trimToCost(rng() % 6000 + 1);
            break;
          case 3:
          case 4:
          case 5:
            cache->setObjectForKeyWithCost(i, key, rng() % 50);
            break;
          default:
            cache->objectForKey(key);
            break;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_TRUE(testing_loop::runUntil([&] { return cache->totalCost() <= 5000; }));
  EXPECT_TRUE(cache->linkedMapIsConsistentForTesting());
  EXPECT_LE(cache->totalCount(), 300u);
  EXPECT_TRUE(testing_loop::runUntilIdle());
}

}  // namespace
