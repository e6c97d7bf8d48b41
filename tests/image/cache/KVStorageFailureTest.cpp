// The key-value storage when the disk lets it down: opens that fail (retried at most every
// 2 s, given up after 8 failures in a row), writes that fail (the old value stays), values
// past the database's length limit, and a database damaged after it was made.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>
#include <set>

#include "image/cache/HVKVStorage.h"
#include "platform/foundation/NSLog.h"
#include "testing/loop/Pump.h"
#include "testing/sqlite/FailingVFS.h"
#include "tests/image/cache/StorageFolderTest.h"

using namespace plat;
namespace fs = std::filesystem;

namespace {

using KVStorageFailureTest = StorageFolderTest;
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();

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

// Storage A's store of k fails: its rename fails and from then on the disk takes no writes
// until it recovers. Whatever A, a second storage B on the folder and later storages do then,
// k reads as its old record (value and extended data) or as what B stored after, never as the
// failed store's value, in every storage and after a restart; no temporary file is left.
TEST_F(KVStorageFailureTest, AFailedStoreStaysFailedInEveryStorageAndAfterARestart) {
  struct Old {
    const char* name;
    const char* file;  // nullptr: inline; "": no old value
    const char* newFile;
  };
  const std::string kThens[] = {
      "A recovers",
      "A ends, B opens",
      "B opens and reads before the disk recovers",
      "B opens, then A changes",  // B's rename works, A's does not
      // B is open from the start.
      "B stores inline",
      "B stores under another file name",
      "B stores under the same file name",
  };
  for (const Old& row : {Old{"same file", "f", "f"}, Old{"another file", "f", "g"},
                         Old{"inline before", nullptr, "g"}, Old{"no old value", "", "g"}}) {
    for (const std::string& then : kThens) {
      SCOPED_TRACE(std::string(row.name) + ", " + then);
      fs::remove_all(dir_);
      testing_sqlite::FailingVFSScope vfs;
      auto a = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
      if (!a) {
        ADD_FAILURE() << "no storage";
        continue;
      }
      // The expected record of k: the old one, or B's.
      std::optional<Data> value, extended;
      std::optional<std::string> file;
      if (!row.file || *row.file) {
        value = bytes(30000, 1), extended = bytes(5, 2);
        file = row.file ? row.file : "";
        EXPECT_TRUE(a->saveItemWithKeyValueFilenameExtendedData("k", *value, *file, *extended));
      }
      std::shared_ptr<HVKVStorage> b;
      if (then.rfind("B stores", 0) == 0) {
        b = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
      }
      a->setRenameForTesting([&](const std::string&, const std::string&) {
        vfs.setFailWrites(true);
        errno = ENOSPC;
        return -1;
      });
      // Of the same length: a read pairing the old bytes with the new row shows.
      EXPECT_FALSE(a->saveItemWithKeyValueFilenameExtendedData("k", bytes(30000, 3), row.newFile,
                                                               bytes(5, 4)));
      auto expectK = [&](HVKVStorage* kv, const char* who) {
        SCOPED_TRACE(who);
        auto item = kv->getItemForKey("k");
        EXPECT_EQ(item != nullptr, value.has_value());
        EXPECT_EQ(kv->itemExistsForKey("k"), value.has_value());
        EXPECT_EQ(kv->getItemValueForKeys({"k", "k"}).size(), value ? 1u : 0u);
        auto info = kv->getItemInfoForKey("k");
        EXPECT_EQ(info ? info->filename : "-", file.value_or("-"));
        if (item && value) {
          EXPECT_EQ(item->value, *value);
          EXPECT_EQ(item->extendedData, *extended);
        }
        EXPECT_EQ(kv->getItemsCount(), (value ? 1 : 0) + kv->itemExistsForKey("other"));
        EXPECT_EQ(kv->getItemsSize(),
                  int64_t(value ? value->length() : 0) + (kv->itemExistsForKey("other") ? 10 : 0));
      };
      expectK(a.get(), "A, disk failing");
      EXPECT_FALSE(a->removeItemForKey("k"));

      if (then == "A ends, B opens") a.reset();
      if (then == "B opens and reads before the disk recovers") {
        b = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
        if (b) expectK(b.get(), "B, disk failing");
      }
      vfs.setFailWrites(false);
      if (a) a->setRenameForTesting(nullptr);
      if (!b && then != "A recovers")
        b = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
      if (then != "A recovers" && !b) {
        ADD_FAILURE() << "B did not open";
        continue;
      }
      if (then.rfind("B stores", 0) == 0) {
        value = bytes(20000, 6), extended = bytes(3, 7);
        file = then == "B stores inline"                    ? ""
               : then == "B stores under another file name" ? "h"
                                                            : row.newFile;
        EXPECT_TRUE(b->saveItemWithKeyValueFilenameExtendedData("k", *value, *file, *extended));
      }
      // A's next change, which last round replayed an owed restore with.
      if (a) EXPECT_TRUE(a->saveItemWithKeyValue("other", bytes(10, 5)));
      if (a) expectK(a.get(), "A");
      if (b) expectK(b.get(), "B");
      a.reset();
      b.reset();
      auto later = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
      if (!later) {
        ADD_FAILURE() << "no storage after the restart";
        continue;
      }
      expectK(later.get(), "after a restart");
      std::set<std::string> files, expected;
      for (auto& e : fs::directory_iterator(dir_ / "data")) files.insert(e.path().filename());
      if (file && !file->empty()) expected.insert(*file);
      EXPECT_EQ(files, expected);
    }
  }
}

// A database of the previous build can record a store as waiting for its rename (the new row
// committed, its bytes under a temporary name). Opening does not complete it: the row, which
// no file holds the bytes of, goes with the temporary file; other keys stay.
TEST_F(KVStorageFailureTest, AStoreAnOlderBuildLeftWaitingIsNotCompleted) {
  {
    auto kv = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
    ASSERT_TRUE(kv);
    ASSERT_TRUE(kv->saveItemWithKeyValueFilenameExtendedData("k", bytes(3000, 1), "f", Data()));
    ASSERT_TRUE(kv->saveItemWithKeyValueFilenameExtendedData("o", bytes(100, 2), "o", Data()));
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir_ / "manifest.sqlite").c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db,
                         "create table if not exists pending_file (filename text, temp text, "
                         "primary key(filename)); insert into pending_file values ('f', "
                         "'.hvkv-tmp-old'); update manifest set size = 4000 where key = 'k';",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  {
    std::ofstream temp(dir_ / "data" / ".hvkv-tmp-old", std::ios::binary);
    temp.write(reinterpret_cast<const char*>(bytes(4000, 3).bytes()), 4000);
  }
  auto kv = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
  ASSERT_TRUE(kv);
  EXPECT_FALSE(kv->getItemForKey("k"));
  EXPECT_EQ(kv->getItemValueForKey("o"), bytes(100, 2));
  std::set<std::string> files;
  for (auto& e : fs::directory_iterator(dir_ / "data")) files.insert(e.path().filename());
  EXPECT_EQ(files, std::set<std::string>{"o"});
}

// What a power cut can undo is what was not synced. Every store and removal is watched
// through its file calls and the manifest's writes and syncs: a value file is synced before
// its rename, "data" is synced after a file is made in it before the store's entry is written
// and after a rename before the answer, no file holding a value the manifest's last synced
// state still names is deleted or renamed over, and the call answers with its commit synced.
TEST_F(KVStorageFailureTest, AnAnsweredChangeSurvivesAPowerCut) {
  using Kv = HVKVStorage;
  struct Op {
    const char* name;
    std::function<bool(Kv&)> setUp, change;
  };
  auto inFile = [](const char* file) {
    return [file](Kv& kv) {
      return kv.saveItemWithKeyValueFilenameExtendedData("k", bytes(3000, 1), file, Data()) &&
             kv.saveItemWithKeyValue("i", bytes(10, 1)) && kv.getItemForKey("i");
    };
  };
  auto store = [](const char* file) {
    return [file](Kv& kv) {
      return kv.saveItemWithKeyValueFilenameExtendedData("k", bytes(4000, 2), file, bytes(3, 3));
    };
  };
  const Op ops[] = {
      {"file store, same file", inFile("f"), store("f")},
      {"file store, another file", inFile("f"), store("g")},
      {"file store over an inline value", inFile(""), store("g")},
      {"inline store over a file", inFile("f"), store("")},
      {"removal", inFile("f"), [](Kv& kv) { return kv.removeItemForKey("k"); }},
      {"removal of keys", inFile("f"),
       [](Kv& kv) {
         return kv.removeItemForKeys({"k", "i"});
       }},
      {"removal by size", inFile("f"), [](Kv& kv) { return kv.removeItemsLargerThanSize(100); }},
      {"removal by time", inFile("f"),
       [](Kv& kv) { return kv.removeItemsEarlierThanTime(kInt64Max - 1); }},
      {"trim by count", inFile("f"), [](Kv& kv) { return kv.removeItemsToFitCount(1); }},
      {"trim by size", inFile("f"), [](Kv& kv) { return kv.removeItemsToFitSize(10); }},
      {"removal with progress", inFile("f"),
       [](Kv& kv) {
         bool failed = true;
         kv.removeAllItemsWithProgressBlockEndBlock(nullptr, [&](bool error) { failed = error; });
         return !failed;
       }},
  };
  for (const Op& op : ops) {
    SCOPED_TRACE(op.name);
    fs::remove_all(dir_);
    testing_sqlite::FailingVFSScope vfs;
    auto kv = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
    if (!kv || !op.setUp(*kv)) {
      ADD_FAILURE() << "set-up failed";
      continue;
    }
    std::string data = (dir_ / "data").string();
    bool dirty = false, folderOwed = false, nameOwed = false;
    int commitsSynced = 0;
    std::set<std::string> synced;
    std::vector<std::string> faults;
    auto fault = [&](const std::string& what) { faults.push_back(what); };
    vfs.setObserver([&](const char* event) {
      if (std::string(event) == "sync") {
        dirty = false;
        commitsSynced++;
        return;
      }
      if (nameOwed) fault("the manifest written before a new file's name was synced");
      nameOwed = false;
      dirty = true;
    });
    HVKVStorage::FileOps ops;
    ops.fsync = [&](int fd, const std::string& path) {
      if (path == data) {
        folderOwed = nameOwed = false;
      } else {
        synced.insert(path);
        nameOwed = true;
      }
      return ::fsync(fd);
    };
    auto kept = [&](const std::string& what, const std::string& path) {
      if (dirty || commitsSynced == 0) fault(what + " " + path + " before the commit was synced");
    };
    ops.rename = [&](const std::string& from, const std::string& to) {
      if (!synced.count(from)) fault("renamed before it was synced: " + from);
      if (fs::exists(to)) kept("renamed over", to);
      folderOwed = true;
      return ::rename(from.c_str(), to.c_str());
    };
    ops.unlink = [&](const std::string& path) {
      if (fs::path(path).filename().string().rfind(".hvkv-tmp-", 0) != 0) kept("deleted", path);
      return ::unlink(path.c_str());
    };
    kv->setFileOpsForTesting(ops);
    EXPECT_TRUE(op.change(*kv));
    if (dirty) fault("answered before the commit was synced");
    if (folderOwed) fault("answered before the renamed file's name was synced");
    EXPECT_EQ(faults, std::vector<std::string>{});
    vfs.setObserver(nullptr);
    kv->setFileOpsForTesting({});
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

// A value or extended data longer than the database takes inline (SQLite's length limit,
// lowered here from its 1,000,000,000 bytes) answers NO and keeps the old value; a file value
// of that length is stored, its row holding no bytes.
TEST_F(KVStorageFailureTest, ValuesPastTheDatabaseLengthLimitAnswerNoAndKeepTheOldValue) {
  auto kv = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
  ASSERT_TRUE(kv);
  ASSERT_TRUE(kv->saveItemWithKeyValueFilenameExtendedData("k", bytes(100, 1), "", bytes(10, 2)));
  kv->setLengthLimitForTesting(1000);
  EXPECT_FALSE(kv->saveItemWithKeyValue("k", bytes(1001, 3)));
  EXPECT_FALSE(kv->saveItemWithKeyValueFilenameExtendedData("k", bytes(10, 4), "", bytes(1001, 5)));
  auto item = kv->getItemForKey("k");
  ASSERT_TRUE(item);
  EXPECT_EQ(item->value, bytes(100, 1));
  EXPECT_EQ(item->extendedData, bytes(10, 2));
  EXPECT_TRUE(kv->saveItemWithKeyValueFilenameExtendedData("k", bytes(5000, 6), "f", Data()));
  EXPECT_EQ(kv->getItemValueForKey("k"), bytes(5000, 6));
  EXPECT_TRUE(kv->saveItemWithKeyValue("k", bytes(800, 7)));
  EXPECT_EQ(kv->getItemValueForKey("k"), bytes(800, 7));
}

// A page of the manifest zeroed while no storage had it open: opening works (the schema and
// the table are whole), the first call that meets the damage fails, and the storage is then
// reset, alone by a new database, beside another storage in place. Either way both storages
// and later ones work again.
TEST_F(KVStorageFailureTest, DamageFoundAfterOpeningResetsTheStorage) {
  for (bool beside : {false, true}) {
    SCOPED_TRACE(beside ? "beside another storage" : "alone");
    fs::remove_all(dir_);
    {
      auto kv = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
      ASSERT_TRUE(kv);
      for (int i = 0; i < 100; i++)
        ASSERT_TRUE(kv->saveItemWithKeyValue("k" + std::to_string(i), bytes(500, uint8_t(i))));
      ASSERT_TRUE(kv->saveItemWithKeyValueFilenameExtendedData("file", bytes(30000, 1), "f", {}));
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir_ / "manifest.sqlite").c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    // The access-time index: opening reads the table only, counting reads the index.
    sqlite3_prepare_v2(db,
                       "select rootpage from sqlite_master where name = 'last_access_time_idx';",
                       -1, &st, nullptr);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    int64_t root = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
    sqlite3_close(db);
    {
      std::fstream f(dir_ / "manifest.sqlite", std::ios::in | std::ios::out | std::ios::binary);
      f.seekp((root - 1) * 4096);
      std::string zeros(4096, '\0');
      f.write(zeros.data(), zeros.size());
    }
    auto kv = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
    ASSERT_TRUE(kv);
    auto other =
        beside ? HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed) : nullptr;
    EXPECT_EQ(kv->getItemsCount(), -1);  // meets the damage
    EXPECT_EQ(kv->getItemsCount(), 0);
    EXPECT_TRUE(kv->saveItemWithKeyValue("new", bytes(10, 9)));
    EXPECT_TRUE(kv->saveItemWithKeyValueFilenameExtendedData("file", bytes(20000, 2), "f", {}));
    EXPECT_EQ(kv->getItemValueForKey("file"), bytes(20000, 2));
    if (other) {
      EXPECT_EQ(other->getItemsCount(), 2);
      EXPECT_EQ(other->getItemValueForKey("new"), bytes(10, 9));
      EXPECT_TRUE(other->saveItemWithKeyValue("other", bytes(10, 8)));
      EXPECT_EQ(kv->getItemValueForKey("other"), bytes(10, 8));
    }
    kv.reset();
    other.reset();
    auto later = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
    ASSERT_TRUE(later);
    EXPECT_EQ(later->getItemValueForKey("new"), bytes(10, 9));
    EXPECT_EQ(later->getItemsCount(), beside ? 3 : 2);
  }
}

}  // namespace
