#include "logging/LGAbstractLogger.h"

#include "logging/LGDiagnostics.h"
#include "logging/LGLog.h"

LGAbstractLogger::LGAbstractLogger(std::string loggerName)
    : loggerName_(std::move(loggerName)), loggerQueue_(plat::dispatch_queue_create(loggerName_)) {
  // The marker's key is this logger; its value only needs to be non-null.
  plat::dispatch_queue_set_specific(loggerQueue_, this, this);
}

LGAbstractLogger::~LGAbstractLogger() {
  plat::dispatch_queue_set_specific(loggerQueue_, this, nullptr);
}

bool LGAbstractLogger::isOnGlobalLoggingQueue() const { return LGLog::isOnLoggingQueue(); }

bool LGAbstractLogger::isOnInternalLoggerQueue() const {
  return plat::dispatch_get_specific(this) != nullptr;
}

void LGAbstractLogger::readOnLoggerQueue(const std::function<void()>& read) {
  LGPrecondition(!isOnGlobalLoggingQueue(), kLGCoreArchitectureFailure);
  LGPrecondition(!isOnInternalLoggerQueue(), kLGAccessIvarDirectly);
  LGLog::submitSync([&] { plat::dispatch_sync(loggerQueue_, read); });
}

void LGAbstractLogger::applyOnLoggerQueue(std::function<void()> step) {
  if (isOnInternalLoggerQueue()) {
    step();
    return;
  }
  LGPrecondition(!isOnGlobalLoggingQueue(), kLGCoreArchitectureFailure);
  plat::DispatchQueueRef queue = loggerQueue_;
  LGLog::submitAsync([queue, step = std::move(step)] { plat::dispatch_async(queue, step); });
}

LGLogFormatterRef LGAbstractLogger::logFormatter() {
  LGLogFormatterRef result;
  readOnLoggerQueue([&] { result = formatter_; });
  return result;
}

void LGAbstractLogger::setLogFormatter(LGLogFormatterRef formatter) {
  LGPrecondition(!isOnGlobalLoggingQueue(), kLGCoreArchitectureFailure);
  LGPrecondition(!isOnInternalLoggerQueue(), kLGAccessIvarDirectly);
  auto self = shared_from_this();
  applyOnLoggerQueue([self, formatter = std::move(formatter)] {
    if (self->formatter_ == formatter) return;
    if (self->formatter_) self->formatter_->willRemoveFromLogger(self);
    self->formatter_ = formatter;
    if (formatter) formatter->didAddToLoggerInQueue(self, self->loggerQueue_);
  });
}
