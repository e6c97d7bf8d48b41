// The rolling file logger: choosing, writing, rolling by size, age, outside deletion and on
// demand, and the resume rules after a restart.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <mutex>
#include <sstream>

#include "logging/LGFileLogger.h"
#include "logging/LGLogFileManagerDefault.h"
#include "tests/logging/LGTestSupport.h"

namespace {

// Records the archive notifications.
class RecordingManager : public LGLogFileManagerDefault {
 public:
  using LGLogFileManagerDefault::LGLogFileManagerDefault;
  void didArchiveLogFileWasRolled(const std::string& path, bool wasRolled) override {
    std::lock_guard<std::mutex> lock(mu);
    (wasRolled ? rolled : archived).push_back(path);
  }
  size_t rolledCount() {
    std::lock_guard<std::mutex> lock(mu);
    return rolled.size();
  }
  std::mutex mu;
  std::vector<std::string> rolled;
  std::vector<std::string> archived;
};

// Returns the text it is given, or a new upper-case text.
class EchoFormatter : public LGLogFormatter {
 public:
  explicit EchoFormatter(bool makeNew) : makeNew_(makeNew) {}
  LGText formatLogMessage(const LGLogMessage& m) override {
    if (!makeNew_) return m.message();
    std::string s = m.text();
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return LGMakeText(s);
  }

 private:
  bool makeNew_;
};

class EmptyFormatter : public LGLogFormatter {
 public:
  LGText formatLogMessage(const LGLogMessage&) override { return LGMakeText(""); }
};

struct Fixture {
  TempDir dir;
  std::shared_ptr<RecordingManager> manager = std::make_shared<RecordingManager>(dir.path());
  std::shared_ptr<LGFileLogger> logger = std::make_shared<LGFileLogger>(manager);
  void log(const std::string& text) { logText(false, LGLogFlagError, text); }
  std::vector<std::string> files() { return manager->sortedLogFilePaths(); }
};

}  // namespace

TEST(LGFileLoggerTest, FirstMessageCreatesAFileWithOneLine) {
  Fixture f;
  LGLog::addLogger(f.logger);
  f.log("hello");
  LGLog::flushLog();
  auto files = f.files();
  ASSERT_EQ(files.size(), 1u);
  std::string content = readFile(files[0]);
  EXPECT_EQ(content.substr(content.size() - 8), "  hello\n");
  EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 1);
  f.log("second");
  LGLog::flushLog();
  EXPECT_EQ(f.files().size(), 1u);
  content = readFile(files[0]);
  EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 2);
}

TEST(LGFileLoggerTest, LineBreakRulesForFormattersAndEmptyText) {
  Fixture f;
  f.logger->setAutomaticallyAppendNewlineForCustomFormatters(false);
  LGLog::addLogger(f.logger);
  f.logger->setLogFormatter(std::make_shared<EchoFormatter>(false));
  f.log("same");
  f.log("ends\n");
  f.logger->setLogFormatter(std::make_shared<EchoFormatter>(true));
  f.log("new");
  f.logger->setLogFormatter(std::make_shared<EmptyFormatter>());
  f.log("dropped");
  LGLog::flushLog();
  ASSERT_EQ(f.files().size(), 1u);
  EXPECT_EQ(readFile(f.files()[0]), "same\nends\nNEW");
  f.logger->setLogFormatter(nullptr);
  f.logger->setAutomaticallyAppendNewlineForCustomFormatters(true);
  f.log("");  // empty text writes nothing
  LGLog::flushLog();
  EXPECT_EQ(readFile(f.files()[0]), "same\nends\nNEW");
}

TEST(LGFileLoggerTest, RollsAfterTheWriteThatReachesTheMaximumSize) {
  Fixture f;
  f.logger->setMaximumFileSize(100);
  LGLog::addLogger(f.logger);
  f.logger->setLogFormatter(nullptr);
  f.log(std::string(59, 'a'));  // 60 bytes
  f.log(std::string(39, 'b'));  // 100 bytes: roll
  f.log("c");
  LGLog::flushLog();
  auto files = f.files();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(readFile(files[0]), "c\n");
  EXPECT_EQ(readFile(files[1]).size(), 100u);
  EXPECT_TRUE(LGLogFileInfo(files[1]).isArchived());
  EXPECT_FALSE(LGLogFileInfo(files[0]).isArchived());
  EXPECT_TRUE(testing_loop::runUntil([&] { return f.manager->rolledCount() == 1; }));
}

TEST(LGFileLoggerTest, MessagesHandedOverTogetherRollAtTheSameLinesAndLoseNone) {
  Fixture f;
  f.manager->setMaximumNumberOfLogFiles(0);
  f.manager->setLogFilesDiskQuota(0);
  f.logger->setMaximumFileSize(100);
  LGLog::addLogger(f.logger);
  f.logger->setLogFormatter(nullptr);
  LGLog::flushLog();
  // Thirty lines of 40 bytes in one hand-over: each file takes three (120 bytes) and rolls.
  std::vector<LGLogMessage> messages;
  for (int i = 0; i < 30; ++i) {
    std::string text = "line " + std::to_string(100 + i) + std::string(31, '.');
    messages.emplace_back(LGMakeText(text), 3, LGLogFlagError, 0, "", "", 0, plat::Value(), 0,
                          std::nullopt);
  }
  std::vector<const LGLogMessage*> run;
  for (const auto& m : messages) run.push_back(&m);
  plat::dispatch_sync(f.logger->loggerQueue(),
                      [&] { f.logger->logMessages(run.data(), run.size()); });
  // Every byte is in the files once the hand-over returns.
  auto files = f.files();
  ASSERT_EQ(files.size(), 10u);
  std::vector<int> firstLines;
  for (const auto& path : files) {
    std::string content = readFile(path);
    ASSERT_EQ(content.size(), 120u) << path;
    int first = std::stoi(content.substr(5, 3));
    for (int k = 0; k < 3; ++k) {
      EXPECT_EQ(content.substr(k * 40, 40), messages[first - 100 + k].text() + "\n");
    }
    EXPECT_TRUE(LGLogFileInfo(path).isArchived());
    firstLines.push_back(first);
  }
  std::sort(firstLines.begin(), firstLines.end());
  for (int i = 0; i < 10; ++i) EXPECT_EQ(firstLines[i], 100 + 3 * i);
}

TEST(LGFileLoggerTest, RollsByAgeOnTheClockAndTheNextMessageStartsANewFile) {
  testing_loop::VirtualClockScope clock;
  Fixture f;
  f.logger->setRollingFrequency(3600);
  LGLog::addLogger(f.logger);
  f.log("old");
  LGLog::flushLog();
  testing_loop::advance(1800);
  EXPECT_EQ(f.manager->rolledCount(), 0u);
  testing_loop::advance(1801);
  EXPECT_TRUE(testing_loop::runUntil([&] { return f.manager->rolledCount() == 1; }, 5));
  f.log("new");
  LGLog::flushLog();
  auto files = f.files();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_NE(readFile(files[0]).find("new"), std::string::npos);
  EXPECT_NE(readFile(files[1]).find("old"), std::string::npos);
}

TEST(LGFileLoggerTest, AFileWithinOneSecondOfTheFrequencyCountsAsDue) {
  testing_loop::VirtualClockScope clock;
  Fixture f;
  f.logger->setRollingFrequency(0);  // no timer at all
  LGLog::addLogger(f.logger);
  f.log("x");
  LGLog::flushLog();
  testing_loop::advance(100000);
  EXPECT_EQ(f.manager->rolledCount(), 0u);
  EXPECT_EQ(f.files().size(), 1u);

  // Created 100000 s ago; a frequency 0.5 s above its age still rolls (1 s leeway).
  double age = LGLogFileInfo(f.files()[0]).age();
  f.logger->setRollingFrequency(age + 0.5);
  EXPECT_TRUE(testing_loop::runUntil([&] { return f.manager->rolledCount() == 1; }, 5));
}

TEST(LGFileLoggerTest, DeletingTheFileFromOutsideRollsTheLogger) {
  Fixture f;
  LGLog::addLogger(f.logger);
  f.log("one");
  LGLog::flushLog();
  auto files = f.files();
  ASSERT_EQ(files.size(), 1u);
  std::filesystem::remove(files[0]);
  EXPECT_TRUE(testing_loop::runUntil([&] { return f.manager->rolledCount() == 1; }));
  f.log("two");
  LGLog::flushLog();
  files = f.files();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_NE(readFile(files[0]).find("two"), std::string::npos);
}

TEST(LGFileLoggerTest, RollOnDemandAndOnRemoval) {
  Fixture f;
  // With no file open, the block runs and nothing else happens.
  std::atomic<bool> done{false};
  f.logger->rollLogFileWithCompletionBlock([&] { done = true; });
  EXPECT_TRUE(testing_loop::runUntil([&] { return done.load(); }));
  EXPECT_TRUE(f.files().empty());
  EXPECT_EQ(f.manager->rolledCount(), 0u);

  LGLog::addLogger(f.logger);
  f.log("a");
  LGLog::flushLog();
  done = false;
  f.logger->rollLogFileWithCompletionBlock([&] { done = true; });
  EXPECT_TRUE(testing_loop::runUntil([&] { return done.load() && f.manager->rolledCount() == 1; }));
  EXPECT_TRUE(LGLogFileInfo(f.files()[0]).isArchived());

  f.log("b");
  LGLog::removeLogger(f.logger);
  EXPECT_TRUE(testing_loop::runUntil([&] { return f.manager->rolledCount() == 2; }));
  auto files = f.files();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_TRUE(LGLogFileInfo(files[0]).isArchived());
}

// Records which file each write hook was given.
class HookRecordingLogger : public LGFileLogger {
 public:
  using LGFileLogger::LGFileLogger;
  void willLogMessage(const LGLogFileInfoRef& info) override {
    will.push_back(info ? info->filePath() : "");
  }
  void didLogMessage(const LGLogFileInfoRef& info) override {
    did.push_back(info ? info->filePath() : "");
    LGFileLogger::didLogMessage(info);
  }
  std::vector<std::string> will, did;  // logger's queue
};

TEST(LGFileLoggerTest, WriteHooksNameTheFileOfEveryMessageTheFirstOfEachFileIncluded) {
  TempDir dir;
  auto manager = std::make_shared<LGLogFileManagerDefault>(dir.path());
  auto logger = std::make_shared<HookRecordingLogger>(manager);
  logger->setMaximumFileSize(10);  // opens the first file at once
  EXPECT_EQ(logger->maximumFileSize(), 10u);
  logger->rollLogFile();  // no file is current when the first message comes
  LGLog::addLogger(logger);
  logger->setLogFormatter(nullptr);
  logText(false, LGLogFlagError, "first-file");  // 11 bytes: a roll follows
  logText(false, LGLogFlagError, "second");
  LGLog::flushLog();
  LGLog::removeLogger(logger);
  LGLog::flushLog();
  EXPECT_EQ(manager->sortedLogFilePaths().size(), 3u);  // the empty one rolled, then two
  std::vector<std::string> will, did;
  plat::dispatch_sync(logger->loggerQueue(), [&] {
    will = logger->will;
    did = logger->did;
  });
  ASSERT_EQ(will.size(), 2u);
  EXPECT_EQ(readFile(will[0]), "first-file\n");
  EXPECT_EQ(readFile(will[1]), "second\n");
  EXPECT_EQ(did, will);
}

TEST(LGFileLoggerTest, SettingTheMaximumSizeOpensTheFileAtOnce) {
  Fixture f;
  EXPECT_TRUE(f.files().empty());
  f.logger->setMaximumFileSize(4096);
  EXPECT_EQ(f.logger->maximumFileSize(), 4096u);  // waits for the change
  EXPECT_EQ(f.files().size(), 1u);
  auto info = f.logger->currentLogFileInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->filePath(), f.files()[0]);
}

TEST(LGFileLoggerTest, AFileArchivedFromOutsideIsLeftForANewOne) {
  Fixture f;
  LGLog::addLogger(f.logger);
  f.log("one");
  LGLog::flushLog();
  auto first = f.files();
  ASSERT_EQ(first.size(), 1u);
  LGLogFileInfo(first[0]).setIsArchived(true);
  auto info = f.logger->currentLogFileInfo();  // looks at the current file again
  ASSERT_TRUE(info);
  EXPECT_NE(info->filePath(), first[0]);
  f.log("two");
  LGLog::flushLog();
  EXPECT_EQ(readFile(first[0]).find("two"), std::string::npos);
  EXPECT_NE(readFile(info->filePath()).find("two"), std::string::npos);
}

TEST(LGFileLoggerTest, ResumesTheNewestFileOnlyWhenItIsFitForUse) {
  TempDir dir;
  auto manager = std::make_shared<RecordingManager>(dir.path());
  {
    auto first = std::make_shared<LGFileLogger>(manager);
    first->logData("from the first run\n");
  }
  auto files = manager->sortedLogFilePaths();
  ASSERT_EQ(files.size(), 1u);

  // A fresh logger continues the file.
  {
    auto second = std::make_shared<LGFileLogger>(manager);
    second->logData("continued\n");
  }
  EXPECT_EQ(manager->sortedLogFilePaths(), files);
  EXPECT_EQ(readFile(files[0]), "from the first run\ncontinued\n");

  // With doNotReuseLogFiles the old file is archived and a new one made.
  {
    auto third = std::make_shared<LGFileLogger>(manager);
    third->setDoNotReuseLogFiles(true);
    third->logData("third\n");
  }
  auto now = manager->sortedLogFilePaths();
  ASSERT_EQ(now.size(), 2u);
  EXPECT_TRUE(LGLogFileInfo(files[0]).isArchived());
  EXPECT_EQ(readFile(now[0]), "third\n");
  EXPECT_TRUE(testing_loop::runUntil([&] {
    std::lock_guard<std::mutex> lock(manager->mu);
    return manager->archived.size() == 1;
  }));

  // A file of the maximum size or more is not continued.
  writeFile(now[0], std::string(LGFileLogger::kDefaultMaximumFileSize, 'z'));
  {
    auto fourth = std::make_shared<LGFileLogger>(manager);
    fourth->logData("fourth\n");
  }
  auto last = manager->sortedLogFilePaths();
  ASSERT_EQ(last.size(), 3u);
  EXPECT_EQ(readFile(last[0]), "fourth\n");
  EXPECT_TRUE(LGLogFileInfo(now[0]).isArchived());
}

TEST(LGFileLoggerTest, AnOldNewestFileIsNotContinued) {
  testing_loop::VirtualClockScope clock;
  TempDir dir;
  auto manager = std::make_shared<RecordingManager>(dir.path());
  {
    auto first = std::make_shared<LGFileLogger>(manager);
    first->logData("old\n");
  }
  testing_loop::advance(LGFileLogger::kDefaultRollingFrequency + 10);
  {
    auto second = std::make_shared<LGFileLogger>(manager);
    second->logData("young\n");
  }
  auto files = manager->sortedLogFilePaths();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(readFile(files[0]), "young\n");
  EXPECT_TRUE(LGLogFileInfo(files[1]).isArchived());
  EXPECT_TRUE(testing_loop::runUntil([&] {
    std::lock_guard<std::mutex> lock(manager->mu);
    return manager->archived.size() == 1;  // archived at resumption, not rolled
  }));
}

TEST(LGFileLoggerTest, TheLastReferenceDroppedOnItsOwnQueueCleansUpThere) {
  TempDir dir;
  auto manager = std::make_shared<RecordingManager>(dir.path());
  auto logger = std::make_shared<LGFileLogger>(manager);
  logger->logData("kept\n");  // opens a file, with its watcher and age timer
  plat::DispatchQueueRef queue = logger->loggerQueue();
  // As when a timer or watcher handler holds the last reference.
  plat::dispatch_async(queue, [held = std::move(logger)]() mutable { held.reset(); });
  ASSERT_EQ(manager->sortedLogFilePaths().size(), 1u);
  std::string path = manager->sortedLogFilePaths()[0];
  // The file is closed and its watcher gone.
  EXPECT_TRUE(testing_loop::runUntil([&] { return openDescriptorsOn(path) == 0; }, 5));
  std::atomic<bool> queueRuns{false};
  plat::dispatch_async(queue, [&] { queueRuns = true; });
  EXPECT_TRUE(testing_loop::runUntil([&] { return queueRuns.load(); }, 5));
  EXPECT_EQ(readFile(path), "kept\n");
}

namespace {

// Overrides only the parameterless hooks.
class PlainHookLogger : public LGFileLogger {
 public:
  using LGFileLogger::LGFileLogger;
  void willLogMessage() override { ++plainWill; }
  void didLogMessage() override { ++plainDid; }
  void willLogMessage(const LGLogFileInfoRef&) override { ++infoForms; }
  void didLogMessage(const LGLogFileInfoRef&) override { ++infoForms; }
  int plainWill = 0, plainDid = 0, infoForms = 0;  // logger's queue
};

// Offers only the older createNewLogFile (or, with `offers` false, neither form).
class OlderManager : public LGLogFileManagerDefault {
 public:
  OlderManager(const std::string& dir, bool offers)
      : LGLogFileManagerDefault(dir), offers_(offers) {}
  std::optional<std::string> createNewLogFileWithError(plat::NSErrorRef* error) override {
    return LGLogFileManager::createNewLogFileWithError(error);
  }
  std::optional<std::string> createNewLogFile() override {
    if (!offers_) return std::nullopt;
    return LGLogFileManagerDefault::createNewLogFileWithError(nullptr).value_or("");
  }

 private:
  bool offers_;
};

// A log file name of the manager for `date` (seconds since 1970).
std::string logFileNamed(LGLogFileManagerDefault& manager, double date) {
  return manager.logsDirectory() + "/" + LGLogFileManagerDefault::applicationName() + " " +
         manager.logFileDateFormatter().stringFromDate(
             plat::NSDate::dateWithTimeIntervalSince1970(date)) +
         ".log";
}

}  // namespace

TEST(LGFileLoggerTest, ParameterlessHooksAreCalledInPlaceOfTheFormsWithTheFile) {
  TempDir dir;
  auto logger =
      std::make_shared<PlainHookLogger>(std::make_shared<LGLogFileManagerDefault>(dir.path()));
  logger->logData("one\n");
  logger->logData("two\n");
  plat::dispatch_sync(logger->loggerQueue(), [&] {
    EXPECT_EQ(logger->plainWill, 2);
    EXPECT_EQ(logger->plainDid, 2);
    EXPECT_EQ(logger->infoForms, 0);
  });
}

TEST(LGFileLoggerTest, AManagerWithOnlyTheOlderCreationFormIsUsedAndOneWithNeitherIsRefused) {
  TempDir dir;
  auto older = std::make_shared<OlderManager>(dir.path(), true);
  {
    auto logger = std::make_shared<LGFileLogger>(older);
    logger->logData("older\n");
  }
  auto files = older->sortedLogFilePaths();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(readFile(files[0]), "older\n");

  TempDir other;
  EXPECT_DEATH(
      {
        auto logger =
            std::make_shared<LGFileLogger>(std::make_shared<OlderManager>(other.path(), false));
        logger->logData("x\n");
      },
      "Invalid log file manager! Responds neither to `-createNewLogFileWithError:` nor "
      "`-createNewLogFile`!");
}

TEST(LGFileLoggerTest, AFifoNamedLikeTheNewestFileIsLeftAloneForANewFile) {
  TempDir dir;
  auto manager = std::make_shared<LGLogFileManagerDefault>(dir.path());
  // Named for a date far ahead, so it stays the newest "file" after every roll.
  std::string fifo = logFileNamed(*manager, 4e9);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto logger = std::make_shared<LGFileLogger>(manager);
  logger->logData("not blocked\n");  // waits: hangs if the FIFO is opened
  logger->rollLogFile();
  logger->logData("again\n");
  // The FIFO, without a creation number, sorts by its name's date: newest.
  auto files = manager->sortedLogFilePaths();
  ASSERT_EQ(files.size(), 3u);
  ASSERT_EQ(files[0], fifo);
  std::vector<std::string> contents = {readFile(files[1]), readFile(files[2])};
  std::sort(contents.begin(), contents.end());
  EXPECT_EQ(contents, (std::vector<std::string>{"again\n", "not blocked\n"}));
}

TEST(LGFileLoggerTest, BytesAnotherWriterAppendedCountTowardsTheMaximumSize) {
  TempDir dir;
  auto manager = std::make_shared<LGLogFileManagerDefault>(dir.path());
  auto logger = std::make_shared<LGFileLogger>(manager);
  logger->setMaximumFileSize(1000);
  // Another writer brings the newest file past its limit.
  auto appendElsewhere = [&] {
    std::ofstream other(manager->sortedLogFilePaths()[0], std::ios::binary | std::ios::app);
    other << std::string(1000, 'o');
  };
  auto message = [](const char* text) {
    return LGLogMessage(LGMakeText(text), 3, LGLogFlagError, 0, "", "", 0, plat::Value(), 0,
                        std::nullopt);
  };

  // A lone write finds the file past its limit and rolls; the next goes to a new file.
  logger->logData("first\n");
  appendElsewhere();
  logger->logData("second\n");
  logger->logData("third\n");
  auto files = manager->sortedLogFilePaths();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(readFile(files[0]), "third\n");
  EXPECT_TRUE(LGLogFileInfo(files[1]).isArchived());

  // Messages handed over together: the first finds the file past its limit (read once per
  // hand-over), so the second starts the next file.
  appendElsewhere();
  LGLogMessage fourth = message("fourth"), fifth = message("fifth");
  const LGLogMessage* run[] = {&fourth, &fifth};
  plat::dispatch_sync(logger->loggerQueue(), [&] { logger->logMessages(run, 2); });
  files = manager->sortedLogFilePaths();
  ASSERT_EQ(files.size(), 3u);
  EXPECT_NE(readFile(files[0]).find("  fifth\n"), std::string::npos);
  EXPECT_EQ(readFile(files[0]).find("fourth"), std::string::npos);
  EXPECT_NE(readFile(files[1]).find("  fourth\n"), std::string::npos);
  EXPECT_TRUE(LGLogFileInfo(files[1]).isArchived());
}

namespace {

// In a child process: fills the disk (a file size limit) in the middle of a line, once
// through a hand-over to the file logger alone and once through a message handed to two
// loggers, then frees it and logs again. Exits 0 when the file holds exactly the whole
// lines of the messages that were written, 1 otherwise.
[[noreturn]] void fillTheDiskMidLine(const std::string& folder) {
  ::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
  auto manager = std::make_shared<LGLogFileManagerDefault>(folder);
  auto logger = std::make_shared<LGFileLogger>(manager);
  LGLog::addLogger(logger);
  auto log = [](const std::string& text) { logText(false, LGLogFlagError, text); };
  auto limitTo = [](rlim_t bytes) {
    struct rlimit limit {
      bytes, RLIM_INFINITY
    };
    ::setrlimit(RLIMIT_FSIZE, &limit);
  };
  log("first");
  std::string path = manager->sortedLogFilePaths().at(0);
  limitTo(static_cast<rlim_t>(readFile(path).size() + 10));
  log("lost in a hand-over to one logger");
  limitTo(RLIM_INFINITY);
  log("second");
  auto other = std::make_shared<RecordingLogger>();
  LGLog::addLogger(other);
  limitTo(static_cast<rlim_t>(readFile(path).size() + 10));
  log("lost in a message for two loggers");
  limitTo(RLIM_INFINITY);
  log("third");
  LGLog::flushLog();
  std::vector<std::string> texts;
  std::istringstream lines(readFile(path));
  bool whole = true;
  for (std::string line; std::getline(lines, line);) {
    // Each line is the date (23 characters), two blanks and one message.
    whole = whole && line.size() > 25 && line[4] == '/' && line.compare(23, 2, "  ") == 0;
    if (line.size() > 25) texts.push_back(line.substr(25));
  }
  bool ok = whole && texts == std::vector<std::string>{"first", "second", "third"} &&
            readFile(path).back() == '\n';
  ::_exit(ok ? 0 : 1);
}

// Another writer's descriptor on the file: the signal of a write past the size limit lifts the
// limit and appends a line through it, between the logger's failed write and its cut-back.
int gOtherWriter = -1;
constexpr char kOtherWritersLine[] = "another writer's line\n";

void appendAsAnotherWriter(int) {
  struct rlimit none {
    RLIM_INFINITY, RLIM_INFINITY
  };
  ::setrlimit(RLIMIT_FSIZE, &none);
  ssize_t n = ::write(gOtherWriter, kOtherWritersLine, sizeof kOtherWritersLine - 1);
  (void)n;
}

// In a child process: a write fills the disk in the middle of a line while another writer
// appends a line to the same file. Exits 0 when the other writer's line is whole and the
// next message starts a line of its own, 1 otherwise.
[[noreturn]] void fillTheDiskWhileAnotherWriterAppends(const std::string& folder) {
  auto manager = std::make_shared<LGLogFileManagerDefault>(folder);
  auto logger = std::make_shared<LGFileLogger>(manager);
  logger->logData("first\n");
  std::string path = manager->sortedLogFilePaths().at(0);
  gOtherWriter = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  struct sigaction action {};
  action.sa_handler = appendAsAnotherWriter;
  ::sigaction(SIGXFSZ, &action, nullptr);
  struct rlimit limit {
    static_cast<rlim_t>(readFile(path).size() + 10), RLIM_INFINITY
  };
  ::setrlimit(RLIMIT_FSIZE, &limit);
  logger->logData("a line the full disk cuts short\n");
  logger->logData("second\n");
  const std::string text = readFile(path);
  const std::string other = kOtherWritersLine;
  bool ok =
      text.rfind("first\n", 0) == 0 && text.find(other) != std::string::npos &&
      text.size() >= other.size() + 7 &&
      text.compare(text.size() - other.size() - 7, std::string::npos, other + "second\n") == 0;
  ::_exit(ok ? 0 : 1);
}

}  // namespace

// Without another writer the part-written line is cut back; where another writer appended
// after it, nothing of theirs is cut.
TEST(LGFileLoggerDeathTest, AWriteThatFillsTheDiskLeavesNoPartOfALine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempDir dir, shared;
  EXPECT_EXIT(fillTheDiskMidLine(dir.path()), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(fillTheDiskWhileAnotherWriterAppends(shared.path()), ::testing::ExitedWithCode(0),
              "");
}
