#include "logging/LGContextFilterLogFormatter.h"

void LGLoggingContextSet::addToSet(int64_t context) {
  std::lock_guard<std::mutex> lock(mutex_);
  set_.insert(context);
}

void LGLoggingContextSet::removeFromSet(int64_t context) {
  std::lock_guard<std::mutex> lock(mutex_);
  set_.erase(context);
}

std::vector<int64_t> LGLoggingContextSet::currentSet() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::vector<int64_t>(set_.begin(), set_.end());
}

bool LGLoggingContextSet::isInSet(int64_t context) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return set_.count(context) != 0;
}

LGText LGContextAllowlistFilterLogFormatter::formatLogMessage(const LGLogMessage& message) {
  return contextSet_.isInSet(message.context()) ? message.message() : nullptr;
}

LGText LGContextDenylistFilterLogFormatter::formatLogMessage(const LGLogMessage& message) {
  return contextSet_.isInSet(message.context()) ? nullptr : message.message();
}
