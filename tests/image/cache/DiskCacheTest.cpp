// The disk cache: one instance per folder, inline or file by threshold, archiving and extended
// data, the four trims, termination and the asynchronous variants.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <set>
#include <thread>

#include "image/cache/HVDiskCache.h"
#include "image/cache/HVMemoryCache.h"
#include "platform/foundation/FileSystemFreeSize.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/NSException.h"
#include "platform/uikit/UIApplication.h"
#include "testing/loop/Pump.h"

using namespace plat;
namespace fs = std::filesystem;

namespace {

class DiskCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("diskcache-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
  }
  void TearDown() override {
    EXPECT_TRUE(testing_loop::runUntilIdle());
    setFileSystemFreeSizeForTesting(nullptr);
    fs::remove_all(dir_);
  }
  // Stores raw bytes unchanged, so sizes on disk are the sizes given.
  static void storeRawBytes(HVDiskCache& cache) {
    cache.setCustomArchiveBlock([](const Value& v) { return v.data() ? *v.data() : Data(); });
    cache.setCustomUnarchiveBlock([](const Data& d) { return Value(d); });
  }
  static Value bytes(size_t n) { return Value(Data(std::vector<uint8_t>(n, 0x5a))); }
  size_t filesInData(const fs::path& root) {
    size_t n = 0;
    for (auto& e : fs::directory_iterator(root / "data")) n += e.is_regular_file();
    return n;
  }
  fs::path dir_;
};

TEST_F(DiskCacheTest, OneInstancePerFolderAlsoUnderConcurrency) {
  auto a = HVDiskCache::initWithPath(dir_.string());
  ASSERT_TRUE(a);
  EXPECT_EQ(HVDiskCache::initWithPathInlineThreshold(dir_.string(), 0), a);
  EXPECT_EQ(a->inlineThreshold(), 20480u);
  a.reset();

  std::vector<std::shared_ptr<HVDiskCache>> got(8);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; i++) {
    threads.emplace_back([&, i] { got[i] = HVDiskCache::initWithPath((dir_ / "b").string()); });
  }
  for (auto& t : threads) t.join();
  for (auto& c : got) EXPECT_EQ(c, got[0]);
  ASSERT_TRUE(got[0]);
  got[0]->setName("n");
  EXPECT_NE(got[0]->description().find("(n:" + (dir_ / "b").string() + ")"), std::string::npos);
}

TEST_F(DiskCacheTest, ThresholdChoosesInlineOrMd5NamedFile) {
  auto cache = HVDiskCache::initWithPath(dir_.string());
  ASSERT_TRUE(cache);
  storeRawBytes(*cache);
  cache->setObjectForKey(bytes(20480), "a");
  EXPECT_EQ(filesInData(dir_), 0u);
  cache->setObjectForKey(bytes(20481), "a");
  EXPECT_TRUE(fs::exists(dir_ / "data" / "0cc175b9c0f1b6a831c399e269772661"));
  EXPECT_EQ(cache->objectForKey("a"), bytes(20481));
  EXPECT_EQ(cache->totalCost(), 20481);

  auto files = HVDiskCache::initWithPathInlineThreshold((dir_ / "files").string(), 0);
  auto inlineOnly =
      HVDiskCache::initWithPathInlineThreshold((dir_ / "inline").string(), UINT64_MAX);
  storeRawBytes(*files);
  storeRawBytes(*inlineOnly);
  files->setObjectForKey(bytes(1), "k");
  inlineOnly->setObjectForKey(bytes(100000), "k");
  EXPECT_EQ(filesInData(dir_ / "files"), 1u);
  EXPECT_EQ(filesInData(dir_ / "inline"), 0u);
  EXPECT_EQ(inlineOnly->objectForKey("k"), bytes(100000));
}

TEST_F(DiskCacheTest, ArchivingAndExtendedData) {
  auto cache = HVDiskCache::initWithPath(dir_.string());
  ASSERT_TRUE(cache);
  Dictionary dict{{"n", 3}, {"s", "text"}};
  cache->setObjectForKey(Value(dict), "dict");
  EXPECT_EQ(cache->objectForKey("dict"), Value(dict));

  // An object with no archive form is not stored and leaves the old value alone.
  cache->setObjectForKey(Value(std::make_shared<Object>()), "dict");
  EXPECT_EQ(cache->objectForKey("dict"), Value(dict));
  cache->setCustomArchiveBlock([](const Value&) -> Data { throw std::runtime_error("no"); });
  cache->setObjectForKey(Value("x"), "dict");
  EXPECT_EQ(cache->objectForKey("dict"), Value(dict));

  // Extended data travels with the object through the disk.
  cache->setCustomArchiveBlock([](const Value& v) { return v.objectAs<NSData>()->data(); });
  cache->setCustomUnarchiveBlock([](const Data& d) { return Value(NSData::dataWithData(d)); });
  Value object(NSData::dataWithData(Data::fromString("image bytes")));
  HVDiskCache::setExtendedDataToObject(Data::fromString("scale 2"), object);
  cache->setObjectForKey(object, "img");
  Value back = cache->objectForKey("img");
  ASSERT_TRUE(back.objectAs<NSData>());
  EXPECT_FALSE(back.isIdenticalTo(object));
  EXPECT_EQ(back.objectAs<NSData>()->data(), Data::fromString("image bytes"));
  EXPECT_EQ(HVDiskCache::getExtendedDataFromObject(back), Data::fromString("scale 2"));
  HVDiskCache::setExtendedDataToObject(Data(), back);
  EXPECT_TRUE(HVDiskCache::getExtendedDataFromObject(back).empty());
  EXPECT_TRUE(HVDiskCache::getExtendedDataFromObject(Value("not an object")).empty());

  cache->setObjectForKey(Value(), "img");  // nil removes
  EXPECT_FALSE(cache->containsObjectForKey("img"));
}

TEST_F(DiskCacheTest, TrimsByCountCostAgeAndFreeSpace) {
  testing_loop::VirtualClockScope clock;
  auto cache = HVDiskCache::initWithPath(dir_.string());
  ASSERT_TRUE(cache);
  storeRawBytes(*cache);
  auto fill = [&] {
    cache->removeAllObjects();
    for (int i = 0; i < 10; i++) {
      cache->setObjectForKey(bytes(100), "k" + std::to_string(i));
      clock.clock().advanceBy(10);
    }
  };
  fill();
  cache->trimToCount(4);
  EXPECT_EQ(cache->totalCount(), 4);
  EXPECT_TRUE(cache->containsObjectForKey("k9"));
  EXPECT_FALSE(cache->containsObjectForKey("k5"));
  cache->trimToCost(250);
  EXPECT_EQ(cache->totalCost(), 200);

  fill();
  cache->trimToAge(1e12);  // older than the epoch: nothing
  EXPECT_EQ(cache->totalCount(), 10);
  cache->trimToAge(45);  // k6 was touched 40 s ago, k5 50 s ago
  EXPECT_EQ(cache->totalCount(), 4);
  EXPECT_TRUE(cache->containsObjectForKey("k6"));
  cache->trimToAge(0);
  EXPECT_EQ(cache->totalCount(), 0);

  // Free space: the periodic trim gives back what the device lacks, oldest first. The device
  // gets back what the cache gives up, as a disk does, so that a trim that runs late (a
  // background trim waiting for the cache's lock while the test stored) and the next
  // periodic one take what is lacking once, not twice.
  fill();
  std::string manifest = (dir_ / "manifest.sqlite").string();
  setFileSystemFreeSizeForTesting([manifest](const std::string&) {
    sqlite3* db = nullptr;
    sqlite3_stmt* st = nullptr;
    int64_t stored = -1;
    if (sqlite3_open_v2(manifest.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "select sum(size) from manifest;", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
      stored = sqlite3_column_int64(st, 0);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return stored < 0 ? int64_t(-1) : 11000 - stored;
  });
  cache->setFreeDiskSpaceLimit(9000);
  testing_loop::advance(60);
  ASSERT_TRUE(testing_loop::runUntilIdle());
  EXPECT_EQ(cache->totalCount(), 10);
  cache->setFreeDiskSpaceLimit(10350);
  testing_loop::advance(60);
  ASSERT_TRUE(testing_loop::runUntil([&] { return cache->totalCount() == 6; }));
  EXPECT_FALSE(cache->containsObjectForKey("k3"));
  EXPECT_TRUE(cache->containsObjectForKey("k4"));
  testing_loop::advance(60);  // the device lacks nothing now: the next trim takes nothing
  EXPECT_EQ(cache->totalCount(), 6);
  setFileSystemFreeSizeForTesting([](const std::string&) { return int64_t(-1); });
  cache->setFreeDiskSpaceLimit(UINT64_MAX);
  testing_loop::advance(60);
  ASSERT_TRUE(testing_loop::runUntilIdle());
  EXPECT_EQ(cache->totalCount(), 6);
}

// Unix time passes 2^31 - 1 on 2038-01-19; the age trims, asked for and periodic, go on after.
TEST_F(DiskCacheTest, AgeTrimsGoOnPast2038) {
  testing_loop::VirtualClockScope clock;
  auto cache = HVDiskCache::initWithPath(dir_.string());
  ASSERT_TRUE(cache);
  storeRawBytes(*cache);
  cache->setObjectForKey(bytes(10), "old");
  const double k2040 = 2208988800;  // 2040-01-01 00:00:00 UTC
  clock.clock().advanceBy(k2040 - clock.clock().date().timeIntervalSince1970());
  cache->setObjectForKey(bytes(10), "new");
  clock.clock().advanceBy(100);
  cache->trimToAge(3600);
  EXPECT_FALSE(cache->containsObjectForKey("old"));
  EXPECT_TRUE(cache->containsObjectForKey("new"));

  cache->setObjectForKey(bytes(10), "newer");
  cache->setAgeLimit(120);
  testing_loop::advance(60);  // "new" is 160 s old, "newer" 60 s
  ASSERT_TRUE(testing_loop::runUntil([&] { return cache->totalCount() == 1; }));
  EXPECT_TRUE(cache->containsObjectForKey("newer"));
}

TEST_F(DiskCacheTest, AsynchronousVariantsAndTermination) {
  auto cache = HVDiskCache::initWithPath(dir_.string());
  ASSERT_TRUE(cache);
  std::atomic<int> done{0};
  cache->setObjectForKeyWithBlock(Value("v"), "k", [&] { done++; });
  ASSERT_TRUE(testing_loop::runUntil([&] { return done == 1; }));
  Value got;
  bool has = false;
  int64_t count = -1;
  cache->objectForKeyWithBlock("k", [&](const std::string& key, const Value& v) {
    EXPECT_EQ(key, "k");
    got = v;
    done++;
  });
  cache->containsObjectForKeyWithBlock("k", [&](const std::string&, bool b) { has = b, done++; });
  cache->totalCountWithBlock([&](int64_t c) { count = c, done++; });
  ASSERT_TRUE(testing_loop::runUntil([&] { return done == 4; }));
  EXPECT_EQ(got, Value("v"));
  EXPECT_TRUE(has);
  EXPECT_EQ(count, 1);

  std::vector<int64_t> progress;
  bool error = true;
  cache->removeAllObjectsWithProgressBlockEndBlock(
      [&](int64_t removed, int64_t) { progress.push_back(removed); },
      [&](bool e) { error = e, done++; });
  ASSERT_TRUE(testing_loop::runUntil([&] { return done == 5; }));
  EXPECT_FALSE(error);
  EXPECT_EQ(progress, std::vector<int64_t>{1});

  // After termination the cache does nothing.
  cache->setObjectForKey(Value("v"), "k");
  NSNotificationCenter::defaultCenter().postNotificationNameObject(
      UIApplicationWillTerminateNotification, Value());
  EXPECT_TRUE(cache->objectForKey("k").isNil());
  cache->setObjectForKey(Value("w"), "k2");
  EXPECT_EQ(cache->totalCount(), 0);
  EXPECT_FALSE(cache->containsObjectForKey("k"));
}

TEST_F(DiskCacheTest, PlainInitRaisesAndCustomBlocksReadBack) {
  try {
    HVDiskCache::init();
    ADD_FAILURE() << "init returned";
  } catch (const NSException& e) {
    EXPECT_EQ(e.name(), "HVDiskCache init error");
    EXPECT_EQ(e.reason(),
              "HVDiskCache must be initialized with a path. Use 'initWithPath:' or "
              "'initWithPath:inlineThreshold:' instead.");
  }
  try {
    HVKVStorage::init();
    ADD_FAILURE() << "init returned";
  } catch (const NSException& e) {
    EXPECT_EQ(e.name(), "HVKVStorage init error");
    EXPECT_EQ(e.reason(), "Please use the designated initializer and pass the 'path' and 'type'.");
  }

  auto cache = HVDiskCache::initWithPath(dir_.string());
  ASSERT_TRUE(cache);
  EXPECT_FALSE(cache->customArchiveBlock());
  cache->setCustomFileNameBlock([](const std::string& key) { return "file-" + key; });
  storeRawBytes(*cache);
  ASSERT_TRUE(cache->customFileNameBlock() && cache->customUnarchiveBlock());
  EXPECT_EQ(cache->customFileNameBlock()("k"), "file-k");
  EXPECT_EQ(cache->customArchiveBlock()(bytes(3)), *bytes(3).data());
}

// Periods of 0, below 0 or NaN would reschedule the trim at once, forever; ages of NaN must
// neither empty the cache nor reach an integer conversion.
TEST_F(DiskCacheTest, DegenerateTrimSettingsNeitherSpinNorTrimWrongly) {
  testing_loop::VirtualClockScope clock;
  auto cache = HVDiskCache::initWithPath(dir_.string());
  ASSERT_TRUE(cache);
  auto memory = HVMemoryCache::create();
  for (int i = 0; i < 4; i++) {
    cache->setObjectForKey(Value(i), "k" + std::to_string(i));
    memory->setObjectForKey(Value(i), "k" + std::to_string(i));
  }
  cache->trimToAge(std::nan(""));
  memory->trimToAge(std::nan(""));
  EXPECT_EQ(cache->totalCount(), 4);
  EXPECT_EQ(memory->totalCount(), 4u);

  cache->setAgeLimit(std::nan(""));
  for (double interval : {0.0, -3.0, std::nan("")}) {
    cache->setAutoTrimInterval(interval);
    memory->setAutoTrimInterval(interval);
    testing_loop::advance(60);
    ASSERT_TRUE(testing_loop::runUntilIdle()) << "interval " << interval;
  }
  EXPECT_EQ(cache->totalCount(), 4);
  // Such periods still trim, once a second.
  cache->setCountLimit(3);
  memory->setCountLimit(1);
  testing_loop::advance(1);
  ASSERT_TRUE(testing_loop::runUntil(
      [&] { return cache->totalCount() == 3 && memory->totalCount() == 1; }));
}

TEST_F(DiskCacheTest, EverySpellingOfAFolderFindsOneCache) {
  auto a = HVDiskCache::initWithPath((dir_ / "c").string());
  ASSERT_TRUE(a);
  EXPECT_EQ(HVDiskCache::initWithPath((dir_ / "c").string() + "/"), a);
  EXPECT_EQ(HVDiskCache::initWithPath((dir_ / "." / "x" / ".." / "c").string()), a);
  fs::create_directory_symlink(dir_ / "c", dir_ / "link");
  EXPECT_EQ(HVDiskCache::initWithPath((dir_ / "link").string()), a);
  EXPECT_EQ(a->path(), (dir_ / "c").string());
}

TEST_F(DiskCacheTest, LimitsAboveThirtyTwoBitsApply) {
  auto cache = HVDiskCache::initWithPath(dir_.string());
  ASSERT_TRUE(cache);
  storeRawBytes(*cache);
  cache->setObjectForKey(bytes(10), "a");
  cache->setObjectForKey(bytes(10), "b");
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir_ / "manifest.sqlite").c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "update manifest set size = 2000000000;", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  cache->trimToCost(UINT64_MAX);
  cache->trimToCost(uint64_t(1) << 63);
  EXPECT_EQ(cache->totalCount(), 2);
  cache->trimToCost(3000000000u);
  EXPECT_EQ(cache->totalCount(), 1);
  EXPECT_EQ(cache->totalCost(), 2000000000);
}

}  // namespace
