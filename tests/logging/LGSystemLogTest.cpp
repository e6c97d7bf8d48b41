// The system-log sink, the legacy store sink and the capture of the legacy store.

#include <gtest/gtest.h>

#include <thread>

#include "logging/LGASLLogCapture.h"
#include "logging/LGASLLogger.h"
#include "logging/LGOSLogger.h"
#include "platform/oslog/Notify.h"
#include "platform/oslog/OSLog.h"
#include "tests/logging/LGTestSupport.h"

namespace {

class NullFormatter : public LGLogFormatter {
 public:
  LGText formatLogMessage(const LGLogMessage&) override { return nullptr; }
};

LGLogMessage messageWith(uint64_t flag, const std::string& text,
                         const std::string& file = "/a/b.mm") {
  return LGLogMessage(LGMakeText(text), 3, flag, 0, file, "f", 1, plat::Value(), 0, std::nullopt);
}

// Hands a message straight to a logger on its queue, as the hub does.
void deliver(const LGLoggerRef& logger, const LGLogMessage& m) {
  plat::dispatch_sync(logger->loggerQueue(), [&] { logger->logMessage(m); });
}

size_t countText(RecordingLogger& logger, const std::string& text) {
  auto texts = logger.texts();
  return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
}

// Saves a message into the legacy store as another program would.
void storeMessage(const std::string& text, int level) {
  plat::ASLMessage m;
  m.set("Level", std::to_string(level));
  m.set("Message", text);
  plat::ASLStore::shared().save(m);
}

// Pumps until `pred` holds, nudging the capture with a notification on every turn.
bool captureUntil(const std::function<bool()>& pred) {
  return testing_loop::runUntil([&] {
    plat::notify_post(plat::kNotifyASLMessage);
    LGLog::flushLog();
    return pred();
  });
}

// Leaves no capture running, the capture level as it was, no logger registered and an empty
// legacy store.
class LGSystemLogTest : public HubTest {
 protected:
  void SetUp() override { captureLevel_ = LGASLLogCapture::captureLevel(); }
  void TearDown() override {
    LGASLLogCapture::stop();
    LGASLLogCapture::setCaptureLevel(captureLevel_);
    HubTest::TearDown();
    plat::ASLStore::shared().resetForTesting();
  }

 private:
  uint64_t captureLevel_ = 0;
};

}  // namespace

TEST_F(LGSystemLogTest, OSLoggerMapsFlagsToLogTypes) {
  auto recording = std::make_shared<plat::RecordingOSLogBackend>();
  plat::setOSLogBackend(recording);
  auto logger = LGOSLogger::sharedInstance();
  EXPECT_EQ(logger->loggerName(), "vestrel.osLogger");
  for (uint64_t flag : {1, 2, 4, 8, 16, 3})
    deliver(logger, messageWith(flag, "f" + std::to_string(flag)));
  auto records = recording->records();
  ASSERT_EQ(records.size(), 6u);
  EXPECT_EQ(records[0].type, plat::OSLogType::Error);
  EXPECT_EQ(records[1].type, plat::OSLogType::Info);
  EXPECT_EQ(records[2].type, plat::OSLogType::Info);
  EXPECT_EQ(records[3].type, plat::OSLogType::Debug);
  EXPECT_EQ(records[4].type, plat::OSLogType::Debug);
  EXPECT_EQ(records[5].type, plat::OSLogType::Debug);
  EXPECT_EQ(records[0].text, "f1");
  EXPECT_TRUE(records[0].isDefault);

  recording->clear();
  deliver(logger, messageWith(1, "captured", "LGASLLogCapture"));
  logger->setLogFormatter(std::make_shared<NullFormatter>());
  EXPECT_TRUE(logger->logFormatter());  // waits until the change has been made
  deliver(logger, messageWith(1, "dropped"));
  EXPECT_TRUE(recording->records().empty());
  logger->setLogFormatter(nullptr);  // the shared instance outlives the test
  EXPECT_FALSE(logger->logFormatter());
  plat::setOSLogBackend(nullptr);
}

TEST_F(LGSystemLogTest, OSLoggerWithSubsystemUsesItsOwnHandleThroughTheHub) {
  auto recording = std::make_shared<plat::RecordingOSLogBackend>();
  plat::setOSLogBackend(recording);
  auto logger = std::make_shared<LGOSLogger>(std::string("com.example"), std::string("game"));
  LGLog::addLogger(logger);
  logText(false, LGLogFlagWarning, "through the hub");
  auto records = recording->records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].subsystem, "com.example");
  EXPECT_EQ(records[0].category, "game");
  EXPECT_EQ(records[0].type, plat::OSLogType::Info);
  plat::setOSLogBackend(nullptr);
}

TEST(LGSystemLogDeathTest, LegacyLoggerRefusesStoreLevelsBeyondDebug) {
  EXPECT_EQ(LGASLLogger::storeLevelText(LGASLLogger::storeLevelForFlag(LGLogFlagError)), "2");
  EXPECT_EQ(LGASLLogger::storeLevelText(7), "7");
  EXPECT_DEATH(LGASLLogger::storeLevelText(8), "Unhandled ASL log level.");
}

TEST(LGSystemLogDeathTest, OSLoggerNeedsBothOrNeitherName) {
  EXPECT_DEATH(LGOSLogger(std::string("only"), std::nullopt),
               "Either both subsystem and category or neither should be nil.");
}

TEST_F(LGSystemLogTest, LegacyLoggerStoresMarkedMessagesWithMappedLevels) {
  plat::ASLStore::shared().resetForTesting();
  auto logger = LGASLLogger::sharedInstance();
  EXPECT_EQ(LGASLLogger::init(), nullptr);
  EXPECT_EQ(logger->loggerName(), "vestrel.aslLogger");
  for (uint64_t flag : {1, 2, 4, 8, 16})
    deliver(logger, messageWith(flag, "m" + std::to_string(flag)));
  deliver(logger, messageWith(1, "from capture", "LGASLLogCapture"));
  auto stored = plat::ASLStore::shared().search(plat::ASLQuery());
  ASSERT_EQ(stored.size(), 5u);
  const char* levels[] = {"2", "3", "4", "5", "5"};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(*stored[i].get("Level"), levels[i]);
    EXPECT_EQ(*stored[i].get("LGLog"), "1");
    EXPECT_EQ(*stored[i].get("ReadUID"), std::to_string(::geteuid()));
  }
  EXPECT_EQ(*stored[0].get("Message"), "m1");
}

TEST_F(LGSystemLogTest, CaptureFeedsStoreMessagesIntoTheHubWithMappedFlags) {
  plat::ASLStore::shared().resetForTesting();
  auto recording = std::make_shared<RecordingLogger>();
  LGLog::addLogger(recording);
  LGLog::addLogger(LGASLLogger::sharedInstance());
  LGASLLogCapture::start();
  storeMessage("store error", 3);
  storeMessage("store critical", 1);
  storeMessage("store debug", 7);
  ASSERT_TRUE(captureUntil([&] { return recording->messages().size() >= 3; }));
  auto messages = recording->messages();
  std::map<std::string, uint64_t> flags;
  for (const auto& m : messages) {
    flags[m.text()] = m.flag();
    EXPECT_EQ(m.fileName(), "LGASLLogCapture");
    EXPECT_EQ(m.level(), LGASLLogCapture::captureLevel());
  }
  EXPECT_EQ(flags["store error"], LGLogFlagWarning);
  EXPECT_EQ(flags["store critical"], LGLogFlagError);
  EXPECT_EQ(flags["store debug"], LGLogFlagVerbose);

  // Nothing loops: the legacy logger did not write the captured messages back, and what it
  // writes itself is never captured.
  logText(false, LGLogFlagError, "own message");
  captureUntil([] { return true; });
  captureUntil([] { return true; });
  EXPECT_EQ(countText(*recording, "own message"), 1u);
  plat::ASLQuery all;
  EXPECT_EQ(plat::ASLStore::shared().search(all).size(), 4u);  // 3 stored + "own message"
  LGASLLogCapture::stop();
}

TEST_F(LGSystemLogTest, ABurstIsCapturedOnceEachReadingEveryStoredMessageAboutOnce) {
  plat::ASLStore& store = plat::ASLStore::shared();
  store.resetForTesting();
  auto recording = std::make_shared<RecordingLogger>();
  LGLog::addLogger(recording);
  LGLog::addLogger(LGASLLogger::sharedInstance());
  LGASLLogCapture::start();
  storeMessage("start", 3);
  ASSERT_TRUE(captureUntil([&] { return countText(*recording, "start") == 1; }));
  uint64_t examinedBefore = store.messagesExaminedForTesting();
  constexpr int kBurst = 3000;
  // Another program's burst, and the application's own errors written beside it.
  std::thread other([] {
    for (int i = 0; i < kBurst; ++i) storeMessage("burst " + std::to_string(i), 3);
  });
  for (int i = 0; i < 100; ++i) logText(false, LGLogFlagError, "own " + std::to_string(i));
  other.join();
  auto captured = [&] {
    size_t n = 0;
    for (const std::string& t : recording->texts()) n += t.rfind("burst ", 0) == 0;
    return n;
  };
  ASSERT_TRUE(captureUntil([&] { return captured() >= static_cast<size_t>(kBurst); }));
  captureUntil([] { return true; });
  EXPECT_EQ(captured(), static_cast<size_t>(kBurst));
  for (int i = 0; i < kBurst; i += 499) {
    EXPECT_EQ(countText(*recording, "burst " + std::to_string(i)), 1u) << i;
  }
  // Each notice reads on from the last message seen (the 100 own messages are read and
  // skipped), instead of the whole store again.
  EXPECT_LT(store.messagesExaminedForTesting() - examinedBefore, 2u * (kBurst + 100));
  LGASLLogCapture::stop();
}

TEST_F(LGSystemLogTest, CaptureLevelFiltersAndStartTwiceRunsOneCapture) {
  plat::ASLStore::shared().resetForTesting();
  auto recording = std::make_shared<RecordingLogger>();
  LGLog::addLogger(recording);
  LGASLLogCapture::setCaptureLevel(LGLogFlagError | LGLogFlagWarning);
  LGASLLogCapture::start();
  LGASLLogCapture::start();
  storeMessage("ignored warning", 4);
  storeMessage("kept", 3);
  ASSERT_TRUE(captureUntil([&] { return countText(*recording, "kept") >= 1; }));
  captureUntil([] { return true; });
  EXPECT_EQ(countText(*recording, "kept"), 1u);
  EXPECT_EQ(countText(*recording, "ignored warning"), 0u);
  LGASLLogCapture::stop();
}

TEST_F(LGSystemLogTest, StopThenStartBeforeTheNextNotificationLeavesOneCapture) {
  plat::ASLStore::shared().resetForTesting();
  auto recording = std::make_shared<RecordingLogger>();
  LGLog::addLogger(recording);
  LGASLLogCapture::start();
  storeMessage("first", 3);
  ASSERT_TRUE(captureUntil([&] { return countText(*recording, "first") == 1; }));
  // Restarts while the older capture may still be reading: each message enters once.
  for (int round = 0; round < 20; ++round) {
    LGASLLogCapture::stop();
    LGASLLogCapture::start();
    std::string text = "round " + std::to_string(round);
    storeMessage(text, 3);
    ASSERT_TRUE(captureUntil([&] { return countText(*recording, text) >= 1; }));
  }
  for (int i = 0; i < 5; ++i) captureUntil([] { return true; });
  for (int round = 0; round < 20; ++round) {
    EXPECT_EQ(countText(*recording, "round " + std::to_string(round)), 1u) << round;
  }
  EXPECT_EQ(countText(*recording, "first"), 1u);
  LGASLLogCapture::stop();
}

TEST_F(LGSystemLogTest, CapturedTimestampsComeFromTheStoreTime) {
  auto recording = std::make_shared<RecordingLogger>();
  LGLog::addLogger(recording);
  plat::ASLMessage half;
  half.set("Message", "half");
  half.set("Level", "1");
  half.set("Time", "1700000000");
  half.set("TimeNanoSec", "500000000");
  LGASLLogCapture::aslMessageReceived(half);  // level 1 is logged synchronously
  plat::ASLMessage whole;
  whole.set("Message", "whole");
  whole.set("Level", "1");
  whole.set("Time", "1700000000");
  LGASLLogCapture::aslMessageReceived(whole);
  plat::ASLMessage noText;
  noText.set("Level", "1");
  LGASLLogCapture::aslMessageReceived(noText);
  auto messages = recording->messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].timestamp()->nanoseconds1970(), 1700000000500000000LL);
  EXPECT_EQ(messages[1].timestamp()->nanoseconds1970(), 1700000000000000000LL);
}

TEST_F(LGSystemLogTest, CapturedTimesKeepTheirFractionAndSaturatePastTheNanosecondRange) {
  auto recording = std::make_shared<RecordingLogger>();
  LGLog::addLogger(recording);
  auto capture = [](const char* time) {
    plat::ASLMessage m;
    m.set("Message", time);
    m.set("Level", "1");
    m.set("Time", time);
    LGASLLogCapture::aslMessageReceived(m);
  };
  capture("1700000000.25");
  capture("10000000000");  // year 2286: beyond what int64 nanoseconds can hold
  capture("1e30");
  auto messages = recording->messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].timestamp()->nanoseconds1970(), 1700000000250000000LL);
  EXPECT_EQ(messages[1].timestamp()->seconds1970(), 10000000000LL);
  EXPECT_EQ(*messages[2].timestamp(), plat::NSDate::fromSeconds1970(plat::NSDate::kMaxSeconds1970));
}
