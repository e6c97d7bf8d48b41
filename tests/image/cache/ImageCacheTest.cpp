// The image cache and the general two-tier cache: tiers, origins, stored bytes and scale,
// first-frame decoding and the background decode into memory.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "image/HVImage.h"
#include "image/HVImageCoder.h"
#include "image/cache/HVImageCache.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/DeviceRoot.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/NSException.h"
#include "platform/foundation/NSLog.h"
#include "platform/uikit/UIScreen.h"
#include "testing/loop/Pump.h"
#include "tests/image/CodecFixtures.h"
#include "tests/image/ImageFixtures.h"

using namespace plat;
using namespace fixtures;
namespace fs = std::filesystem;

namespace {

class ImageCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("imagecache-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
  }
  void TearDown() override {
    EXPECT_TRUE(testing_loop::runUntilIdle());
    fs::remove_all(dir_);
  }
  fs::path dir_;
};

TEST_F(ImageCacheTest, TiersBytesAndScale) {
  auto cache = HVImageCache::initWithPath(dir_.string());
  ASSERT_TRUE(cache);
  Data png = pngData(solid(4, 2, 0xff336699), false);
  auto image = HVImage::initWithDataScale(png, 3);
  ASSERT_TRUE(image);
  cache->setImageImageDataForKeyWithType(image, png, "k", HVCacheTierDisk);
  EXPECT_EQ(cache->getImageDataForKey("k"), png);  // stored unchanged
  EXPECT_FALSE(cache->memoryCache()->containsObjectForKey("k"));

  // Tier 2 decodes from disk with the stored scale and leaves memory alone.
  auto fromDisk = cache->getImageForKeyWithType("k", HVCacheTierDisk);
  ASSERT_TRUE(fromDisk);
  EXPECT_DOUBLE_EQ(fromDisk->scale(), 3);
  EXPECT_EQ(fromDisk->CGImage()->width(), 4u);
  EXPECT_FALSE(cache->memoryCache()->containsObjectForKey("k"));
  // Both tiers: the disk hit fills memory.
  ASSERT_TRUE(cache->getImageForKey("k"));
  EXPECT_TRUE(cache->memoryCache()->containsObjectForKey("k"));
  EXPECT_EQ(cache->memoryCache()->totalCost(), 2u * 16);

  // Data without an image keeps no scale: the screen's comes back.
  cache->setImageImageDataForKeyWithType(nullptr, png, "noscale", HVCacheTierDisk);
  EXPECT_DOUBLE_EQ(cache->getImageForKeyWithType("noscale", HVCacheTierDisk)->scale(),
                   UIScreen::mainScreen().scale());

  cache->removeImageForKeyWithType("k", HVCacheTierMemory);
  EXPECT_FALSE(cache->containsImageForKeyWithType("k", HVCacheTierMemory));
  EXPECT_TRUE(cache->containsImageForKey("k"));
  cache->removeImageForKey("k");
  EXPECT_FALSE(cache->containsImageForKey("k"));
  EXPECT_FALSE(cache->getImageForKey("k"));
}

TEST_F(ImageCacheTest, BlockReadsReportTheirOriginOnMain) {
  auto cache = HVImageCache::initWithPath(dir_.string());
  ASSERT_TRUE(cache);
  Data png = pngData(solid(2, 2, 0xff00ff00), false);
  auto image = HV_imageByDecoded(HVImage::initWithDataScale(png, 2));
  cache->setImageImageDataForKeyWithType(image, png, "both", HVCacheTierAll);
  cache->setImageImageDataForKeyWithType(image, png, "disk", HVCacheTierDisk);
  std::vector<std::pair<std::string, HVCacheTier>> got;
  for (std::string key : {"both", "disk", "none"}) {
    cache->getImageForKeyWithTypeWithBlock(key, HVCacheTierAll,
                                           [&, key](const UIImageRef& img, HVCacheTier from) {
                                             EXPECT_TRUE(dispatch_is_main_thread());
                                             EXPECT_EQ(bool(img), from != HVCacheTierNone);
                                             got.emplace_back(key, from);
                                           });
  }
  ASSERT_TRUE(testing_loop::runUntil([&] { return got.size() == 3; }));
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got[0], std::make_pair(std::string("both"), HVCacheTierMemory));
  EXPECT_EQ(got[1], std::make_pair(std::string("disk"), HVCacheTierDisk));
  EXPECT_EQ(got[2], std::make_pair(std::string("none"), HVCacheTierNone));
  EXPECT_TRUE(cache->memoryCache()->containsObjectForKey("disk"));

  Data read;
  cache->getImageDataForKeyWithBlock("disk", [&](const Data& d) { read = d; });
  ASSERT_TRUE(testing_loop::runUntil([&] { return !read.empty(); }));
  EXPECT_EQ(read, png);
}

TEST_F(ImageCacheTest, BackgroundDecodeAndFirstFrameOnly) {
  auto cache = HVImageCache::initWithPath(dir_.string());
  ASSERT_TRUE(cache);
  Data gif = gifData(4, 4, {gifSolid(0, 0, 4, 4, 1, 5), gifSolid(0, 0, 4, 4, 2, 5)});
  // Not yet decoded: memory gets it only after the background decode; disk gets the encoded
  // form in the background too.
  auto image = UIImage::imageWithCGImage(solid(3, 3, 0xff112233), 1);
  ASSERT_FALSE(HV_isDecodedForDisplay(image));
  cache->setImageForKey(image, "still");
  ASSERT_TRUE(testing_loop::runUntil([&] {
    return cache->memoryCache()->containsObjectForKey("still") &&
           cache->diskCache()->containsObjectForKey("still");
  }));
  auto remembered = cache->memoryCache()->objectForKey("still").objectAs<UIImage>();
  EXPECT_TRUE(HV_isDecodedForDisplay(remembered));
  EXPECT_DOUBLE_EQ(cache->getImageForKeyWithType("still", HVCacheTierDisk)->scale(), 1);

  cache->setImageImageDataForKeyWithType(nullptr, gif, "anim", HVCacheTierDisk);

  cache->setAllowAnimatedImage(false);
  auto first = cache->getImageForKeyWithType("anim", HVCacheTierDisk);
  ASSERT_TRUE(first);
  EXPECT_FALSE(std::dynamic_pointer_cast<HVImage>(first));
  cache->setAllowAnimatedImage(true);
  auto animated =
      std::dynamic_pointer_cast<HVImage>(cache->getImageForKeyWithType("anim", HVCacheTierDisk));
  ASSERT_TRUE(animated);
  EXPECT_EQ(animated->animatedImageFrameCount(), 2u);

  // Data alone: memory gets the decoded image in the background.
  cache->setImageImageDataForKeyWithType(nullptr, gif, "data", HVCacheTierMemory);
  ASSERT_TRUE(
      testing_loop::runUntil([&] { return cache->memoryCache()->containsObjectForKey("data"); }));
  EXPECT_FALSE(cache->diskCache()->containsObjectForKey("data"));
}

TEST_F(ImageCacheTest, GeneralCacheFillsMemoryFromDisk) {
  EXPECT_FALSE(HVCache::cacheWithPath(""));
  EXPECT_FALSE(HVCache::cacheWithName(""));
  auto cache = HVCache::cacheWithPath((dir_ / "general").string());
  ASSERT_TRUE(cache);
  EXPECT_EQ(cache->name(), "general");
  EXPECT_EQ(cache->memoryCache()->name(), "general");
  cache->setObjectForKey(Value("v"), "k");
  cache->memoryCache()->removeAllObjects();
  EXPECT_TRUE(cache->containsObjectForKey("k"));
  EXPECT_EQ(cache->objectForKey("k"), Value("v"));
  EXPECT_TRUE(cache->memoryCache()->containsObjectForKey("k"));
  cache->removeObjectForKey("k");
  EXPECT_FALSE(cache->containsObjectForKey("k"));
  // A folder path ending in '/' names the cache all the same.
  for (const char* tail : {"/", "//", "/./"}) {
    auto slashed = HVCache::cacheWithPath((dir_ / "slashed").string() + tail);
    ASSERT_TRUE(slashed) << tail;
    EXPECT_EQ(slashed->name(), "slashed") << tail;
    EXPECT_EQ(slashed->memoryCache()->name(), "slashed") << tail;
  }
}

TEST_F(ImageCacheTest, GeneralCacheBlockForms) {
  auto cache = HVCache::cacheWithPath((dir_ / "general").string());
  ASSERT_TRUE(cache);
  std::atomic<int> done{0};
  // Writes reach memory at once and disk before their block.
  cache->setObjectForKeyWithBlock(Value("v"), "k", [&] {
    EXPECT_TRUE(cache->diskCache()->containsObjectForKey("k"));
    done++;
  });
  EXPECT_TRUE(cache->memoryCache()->containsObjectForKey("k"));
  ASSERT_TRUE(testing_loop::runUntil([&] { return done == 1; }));

  // A disk hit is in memory before the read block runs; a memory hit answers too.
  cache->memoryCache()->removeAllObjects();
  std::mutex m;
  std::vector<std::string> seen;
  auto record = [&](const std::string& what) {
    std::lock_guard<std::mutex> hold(m);
    seen.push_back(what);
  };
  cache->objectForKeyWithBlock("k", [&](const std::string& key, const Value& v) {
    EXPECT_EQ(key, "k");
    EXPECT_EQ(v, Value("v"));
    EXPECT_TRUE(cache->memoryCache()->containsObjectForKey("k"));
    record("disk read");
  });
  ASSERT_TRUE(
      testing_loop::runUntil([&] { return cache->memoryCache()->containsObjectForKey("k"); }));
  cache->objectForKeyWithBlock("k", [&](const std::string&, const Value& v) {
    EXPECT_EQ(v, Value("v"));
    record("memory read");
  });
  cache->containsObjectForKeyWithBlock("k", [&](const std::string&, bool has) {
    EXPECT_TRUE(has);
    record("contains");
  });
  cache->objectForKeyWithBlock("absent", [&](const std::string&, const Value& v) {
    EXPECT_TRUE(v.isNil());
    EXPECT_FALSE(cache->memoryCache()->containsObjectForKey("absent"));
    record("miss");
  });
  ASSERT_TRUE(testing_loop::runUntil([&] {
    std::lock_guard<std::mutex> hold(m);
    return seen.size() == 4;
  }));

  cache->removeObjectForKeyWithBlock("k", [&](const std::string& key) {
    EXPECT_EQ(key, "k");
    EXPECT_FALSE(cache->diskCache()->containsObjectForKey("k"));
    done++;
  });
  EXPECT_FALSE(cache->memoryCache()->containsObjectForKey("k"));
  ASSERT_TRUE(testing_loop::runUntil([&] { return done == 2; }));

  cache->setObjectForKey(Value("a"), "a");
  cache->setObjectForKey(Value("b"), "b");
  // Written by the blocks on the cache's queue, read here.
  std::atomic<int64_t> lastRemoved{-1};
  std::atomic<bool> ended{false}, failed{true};
  cache->removeAllObjectsWithProgressBlockEndBlock(
      [&](int64_t removed, int64_t total) {
        EXPECT_EQ(total, 2);
        lastRemoved = removed;
      },
      [&](bool error) {
        failed = error;
        ended = true;
      });
  EXPECT_EQ(cache->memoryCache()->totalCount(), 0u);
  ASSERT_TRUE(testing_loop::runUntil([&] { return ended.load(); }));
  EXPECT_FALSE(failed.load());
  EXPECT_EQ(lastRemoved.load(), 2);
  EXPECT_EQ(cache->diskCache()->totalCount(), 0);

  cache->setObjectForKey(Value("c"), "c");
  cache->removeAllObjectsWithBlock([&] { done++; });
  ASSERT_TRUE(testing_loop::runUntil([&] { return done == 3; }));
  EXPECT_FALSE(cache->containsObjectForKey("c"));
}

TEST_F(ImageCacheTest, PlainInitsRefuseAndNamesAreKept) {
  try {
    HVImageCache::init();
    ADD_FAILURE() << "init returned";
  } catch (const NSException& e) {
    EXPECT_EQ(e.name(), "HVImageCache init error");
    EXPECT_EQ(e.reason(),
              "HVImageCache must be initialized with a path. Use 'initWithPath:' instead.");
  }
  std::vector<std::string> logs;
  setNSLogCaptureForTesting([&](const std::string& line) { logs.push_back(line); });
  EXPECT_FALSE(HVCache::init());
  setNSLogCaptureForTesting(nullptr);
  EXPECT_EQ(logs, std::vector<std::string>{
                      "Use \"initWithName\" or \"initWithPath\" to create HVCache instance."});

  auto cache = HVImageCache::initWithPath(dir_.string());
  ASSERT_TRUE(cache);
  EXPECT_EQ(cache->name(), "");
  cache->setName("avatars");
  EXPECT_EQ(cache->name(), "avatars");
}

// The decode into memory runs in the background; a removal or a newer store of the same key
// made meanwhile must win.
TEST_F(ImageCacheTest, BackgroundDecodeNeverOvertakesALaterChange) {
  auto cache = HVImageCache::initWithPath(dir_.string());
  ASSERT_TRUE(cache);
  auto older = UIImage::imageWithCGImage(solid(64, 64, 0xff0000ff), 1);
  auto newer = HV_imageByDecoded(UIImage::imageWithCGImage(solid(2, 2, 0xff00ff00), 1));
  for (int round = 0; round < 50; round++) {
    std::string key = "k" + std::to_string(round);
    cache->setImageImageDataForKeyWithType(older, Data(), key, HVCacheTierMemory);
    cache->removeImageForKey(key);
    cache->setImageImageDataForKeyWithType(older, Data(), key + "n", HVCacheTierMemory);
    cache->setImageImageDataForKeyWithType(newer, Data(), key + "n", HVCacheTierMemory);
  }
  ASSERT_TRUE(testing_loop::runUntilIdle());
  for (int round = 0; round < 50; round++) {
    std::string key = "k" + std::to_string(round);
    EXPECT_FALSE(cache->memoryCache()->containsObjectForKey(key)) << key;
    EXPECT_TRUE(cache->memoryCache()->objectForKey(key + "n").isIdenticalTo(Value(newer))) << key;
  }
}

// An application's own archive blocks (here a byte-wise XOR, as an encryption would be) see
// every image the cache writes: what lies on disk, inline or in a file, is what the archive
// block returned, and it reads back equal through the unarchive block.
TEST_F(ImageCacheTest, OwnArchiveBlocksSeeEveryStoredImage) {
  auto cache = HVImageCache::initWithPath(dir_.string());
  ASSERT_TRUE(cache);
  auto scramble = [](Data d) {
    std::vector<uint8_t> v(d.bytes(), d.bytes() + d.length());
    for (auto& b : v) b ^= 0x5a;
    return Data(std::move(v));
  };
  cache->diskCache()->setCustomArchiveBlock([scramble](const Value& v) {
    auto d = v.objectAs<NSData>();
    return d ? scramble(d->data()) : Data();
  });
  cache->diskCache()->setCustomUnarchiveBlock(
      [scramble](const Data& d) { return Value(NSData::dataWithData(scramble(d))); });
  // The bytes on disk, read beside the cache: inline in the manifest or in a value file.
  auto stored = [&](const std::string& key) {
    sqlite3* db = nullptr;
    Data out;
    if (sqlite3_open_v2((dir_ / "manifest.sqlite").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
        SQLITE_OK) {
      sqlite3_stmt* st = nullptr;
      sqlite3_prepare_v2(db, "select filename, inline_data from manifest where key = ?1;", -1, &st,
                         nullptr);
      sqlite3_bind_text(st, 1, key.c_str(), -1, SQLITE_TRANSIENT);
      if (st && sqlite3_step(st) == SQLITE_ROW) {
        if (sqlite3_column_type(st, 0) != SQLITE_NULL) {
          std::ifstream f(dir_ / "data" / reinterpret_cast<const char*>(sqlite3_column_text(st, 0)),
                          std::ios::binary);
          out = Data(std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {}));
        } else {
          out = Data(sqlite3_column_blob(st, 1), size_t(sqlite3_column_bytes(st, 1)));
        }
      }
      sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return out;
  };
  Data small = pngData(solid(4, 2, 0xff336699), false);
  // Noise does not compress: a large value, kept in a file.
  auto noise = CGImage::create(120, 120, true);
  cairo_surface_flush(noise->surface());
  uint32_t seed = 7;
  for (size_t i = 0; i < 120 * size_t(noise->bytesPerRow()); i++)
    cairo_image_surface_get_data(noise->surface())[i] =
        uint8_t((seed = seed * 1103515245 + 12345) >> 16);
  cairo_surface_mark_dirty(noise->surface());
  Data large = pngData(noise, false);
  ASSERT_GT(large.length(), HVDiskCache::kDefaultInlineThreshold);
  for (auto& [key, png] : {std::pair<std::string, Data>{"small", small}, {"large", large}}) {
    SCOPED_TRACE(key);
    cache->setImageImageDataForKeyWithType(HVImage::initWithDataScale(png, 3), png, key,
                                           HVCacheTierDisk);
    EXPECT_EQ(stored(key), scramble(png));
    EXPECT_EQ(cache->getImageDataForKey(key), png);
    auto back = cache->getImageForKeyWithType(key, HVCacheTierDisk);
    EXPECT_TRUE(back);  // each row reports for itself
    if (back) {
      EXPECT_DOUBLE_EQ(back->scale(), 3);
    }
  }
}

// The shared cache is made once its folder can be opened: a first call that cannot open it
// answers nullptr and a later one tries again.
TEST_F(ImageCacheTest, SharedCacheIsMadeOnceItsFolderOpens) {
  std::string oldRoot = DeviceRoot::path();
  ASSERT_TRUE(DeviceRoot::setPath((dir_ / "root").string()));
  fs::path blocker = fs::path(DeviceRoot::cachesPath()) / "com.orvane.HVkit";
  std::ofstream(blocker) << "a file where the folder goes";
  std::vector<std::string> logs;
  setNSLogCaptureForTesting([&](const std::string& line) { logs.push_back(line); });
  EXPECT_FALSE(HVImageCache::sharedCache());
  setNSLogCaptureForTesting(nullptr);
  EXPECT_FALSE(logs.empty());
  fs::remove(blocker);
  auto shared = HVImageCache::sharedCache();
  ASSERT_TRUE(shared);
  EXPECT_EQ(HVImageCache::sharedCache(), shared);
  EXPECT_TRUE(fs::exists(blocker / "images" / "manifest.sqlite"));
  DeviceRoot::setPath(oldRoot);
}

TEST_F(ImageCacheTest, GeneralCacheNamesAreOneFolderUnderCaches) {
  for (std::string name : {dir_.string(), std::string(".."), std::string("."), std::string("a/b"),
                           std::string("x\0y", 3), std::string()}) {
    EXPECT_FALSE(HVCache::cacheWithName(name)) << name;
  }
  EXPECT_FALSE(fs::exists(dir_));
}

}  // namespace
