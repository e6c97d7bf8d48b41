// The hub: registration, level masks, hand-out strategies, ordering, flush, message records
// and per-class levels.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

#include "logging/LGAbstractDatabaseLogger.h"
#include "logging/LGLog.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/runtime/Runtime.h"
#include "testing/loop/Pump.h"
#include "tests/logging/LGTestSupport.h"

namespace {

// Marks the start and end of every call in one shared journal.
class JournalLogger : public LGAbstractLogger {
 public:
  JournalLogger(std::string name, std::mutex* mu, std::vector<std::string>* journal)
      : LGAbstractLogger(name), name_(std::move(name)), mu_(mu), journal_(journal) {}
  void logMessage(const LGLogMessage& message) override {
    note(name_ + " start " + message.text());
    for (int i = 0; i < 200; ++i) std::this_thread::yield();
    note(name_ + " end " + message.text());
  }

 private:
  void note(const std::string& s) {
    std::lock_guard<std::mutex> lock(*mu_);
    journal_->push_back(s);
  }
  std::string name_;
  std::mutex* mu_;
  std::vector<std::string>* journal_;
};

// Waits in logMessage until the other logger of the pair has started the same message.
class RendezvousLogger : public LGAbstractLogger {
 public:
  RendezvousLogger(std::atomic<int>* arrived)
      : LGAbstractLogger("test.rendezvous"), arrived_(arrived) {}
  void logMessage(const LGLogMessage&) override {
    ++*arrived_;
    for (long i = 0; i < 200000000 && arrived_->load() < 2; ++i) std::this_thread::yield();
    sawPartner = arrived_->load() >= 2;
  }
  std::atomic<bool> sawPartner{false};

 private:
  std::atomic<int>* arrived_;
};

// Slow to take each message, and slow to flush.
class SlowLogger : public RecordingLogger {
 public:
  void logMessage(const LGLogMessage& message) override {
    for (int i = 0; i < 2000; ++i) std::this_thread::yield();
    RecordingLogger::logMessage(message);
  }
  void flush() override {
    for (int i = 0; i < 2000; ++i) std::this_thread::yield();
    flushedAfter = static_cast<int>(messages().size());
    RecordingLogger::flush();
  }
  std::atomic<int> flushedAfter{-1};
};

using LGLogTest = HubTest;

}  // namespace

TEST_F(LGLogTest, LevelMasksChooseLoggersAndFlagZeroReachesNone) {
  auto errorsAndWarnings = std::make_shared<RecordingLogger>();
  auto errorsOnly = std::make_shared<RecordingLogger>();
  LGLog::addLoggerWithLevel(errorsAndWarnings, LGLogFlagError | LGLogFlagWarning);
  LGLog::addLoggerWithLevel(errorsOnly, LGLogFlagError);
  logText(true, LGLogFlagWarning, "warn");
  logText(true, LGLogFlagError, "err");
  logText(true, 0, "none");
  logText(true, LGLogFlagInfo, "info");
  LGLog::flushLog();
  EXPECT_EQ(errorsAndWarnings->texts(), (std::vector<std::string>{"warn", "err"}));
  EXPECT_EQ(errorsOnly->texts(), (std::vector<std::string>{"err"}));
}

TEST_F(LGLogTest, QueuedFormattedTextsArriveIntactWhateverTheirSizes) {
  auto logger = std::make_shared<RecordingLogger>();
  LGLog::addLogger(logger);
  // Hold the logging queue so that every message waits in one batch.
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  LGLog::submitAsync([opened] { opened.wait(); });
  std::vector<std::string> expected;
  for (int i = 0; i < 3000; ++i) {
    std::string body(static_cast<size_t>(i % 300), static_cast<char>('a' + i % 26));
    if (i == 1500) body.assign(70000, 'L');  // larger than any storage block
    if (i == 10) {
      LGLog::logLevelFlagContextFileFunctionLineTagFormat(true, 3, 1, 0, "/src/a.mm", "f", 1,
                                                          plat::Value(), "");
      expected.emplace_back();
      continue;
    }
    LGLog::logLevelFlagContextFileFunctionLineTagFormat(true, 3, 1, 0, "/src/a.mm", "f", 1,
                                                        plat::Value(), "%d:%@", i, body);
    expected.push_back(std::to_string(i) + ":" + body);
  }
  gate.set_value();
  LGLog::flushLog();
  auto texts = logger->texts();
  ASSERT_EQ(texts.size(), expected.size());
  for (size_t i = 0; i < texts.size(); ++i) ASSERT_EQ(texts[i], expected[i]) << i;
}

// Integer arguments may be formatted later, on the logging queue, and batches are reused:
// texts must come out exactly as the caller's own formatting, whichever thread formats them,
// even when the caller reuses its format buffer at once, and a reused batch must hand out
// only its new messages.
TEST_F(LGLogTest, LaterFormattedIntegersReadAsTheCallerFormattedThem) {
  auto logger = std::make_shared<RecordingLogger>();
  LGLog::addLogger(logger);
  auto logAll = [](std::vector<std::string>& expected, int round) {
    char format[64];
    auto log = [&](const char* f, auto... args) {
      std::snprintf(format, sizeof format, "%s", f);
      LGLog::logLevelFlagContextFileFunctionLineTagFormat(true, 3, 1, 0, "/src/a.mm", "f", 1,
                                                          plat::Value(), format, args...);
      expected.push_back(plat::format(f, args...));
      std::memset(format, 'X', sizeof format - 1);  // the caller's buffer changes at once
    };
    log("plain %%d, no arguments");
    log("%d|%u|%x|%X|%o", -7, -7, -7, 255u, 8);
    log("%hhd|%hd|%hu|%c|%d", 300, 70000, -1, 'A', true);
    log("%d %d|%x %x", static_cast<signed char>(-128), static_cast<short>(-32768),
        static_cast<signed char>(-1), static_cast<short>(-2));
    log("%llu %lld %lu", ~0ull, static_cast<long long>(INT64_MIN), 42ul);
    log("%2$d-%1$d|%*d|%-5d|%05d", 1, 2, 6, 42, 3, 9);
    log("%f %e", 3, 4u);
    log("%d%d%d%d%d%d%d%d%d", 1, 2, 3, 4, 5, 6, 7, 8, 9);  // more than are formatted later
    for (int i = 0; i < 600; ++i) log("round %d message %d of %s", round, i, "600");
    for (int i = 0; i < 600; ++i) log("round %d message %d", round, i);
  };
  std::vector<std::string> expected;
  {
    // Held queue: everything waits in one batch, which outgrows what callers defer.
    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    LGLog::submitAsync([opened] { opened.wait(); });
    logAll(expected, 1);
    gate.set_value();
  }
  LGLog::flushLog();
  logAll(expected, 2);  // the queue runs freely now
  LGLog::flushLog();
  auto texts = logger->texts();
  ASSERT_EQ(texts.size(), expected.size());
  for (size_t i = 0; i < texts.size(); ++i) ASSERT_EQ(texts[i], expected[i]) << i;
}

TEST_F(LGLogTest, InterleavedAsynchronousMessagesKeepTheirOrderPerLogger) {
  auto errors = std::make_shared<RecordingLogger>();
  auto warnings = std::make_shared<RecordingLogger>();
  LGLog::addLoggerWithLevel(errors, LGLogFlagError);
  LGLog::addLoggerWithLevel(warnings, LGLogFlagWarning);
  const uint64_t flags[] = {1, 1, 2, 2, 1, 3, 2, 4};
  for (int i = 0; i < 8; ++i) logText(true, flags[i], std::to_string(i));
  LGLog::flushLog();
  EXPECT_EQ(errors->texts(), (std::vector<std::string>{"0", "1", "4", "5"}));
  EXPECT_EQ(warnings->texts(), (std::vector<std::string>{"2", "3", "5", "6"}));
}

TEST_F(LGLogTest, RegistrationIgnoresNullAndDuplicatesButKeepsOtherLevels) {
  auto logger = std::make_shared<RecordingLogger>();
  LGLog::addLogger(nullptr);
  LGLog::removeLogger(nullptr);
  LGLog::addLoggerWithLevel(logger, 1);
  LGLog::addLoggerWithLevel(logger, 1);
  LGLog::addLoggerWithLevel(logger, 3);
  auto infos = LGLog::allLoggersWithLevel();
  ASSERT_EQ(infos.size(), 2u);
  EXPECT_EQ(infos[0].level(), 1u);
  EXPECT_EQ(infos[1].level(), 3u);

  logText(true, LGLogFlagError, "twice");
  LGLog::flushLog();
  EXPECT_EQ(logger->texts(), (std::vector<std::string>{"twice", "twice"}));

  // Removal takes only the first registration.
  LGLog::removeLogger(logger);
  infos = LGLog::allLoggersWithLevel();
  ASSERT_EQ(infos.size(), 1u);
  EXPECT_EQ(infos[0].level(), 3u);
  LGLog::removeAllLoggers();
  EXPECT_TRUE(LGLog::allLoggers().empty());
  LGLog::flushLog();
  // Each registration heard of its addition; removals were announced on the logger's queue.
  EXPECT_EQ(logger->added.load(), 2);
  EXPECT_TRUE(testing_loop::runUntil([&] { return logger->removed.load() == 2; }));
}

TEST_F(LGLogTest, MessageLoggedRightAfterAddReachesTheNewLoggerInOrder) {
  auto logger = std::make_shared<RecordingLogger>();
  LGLog::addLogger(logger);
  for (int i = 0; i < 50; ++i) logText(i % 3 != 0, LGLogFlagWarning, std::to_string(i));
  LGLog::flushLog();
  auto texts = logger->texts();
  ASSERT_EQ(texts.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(texts[i], std::to_string(i));
}

TEST_F(LGLogTest, LoggerSettingsTakeEffectBetweenTheMessagesAroundThem) {
  // Writes the formatter's output, so the formatter in use is visible per message.
  class FormattingLogger : public RecordingLogger {
   public:
    void logMessage(const LGLogMessage& m) override {
      RecordingLogger::logMessage(formatter_ ? m.withMessage(formatter_->formatLogMessage(m)) : m);
    }
  };
  class Prefix : public LGLogFormatter {
   public:
    explicit Prefix(std::string p) : p_(std::move(p)) {}
    LGText formatLogMessage(const LGLogMessage& m) override { return LGMakeText(p_ + m.text()); }

   private:
    std::string p_;
  };
  auto logger = std::make_shared<FormattingLogger>();
  LGLog::addLogger(logger);
  for (int round = 0; round < 20; ++round) {
    logText(true, LGLogFlagInfo, "a");
    logger->setLogFormatter(std::make_shared<Prefix>(std::to_string(round) + ":"));
    logText(true, LGLogFlagInfo, "b");
  }
  LGLog::flushLog();
  auto texts = logger->texts();
  ASSERT_EQ(texts.size(), 40u);
  for (int round = 0; round < 20; ++round) {
    EXPECT_EQ(texts[2 * round + 1], std::to_string(round) + ":b");
    EXPECT_EQ(texts[2 * round], round == 0 ? "a" : std::to_string(round - 1) + ":a");
  }
}

TEST_F(LGLogTest, FlushLogWaitsForSlowLoggersAndFlushesThemLast) {
  auto slow = std::make_shared<SlowLogger>();
  LGLog::addLogger(slow);
  for (int i = 0; i < 20; ++i) logText(true, LGLogFlagInfo, "m" + std::to_string(i));
  LGLog::flushLog();
  EXPECT_EQ(slow->messages().size(), 20u);
  EXPECT_EQ(slow->flushedAfter.load(), 20);
  EXPECT_EQ(slow->flushes.load(), 1);
}

TEST_F(LGLogTest, SeveralProcessorsHandOneMessageToAllLoggersInParallel) {
  plat::NSProcessInfo::processInfo().setProcessorCount(4);
  LGLog::resetForTesting();  // the hub takes the count afresh
  ASSERT_EQ(LGLog::processorCount(), 4u);
  std::atomic<int> arrived{0};
  auto a = std::make_shared<RendezvousLogger>(&arrived);
  auto b = std::make_shared<RendezvousLogger>(&arrived);
  LGLog::addLogger(a);
  LGLog::addLogger(b);
  logText(false, LGLogFlagError, "together");
  EXPECT_TRUE(a->sawPartner.load());
  EXPECT_TRUE(b->sawPartner.load());
}

TEST_F(LGLogTest, OneProcessorCallsLoggersInTurnAndFinishesEachMessageFirst) {
  plat::NSProcessInfo::processInfo().setProcessorCount(1);
  LGLog::resetForTesting();
  ASSERT_EQ(LGLog::processorCount(), 1u);
  std::mutex mu;
  std::vector<std::string> journal;
  LGLog::addLogger(std::make_shared<JournalLogger>("A", &mu, &journal));
  LGLog::addLogger(std::make_shared<JournalLogger>("B", &mu, &journal));
  logText(true, LGLogFlagError, "1");
  logText(true, LGLogFlagError, "2");
  LGLog::flushLog();
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ(journal, (std::vector<std::string>{"A start 1", "A end 1", "B start 1", "B end 1",
                                               "A start 2", "A end 2", "B start 2", "B end 2"}));
}

TEST_F(LGLogTest, ParallelHandOutStillFinishesEveryLoggerBeforeTheNextMessage) {
  plat::NSProcessInfo::processInfo().setProcessorCount(4);
  LGLog::resetForTesting();
  ASSERT_EQ(LGLog::processorCount(), 4u);
  std::mutex mu;
  std::vector<std::string> journal;
  LGLog::addLogger(std::make_shared<JournalLogger>("A", &mu, &journal));
  LGLog::addLogger(std::make_shared<JournalLogger>("B", &mu, &journal));
  for (int i = 0; i < 5; ++i) logText(true, LGLogFlagError, std::to_string(i));
  LGLog::flushLog();
  std::lock_guard<std::mutex> lock(mu);
  ASSERT_EQ(journal.size(), 20u);
  // Every entry of message i comes before every entry of message i+1.
  for (size_t k = 0; k + 1 < journal.size(); ++k) {
    EXPECT_LE(journal[k].back(), journal[k + 1].back()) << k;
  }
}

TEST_F(LGLogTest, SynchronousLoggingFromTheLoggingQueueRunsInline) {
  auto logger = std::make_shared<RecordingLogger>();
  LGLog::addLogger(logger);
  LGLog::flushLog();
  bool inside = false;
  plat::dispatch_sync(LGLog::loggingQueue(), [&] {
    inside = LGLog::isOnLoggingQueue();
    logText(false, LGLogFlagError, "inline");
  });
  EXPECT_TRUE(inside);
  EXPECT_FALSE(LGLog::isOnLoggingQueue());
  // The synchronous call returned only after the logger had the message.
  EXPECT_EQ(logger->texts(), (std::vector<std::string>{"inline"}));
}

TEST_F(LGLogTest, FormattedEntryDropsNullFormatAndFormatsObjects) {
  auto logger = std::make_shared<RecordingLogger>();
  LGLog::addLogger(logger);
  LGLog::logLevelFlagContextFileFunctionLineTagFormat(false, 3, 1, 0, "/src/a.mm", "f", 1,
                                                      plat::Value(), nullptr);
  LGLog::logLevelFlagContextFileFunctionLineTagFormat(false, 3, 1, 0, "/src/a.mm", "f", 1,
                                                      plat::Value(), "");
  plat::Value obj(plat::Array{1, "x"});
  LGLog::logLevelFlagContextFileFunctionLineTagFormat(
      false, 3, 1, 0, "/src/a.mm", "f", 1, plat::Value(), "n=%d s=%@", 7, plat::Value("str"));
  const plat::FormatArg args[] = {plat::FormatArg(3), plat::FormatArg("x")};
  LGLog::logLevelFlagContextFileFunctionLineTagFormatArgs(false, 3, 1, 0, "/src/a.mm", "f", 1,
                                                          plat::Value(), "%d%s", args, 2);
  auto texts = logger->texts();
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0], "");
  EXPECT_EQ(texts[1], "n=7 s=str");
  EXPECT_EQ(texts[2], "3x");
}

TEST_F(LGLogTest, MessageRecordsCallerFactsNamesAndTimes) {
  EXPECT_EQ(LGLogMessage::fileNameFromPath("/a/b/notes.txt"), "notes");
  EXPECT_EQ(LGLogMessage::fileNameFromPath("/a/b/Makefile"), "Makefile");
  EXPECT_EQ(LGLogMessage::fileNameFromPath("/a/b/x.tar.gz"), "x.tar");

  plat::NSDate before = plat::NSDate::now();
  LGLogMessage m(LGMakeText("t"), 3, 2, 5, "/x/y/Game.mm", "-[Game run]", 42, plat::Value("tag"), 0,
                 std::nullopt);
  plat::NSDate after = plat::NSDate::now();
  ASSERT_TRUE(m.timestamp());
  EXPECT_LE(before, *m.timestamp());
  EXPECT_LE(*m.timestamp(), after);
  EXPECT_EQ(m.fileName(), "Game");
  EXPECT_EQ(m.tag(), plat::Value("tag"));
  EXPECT_EQ(m.representedObject(), plat::Value("tag"));
  EXPECT_FALSE(m.threadID().empty());
  EXPECT_NE(m.threadID(), "missing threadId");
  // The test's thread is the main thread.
  EXPECT_EQ(m.queueLabel(), "com.apple.main-thread");
  EXPECT_EQ(m.qos(), 33u);

  plat::NSDate fixed = plat::NSDate::fromNanoseconds1970(1234567890123456789LL);
  LGLogMessage kept(LGMakeText("t"), 0, 0, 0, "", "", 0, plat::Value(), 0, fixed);
  EXPECT_EQ(*kept.timestamp(), fixed);

  // The message keeps the (immutable) text object it was given.
  LGText text = LGMakeText("shared");
  LGLogMessage shared(text, 0, 0, 0, "", "", 0, plat::Value(), LGLogMessageDontCopyMessage, fixed);
  EXPECT_EQ(shared.message(), text);
  EXPECT_EQ(shared.options(), LGLogMessageDontCopyMessage);

  LGLogMessage copy = m;
  EXPECT_TRUE(copy == m);
  EXPECT_EQ(copy.hash(), m.hash());
  EXPECT_FALSE(copy.withMessage(LGMakeText("other")) == m);
  EXPECT_TRUE(LGLogMessage() == LGLogMessage());
}

TEST_F(LGLogTest, MessageTextsAreKeptExactlyWhateverTheirSourceLengthOrNumber) {
  // One buffer reused with other content of the same length gives the new content.
  char path[] = "/src/First.mm";
  LGLogMessage first(LGMakeText("t"), 0, 1, 0, path, "-[A one]", 1, plat::Value(), 0, std::nullopt);
  std::memcpy(path, "/src/Other.mm", sizeof path);
  LGLogMessage other(LGMakeText("t"), 0, 1, 0, path, "-[A one]", 1, plat::Value(), 0, std::nullopt);
  EXPECT_EQ(first.file(), "/src/First.mm");
  EXPECT_EQ(first.fileName(), "First");
  EXPECT_EQ(other.file(), "/src/Other.mm");
  EXPECT_EQ(other.fileName(), "Other");
  EXPECT_FALSE(first == other);

  // Long texts, and more distinct texts than any pool would keep, all survive intact and
  // compare by content.
  std::string longPath = "/" + std::string(5000, 'd') + "/Long.mm";
  LGLogMessage longOne(LGMakeText("t"), 0, 1, 0, longPath, "f", 1, plat::Value(), 0, std::nullopt);
  EXPECT_EQ(longOne.file(), longPath);
  EXPECT_EQ(longOne.fileName(), "Long");
  std::vector<LGLogMessage> many;
  for (int i = 0; i < 6000; ++i) {
    std::string function = "-[Many f" + std::to_string(i) + "]";
    many.emplace_back(LGMakeText("t"), 0, 1, 0, "/m.mm", function, 1, plat::Value(), 0,
                      std::nullopt);
  }
  for (int i = 0; i < 6000; i += 997) {
    EXPECT_EQ(many[i].function(), "-[Many f" + std::to_string(i) + "]");
  }
  LGLogMessage again(LGMakeText("t"), 0, 1, 0, "/m.mm", "-[Many f5999]", 1, plat::Value(), 0,
                     *many[5999].timestamp());
  EXPECT_EQ(again.function(), many[5999].function());
  EXPECT_TRUE(again.withCallerFacts({many[5999].threadID(), many[5999].threadName(),
                                     many[5999].queueLabel(), many[5999].qos()}) == many[5999]);
}

TEST_F(LGLogTest, MessagesFromAQueueCarryItsLabelAndQualityOfService) {
  auto queue = plat::dispatch_queue_create(
      "test.worker", plat::dispatch_queue_attr_make_with_qos_class(plat::DISPATCH_QUEUE_SERIAL,
                                                                   plat::QOS_CLASS_UTILITY, 0));
  std::optional<LGLogMessage> m;
  plat::dispatch_sync(queue, [&] {
    m.emplace(LGMakeText("q"), 0, 1, 0, "", "", 0, plat::Value(), 0, std::nullopt);
  });
  EXPECT_EQ(m->queueLabel(), "test.worker");
  EXPECT_EQ(m->qos(), static_cast<uint64_t>(plat::QOS_CLASS_UTILITY));
}

TEST_F(LGLogTest, WillTerminateFlushesQueuedMessages) {
  auto slow = std::make_shared<SlowLogger>();
  LGLog::addLogger(slow);
  for (int i = 0; i < 10; ++i) logText(true, LGLogFlagWarning, "w");
  plat::NSNotificationCenter::defaultCenter().postNotificationNameObject(
      "UIApplicationWillTerminateNotification", plat::Value());
  EXPECT_EQ(slow->messages().size(), 10u);
  EXPECT_EQ(slow->flushedAfter.load(), 10);
}

TEST_F(LGLogTest, PerClassLevelsUseTheRuntimeHooks) {
  static uint64_t level;
  level = 7;  // again in each run of the test
  plat::Class* leveled = plat::Runtime::registerClass(
      "LGTestLeveledClass", nullptr, nullptr, {}, [](plat::Class* cls) {
        cls->setHook(kLGLogLevelHook, LGLogLevelGetter([] { return level; }));
        cls->setHook(kLGSetLogLevelHook, LGLogLevelSetter([](uint64_t v) { level = v; }));
      });
  plat::Class* plain = plat::Runtime::registerClass("LGTestPlainClass", nullptr, nullptr, {});

  EXPECT_TRUE(LGLog::isRegisteredClass(leveled));
  EXPECT_FALSE(LGLog::isRegisteredClass(plain));
  auto names = LGLog::registeredClassNames();
  EXPECT_NE(std::find(names.begin(), names.end(), "LGTestLeveledClass"), names.end());
  EXPECT_EQ(std::find(names.begin(), names.end(), "LGTestPlainClass"), names.end());

  EXPECT_EQ(LGLog::levelForClassWithName("LGTestLeveledClass"), 7u);
  LGLog::setLevelForClassWithName(1, "LGTestLeveledClass");
  EXPECT_EQ(LGLog::levelForClass(leveled), 1u);

  EXPECT_EQ(LGLog::levelForClass(plain), LGLogLevelAll);
  EXPECT_EQ(LGLog::levelForClassWithName("NoSuchClass"), LGLogLevelAll);
  LGLog::setLevelForClass(5, plain);  // does nothing
  EXPECT_EQ(LGLog::levelForClass(plain), LGLogLevelAll);
}

TEST(LGLogDeathTest, InternalStepsAndFlushRefuseTheWrongQueue) {
  EXPECT_DEATH(plat::dispatch_sync(LGLog::loggingQueue(), [] { LGLog::flushLog(); }),
               "This method shouldn't be run on the logging thread/queue");
  auto logger = std::make_shared<RecordingLogger>();
  EXPECT_DEATH(plat::dispatch_sync(LGLog::loggingQueue(), [&] { logger->logFormatter(); }),
               "Core architecture requirement failure");
  EXPECT_DEATH(plat::dispatch_sync(logger->loggerQueue(), [&] { logger->logFormatter(); }),
               "MUST access ivar directly");
}

namespace {
class UnnamedSink : public LGAbstractLogger {};
class UnnamedDatabaseSink : public LGAbstractDatabaseLogger {};
}  // namespace

TEST_F(LGLogTest, ASinkThatPassesNoNameIsNamedAfterItsClassAndItsQueueToo) {
  EXPECT_EQ(std::make_shared<UnnamedSink>()->loggerName(), "UnnamedSink");
  EXPECT_EQ(std::make_shared<UnnamedDatabaseSink>()->loggerName(), "UnnamedDatabaseSink");
  EXPECT_EQ(std::make_shared<RecordingLogger>("given")->loggerName(), "given");
  // The queue carries the name the logger reports, also while it runs there.
  for (std::shared_ptr<LGAbstractLogger> logger :
       {std::shared_ptr<LGAbstractLogger>(std::make_shared<UnnamedSink>()),
        std::shared_ptr<LGAbstractLogger>(std::make_shared<UnnamedDatabaseSink>()),
        std::shared_ptr<LGAbstractLogger>(std::make_shared<RecordingLogger>("given"))}) {
    EXPECT_EQ(plat::dispatch_queue_get_label(logger->loggerQueue()), *logger->loggerName());
    std::string seen;
    plat::dispatch_sync(logger->loggerQueue(), [&] {
      seen = plat::dispatch_queue_get_label(plat::DISPATCH_CURRENT_QUEUE_LABEL);
    });
    EXPECT_EQ(seen, *logger->loggerName());
  }
}
