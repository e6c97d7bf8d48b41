// The key-value storage killed at random moments: a helper program runs a seeded script on a
// mixed-mode store and acknowledges every call; the test kills it with SIGKILL over and over
// and checks after each kill that the database is sound, every acknowledged value reads back
// whole with its own extended data, removed keys stay gone, the call in flight shows its old
// or new value, no row names a missing file or one of another size, and totals match the rows.
// The same with every rename slowed, so that kills land between a value's row and its file.
// Also: stores that hit the file-size limit, and stores whose rename fails.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>

#include "image/cache/HVKVStorage.h"
#include "platform/foundation/NSLog.h"
#include "testing/cache/CrashScript.h"
#include "testing/loop/Pump.h"
#include "tests/image/cache/HelperProcess.h"
#include "tests/image/cache/StorageFolderTest.h"

using namespace plat;
namespace fs = std::filesystem;

namespace {

using helper_process::helperPath;

pid_t spawn(const std::vector<std::string>& args, int keepFd) {
  return helper_process::spawn(args, keepFd).pid;
}

struct Stored {
  uint64_t gen;
  size_t size;
  bool operator==(const Stored&) const = default;
};

struct KillStats {
  int callsAcknowledged = 0;
  int roundsWithCallInFlight = 0;
};
using Model = std::map<std::string, std::optional<Stored>>;

class KVCrashTest : public StorageFolderTest {
 protected:
  void SetUp() override {
    StorageFolderTest::SetUp();
    helper_ = helperPath();
    ASSERT_FALSE(helper_.empty()) << "kv_crash_helper not built";
  }

  // Reads the manifest directly (beside the open storage): integrity, and every row's value
  // where the row says it is, of the size it says.
  void checkManifest() {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir_ / "manifest.sqlite").c_str(), &db), SQLITE_OK);
    // The first reader after a kill recovers the write-ahead log; wait out a lock held meanwhile.
    sqlite3_busy_timeout(db, 10000);
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "pragma integrity_check;", -1, &stmt, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), "ok");
    sqlite3_finalize(stmt);
    ASSERT_EQ(
        sqlite3_prepare_v2(db, "select key, filename, size, length(inline_data) from manifest;", -1,
                           &stmt, nullptr),
        SQLITE_OK)
        << sqlite3_errmsg(db);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      std::string key = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
      int64_t size = sqlite3_column_int64(stmt, 2);
      if (sqlite3_column_type(stmt, 1) != SQLITE_NULL) {
        fs::path file = dir_ / "data" / reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1));
        std::error_code ec;
        EXPECT_EQ(static_cast<int64_t>(fs::file_size(file, ec)), size) << key << " " << file;
        EXPECT_FALSE(ec) << key << " names a missing file " << file;
      } else {
        EXPECT_EQ(sqlite3_column_int64(stmt, 3), size) << key;
      }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
  }

  // Runs `rounds` helper runs on one folder, killing each, and checks the folder after each.
  void killRounds(int rounds, bool slowRename, uint32_t seed, KillStats* stats) {
    std::mt19937 rng(seed);
    Model model;
    for (int i = 0; i < crash_script::kKeyCount; i++)
      model[crash_script::keyName(i)] = std::nullopt;
    int& callsAcknowledged = stats->callsAcknowledged;
    int& roundsWithCallInFlight = stats->roundsWithCallInFlight;

    for (int round = 1; round <= rounds; round++) {
      SCOPED_TRACE(std::string("round ") + std::to_string(round));
      int fds[2];
      ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
      std::vector<std::string> args = {helper_, "run", dir_.string(), std::to_string(round),
                                       std::to_string(fds[1])};
      if (slowRename) args.push_back("slow-rename");
      pid_t pid = spawn(args, fds[1]);
      ASSERT_GT(pid, 0);
      ::close(fds[1]);

      // Collect acknowledgements until the kill time, counted from the moment the storage is
      // open (every eighth round from the start, to also kill during opening).
      std::string received;
      auto start = std::chrono::steady_clock::now();
      bool timingFromReady = round % 8 != 0;
      auto killAt = start + std::chrono::milliseconds(5 + rng() % 196);
      bool ready = false, eof = false;
      while (!eof) {
        auto now = std::chrono::steady_clock::now();
        if ((ready || !timingFromReady) && now >= killAt) break;
        if (!ready && now - start > std::chrono::seconds(20)) break;  // helper hung: fail below
        // Read only what is there: a blocking read would hold the kill until the next line, so
        // every kill would land right after one.
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, 2) <= 0) continue;
        char buf[4096];
        ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n == 0) eof = true;
        if (n > 0) received.append(buf, static_cast<size_t>(n));
        if (!ready && received.rfind("R\n", 0) == 0) {
          ready = true;
          if (timingFromReady) killAt = std::chrono::steady_clock::now() + (killAt - start);
        }
      }
      ::kill(pid, SIGKILL);
      int status = 0;
      ::waitpid(pid, &status, 0);
      for (char buf[4096];;) {
        ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        received.append(buf, static_cast<size_t>(n));
      }
      ::close(fds[0]);
      ASSERT_TRUE(WIFSIGNALED(status))
          << "helper ended by itself, status " << status << ": " << received.substr(0, 200);
      if (timingFromReady) {
        ASSERT_TRUE(ready) << "the helper never opened the storage";
      }

      // Replay the complete lines; a call begun and not acknowledged is in flight.
      std::istringstream lines(received.substr(0, received.rfind('\n') + 1));
      std::string line, begun;
      while (std::getline(lines, line)) {
        if (line.rfind("B ", 0) == 0) {
          begun = line.substr(2);
          continue;
        }
        if (line.rfind("E ", 0) != 0) continue;
        std::istringstream call(begun), end(line.substr(2));
        std::string kind, key, ok;
        call >> kind >> key;
        end >> ok;
        callsAcknowledged++;
        if (kind == "S" && ok == "1") {
          Stored s{};
          call >> s.gen >> s.size;
          model[key] = s;
        } else if (kind == "R" && ok == "1") {
          model[key] = std::nullopt;
        } else if (kind == "T") {
          std::string present;
          end >> present;
          std::set<std::string> keep;
          std::istringstream list(present);
          for (std::string k; std::getline(list, k, ',');) keep.insert(k);
          for (auto& [k, v] : model) {
            if (!keep.count(k)) v = std::nullopt;
          }
        }
        begun.clear();
      }

      // Opening puts back the rows of stores killed before their rename and deletes their files.
      auto kv = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
      ASSERT_TRUE(kv);
      checkManifest();
      if (HasFatalFailure()) return;
      // The call in flight: each key it may touch shows its old value or its new one, whole.
      std::map<std::string, std::vector<std::optional<Stored>>> allowed;
      for (auto& [k, v] : model) allowed[k] = {v};
      if (!begun.empty()) {
        roundsWithCallInFlight++;
        std::istringstream call(begun);
        std::string kind, key;
        call >> kind >> key;
        if (kind == "S") {
          Stored s{};
          call >> s.gen >> s.size;
          allowed[key].push_back(s);
        } else if (kind == "R") {
          allowed[key].push_back(std::nullopt);
        } else {
          for (auto& [k, v] : allowed) v.push_back(std::nullopt);
        }
      }
      int64_t count = 0, size = 0;
      for (auto& [key, options] : allowed) {
        auto item = kv->getItemForKey(key);
        std::optional<Data> value;
        if (item) value = item->value;
        bool matched = false;
        for (auto& option : options) {
          if (!option
                  ? !item
                  : item && item->value == crash_script::value(key, option->gen, option->size) &&
                        item->extendedData == crash_script::extended(key, option->gen)) {
            model[key] = option;
            matched = true;
            break;
          }
        }
        ASSERT_TRUE(matched) << key << ": expected generation "
                             << (options[0] ? std::to_string(options[0]->gen) : "absent")
                             << ", read "
                             << (value ? std::to_string(value->length()) + " bytes" : "nothing");
        if (value) {
          count++;
          size += static_cast<int64_t>(value->length());
        }
      }
      EXPECT_EQ(kv->getItemsCount(), count);
      EXPECT_EQ(kv->getItemsSize(), size);
    }
  }

  // Runs the helper in `mode` on the folder to its end: its exit status (0 when every answer
  // was as expected), -1 when it did not exit normally.
  int runHelper(const char* mode) {
    pid_t pid = spawn({helper_, mode, dir_.string()}, -1);
    int status = 0;
    if (pid <= 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }

  std::string helper_;
};

TEST_F(KVCrashTest, KilledAtRandomNothingAcknowledgedIsLost) {
  const int kRounds = 110;
  KillStats stats;
  killRounds(kRounds, false, 20261206, &stats);
  if (HasFatalFailure()) return;
  RecordProperty("calls_acknowledged", stats.callsAcknowledged);
  RecordProperty("kills_with_a_call_in_flight", stats.roundsWithCallInFlight);
  EXPECT_GT(stats.callsAcknowledged, kRounds);
  EXPECT_GT(stats.roundsWithCallInFlight, kRounds / 4);

  // After all that, the storage still takes writes.
  auto kv = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
  ASSERT_TRUE(kv);
  Data big = crash_script::value("after", 1, 100000);
  EXPECT_TRUE(kv->saveItemWithKeyValueFilenameExtendedData("after", big, "after", Data()));
  EXPECT_TRUE(kv->saveItemWithKeyValue("after-inline", Data::fromString("x")));
  EXPECT_EQ(kv->getItemValueForKey("after"), big);
  // Temporary files of killed stores were cleared when the storage opened.
  for (const auto& entry : fs::directory_iterator(dir_ / "data")) {
    EXPECT_NE(entry.path().filename().string().rfind(".hvkv-tmp-", 0), 0u) << entry.path();
  }
}

// Slowed renames keep most kills between a file value's row and its file: a killed store still
// shows the old value or the new one, whole, with its own extended data.
TEST_F(KVCrashTest, KilledWhileRenamingAValueFileShowsTheOldOrTheNewValue) {
  const int kRounds = 30;
  KillStats stats;
  killRounds(kRounds, true, 20261207, &stats);
  if (HasFatalFailure()) return;
  EXPECT_GT(stats.roundsWithCallInFlight, kRounds / 2);
}

TEST_F(KVCrashTest, FailedRenamesAnswerNoAndKeepTheOldValue) {
  EXPECT_EQ(runHelper("renamefail"), 0) << "unexpected answers while rename fails";

  auto kv = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
  ASSERT_TRUE(kv);
  auto item = kv->getItemForKey("file");
  ASSERT_TRUE(item);
  EXPECT_EQ(item->value, crash_script::value("file", 4, 20000));
  EXPECT_EQ(item->extendedData, crash_script::extended("file", 4));
  EXPECT_EQ(kv->getItemValueForKey("inline"), crash_script::value("inline", 1, 50));
  EXPECT_FALSE(kv->itemExistsForKey("new"));
  std::set<std::string> files;
  for (auto& e : fs::directory_iterator(dir_ / "data")) files.insert(e.path().filename().string());
  EXPECT_EQ(files, std::set<std::string>{"f"});
}

TEST_F(KVCrashTest, StoresPastTheFileSizeLimitAnswerNoAndKeepTheOldValue) {
  EXPECT_EQ(runHelper("fsize"), 0) << "unexpected answers under the file-size limit";

  auto kv = HVKVStorage::initWithPathType(dir_.string(), HVStorageModeMixed);
  ASSERT_TRUE(kv);
  EXPECT_EQ(kv->getItemValueForKey("small"), crash_script::value("small", 1, 100));
  EXPECT_EQ(kv->getItemValueForKey("big"), crash_script::value("big", 1, 40000));
  EXPECT_FALSE(fs::exists(dir_ / "data" / "other"));
  size_t files = 0;
  for (auto& e : fs::directory_iterator(dir_ / "data")) files += e.is_regular_file();
  EXPECT_EQ(files, 1u);
}

TEST_F(KVCrashTest, RemovingEverythingFromAReadOnlyFolderAnswersNo) {
  EXPECT_EQ(runHelper("readonly"), 0) << "unexpected answers on a read-only folder";
}

}  // namespace
