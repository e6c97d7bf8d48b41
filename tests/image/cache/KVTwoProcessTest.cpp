// Two processes on one storage folder (two hosts on one device root, an app and its extension
// sharing a cache), the second played by the helper program: storages opened while the other
// stores, removing everything while the other has the database open, and two processes
// opening a new folder at the same moment. Nothing answered YES is lost.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <sstream>

#include "image/cache/HVKVStorage.h"
#include "testing/cache/CrashScript.h"
#include "tests/image/cache/HelperProcess.h"
#include "tests/image/cache/StorageFolderTest.h"

using namespace plat;
namespace fs = std::filesystem;
using helper_process::Child;

namespace {

class KVTwoProcessTest : public StorageFolderTest {
 protected:
  void SetUp() override {
    StorageFolderTest::SetUp();
    helper_ = helper_process::helperPath();
    ASSERT_FALSE(helper_.empty()) << "kv_crash_helper not built";
  }
  void TearDown() override {
    for (auto& c : children_) helper_process::finish(c, true);
    StorageFolderTest::TearDown();
  }
  Child& start(const std::vector<std::string>& args) {
    std::vector<std::string> all = {helper_};
    all.insert(all.end(), args.begin(), args.end());
    children_.push_back(helper_process::spawn(all, -1, true));
    return children_.back();
  }
  std::string helper_;
  std::deque<Child> children_;  // references to its elements stay valid
};

// Storages opened again and again beside a process that stores: opening finishes no rename
// and deletes no file of the other's stores, so every store it answered YES reads back whole.
TEST_F(KVTwoProcessTest, OpeningBesideAWriterLosesNoneOfItsValues) {
  Child& writer = start({"writer", dir_.string()});
  ASSERT_EQ(helper_process::readLine(writer, 30), "R");
  // At least 30 opens and 200 stores side by side, however fast either side runs.
  auto answers = [&] { return std::count(writer.buffered.begin(), writer.buffered.end(), '\n'); };
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  for (int opens = 0; opens < 30 || answers() < 200; opens++) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the writer stalled";
    auto kv = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
    ASSERT_TRUE(kv);
    ASSERT_TRUE(helper_process::drain(writer)) << "the writer ended";
  }
  ::close(writer.in);  // ends the writer
  writer.in = -1;
  EXPECT_TRUE(helper_process::readToEnd(writer, 60));
  EXPECT_EQ(helper_process::finish(writer), 0);

  struct Stored {
    uint64_t gen;
    size_t size;
  };
  std::map<std::string, Stored> model;
  int answered = 0, yes = 0;
  std::istringstream lines(writer.buffered);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream e(line);
    std::string tag, key;
    Stored s{};
    int ok = 0;
    if (!(e >> tag >> key >> s.gen >> s.size >> ok) || tag != "E") continue;
    answered++;
    if (ok) model[key] = s, yes++;
  }
  EXPECT_GE(answered, 200);
  EXPECT_EQ(yes, answered) << "stores beside the opens answered NO";
  auto kv = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
  ASSERT_TRUE(kv);
  int lost = 0;
  for (auto& [key, s] : model) {
    auto item = kv->getItemForKey(key);
    bool whole = item && item->value == crash_script::value(key, s.gen, s.size) &&
                 item->extendedData == crash_script::extended(key, s.gen);
    lost += !whole;
    EXPECT_TRUE(whole) << key << " generation " << s.gen;
  }
  EXPECT_EQ(lost, 0);
}

// Removing everything while another process has the database open empties it for both: what
// the other stores afterwards is kept and seen by both.
TEST_F(KVTwoProcessTest, RemovingEverythingKeepsTheOtherProcessDatabase) {
  auto kv = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
  ASSERT_TRUE(kv);
  ASSERT_TRUE(kv->saveItemWithKeyValue("mine", bytes(100, 1)));
  ASSERT_TRUE(kv->saveItemWithKeyValueFilenameExtendedData("file", bytes(30000, 2), "f", Data()));
  Child& other = start({"hold", dir_.string()});
  ASSERT_EQ(helper_process::readLine(other, 30), "R");

  EXPECT_TRUE(kv->removeAllItems());
  EXPECT_EQ(kv->getItemsCount(), 0);
  EXPECT_FALSE(kv->getItemValueForKey("file"));
  ASSERT_EQ(::write(other.in, "S 40\n", 5), 5);
  EXPECT_EQ(helper_process::readLine(other, 30), "E 40");
  EXPECT_EQ(helper_process::finish(other), 0);

  auto fresh = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
  ASSERT_TRUE(fresh);
  for (auto* storage : {kv.get(), fresh.get()}) {
    EXPECT_EQ(storage->getItemsCount(), 40);
    for (int i = 0; i < 40; i++) {
      std::string key = crash_script::numbered("h", i);
      EXPECT_EQ(storage->getItemValueForKey(key),
                crash_script::value(key, 1, i % 4 == 0 ? 30000 : 100))
          << key;
    }
  }
  // Alone again, the storage removes everything by starting a new database.
  fresh.reset();
  EXPECT_TRUE(kv->removeAllItems());
  EXPECT_EQ(kv->getItemsCount(), 0);
}

// Two processes opening a folder nobody has made yet, at the same moment: both get a storage
// (setting up the database waits for the other's lock).
TEST_F(KVTwoProcessTest, TwoProcessesOpeningANewFolderTogetherBothGetAStorage) {
  for (int trial = 0; trial < 20; trial++) {
    SCOPED_TRACE(trial);
    fs::path folder = dir_ / std::to_string(trial);
    Child& a = start({"open", folder.string()});
    Child& b = start({"open", folder.string()});
    ASSERT_EQ(helper_process::readLine(a, 30), "W");
    ASSERT_EQ(helper_process::readLine(b, 30), "W");
    ::close(a.in);  // the end of their input starts both
    ::close(b.in);
    a.in = b.in = -1;
    EXPECT_EQ(helper_process::finish(a), 0);
    EXPECT_EQ(helper_process::finish(b), 0);
  }
}

}  // namespace
