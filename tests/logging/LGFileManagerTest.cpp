// The log file manager, the file line formatter and file infos.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>

#include "logging/LGLogFileFormatterDefault.h"
#include "logging/LGLogFileInfo.h"
#include "logging/LGLogFileManagerDefault.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/DeviceRoot.h"
#include "testing/loop/Pump.h"
#include "tests/logging/LGTestSupport.h"

namespace {

std::string appName() { return LGLogFileManagerDefault::applicationName(); }

// Writes a log file named for `date` (seconds since 1970) with `bytes` bytes.
std::string makeLogFile(LGLogFileManagerDefault& manager, double date, size_t bytes = 10) {
  std::string name = appName() + " " +
                     manager.logFileDateFormatter().stringFromDate(
                         plat::NSDate::dateWithTimeIntervalSince1970(date)) +
                     ".log";
  std::string path = manager.logsDirectory() + "/" + name;
  writeFile(path, std::string(bytes, 'x'));
  return path;
}

// A system clock whose date the test steps (a time server's correction, a user's change of
// the time); its monotonic time is the real one. Installed while it lives.
class SteppedDateClock : public plat::Clock {
 public:
  static std::shared_ptr<SteppedDateClock> install() {
    auto clock = std::make_shared<SteppedDateClock>();
    plat::Clock::install(clock);
    return clock;
  }
  ~SteppedDateClock() override = default;
  int64_t nowNanoseconds() const override {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
  }
  plat::NSDate date() const override {
    std::lock_guard<std::mutex> lock(mu_);
    return date_;
  }
  void setSeconds1970(int64_t seconds) {
    std::lock_guard<std::mutex> lock(mu_);
    date_ = plat::NSDate::fromSeconds1970(seconds);
  }

 private:
  mutable std::mutex mu_;
  plat::NSDate date_;
};

struct ClockRestorer {
  ~ClockRestorer() { plat::Clock::install(nullptr); }
};

std::vector<std::string> namesOf(LGLogFileManagerDefault& manager) {
  return manager.sortedLogFileNames();
}

}  // namespace

TEST(LGFileManagerTest, NamesListingAndNewestFirstSorting) {
  TempDir dir;
  auto manager = std::make_shared<LGLogFileManagerDefault>(dir.path() + "/Logs");
  EXPECT_TRUE(std::filesystem::is_directory(manager->logsDirectory()));
  EXPECT_FALSE(appName().empty());

  std::string name = manager->newLogFileName();
  EXPECT_TRUE(manager->isLogFile(name));
  EXPECT_TRUE(manager->isLogFile(appName() + " 2024-05-01--13-45-07-123.log"));
  EXPECT_FALSE(manager->isLogFile(appName() + " 2024-05-01--13-45-07-123.txt"));
  EXPECT_FALSE(manager->isLogFile("Other 2024-05-01--13-45-07-123.log"));
  EXPECT_FALSE(manager->isLogFile(appName() + "2024.log"));

  std::string older = makeLogFile(*manager, 1700000000.5);
  std::string newer = makeLogFile(*manager, 1700000100.25);
  std::string middle = makeLogFile(*manager, 1700000050);
  writeFile(manager->logsDirectory() + "/notes.txt", "not a log");
  EXPECT_EQ(manager->sortedLogFilePaths(), (std::vector<std::string>{newer, middle, older}));
  EXPECT_EQ(manager->unsortedLogFileNames().size(), 3u);
  // The date in the name is exact to the millisecond, in GMT.
  EXPECT_EQ(newer.substr(newer.size() - 28), "2023-11-14--22-15-00-250.log");

  // A name whose date does not parse sorts by the file's creation date (made now: newest).
  std::string odd = manager->logsDirectory() + "/" + appName() + " garbage.log";
  writeFile(odd, "y");
  EXPECT_EQ(manager->sortedLogFilePaths().front(), odd);
}

TEST(LGFileManagerTest, DefaultsLiveInTheCachesFolderOfTheContainer) {
  TempDir dir;
  ASSERT_TRUE(plat::DeviceRoot::setPath(dir.path() + "/device"));
  LGLogFileManagerDefault manager;
  EXPECT_EQ(manager.logsDirectory(), plat::DeviceRoot::cachesPath() + "/Logs");
  EXPECT_EQ(manager.maximumNumberOfLogFiles(), 5u);
  EXPECT_EQ(manager.logFilesDiskQuota(), 20u * 1024 * 1024);
  EXPECT_EQ(manager.logFileProtection(), "NSFileProtectionCompleteUnlessOpen");
  LGLogFileManagerDefault guarded(dir.path(), "NSFileProtectionComplete");
  EXPECT_EQ(guarded.logFileProtection(), "NSFileProtectionComplete");
  LGLogFileManagerDefault unknown(dir.path(), "NoSuchProtection");
  EXPECT_EQ(unknown.defaultFileProtectionLevel(), "");
}

TEST(LGFileManagerTest, CreatingFilesAvoidsExistingNamesAndWritesTheHeader) {
  TempDir dir;
  class HeaderManager : public LGLogFileManagerDefault {
   public:
    using LGLogFileManagerDefault::LGLogFileManagerDefault;
    std::optional<std::string> logFileHeader() override { return std::string("header line"); }
  };
  testing_loop::VirtualClockScope clock;  // the clock stands still: every name is the same
  auto manager = std::make_shared<HeaderManager>(dir.path());
  manager->setMaximumNumberOfLogFiles(0);
  plat::NSErrorRef error;
  auto first = manager->createNewLogFileWithError(&error);
  auto second = manager->createNewLogFileWithError(&error);
  auto third = manager->createNewLogFileWithError(&error);
  ASSERT_TRUE(first && second && third);
  EXPECT_EQ(second->substr(second->size() - 6), " 2.log");
  EXPECT_EQ(third->substr(third->size() - 6), " 3.log");
  EXPECT_EQ(second->substr(0, second->size() - 6) + ".log", *first);
  EXPECT_EQ(readFile(*first), "header line\n");
}

TEST(LGFileManagerTest, CreationFailsWithAnErrorAfterRepeatedCriticalErrors) {
  TempDir dir;
  std::string blocked = dir.path() + "/file-not-folder";
  writeFile(blocked, "x");
  auto manager = std::make_shared<LGLogFileManagerDefault>(blocked + "/Logs");
  std::vector<std::string> lines;
  LGSetDiagnosticLogHook([&](const std::string& l) { lines.push_back(l); });
  plat::NSErrorRef error;
  EXPECT_FALSE(manager->createNewLogFileWithError(&error));
  LGSetDiagnosticLogHook(nullptr);
  EXPECT_TRUE(error);
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
    return l == "LGLogFileManagerDefault: Bailing file creation, encountered 5 errors.";
  }));
}

TEST(LGFileManagerTest, DeletionKeepsTheNewestFilesByCountAndQuota) {
  TempDir dir;
  auto manager = std::make_shared<LGLogFileManagerDefault>(dir.path());
  std::vector<std::string> paths;
  for (int i = 0; i < 7; ++i) paths.push_back(makeLogFile(*manager, 1700000000 + i * 10));
  manager->deleteOldLogFiles();
  auto left = manager->sortedLogFilePaths();
  EXPECT_EQ(left, (std::vector<std::string>{paths[6], paths[5], paths[4], paths[3], paths[2]}));

  // Quota: 600-byte files against 1000 bytes keep only the newest.
  TempDir dir2;
  auto quota = std::make_shared<LGLogFileManagerDefault>(dir2.path());
  for (int i = 0; i < 3; ++i) makeLogFile(*quota, 1700000000 + i, 600);
  std::string newest = quota->sortedLogFilePaths().front();
  quota->deleteOldLogFiles();  // the default count (5) is not reached; the quota is 20 MiB
  EXPECT_EQ(quota->sortedLogFilePaths().size(), 3u);
  quota->setLogFilesDiskQuota(1000);  // also starts a deletion in the background
  quota->deleteOldLogFiles();
  EXPECT_EQ(quota->sortedLogFilePaths(), (std::vector<std::string>{newest}));
}

namespace {

// Plays a file system without user extended attributes while it lives.
struct NoExtendedAttributes {
  NoExtendedAttributes() {
    LGLogFileManagerDefault::setExtendedAttributesUnavailableForTesting(true);
  }
  ~NoExtendedAttributes() {
    LGLogFileManagerDefault::setExtendedAttributesUnavailableForTesting(false);
  }
};

void filesMadeAfterTheClockWentBackAreKeptBeforeOlderOnes() {
  TempDir dir;
  ClockRestorer restorer;
  auto clock = SteppedDateClock::install();
  auto manager = std::make_shared<LGLogFileManagerDefault>(dir.path());  // keeps 5
  auto create = [&] {
    plat::NSErrorRef error;
    std::string path = manager->createNewLogFileWithError(&error).value_or("");
    EXPECT_FALSE(path.empty());
    return path;
  };
  constexpr int64_t kStart = 1800000000;
  std::vector<std::string> before;
  for (int hour = 1; hour <= 5; ++hour) {
    clock->setSeconds1970(kStart + hour * 3600);
    before.push_back(create());
    LGLogFileInfo(before.back()).setIsArchived(true);
  }
  // The clock goes back before every file. The clean-up that follows each new file (run
  // here too, so its result is known) keeps the file being written and the newer files.
  clock->setSeconds1970(kStart + 60);
  std::string first = create();
  manager->deleteOldLogFiles();
  EXPECT_TRUE(std::filesystem::exists(first));
  LGLogFileInfo(first).setIsArchived(true);
  clock->setSeconds1970(kStart + 61);
  std::string second = create();
  manager->deleteOldLogFiles();
  EXPECT_EQ(manager->sortedLogFilePaths(),
            (std::vector<std::string>{second, first, before[4], before[3], before[2]}));

  // The next run keeps that order, and its new file comes first. This run has ended first:
  // the clean-ups its new files started are over (each holds the manager until it is done).
  ASSERT_TRUE(testing_loop::runUntil([&] { return manager.use_count() == 1; }));
  manager.reset();
  auto next = std::make_shared<LGLogFileManagerDefault>(dir.path());
  EXPECT_EQ(next->sortedLogFilePaths(),
            (std::vector<std::string>{second, first, before[4], before[3], before[2]}));
  LGLogFileInfo(second).setIsArchived(true);
  clock->setSeconds1970(kStart - 3600);
  plat::NSErrorRef error;
  std::string third = next->createNewLogFileWithError(&error).value_or("");
  next->deleteOldLogFiles();
  EXPECT_EQ(next->sortedLogFilePaths(),
            (std::vector<std::string>{third, second, first, before[4], before[3]}));
}

}  // namespace

TEST(LGFileManagerTest, FilesMadeAfterTheClockWentBackAreKeptBeforeOlderOnes) {
  {
    SCOPED_TRACE("with extended attributes");
    filesMadeAfterTheClockWentBackAreKeptBeforeOlderOnes();
  }
  SCOPED_TRACE("on a file system without extended attributes");
  NoExtendedAttributes noAttributes;
  filesMadeAfterTheClockWentBackAreKeptBeforeOlderOnes();
}

// A folder shared by applications of other names: a new file's line joins theirs, and only
// the lines of files gone from the folder are dropped.
TEST(LGFileManagerTest, TheOrderRecordKeepsTheLinesOfEveryFileStillInTheFolder) {
  NoExtendedAttributes noAttributes;
  TempDir dir;
  auto manager = std::make_shared<LGLogFileManagerDefault>(dir.path());
  std::string own = std::filesystem::path(makeLogFile(*manager, 1800000000)).filename();
  std::string other = "other.app 2027-01-01--00-00-00-000.log";
  writeFile(dir.path() + "/" + other, "x");
  std::string record = dir.path() + "/.vestrel.log.order";
  writeFile(record, "7 " + other + "\n4 " + own + "\n9 other.app gone.log\n");
  plat::NSErrorRef error;
  std::string made = manager->createNewLogFileWithError(&error).value_or("");
  std::multiset<std::string> lines;
  std::istringstream text(readFile(record));
  for (std::string line; std::getline(text, line);) lines.insert(line);
  EXPECT_EQ(lines,
            (std::multiset<std::string>{"7 " + other, "4 " + own,
                                        "5 " + std::filesystem::path(made).filename().string()}));
  ASSERT_TRUE(testing_loop::runUntil([&] { return manager.use_count() == 1; }));
}

namespace {

// Runs `work` in a child process: another process on the same folder, or a run that has
// ended. Nothing the child keeps in memory reaches this process. The child ends as a crash
// ends a process: nothing of this process's exit (the leak checkers' among it) runs in the
// copy, which holds only the forking thread.
void inAnotherProcess(const std::function<void()>& work) {
  pid_t pid = ::fork();
  if (pid == 0) {
    work();
    ::raise(SIGKILL);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
}

// Makes writing any order record fail while it lives (a full disk).
struct FailingRecord {
  FailingRecord() { LGLogFileManagerDefault::setOrderRecordWritesFailForTesting(true); }
  ~FailingRecord() { LGLogFileManagerDefault::setOrderRecordWritesFailForTesting(false); }
};

}  // namespace

// A file without a recorded creation number (the record could not be written when it was made
// or renamed) is placed by what is on disk, alike in every process and run: never below the
// files made before it, so a trim deletes the older files, not the one a user reads after the
// failure.
TEST(LGFileManagerTest, AFileWithoutARecordedNumberNeverSortsBelowOlderFiles) {
  NoExtendedAttributes noAttributes;
  ClockRestorer restorer;
  auto clock = SteppedDateClock::install();
  enum class Unrecorded { InTheLastRun, InAnotherProcess, RenamedInThisRun };
  for (Unrecorded how :
       {Unrecorded::InTheLastRun, Unrecorded::InAnotherProcess, Unrecorded::RenamedInThisRun}) {
    SCOPED_TRACE(static_cast<int>(how));
    TempDir dir, views;
    int64_t seconds = 1700000000;
    auto create = [&](LGLogFileManagerDefault& manager) {
      clock->setSeconds1970(seconds += 3600);
      plat::NSErrorRef error;
      std::string path = manager.createNewLogFileWithError(&error).value_or("");
      EXPECT_FALSE(path.empty());
      return path;
    };
    auto manager = std::make_shared<LGLogFileManagerDefault>(dir.path());
    manager->setMaximumNumberOfLogFiles(3);
    std::string first = create(*manager), second = create(*manager), unrecorded;
    const std::string view = views.path() + "/order";
    if (how == Unrecorded::RenamedInThisRun) {
      std::string made = create(*manager);
      FailingRecord failing;
      LGLogFileInfo renamed(made);
      renamed.renameFile(appName() + " " +
                         manager->logFileDateFormatter().stringFromDate(
                             plat::NSDate::fromSeconds1970(seconds + 60)) +
                         ".log");
      unrecorded = renamed.filePath();
    } else {
      ASSERT_TRUE(testing_loop::runUntil([&] { return manager.use_count() == 1; }));
      inAnotherProcess([&] {
        FailingRecord failing;
        auto other = std::make_shared<LGLogFileManagerDefault>(dir.path());
        unrecorded = create(*other);
        std::string names;
        for (const std::string& name : namesOf(*other)) names += name + "\n";
        writeFile(view, names);
      });
      unrecorded = dir.path() + "/" + appName() + " " +
                   manager->logFileDateFormatter().stringFromDate(
                       plat::NSDate::fromSeconds1970(seconds += 3600)) +
                   ".log";
      ASSERT_TRUE(std::filesystem::exists(unrecorded));
      // The process that made the file orders the folder as this one does.
      std::string names;
      for (const std::string& name : namesOf(*manager)) names += name + "\n";
      EXPECT_EQ(readFile(view), names);
      if (how == Unrecorded::InTheLastRun) {
        manager = std::make_shared<LGLogFileManagerDefault>(dir.path());
        manager->setMaximumNumberOfLogFiles(3);
      }
    }
    std::string newest = create(*manager);
    manager->deleteOldLogFiles();
    EXPECT_EQ(manager->sortedLogFilePaths(),
              (std::vector<std::string>{newest, unrecorded, second}));
    ASSERT_TRUE(testing_loop::runUntil([&] { return manager.use_count() == 1; }));
  }
}

// A renamed file keeps its place in the next run, whatever line its new name had before.
TEST(LGFileManagerTest, ARenamedFileKeepsItsCreationNumberWithoutAttributes) {
  NoExtendedAttributes noAttributes;
  for (std::string staleLine : {"", "99 "}) {
    TempDir dir;
    ClockRestorer restorer;
    auto clock = SteppedDateClock::install();
    auto manager = std::make_shared<LGLogFileManagerDefault>(dir.path());
    std::vector<std::string> made;  // numbered 1, 2, 3 while their names' dates go back
    for (int hour = 3; hour >= 1; --hour) {
      clock->setSeconds1970(1800000000 + hour * 3600);
      plat::NSErrorRef error;
      made.push_back(manager->createNewLogFileWithError(&error).value_or(""));
    }
    ASSERT_TRUE(testing_loop::runUntil([&] { return manager.use_count() == 1; }));
    manager.reset();
    std::string newName = appName() + " 1999-01-01--00-00-00-000.log";
    std::string record = dir.path() + "/.vestrel.log.order";
    if (!staleLine.empty()) writeFile(record, readFile(record) + staleLine + newName + "\n");
    LGLogFileInfo renamed(made[1]);
    renamed.renameFile(newName);
    EXPECT_EQ(LGLogFileManagerDefault(dir.path()).sortedLogFilePaths(),
              (std::vector<std::string>{made[2], renamed.filePath(), made[0]}))
        << staleLine;
  }
}

TEST(LGFileManagerTest, NoLimitsDeleteNothingAndAnUnarchivedNewestFileIsKept) {
  TempDir dir;
  auto manager = std::make_shared<LGLogFileManagerDefault>(dir.path());
  manager->setMaximumNumberOfLogFiles(0);
  manager->setLogFilesDiskQuota(0);
  for (int i = 0; i < 8; ++i) makeLogFile(*manager, 1700000000 + i, 100);
  manager->deleteOldLogFiles();
  EXPECT_EQ(manager->sortedLogFilePaths().size(), 8u);

  // A quota smaller than the newest file would delete from index 0: the newest stays while
  // it is not archived.
  manager->setLogFilesDiskQuota(50);
  manager->deleteOldLogFiles();
  auto left = manager->sortedLogFilePaths();
  ASSERT_EQ(left.size(), 1u);
  LGLogFileInfo(left[0]).setIsArchived(true);
  manager->deleteOldLogFiles();
  EXPECT_TRUE(manager->sortedLogFilePaths().empty());
}

TEST(LGFileManagerTest, SettingTheSameLimitAgainDeletesNothing) {
  TempDir dir;
  auto manager = std::make_shared<LGLogFileManagerDefault>(dir.path());
  for (int i = 0; i < 7; ++i) makeLogFile(*manager, 1700000000 + i);
  manager->setMaximumNumberOfLogFiles(5);  // unchanged: no deletion is started
  testing_loop::runUntilIdle();
  EXPECT_EQ(manager->sortedLogFilePaths().size(), 7u);
  manager->setMaximumNumberOfLogFiles(2);
  EXPECT_TRUE(testing_loop::runUntil([&] { return manager->sortedLogFilePaths().size() == 2; }));
}

TEST(LGFileManagerTest, FileInfoCachesAttributesAndKeepsTheArchivedMark) {
  TempDir dir;
  EXPECT_EQ(LGLogFileInfo::logFileWithPath(""), nullptr);
  std::string path = dir.path() + "/a.log";
  writeFile(path, "12345");
  auto info = LGLogFileInfo::logFileWithPath(path);
  EXPECT_EQ(info->fileName(), "a.log");
  EXPECT_EQ(info->fileSize(), 5u);
  ASSERT_TRUE(info->creationDate());
  EXPECT_GE(info->age(), -1.0);
  EXPECT_FALSE(info->isArchived());
  info->setIsArchived(true);
  EXPECT_TRUE(LGLogFileInfo(path).isArchived());
  info->setIsArchived(false);
  EXPECT_FALSE(LGLogFileInfo(path).isArchived());

  // Cached values do not follow the file until reset (the size is re-read only while 0).
  writeFile(path, "1234567890");
  EXPECT_EQ(info->fileSize(), 5u);

  info->setIsArchived(true);
  info->renameFile("b.log");
  EXPECT_EQ(info->filePath(), dir.path() + "/b.log");
  EXPECT_EQ(info->fileName(), "b.log");
  EXPECT_TRUE(info->isArchived());
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_TRUE(*info == LGLogFileInfo(dir.path() + "/b.log"));
  EXPECT_NE(info->description().find("isArchived"), std::string::npos);
}

TEST(LGFileManagerTest, FileLineIsTheGMTTimeTwoBlanksAndTheText) {
  plat::NSDate date =
      plat::NSDate::fromNanoseconds1970(1704164645006999999LL);  // 2024-01-02 03:04:05.006999999
  LGLogMessage m(LGMakeText("abc"), 0, 1, 0, "", "", 0, plat::Value(), 0, date);
  LGLogFileFormatterDefault formatter;
  EXPECT_EQ(*formatter.formatLogMessage(m), "2024/01/02 03:04:05:006  abc");

  plat::NSDateFormatter custom;
  custom.setTimeZone(plat::NSTimeZone::GMT());
  custom.setDateFormat("HH:mm");
  LGLogFileFormatterDefault withCustom(custom);
  EXPECT_EQ(*withCustom.formatLogMessage(m), "03:04  abc");
}

TEST(LGFileManagerTest, FileLinesDateEveryTimeAsTheDateFormatterDoes) {
  plat::NSDateFormatter reference;
  reference.setLocale("en_US_POSIX");
  reference.setTimeZone(plat::NSTimeZone::GMT());
  reference.setDateFormat("yyyy/MM/dd HH:mm:ss:SSS");
  LGLogFileFormatterDefault formatter;
  for (plat::NSDate date :
       {plat::NSDate::distantPast(), plat::NSDate::distantFuture(),
        plat::NSDate::dateWithTimeIntervalSince1970(-1e300),       // a captured "Time" far back
        plat::NSDate::fromSeconds1970(-9223372037LL),              // just before 1677
        plat::NSDate::fromSeconds1970(-12219292801LL, 999000000),  // last Julian day
        plat::NSDate::fromNanoseconds1970(-1),                     // 1969/12/31 23:59:59:999
        plat::NSDate(), plat::NSDate::fromNanoseconds1970(1704164645006999999LL),
        plat::NSDate::fromSeconds1970(253402300799LL, 999999999),  // 9999/12/31 23:59:59:999
        plat::NSDate::fromSeconds1970(253402300800LL)}) {
    LGLogMessage m(LGMakeText("t"), 0, 1, 0, "", "", 0, plat::Value(), 0, date);
    EXPECT_EQ(*formatter.formatLogMessage(m), reference.stringFromDate(date) + "  t")
        << date.seconds1970();
  }
}

TEST(LGFileManagerTest, ApplicationNamesAreMadeSafeForAFileNameInTheLogsFolder) {
  EXPECT_EQ(LGLogFileManagerDefault::fileSafeApplicationName("com.example.game"),
            "com.example.game");
  EXPECT_EQ(LGLogFileManagerDefault::fileSafeApplicationName("../../../../escaped"),
            ".._.._.._.._escaped");
  EXPECT_EQ(LGLogFileManagerDefault::fileSafeApplicationName("a/b"), "a_b");
  EXPECT_EQ(LGLogFileManagerDefault::fileSafeApplicationName(std::string("a\0b", 3)), "a_b");
  EXPECT_EQ(LGLogFileManagerDefault::fileSafeApplicationName("."), "");
  EXPECT_EQ(LGLogFileManagerDefault::fileSafeApplicationName(".."), "");
  EXPECT_EQ(LGLogFileManagerDefault::fileSafeApplicationName("..."), "...");
  // Whatever the process is named, its new files are listed in the folder they were made in.
  TempDir dir;
  auto manager = std::make_shared<LGLogFileManagerDefault>(dir.path());
  auto path = manager->createNewLogFileWithError(nullptr);
  ASSERT_TRUE(path);
  EXPECT_EQ(std::filesystem::path(*path).parent_path(), std::filesystem::path(dir.path()));
  EXPECT_EQ(manager->sortedLogFilePaths(), std::vector<std::string>{*path});
}

TEST(LGFileManagerTest, PathsHoldingANulByteNameNoFileAndTouchNone) {
  TempDir dir;
  std::string shorter = dir.path() + "/Logs";
  std::filesystem::create_directories(shorter);
  std::string withNul = shorter + std::string("\0evil", 5);
  auto manager = std::make_shared<LGLogFileManagerDefault>(withNul);
  plat::NSErrorRef error;
  EXPECT_FALSE(manager->createNewLogFileWithError(&error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 514);
  makeLogFile(*std::make_shared<LGLogFileManagerDefault>(shorter), 1000);
  EXPECT_TRUE(manager->unsortedLogFilePaths().empty());  // the shorter folder is not listed
  auto files = std::filesystem::directory_iterator(shorter);
  std::string existing = files->path().string();
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(shorter), {}), 1);

  // An info whose path is the existing file's followed by a NUL and more reads nothing of
  // that file and leaves its mark alone.
  LGLogFileInfo info(existing + std::string("\0x", 2));
  EXPECT_EQ(info.fileSize(), 0u);
  info.setIsArchived(true);
  EXPECT_FALSE(info.isArchived());
  EXPECT_FALSE(LGLogFileInfo(existing).isArchived());
  LGLogFileInfo real(existing);
  real.renameFile(std::string("moved\0.log", 10));
  real.renameFile("../outside.log");
  EXPECT_EQ(real.filePath(), existing);
  EXPECT_TRUE(std::filesystem::exists(existing));
}
