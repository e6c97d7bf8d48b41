// Buffered file logging: hand-over at the threshold, flush, removal and forwarding.

#include <gtest/gtest.h>

#include "logging/LGBufferedProxy.h"
#include "logging/LGFileLogger.h"
#include "logging/LGLogFileManagerDefault.h"
#include "tests/logging/LGTestSupport.h"

namespace {

// A file logger in a folder of its own whose lines are the text and a line feed.
struct RawFileLogger {
  TempDir dir;
  std::shared_ptr<LGLogFileManagerDefault> manager = std::make_shared<LGLogFileManagerDefault>(dir.path());
  std::shared_ptr<LGFileLogger> fileLogger = std::make_shared<LGFileLogger>(manager);
  RawFileLogger() {
    fileLogger->setLogFormatter(nullptr);
    EXPECT_EQ(fileLogger->logFormatter(), nullptr);  // waits for the change
  }
  // The oldest file's text; empty without a file.
  std::string content() {
    auto files = manager->sortedLogFilePaths();
    return files.empty() ? std::string() : readFile(files[0]);
  }
};

// A buffer over a raw file logger, registered with the hub.
struct Fixture : RawFileLogger {
  std::shared_ptr<LGBufferedProxy> proxy = fileLogger->wrapWithBuffer();
  Fixture() { LGLog::addLogger(proxy); }
  // One line of `bytes` bytes with its line feed.
  void log(size_t bytes) { logText(false, LGLogFlagInfo, std::string(bytes - 1, 'x')); }
};

// A message of text as the hub hands it to a logger.
LGLogMessage messageOf(const std::string& text) {
  return LGLogMessage(LGMakeText(text), 0, 1, 0, "", "", 0, plat::Value(), 0, std::nullopt);
}

}  // namespace

TEST(LGBufferedProxyTest, LinesReachTheFileInBlocksAtTheThreshold) {
  Fixture f;
  f.proxy->setMaxBufferSizeBytes(4096);
  ASSERT_EQ(f.proxy->maxBufferSizeBytes(), std::min<uint64_t>(4096, LGBufferedProxy::largestBufferSize()));
  if (f.proxy->maxBufferSizeBytes() != 4096) GTEST_SKIP() << "the root file system's transfer size is below 4096";
  for (int i = 0; i < 40; ++i) f.log(100);
  EXPECT_EQ(f.content().size(), 0u);
  EXPECT_EQ(f.proxy->fileLogger()->loggerQueue(), f.proxy->loggerQueue());
  f.log(100);  // 4100 bytes: handed over at once
  EXPECT_EQ(f.content().size(), 4100u);
  // A message longer than the threshold goes out right after it is buffered.
  f.log(10000);
  EXPECT_EQ(f.content().size(), 14100u);
  // Empty text adds nothing.
  logText(false, LGLogFlagInfo, "");
  plat::dispatch_sync(f.proxy->loggerQueue(), [&] { EXPECT_EQ(f.proxy->currentBufferSizeBytes(), 0u); });
}

TEST(LGBufferedProxyTest, FlushWritesAPartlyFilledBuffer) {
  Fixture f;
  f.log(10);
  f.log(20);
  EXPECT_EQ(f.content().size(), 0u);
  LGLog::flushLog();  // the hub's flush reaches the proxy
  EXPECT_EQ(f.content().size(), 30u);
  f.log(5);
  f.proxy->flush();
  EXPECT_EQ(f.content().size(), 35u);
}

TEST(LGBufferedProxyTest, RemovalWritesTheBufferBeforeTheFileRolls) {
  Fixture f;
  f.log(10);
  LGLog::flushLog();
  f.log(11);
  f.log(12);
  LGLog::removeLogger(f.proxy);
  EXPECT_TRUE(testing_loop::runUntil([&] {
    auto files = f.manager->sortedLogFilePaths();
    return !files.empty() && LGLogFileInfo(files[0]).isArchived();
  }));
  auto files = f.manager->sortedLogFilePaths();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(readFile(files[0]).size(), 33u);

  // A roll through the proxy hands the buffer over first as well.
  LGLog::addLogger(f.proxy);
  f.log(7);
  std::atomic<bool> rolled{false};
  f.proxy->rollLogFileWithCompletionBlock([&] { rolled = true; });
  EXPECT_TRUE(testing_loop::runUntil([&] { return rolled.load(); }));
  files = f.manager->sortedLogFilePaths();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(readFile(files[0]).size(), 7u);
}

TEST(LGBufferedProxyTest, DestructionHandsTheRestOver) {
  RawFileLogger raw;
  {
    auto proxy = raw.fileLogger->wrapWithBuffer();
    plat::dispatch_sync(proxy->loggerQueue(), [&] { proxy->logMessage(messageOf("kept")); });
    EXPECT_TRUE(raw.manager->sortedLogFilePaths().empty());
  }
  ASSERT_EQ(raw.manager->sortedLogFilePaths().size(), 1u);
  EXPECT_EQ(raw.content(), "kept\n");
}

TEST(LGBufferedProxyTest, SettingsPassToTheFileLoggerAndWrappingIsIdempotent) {
  Fixture f;
  f.proxy->setRollingFrequency(120);
  EXPECT_EQ(f.fileLogger->rollingFrequency(), 120);
  f.proxy->setDoNotReuseLogFiles(true);
  EXPECT_TRUE(f.fileLogger->doNotReuseLogFiles());
  EXPECT_EQ(f.proxy->loggerName(), "vestrel.fileLogger");
  EXPECT_EQ(f.proxy->wrapWithBuffer(), f.proxy);
  EXPECT_EQ(f.proxy->unwrapFromBuffer(), f.fileLogger);
  EXPECT_EQ(f.fileLogger->unwrapFromBuffer(), f.fileLogger);
  f.proxy->setMaxBufferSizeBytes(UINT64_MAX);
  EXPECT_EQ(f.proxy->maxBufferSizeBytes(), LGBufferedProxy::largestBufferSize());
  EXPECT_GT(LGBufferedProxy::defaultBufferSize(), 0u);
}

TEST(LGBufferedProxyTest, SettersReplaceTheBufferItsCountAndTheFileLogger) {
  RawFileLogger raw;
  auto proxy = raw.fileLogger->wrapWithBuffer();
  proxy->setMaxBufferSizeBytes(64);
  auto log = [&](const std::string& text) {
    plat::dispatch_sync(proxy->loggerQueue(), [&] { proxy->logMessage(messageOf(text)); });
  };

  // A set count counts toward the threshold: the next line hands everything over.
  proxy->setBuffer("set\n");
  EXPECT_EQ(proxy->buffer(), "set\n");
  proxy->setCurrentBufferSizeBytes(60);
  EXPECT_EQ(proxy->currentBufferSizeBytes(), 60u);
  log("line");
  EXPECT_EQ(raw.content(), "set\nline\n");
  EXPECT_EQ(proxy->currentBufferSizeBytes(), 0u);

  // Bytes collected before the logger is replaced go to the new one.
  RawFileLogger other;
  log("moved");
  proxy->setFileLogger(other.fileLogger);
  EXPECT_EQ(proxy->fileLogger(), other.fileLogger);
  EXPECT_EQ(proxy->loggerQueue(), other.fileLogger->loggerQueue());
  proxy->flush();
  EXPECT_EQ(other.content(), "moved\n");
  EXPECT_EQ(raw.content(), "set\nline\n");
}

TEST(LGBufferedProxyTest, TheLastReferenceDroppedOnTheFileLoggersQueueHandsTheRestOverThere) {
  RawFileLogger raw;
  auto proxy = raw.fileLogger->wrapWithBuffer();
  raw.fileLogger = nullptr;  // the proxy holds the file logger's last reference
  plat::DispatchQueueRef queue = proxy->loggerQueue();
  plat::dispatch_async(queue, [held = std::move(proxy)]() mutable {
    held->logMessage(messageOf("kept"));
    held.reset();  // destroys the proxy and then the file logger, on their queue
  });
  std::atomic<bool> queueRuns{false};
  plat::dispatch_async(queue, [&] { queueRuns = true; });
  EXPECT_TRUE(testing_loop::runUntil([&] { return queueRuns.load(); }, 5));
  ASSERT_EQ(raw.manager->sortedLogFilePaths().size(), 1u);
  std::string path = raw.manager->sortedLogFilePaths()[0];
  EXPECT_EQ(readFile(path), "kept\n");
  EXPECT_TRUE(testing_loop::runUntil([&] { return openDescriptorsOn(path) == 0; }, 5));
}
