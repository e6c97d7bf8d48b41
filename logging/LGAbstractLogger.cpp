#include "logging/LGAbstractLogger.h"

#include <cxxabi.h>

#include <cstdlib>
#include <typeinfo>

#include "logging/LGDiagnostics.h"
#include "logging/LGLog.h"

LGAbstractLogger::LGAbstractLogger() : hasLoggerName_(false) {}

LGAbstractLogger::LGAbstractLogger(std::string loggerName)
    : loggerName_(std::move(loggerName)), hasLoggerName_(true) {
  (void)queue();
}

void LGAbstractLogger::makeQueue() const {
  std::string label =
      hasLoggerName_ ? loggerName_
                     : const_cast<LGAbstractLogger*>(this)->loggerName().value_or(std::string());
  queue_ = plat::dispatch_queue_create(label);
  // The marker's key is this logger; its value only needs to be non-null.
  plat::dispatch_queue_set_specific(queue_, this, const_cast<LGAbstractLogger*>(this));
  // Code on this queue runs for the hub: it must never wait for the hub.
  LGLog::markLoggerQueue(queue_);
}

LGAbstractLogger::~LGAbstractLogger() {
  if (queue_) plat::dispatch_queue_set_specific(queue_, this, nullptr);
}

std::optional<std::string> LGAbstractLogger::loggerName() {
  if (hasLoggerName_) return loggerName_;
  const char* mangled = typeid(*this).name();
  int status = 0;
  char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string name = status == 0 && demangled ? demangled : mangled;
  std::free(demangled);
  if (size_t colons = name.rfind("::"); colons != std::string::npos) name.erase(0, colons + 2);
  return name;
}

bool LGAbstractLogger::isOnGlobalLoggingQueue() const { return LGLog::isOnLoggingQueue(); }

bool LGAbstractLogger::isOnInternalLoggerQueue() const {
  return plat::dispatch_get_specific(this) != nullptr;
}

void LGAbstractLogger::readOnLoggerQueue(const std::function<void()>& read) {
  LGPrecondition(!isOnGlobalLoggingQueue(), kLGCoreArchitectureFailure);
  LGPrecondition(!isOnInternalLoggerQueue(), kLGAccessIvarDirectly);
  LGLog::submitSync([&] { plat::dispatch_sync(queue(), read); });
}

void LGAbstractLogger::applyOnLoggerQueue(std::function<void()> step) {
  if (isOnInternalLoggerQueue()) {
    step();
    return;
  }
  LGPrecondition(!isOnGlobalLoggingQueue(), kLGCoreArchitectureFailure);
  plat::DispatchQueueRef queue = this->queue();
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
    if (formatter) formatter->didAddToLoggerInQueue(self, self->queue());
  });
}
