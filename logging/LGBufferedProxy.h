#pragma once
// LGBufferedProxy: stands in front of an LGFileLogger and collects the bytes of many lines
// in memory, handing them to the file logger in one write once maxBufferSizeBytes is
// reached (default: the root file system's block size; at most its optimal transfer size).
// Register the proxy with the hub in place of the file logger: it reports the file logger's
// queue, name and formatter, and passes every file logger operation on.
//
// Before the file logger rolls (removal from the hub, rollLogFile through the proxy) and on
// flush, the buffer is handed over first, so buffered lines never land in the next file or
// out of order. Lines still buffered are lost only if the process ends without a flush,
// removal or destruction of the proxy.
//
// Threading: all buffer work runs on the file logger's serial queue (the hub calls
// logMessage there; flush and destruction wait for it). No lock.

#include <cstdint>
#include <memory>
#include <string>

#include "logging/LGFileLogger.h"

class LGBufferedProxy : public LGLogger, public std::enable_shared_from_this<LGBufferedProxy> {
 public:
  // The root file system's fundamental block size (4096 when unknown), read once.
  static uint64_t defaultBufferSize();
  // The root file system's optimal transfer size (1 MiB when unknown), read once.
  static uint64_t largestBufferSize();

  explicit LGBufferedProxy(std::shared_ptr<LGFileLogger> fileLogger);
  // Hands the remaining bytes to the file logger.
  ~LGBufferedProxy() override;

  const std::shared_ptr<LGFileLogger>& fileLogger() const { return fileLogger_; }
  // Replaces the logger the buffered bytes go to; bytes already collected go to the new one.
  // Runs on the current file logger's queue (waits unless already there).
  // REQUIRES: `logger` is not null; the proxy is not registered with the hub (the hub keeps
  // the queue the old logger reported).
  void setFileLogger(std::shared_ptr<LGFileLogger> logger);
  // The bytes collected since the last hand-over.
  const std::string& buffer() const { return buffer_; }
  // Replaces the collected bytes; currentBufferSizeBytes is left as it is. Runs on the file
  // logger's queue (waits unless already there).
  void setBuffer(std::string bytes);
  uint64_t maxBufferSizeBytes() const { return maxBufferSizeBytes_.load(); }
  // Stores the smaller of `bytes` and largestBufferSize().
  void setMaxBufferSizeBytes(uint64_t bytes);
  uint64_t currentBufferSizeBytes() const { return currentBufferSizeBytes_; }
  // Sets the count the threshold is checked against at the next message. Runs on the file
  // logger's queue (waits unless already there).
  void setCurrentBufferSizeBytes(uint64_t bytes);

  // Drops the collected bytes (on the file logger's queue).
  void flushBuffer();
  // Hands the collected bytes to the file logger in one write, then empties the buffer.
  void lt_sendBufferedDataToFileLogger();

  std::shared_ptr<LGBufferedProxy> wrapWithBuffer() { return shared_from_this(); }
  std::shared_ptr<LGFileLogger> unwrapFromBuffer() { return fileLogger_; }

  // LGLogger, as the file logger but buffered.
  void logMessage(const LGLogMessage& message) override;
  // Hands the buffer over and flushes the file logger.
  void flush() override;
  void willRemoveLogger() override;
  void didAddLogger() override { fileLogger_->didAddLogger(); }
  void didAddLoggerInQueue(const plat::DispatchQueueRef& queue) override {
    fileLogger_->didAddLoggerInQueue(queue);
  }
  LGLogFormatterRef logFormatter() override { return fileLogger_->logFormatter(); }
  void setLogFormatter(LGLogFormatterRef formatter) override {
    fileLogger_->setLogFormatter(std::move(formatter));
  }
  plat::DispatchQueueRef loggerQueue() override { return fileLogger_->loggerQueue(); }
  std::optional<std::string> loggerName() override { return fileLogger_->loggerName(); }

  // File logger operations, passed on.
  const LGLogFileManagerRef& logFileManager() const { return fileLogger_->logFileManager(); }
  uint64_t maximumFileSize() { return fileLogger_->maximumFileSize(); }
  void setMaximumFileSize(uint64_t bytes) { fileLogger_->setMaximumFileSize(bytes); }
  double rollingFrequency() { return fileLogger_->rollingFrequency(); }
  void setRollingFrequency(double seconds) { fileLogger_->setRollingFrequency(seconds); }
  LGLogFileInfoRef currentLogFileInfo() { return fileLogger_->currentLogFileInfo(); }
  bool doNotReuseLogFiles() const { return fileLogger_->doNotReuseLogFiles(); }
  void setDoNotReuseLogFiles(bool v) { fileLogger_->setDoNotReuseLogFiles(v); }
  bool automaticallyAppendNewlineForCustomFormatters() const {
    return fileLogger_->automaticallyAppendNewlineForCustomFormatters();
  }
  void setAutomaticallyAppendNewlineForCustomFormatters(bool v) {
    fileLogger_->setAutomaticallyAppendNewlineForCustomFormatters(v);
  }
  void logData(std::string_view data) { fileLogger_->logData(data); }
  void rollLogFile() { rollLogFileWithCompletionBlock(nullptr); }
  // Hands the buffer over, then rolls.
  void rollLogFileWithCompletionBlock(std::function<void()> completion);

 private:
  // Runs `step` on the file logger's queue and waits (inline when already there).
  void runOnFileLoggerQueue(const std::function<void()>& step);

  std::shared_ptr<LGFileLogger> fileLogger_;
  std::atomic<uint64_t> maxBufferSizeBytes_;
  // Touched only on the file logger's queue.
  std::string buffer_;
  uint64_t currentBufferSizeBytes_ = 0;
};
