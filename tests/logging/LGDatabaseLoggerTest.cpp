// The database logger base: saving by count and by time, deleting by age, on the clock.

#include <gtest/gtest.h>

#include <limits>

#include "logging/LGAbstractDatabaseLogger.h"
#include "tests/logging/LGTestSupport.h"

namespace {

class CountingDatabase : public LGAbstractDatabaseLogger {
 public:
  CountingDatabase() : LGAbstractDatabaseLogger("test.database") {}
  bool db_log(const LGLogMessage& m) override {
    if (m.text() == "refuse") return false;
    ++taken;
    return true;
  }
  void db_save() override { ++saves; }
  void db_delete() override { ++deletes; }
  void db_saveAndDelete() override { ++saveAndDeletes; }
  std::atomic<int> taken{0}, saves{0}, deletes{0}, saveAndDeletes{0};
};

}  // namespace

TEST(LGDatabaseLoggerTest, SavesAtTheThresholdOrAfterTheIntervalFromTheFirstEntry) {
  testing_loop::VirtualClockScope clock;
  auto db = std::make_shared<CountingDatabase>();
  LGLog::addLogger(db);
  auto settle = [&] { (void)db->saveThreshold(); };
  auto log = [&](int n, const std::string& text = "e") {
    for (int i = 0; i < n; ++i) logText(false, LGLogFlagInfo, text);
  };
  log(499);
  EXPECT_EQ(db->saves.load(), 0);
  log(1);  // the 500th entry saves at once
  EXPECT_EQ(db->saves.load(), 1);

  log(499);
  testing_loop::advance(59);
  EXPECT_EQ(db->saves.load(), 1);
  testing_loop::advance(1.5);
  EXPECT_EQ(db->saves.load(), 2);  // 60 s after the first unsaved entry
  testing_loop::advance(120);
  EXPECT_EQ(db->saves.load(), 2);  // the timer waits for the next batch

  // A refused entry neither counts nor starts the timer.
  log(3, "refuse");
  testing_loop::advance(61);
  EXPECT_EQ(db->saves.load(), 2);
  EXPECT_EQ(db->taken.load(), 999);

  // Threshold 0 leaves only the timer; a threshold at or below the count saves at once.
  db->setSaveThreshold(0);
  log(600);
  settle();
  EXPECT_EQ(db->saves.load(), 2);
  db->setSaveThreshold(600);
  settle();
  EXPECT_EQ(db->saves.load(), 3);

  // Interval 0: entries wait for the threshold or an explicit save.
  db->setSaveInterval(0);
  log(5);
  testing_loop::advance(1000);
  EXPECT_EQ(db->saves.load(), 3);
  db->savePendingLogEntries();
  settle();
  EXPECT_EQ(db->saves.load(), 4);
  // Nothing unsaved: no hook.
  db->savePendingLogEntries();
  settle();
  EXPECT_EQ(db->saves.load(), 4);

  // Turning the interval on again with entries waiting starts the clock from the first one.
  log(2);
  db->setSaveInterval(30);
  settle();
  testing_loop::advance(31);
  EXPECT_EQ(db->saves.load(), 5);

  db->setDeleteOnEverySave(true);
  log(1);
  db->savePendingLogEntries();
  settle();
  EXPECT_EQ(db->saveAndDeletes.load(), 1);
  EXPECT_EQ(db->saves.load(), 5);
  LGLog::removeAllLoggers();
  LGLog::flushLog();
}

TEST(LGDatabaseLoggerTest, DeletesPeriodicallyAndWhenTheAgeShrinks) {
  testing_loop::VirtualClockScope clock;
  auto db = std::make_shared<CountingDatabase>();
  LGLog::addLogger(db);
  auto settle = [&] { (void)db->maxAge(); };
  settle();
  EXPECT_EQ(db->deletes.load(), 0);
  testing_loop::advance(300.5);
  EXPECT_EQ(db->deletes.load(), 1);
  testing_loop::advance(300);
  EXPECT_EQ(db->deletes.load(), 2);

  db->setMaxAge(1000);  // shorter: delete now
  settle();
  EXPECT_EQ(db->deletes.load(), 3);
  db->setMaxAge(5000);  // longer: nothing
  db->setMaxAge(5000);  // the same: nothing
  settle();
  EXPECT_EQ(db->deletes.load(), 3);
  // The period restarts from the last deletion.
  testing_loop::advance(299);
  EXPECT_EQ(db->deletes.load(), 3);
  testing_loop::advance(2);
  EXPECT_EQ(db->deletes.load(), 4);

  db->setDeleteInterval(0);
  settle();
  testing_loop::advance(5000);
  EXPECT_EQ(db->deletes.load(), 4);
  // Due 100 s after the last deletion, long past: it fires at once, then every 100 s.
  db->setDeleteInterval(100);
  settle();
  testing_loop::advance(0.5);
  EXPECT_EQ(db->deletes.load(), 5);
  testing_loop::advance(100);
  EXPECT_EQ(db->deletes.load(), 6);
  db->setMaxAge(0);  // deletion off
  settle();
  testing_loop::advance(1000);
  EXPECT_EQ(db->deletes.load(), 6);
  db->deleteOldLogEntries();  // no age: nothing to delete
  settle();
  EXPECT_EQ(db->deletes.load(), 6);
}

TEST(LGDatabaseLoggerTest, RemovalSavesPendingEntriesBeforeTheTimersGo) {
  testing_loop::VirtualClockScope clock;
  auto db = std::make_shared<CountingDatabase>();
  LGLog::addLogger(db);
  for (int i = 0; i < 3; ++i) logText(false, LGLogFlagInfo, "e");
  LGLog::removeLogger(db);
  EXPECT_TRUE(testing_loop::runUntil([&] { return db->saves.load() == 1; }));
  testing_loop::advance(10000);
  EXPECT_EQ(db->saves.load(), 1);
  EXPECT_EQ(db->deletes.load(), 0);
}

TEST(LGDatabaseLoggerTest, IntervalsTooLongToTimeNeverFireEarly) {
  testing_loop::VirtualClockScope clock;
  auto db = std::make_shared<CountingDatabase>();
  LGLog::addLogger(db);
  db->setSaveInterval(1e300);
  db->setMaxAge(0);
  (void)db->saveInterval();
  int deletesBefore = db->deletes.load();
  for (int i = 0; i < 3; ++i) logText(false, LGLogFlagInfo, "e");
  testing_loop::advance(1e6);
  EXPECT_EQ(db->saves.load(), 0);
  EXPECT_EQ(db->deletes.load(), deletesBefore);
  db->savePendingLogEntries();
  (void)db->saveInterval();
  EXPECT_EQ(db->saves.load(), 1);
  LGLog::removeAllLoggers();
  LGLog::flushLog();
}

TEST(LGDatabaseLoggerTest, NotANumberChangesNoSettingAndKeepsTheTimers) {
  testing_loop::VirtualClockScope clock;
  auto db = std::make_shared<CountingDatabase>();
  LGLog::addLogger(db);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  db->setSaveInterval(nan);
  db->setMaxAge(nan);
  db->setDeleteInterval(nan);
  EXPECT_EQ(db->saveInterval(), 60);
  EXPECT_EQ(db->maxAge(), 604800);
  EXPECT_EQ(db->deleteInterval(), 300);
  logText(false, LGLogFlagInfo, "e");
  testing_loop::advance(300.5);
  EXPECT_EQ(db->saves.load(), 1);
  EXPECT_EQ(db->deletes.load(), 1);
  LGLog::removeAllLoggers();
  LGLog::flushLog();
}

namespace {

// Keeps entries and reports each save at error level, synchronously, as a store whose save
// failed would. Its own reports are seen but not kept.
class ReportingDatabase : public LGAbstractDatabaseLogger {
 public:
  ReportingDatabase() : LGAbstractDatabaseLogger("test.reportingDatabase") {}
  bool db_log(const LGLogMessage& m) override {
    std::lock_guard<std::mutex> lock(mu);
    if (m.text().rfind("save failed", 0) == 0) {
      reports.push_back(m.text());
      return false;
    }
    unsaved.push_back(m.text());
    return true;
  }
  void db_save() override {
    size_t count;
    {
      std::lock_guard<std::mutex> lock(mu);
      if (!isOnInternalLoggerQueue()) ++savesOffTheQueue;
      count = unsaved.size();
      saved += count;
      unsaved.clear();
    }
    logText(false, LGLogFlagError, "save failed " + std::to_string(count));
  }
  std::vector<std::string> reportsSoFar() {
    std::lock_guard<std::mutex> lock(mu);
    return reports;
  }
  std::mutex mu;
  std::vector<std::string> unsaved, reports;
  size_t saved = 0;
  int savesOffTheQueue = 0;
};

// Runs a synchronous error log on a thread of its own; true when it returned in time (a
// hub deadlocked by a logger never returns).
bool syncLogReturns(const std::string& text) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread caller([done, text] {
    logText(false, LGLogFlagError, text);
    *done = true;
  });
  bool returned = testing_loop::runUntil([&] { return done->load(); }, 10.0);
  if (returned) {
    caller.join();
  } else {
    caller.detach();
  }
  return returned;
}

}  // namespace

TEST(LGDatabaseLoggerTest, ASaveThatLogsSynchronouslyNeitherStopsTheHubNorLosesTheReport) {
  testing_loop::VirtualClockScope clock;
  auto db = std::make_shared<ReportingDatabase>();
  auto other = std::make_shared<RecordingLogger>();
  LGLog::addLogger(db);
  LGLog::addLogger(other);
  db->setSaveThreshold(1);
  // Saved at the threshold while the hub hands the message to both loggers at once.
  ASSERT_TRUE(syncLogReturns("one"));
  ASSERT_TRUE(syncLogReturns("two"));
  LGLog::flushLog();
  EXPECT_EQ(db->reportsSoFar(), (std::vector<std::string>{"save failed 1", "save failed 1"}));
  std::vector<std::string> seen = other->texts();
  EXPECT_EQ(seen, (std::vector<std::string>{"one", "save failed 1", "two", "save failed 1"}));

  // Alone: the hub calls the logger from its own queue, and the report still arrives.
  LGLog::removeLogger(other);
  ASSERT_TRUE(syncLogReturns("three"));
  LGLog::flushLog();
  EXPECT_EQ(db->reportsSoFar().size(), 3u);

  // Saved by the timer, on the logger's queue outside any hand-over.
  db->setSaveThreshold(0);
  ASSERT_TRUE(syncLogReturns("four"));
  testing_loop::advance(61);
  EXPECT_TRUE(testing_loop::runUntil([&] { return db->reportsSoFar().size() == 4; }));
  ASSERT_TRUE(syncLogReturns("five"));
  LGLog::flushLog();  // saves "five"
  EXPECT_TRUE(testing_loop::runUntil([&] { return db->reportsSoFar().size() == 5; }));
  {
    std::lock_guard<std::mutex> lock(db->mu);
    EXPECT_EQ(db->saved, 5u);
  }
  LGLog::removeAllLoggers();
  LGLog::flushLog();
}

TEST(LGDatabaseLoggerTest, AFlushFromAnotherThreadSavesOnTheLoggersQueueAndSavesEachEntryOnce) {
  testing_loop::VirtualClockScope clock;
  auto db = std::make_shared<ReportingDatabase>();
  LGLog::addLogger(db);
  db->setSaveThreshold(0);
  constexpr int kEntries = 20000;
  std::thread writer([] {
    for (int i = 0; i < kEntries; ++i) logText(true, LGLogFlagInfo, "e");
  });
  for (int i = 0; i < 50; ++i) db->flush();
  writer.join();
  db->flush();
  {
    std::lock_guard<std::mutex> lock(db->mu);
    EXPECT_EQ(db->savesOffTheQueue, 0);
    EXPECT_EQ(db->saved, static_cast<size_t>(kEntries));
  }
  LGLog::removeAllLoggers();
  LGLog::flushLog();
}
