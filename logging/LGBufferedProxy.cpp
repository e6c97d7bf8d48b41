#include "logging/LGBufferedProxy.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <utility>

#include "logging/LGDiagnostics.h"
#include "logging/LGLog.h"

namespace {

struct RootSizes {
  uint64_t block = 4096;
  uint64_t transfer = 1048576;
};

const RootSizes& rootSizes() {
  static const RootSizes sizes = [] {
    RootSizes s;
    struct statvfs st {};
    if (::statvfs("/", &st) == 0) {
      if (st.f_frsize > 0) s.block = st.f_frsize;
      if (st.f_bsize > 0) s.transfer = st.f_bsize;
    }
    return s;
  }();
  return sizes;
}

}  // namespace

uint64_t LGBufferedProxy::defaultBufferSize() { return rootSizes().block; }
uint64_t LGBufferedProxy::largestBufferSize() { return rootSizes().transfer; }

std::shared_ptr<LGBufferedProxy> LGFileLogger::wrapWithBuffer() {
  return std::make_shared<LGBufferedProxy>(self());
}

LGBufferedProxy::LGBufferedProxy(std::shared_ptr<LGFileLogger> fileLogger)
    : fileLogger_(std::move(fileLogger)), maxBufferSizeBytes_(defaultBufferSize()) {}

LGBufferedProxy::~LGBufferedProxy() {
  if (!fileLogger_) return;
  runOnFileLoggerQueue([this] { lt_sendBufferedDataToFileLogger(); });
  fileLogger_ = nullptr;
}

void LGBufferedProxy::runOnFileLoggerQueue(const std::function<void()>& step) {
  if (fileLogger_->isOnInternalLoggerQueue()) {
    step();
  } else {
    plat::dispatch_sync(fileLogger_->loggerQueue(), step);
  }
}

void LGBufferedProxy::setFileLogger(std::shared_ptr<LGFileLogger> logger) {
  LGPrecondition(logger != nullptr, "Invalid parameter not satisfying: fileLogger");
  std::shared_ptr<LGFileLogger> previous;  // let go of outside the old logger's queue
  runOnFileLoggerQueue([&] { previous = std::exchange(fileLogger_, std::move(logger)); });
}

void LGBufferedProxy::setBuffer(std::string bytes) {
  runOnFileLoggerQueue([&] { buffer_ = std::move(bytes); });
}

void LGBufferedProxy::setCurrentBufferSizeBytes(uint64_t bytes) {
  runOnFileLoggerQueue([&] { currentBufferSizeBytes_ = bytes; });
}

void LGBufferedProxy::setMaxBufferSizeBytes(uint64_t bytes) {
  maxBufferSizeBytes_ = std::min(bytes, largestBufferSize());
}

void LGBufferedProxy::flushBuffer() {
  std::string().swap(buffer_);
  currentBufferSizeBytes_ = 0;
}

void LGBufferedProxy::lt_sendBufferedDataToFileLogger() {
  if (!buffer_.empty()) fileLogger_->lt_logData(buffer_);
  flushBuffer();
}

void LGBufferedProxy::logMessage(const LGLogMessage& message) {
  std::string data = fileLogger_->lt_dataForMessage(message);
  if (data.empty()) return;
  buffer_.append(data);
  currentBufferSizeBytes_ += data.size();
  if (currentBufferSizeBytes_ >= maxBufferSizeBytes_.load()) lt_sendBufferedDataToFileLogger();
}

void LGBufferedProxy::flush() {
  auto step = [this] {
    lt_sendBufferedDataToFileLogger();
    fileLogger_->flush();
  };
  if (fileLogger_->isOnInternalLoggerQueue()) {
    step();
    return;
  }
  LGPrecondition(!LGLog::isOnLoggingQueue(), kLGCoreArchitectureFailure);
  LGLog::submitSync([&] { plat::dispatch_sync(fileLogger_->loggerQueue(), step); });
}

void LGBufferedProxy::willRemoveLogger() {
  // The buffered lines belong to the current file: write them before it rolls.
  runOnFileLoggerQueue([this] {
    lt_sendBufferedDataToFileLogger();
    fileLogger_->willRemoveLogger();
  });
}

void LGBufferedProxy::rollLogFileWithCompletionBlock(std::function<void()> completion) {
  auto me = shared_from_this();
  auto step = [me, completion = std::move(completion)] {
    me->lt_sendBufferedDataToFileLogger();
    me->fileLogger_->rollLogFileWithCompletionBlock(completion);
  };
  if (fileLogger_->isOnInternalLoggerQueue()) {
    step();
    return;
  }
  LGPrecondition(!LGLog::isOnLoggingQueue(), kLGCoreArchitectureFailure);
  plat::DispatchQueueRef queue = fileLogger_->loggerQueue();
  LGLog::submitAsync([queue, step = std::move(step)] { plat::dispatch_async(queue, step); });
}
