// The key-value storage: inline and file rules per mode, reads after tampering, LRU removal,
// 64-bit totals, hostile file names and the handling of damaged or unopenable databases.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "image/cache/HVKVStorage.h"
#include "platform/foundation/NSLog.h"
#include "testing/loop/Pump.h"
#include "tests/image/cache/StorageFolderTest.h"

using namespace plat;
namespace fs = std::filesystem;

namespace {

class KVStorageTest : public StorageFolderTest {
 protected:
  // Runs SQL on the manifest behind the storage's back.
  void rawExec(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir_ / "manifest.sqlite").c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    sqlite3_close(db);
  }
};

TEST_F(KVStorageTest, InlineAndFileRulesPerMode) {
  struct Case {
    HVStorageMode mode;
    bool inlineAllowed;
  } cases[] = {
      {HVStorageModeFiles, false}, {HVStorageModeSQLite, true}, {HVStorageModeMixed, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    fs::remove_all(dir_);
    auto kv = HVKVStorage::initWithPathType(dir_.string(), c.mode);
    ASSERT_TRUE(kv);
    Data v = bytes(100, 1);
    EXPECT_EQ(kv->saveItemWithKeyValue("inline", v), c.inlineAllowed);
    // A file name always sends the value to a file, in every mode.
    EXPECT_TRUE(
        kv->saveItemWithKeyValueFilenameExtendedData("file", v, "f1", Data::fromString("x")));
    EXPECT_TRUE(fs::exists(dir_ / "data" / "f1"));
    auto item = kv->getItemForKey("file");
    ASSERT_TRUE(item);
    EXPECT_EQ(item->value, v);
    EXPECT_EQ(item->filename, "f1");
    EXPECT_EQ(item->size, 100);
    EXPECT_EQ(item->extendedData, Data::fromString("x"));
    auto value = kv->getItemValueForKey("file");
    if (c.mode == HVStorageModeSQLite) {
      EXPECT_FALSE(value);  // SQLite mode reads the inline column only
    } else {
      ASSERT_TRUE(value);
      EXPECT_EQ(*value, v);
    }
    // Re-storing under another name removes the old file after the row names the new one.
    EXPECT_TRUE(kv->saveItemWithKeyValueFilenameExtendedData("file", bytes(5, 2), "f2", Data()));
    EXPECT_FALSE(fs::exists(dir_ / "data" / "f1"));
    if (c.mode == HVStorageModeMixed) {
      // Inline over a file-stored key drops the file.
      EXPECT_TRUE(kv->saveItemWithKeyValue("file", bytes(7, 3)));
      EXPECT_FALSE(fs::exists(dir_ / "data" / "f2"));
      EXPECT_EQ(*kv->getItemValueForKey("file"), bytes(7, 3));
    }
    EXPECT_FALSE(kv->saveItemWithKeyValue("", v));
    EXPECT_FALSE(kv->saveItemWithKeyValue("empty", Data()));
    EXPECT_FALSE(kv->getItemForKey(""));
    EXPECT_TRUE(kv->removeItemForKey("file"));
    EXPECT_FALSE(kv->itemExistsForKey("file"));
    // SQLite mode removes rows only.
    EXPECT_EQ(fs::is_empty(dir_ / "data"), c.mode != HVStorageModeSQLite);
  }
}

TEST_F(KVStorageTest, MissingFilesAndTamperedRowsDropTheRowOnly) {
  auto kv = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
  ASSERT_TRUE(kv);
  EXPECT_TRUE(kv->saveItemWithKeyValueFilenameExtendedData("a", bytes(10, 1), "fa", Data()));
  EXPECT_TRUE(kv->saveItemWithKeyValueFilenameExtendedData("b", bytes(10, 2), "fb", Data()));
  fs::remove(dir_ / "data" / "fa");
  EXPECT_FALSE(kv->getItemForKey("a"));
  EXPECT_FALSE(kv->itemExistsForKey("a"));
  EXPECT_EQ(kv->getItemsCount(), 1);

  // Hostile names are refused before anything is written.
  for (const std::string& bad :
       std::vector<std::string>{".", "..", "../x", "a/b", std::string("n\0ul", 4), ".hvkv-tmp-1"}) {
    EXPECT_FALSE(kv->saveItemWithKeyValueFilenameExtendedData("k", bytes(3, 3), bad, Data()))
        << bad;
  }
  // A row rewritten to point outside "data" is neither read nor deleted through.
  std::ofstream(dir_ / "outside") << "secret";
  rawExec("update manifest set filename = '../outside' where key = 'b';");
  EXPECT_FALSE(kv->getItemValueForKey("b"));
  EXPECT_FALSE(kv->itemExistsForKey("b"));
  EXPECT_TRUE(fs::exists(dir_ / "outside"));
  // A named pipe planted under a stored name does not hang the reader.
  EXPECT_TRUE(kv->saveItemWithKeyValueFilenameExtendedData("p", bytes(3, 3), "pipe", Data()));
  fs::remove(dir_ / "data" / "pipe");
  ASSERT_EQ(::mkfifo((dir_ / "data" / "pipe").c_str(), 0600), 0);
  EXPECT_FALSE(kv->getItemForKey("p"));
}

// A key is never cut short at a NUL byte: such keys are refused, and never reach another key.
TEST_F(KVStorageTest, KeysHoldingNulAreRefused) {
  auto kv = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
  ASSERT_TRUE(kv);
  const std::string nul("a\0b", 3);
  ASSERT_TRUE(kv->saveItemWithKeyValue("a", bytes(4, 1)));
  EXPECT_FALSE(kv->saveItemWithKeyValue(nul, bytes(4, 2)));
  EXPECT_FALSE(kv->saveItemWithKeyValueFilenameExtendedData(nul, bytes(4, 2), "f", Data()));
  EXPECT_FALSE(fs::exists(dir_ / "data" / "f"));
  EXPECT_FALSE(kv->getItemForKey(nul));
  EXPECT_FALSE(kv->getItemInfoForKey(nul));
  EXPECT_FALSE(kv->getItemValueForKey(nul));
  EXPECT_FALSE(kv->itemExistsForKey(nul));
  EXPECT_FALSE(kv->removeItemForKey(nul));
  EXPECT_FALSE(kv->removeItemForKeys({"a", nul}));
  EXPECT_TRUE(kv->getItemForKeys({"a", nul}).empty());
  EXPECT_TRUE(kv->getItemValueForKeys({nul}).empty());
  EXPECT_EQ(kv->getItemsCount(), 1);
  EXPECT_EQ(kv->getItemValueForKey("a"), bytes(4, 1));
  // Nor is a storage path cut short.
  std::string cut = (dir_ / "cut").string();
  EXPECT_FALSE(HVKVStorage::initWithPathType(cut + std::string("\0x", 2), HVStorageModeMixed));
  EXPECT_FALSE(fs::exists(cut));
}

TEST_F(KVStorageTest, RemovalsByTimeSizeAndFitOldestFirst) {
  testing_loop::VirtualClockScope clock;
  auto kv = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
  ASSERT_TRUE(kv);
  for (int i = 0; i < 40; i++) {
    std::string key = "k" + std::to_string(i);
    if (i % 2) {
      ASSERT_TRUE(kv->saveItemWithKeyValueFilenameExtendedData(key, bytes(10, i), key, Data()));
    } else {
      ASSERT_TRUE(kv->saveItemWithKeyValue(key, bytes(10, i)));
    }
    clock.clock().advanceBy(1);
  }
  // Reading the oldest key makes it the newest.
  ASSERT_TRUE(kv->getItemForKey("k0"));
  EXPECT_EQ(kv->getItemsSize(), 400);
  EXPECT_TRUE(kv->removeItemsToFitSize(255));
  EXPECT_EQ(kv->getItemsSize(), 250);
  EXPECT_TRUE(kv->itemExistsForKey("k0"));
  EXPECT_FALSE(kv->itemExistsForKey("k1"));
  EXPECT_FALSE(fs::exists(dir_ / "data" / "k1"));
  EXPECT_TRUE(kv->itemExistsForKey("k16"));
  EXPECT_TRUE(kv->removeItemsToFitCount(3));
  EXPECT_EQ(kv->getItemsCount(), 3);
  EXPECT_TRUE(kv->itemExistsForKey("k0"));

  EXPECT_TRUE(kv->removeItemsEarlierThanTime(0));
  EXPECT_EQ(kv->getItemsCount(), 3);
  EXPECT_TRUE(kv->removeItemsLargerThanSize(2147483647));
  EXPECT_EQ(kv->getItemsCount(), 3);
  EXPECT_TRUE(kv->saveItemWithKeyValue("big", bytes(50, 1)));
  EXPECT_TRUE(kv->removeItemsLargerThanSize(20));
  EXPECT_FALSE(kv->itemExistsForKey("big"));
  EXPECT_TRUE(kv->removeItemsEarlierThanTime(2147483647));
  EXPECT_EQ(kv->getItemsCount(), 0);
  EXPECT_TRUE(fs::is_empty(dir_ / "data"));

  // Progress rounds of 32.
  for (int i = 0; i < 70; i++)
    ASSERT_TRUE(kv->saveItemWithKeyValue(std::to_string(i), bytes(1, 1)));
  std::vector<int64_t> rounds;
  bool ended = false, error = true;
  kv->removeAllItemsWithProgressBlockEndBlock(
      [&](int64_t removed, int64_t total) {
        EXPECT_EQ(total, 70);
        rounds.push_back(removed);
      },
      [&](bool e) { ended = true, error = e; });
  EXPECT_EQ(rounds, (std::vector<int64_t>{32, 64, 70}));
  EXPECT_TRUE(ended);
  EXPECT_FALSE(error);
}

TEST_F(KVStorageTest, TotalsAboveTwoGigabytesAreExact) {
  auto kv = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeSQLite);
  ASSERT_TRUE(kv);
  ASSERT_TRUE(kv->saveItemWithKeyValue("a", bytes(1, 1)));
  ASSERT_TRUE(kv->saveItemWithKeyValue("b", bytes(1, 1)));
  rawExec("update manifest set size = 2000000000;");
  EXPECT_EQ(kv->getItemsSize(), 4000000000LL);
  EXPECT_EQ(kv->getItemInfoForKey("a")->size, 2000000000);
  EXPECT_TRUE(kv->removeItemsToFitSize(2100000000));
  EXPECT_EQ(kv->getItemsCount(), 1);
}

TEST_F(KVStorageTest, RemoveAllTrashesValuesAndKeepsWorking) {
  auto kv = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeFiles);
  ASSERT_TRUE(kv);
  EXPECT_FALSE(kv->saveItemWithKeyValue("k", bytes(3, 1)));  // files mode needs a name
  ASSERT_TRUE(kv->saveItemWithKeyValueFilenameExtendedData("k", bytes(3, 1), "f", Data()));
  EXPECT_TRUE(kv->removeAllItems());
  EXPECT_EQ(kv->getItemsCount(), 0);
  ASSERT_TRUE(testing_loop::runUntil([&] { return fs::is_empty(dir_ / "trash"); }));
  EXPECT_TRUE(fs::is_empty(dir_ / "data"));
  EXPECT_TRUE(kv->saveItemWithKeyValueFilenameExtendedData("k", bytes(3, 2), "f", Data()));
  EXPECT_EQ(kv->getItemForKey("k")->value, bytes(3, 2));
}

TEST_F(KVStorageTest, DamagedDatabaseIsResetOtherFailuresDeleteNothing) {
  EXPECT_FALSE(HVKVStorage::initWithPathType("", HVStorageModeMixed));
  EXPECT_FALSE(HVKVStorage::initWithPathType(dir_.string(), static_cast<HVStorageMode>(3)));
  EXPECT_NE(std::find(logs_.begin(), logs_.end(), "HVKVStorage init error: invalid type: 3."),
            logs_.end());

  // Not a database: reset, and the storage works.
  fs::create_directories(dir_ / "data");
  std::ofstream(dir_ / "manifest.sqlite") << std::string(4096, 'z');
  std::ofstream(dir_ / "data" / "old") << "old";
  {
    auto kv = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
    ASSERT_TRUE(kv);
    EXPECT_FALSE(fs::exists(dir_ / "data" / "old"));
    EXPECT_TRUE(kv->saveItemWithKeyValue("k", bytes(4, 4)));
  }
  // A manifest that cannot be opened (a folder in its place here) fails init and deletes
  // nothing.
  if (::geteuid() != 0) {
    fs::permissions(dir_ / "manifest.sqlite", fs::perms::none);
    EXPECT_FALSE(HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed));
    fs::permissions(dir_ / "manifest.sqlite", fs::perms::owner_read | fs::perms::owner_write);
    auto kv = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
    ASSERT_TRUE(kv);
    EXPECT_EQ(kv->getItemValueForKey("k"), bytes(4, 4));
  }
}

TEST_F(KVStorageTest, ValueFilesOfAnotherLengthAreUnreadable) {
  auto kv = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
  ASSERT_TRUE(kv);
  for (std::string key : {"a", "b", "c", "d"}) {
    ASSERT_TRUE(
        kv->saveItemWithKeyValueFilenameExtendedData(key, bytes(100, 1), "f" + key, Data()));
  }
  // A sparse file of 1 TiB must not be read into memory; a shorter one is not the value.
  fs::resize_file(dir_ / "data" / "fa", uint64_t(1) << 40);
  fs::resize_file(dir_ / "data" / "fb", uint64_t(1) << 40);
  fs::resize_file(dir_ / "data" / "fc", 50);
  EXPECT_FALSE(kv->getItemForKey("a"));
  EXPECT_FALSE(kv->getItemValueForKey("b"));
  auto items = kv->getItemForKeys({"c", "d"});
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0]->key, "d");
  EXPECT_EQ(kv->getItemsCount(), 1);
}

TEST_F(KVStorageTest, FolderTroubleUnderALiveStorageIsRepaired) {
  auto kv = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
  ASSERT_TRUE(kv);
  // "data" deleted: the next file store makes it again, and so does removing everything.
  fs::remove_all(dir_ / "data");
  EXPECT_TRUE(kv->saveItemWithKeyValueFilenameExtendedData("k", bytes(30, 1), "f", Data()));
  EXPECT_EQ(kv->getItemValueForKey("k"), bytes(30, 1));
  fs::remove_all(dir_ / "data");
  EXPECT_TRUE(kv->removeAllItems());
  EXPECT_TRUE(fs::is_directory(dir_ / "data"));
  EXPECT_TRUE(kv->saveItemWithKeyValueFilenameExtendedData("k", bytes(30, 2), "f", Data()));

  // "trash" deleted: removing everything still empties "data".
  fs::remove_all(dir_ / "trash");
  EXPECT_TRUE(kv->removeAllItems());
  EXPECT_EQ(kv->getItemsCount(), 0);
  EXPECT_TRUE(fs::is_empty(dir_ / "data"));
  ASSERT_TRUE(testing_loop::runUntil([&] { return fs::is_empty(dir_ / "trash"); }));
}

TEST_F(KVStorageTest, FilesNoRowNamesGoWhenTheStorageOpens) {
  {
    auto kv = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
    ASSERT_TRUE(kv);
    ASSERT_TRUE(kv->saveItemWithKeyValueFilenameExtendedData("a", bytes(30, 1), "fa", Data()));
    ASSERT_TRUE(kv->saveItemWithKeyValueFilenameExtendedData("b", bytes(30, 1), "fb", Data()));
    ASSERT_TRUE(kv->saveItemWithKeyValueFilenameExtendedData("c", bytes(30, 1), "fc", Data()));
  }
  {
    // SQLite mode removes and replaces rows only: the files of "a" and "b" lose their rows.
    auto kv = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeSQLite);
    ASSERT_TRUE(kv);
    EXPECT_TRUE(kv->removeItemForKey("a"));
    EXPECT_TRUE(kv->saveItemWithKeyValue("b", bytes(10, 2)));
  }
  auto kv = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeSQLite);
  ASSERT_TRUE(kv);
  std::set<std::string> files;
  for (auto& e : fs::directory_iterator(dir_ / "data")) files.insert(e.path().filename().string());
  EXPECT_EQ(files, std::set<std::string>{"fc"});
  EXPECT_EQ(kv->getItemValueForKey("b"), bytes(10, 2));
  ASSERT_TRUE(kv->getItemForKey("c"));
  EXPECT_EQ(kv->getItemForKey("c")->value, bytes(30, 1));
}

// Two storages on one manifest (another process, another spelling of the folder) wait for
// each other's locks instead of failing.
TEST_F(KVStorageTest, TwoStoragesOnOneFolderLoseNoStore) {
  auto one = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
  auto two = HVKVStorage::initWithPathType(dir_.string() + "/", HVStorageModeMixed);
  ASSERT_TRUE(one && two);
  std::atomic<int> failed{0};
  auto store = [&](HVKVStorage* kv, const std::string& prefix) {
    for (int i = 0; i < 300; i++) {
      if (!kv->saveItemWithKeyValue(prefix + std::to_string(i), bytes(64, uint8_t(i)))) failed++;
    }
  };
  std::thread a(store, one.get(), "a"), b(store, two.get(), "b");
  a.join();
  b.join();
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(one->getItemsCount(), 600);
}

}  // namespace
