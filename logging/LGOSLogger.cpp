#include "logging/LGOSLogger.h"

#include "logging/LGDiagnostics.h"

namespace {
constexpr const char* kOSLoggerName = "vestrel.osLogger";
constexpr const char* kCaptureFileName = "LGASLLogCapture";
}  // namespace

const std::shared_ptr<LGOSLogger>& LGOSLogger::sharedInstance() {
  static auto* shared = new std::shared_ptr<LGOSLogger>(std::make_shared<LGOSLogger>());
  return *shared;
}

LGOSLogger::LGOSLogger(std::optional<std::string> subsystem, std::optional<std::string> category)
    : LGAbstractLogger(kOSLoggerName), subsystem_(std::move(subsystem)), category_(std::move(category)) {
  LGPrecondition(subsystem_.has_value() == category_.has_value(),
                 "Either both subsystem and category or neither should be nil.");
}

plat::OSLogRef LGOSLogger::getLogger() const {
  if (subsystem_ && category_) return plat::OSLog::create(*subsystem_, *category_);
  return plat::OSLog::defaultLog();
}

plat::OSLogRef LGOSLogger::logger() {
  if (!logger_) logger_ = getLogger();
  return logger_;
}

plat::OSLogType LGOSLogger::logTypeForFlag(uint64_t flag) {
  switch (flag) {
    case LGLogFlagError:
      return plat::OSLogType::Error;
    case LGLogFlagWarning:
    case LGLogFlagInfo:
      return plat::OSLogType::Info;
    default:
      return plat::OSLogType::Debug;
  }
}

void LGOSLogger::logMessage(const LGLogMessage& message) {
  if (message.fileName() == kCaptureFileName) return;
  LGText text = formatter_ ? formatter_->formatLogMessage(message) : message.message();
  if (!text) return;
  logger()->write(logTypeForFlag(message.flag()), *text);
}
