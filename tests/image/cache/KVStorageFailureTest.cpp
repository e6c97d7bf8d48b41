// The key-value storage when the disk lets it down: opens that fail (retried at most every
// 2 s, given up after 8 failures in a row), writes that fail (the old value stays), and a
// process killed at random moments over and over (nothing acknowledged is lost).

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>

#include "image/cache/HVKVStorage.h"
#include "platform/foundation/NSLog.h"
#include "testing/loop/Pump.h"
#include "testing/sqlite/FailingVFS.h"
#include "tests/image/cache/StorageFolderTest.h"

using namespace plat;
namespace fs = std::filesystem;

namespace {

using KVStorageFailureTest = StorageFolderTest;

TEST_F(KVStorageFailureTest, FailedOpensAreRetriedEveryTwoSecondsAndGivenUpAfterEight) {
  testing_loop::VirtualClockScope clock;
  testing_sqlite::FailingVFSScope vfs;
  {
    auto kv = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
    ASSERT_TRUE(kv);
    ASSERT_TRUE(kv->saveItemWithKeyValueFilenameExtendedData("k", bytes(10, 1), "f", Data()));
  }
  // An open that fails (not a damaged database) fails init and deletes nothing.
  vfs.setFailOpens(true);
  EXPECT_FALSE(HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed));
  EXPECT_TRUE(fs::exists(dir_ / "data" / "f"));
  vfs.setFailOpens(false);
  auto kv = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
  ASSERT_TRUE(kv);
  EXPECT_EQ(kv->getItemValueForKey("k"), bytes(10, 1));

  // removeAllItems closes and reopens: the reopen fails.
  vfs.setFailOpens(true);
  EXPECT_FALSE(kv->removeAllItems());
  int opens = vfs.mainDbOpens();
  // Within 2 s nothing is tried.
  clock.clock().advanceBy(1.9);
  EXPECT_FALSE(kv->saveItemWithKeyValue("a", bytes(5, 5)));
  EXPECT_EQ(kv->getItemsCount(), -1);
  EXPECT_EQ(vfs.mainDbOpens(), opens);
  // Two more failures, then the disk recovers and the next try after 2 s succeeds.
  for (int i = 0; i < 2; i++) {
    clock.clock().advanceBy(2.1);
    EXPECT_FALSE(kv->saveItemWithKeyValue("a", bytes(5, 5)));
    EXPECT_EQ(vfs.mainDbOpens(), ++opens);
  }
  vfs.setFailOpens(false);
  EXPECT_FALSE(kv->saveItemWithKeyValue("a", bytes(5, 5)));  // still within 2 s
  clock.clock().advanceBy(2.1);
  EXPECT_TRUE(kv->saveItemWithKeyValue("a", bytes(5, 5)));
  EXPECT_EQ(kv->getItemValueForKey("a"), bytes(5, 5));

  // Eight failures in a row: the storage gives up for good.
  vfs.setFailOpens(true);
  EXPECT_FALSE(kv->removeAllItems());
  opens = vfs.mainDbOpens();
  for (int i = 0; i < 12; i++) {
    clock.clock().advanceBy(2.1);
    EXPECT_FALSE(kv->itemExistsForKey("a"));
  }
  EXPECT_EQ(vfs.mainDbOpens(), opens + 7);
  vfs.setFailOpens(false);
  clock.clock().advanceBy(10);
  EXPECT_FALSE(kv->saveItemWithKeyValue("a", bytes(5, 5)));
  EXPECT_EQ(vfs.mainDbOpens(), opens + 7);
  kv.reset();
  // A new storage on the folder opens again.
  EXPECT_TRUE(HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed));
}

TEST_F(KVStorageFailureTest, FailedWritesAnswerNoAndKeepTheOldValue) {
  testing_sqlite::FailingVFSScope vfs;
  for (HVStorageMode mode : {HVStorageModeSQLite, HVStorageModeMixed, HVStorageModeFiles}) {
    SCOPED_TRACE(mode);
    fs::remove_all(dir_);
    auto kv = HVKVStorage::initWithPathType(dir_.string(), mode);
    ASSERT_TRUE(kv);
    bool inlineOK = mode != HVStorageModeFiles;
    if (inlineOK) {
      ASSERT_TRUE(kv->saveItemWithKeyValue("in", bytes(100, 1)));
    }
    ASSERT_TRUE(kv->saveItemWithKeyValueFilenameExtendedData("file", bytes(50000, 2), "f", Data()));

    vfs.setFailWrites(true);
    if (inlineOK) {
      EXPECT_FALSE(kv->saveItemWithKeyValue("in", bytes(100, 3)));
    }
    // Same file name, another file name, and inline over a file-stored key.
    EXPECT_FALSE(
        kv->saveItemWithKeyValueFilenameExtendedData("file", bytes(60000, 4), "f", Data()));
    EXPECT_FALSE(
        kv->saveItemWithKeyValueFilenameExtendedData("file", bytes(60000, 5), "g", Data()));
    if (inlineOK) {
      EXPECT_FALSE(kv->saveItemWithKeyValue("file", bytes(10, 6)));
    }
    EXPECT_FALSE(kv->removeItemForKey("file"));
    EXPECT_FALSE(kv->removeItemForKeys({"in", "file"}));
    EXPECT_GT(vfs.failedWrites(), 0);
    // Reads still work while writes fail (the access time is simply not updated).
    auto file = kv->getItemForKey("file");
    ASSERT_TRUE(file);
    EXPECT_EQ(file->value, bytes(50000, 2));
    vfs.setFailWrites(false);

    if (inlineOK) {
      EXPECT_EQ(kv->getItemForKey("in")->value, bytes(100, 1));
    }
    EXPECT_EQ(kv->getItemForKey("file")->value, bytes(50000, 2));
    EXPECT_FALSE(fs::exists(dir_ / "data" / "g"));
    size_t files = 0;
    for (auto& e : fs::directory_iterator(dir_ / "data")) files += e.is_regular_file();
    EXPECT_EQ(files, 1u);  // no temporary file left behind
    EXPECT_TRUE(kv->saveItemWithKeyValueFilenameExtendedData("file", bytes(60000, 7), "g", Data()));
    EXPECT_EQ(kv->getItemForKey("file")->value, bytes(60000, 7));
    EXPECT_FALSE(fs::exists(dir_ / "data" / "f"));
  }
}

// A full disk while the manifest is made again must not leave a connection without its table
// that every later call trips over once space is back.
TEST_F(KVStorageFailureTest, FullDiskWhileRemovingEverythingRecoversWhenSpaceIsBack) {
  testing_loop::VirtualClockScope clock;
  testing_sqlite::FailingVFSScope vfs;
  auto kv = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
  ASSERT_TRUE(kv);
  ASSERT_TRUE(kv->saveItemWithKeyValue("k", bytes(10, 1)));
  vfs.setFailWrites(true);
  EXPECT_FALSE(kv->removeAllItems());
  vfs.setFailWrites(false);
  clock.clock().advanceBy(2.1);
  EXPECT_TRUE(kv->saveItemWithKeyValue("k", bytes(10, 2)));
  EXPECT_EQ(kv->getItemValueForKey("k"), bytes(10, 2));
  EXPECT_EQ(kv->getItemsCount(), 1);
}

}  // namespace
