#pragma once
// LGOSLogger: the sink that forwards every message to the unified system log
// (plat::OSLog). Flag 1 (error) goes out as an error, flags 2 and 4 as info, any other
// value (including combinations of bits) as debug. Messages that the legacy system-log
// capture produced (file name "LGASLLogCapture") are not forwarded.
//
// Threading: logMessage runs on the logger's own queue (the hub's contract); the handle is
// created and used there only.

#include <memory>
#include <optional>
#include <string>

#include "logging/LGAbstractLogger.h"
#include "platform/oslog/OSLog.h"

class LGOSLogger : public LGAbstractLogger {
 public:
  // The shared logger (default handle), created once.
  static const std::shared_ptr<LGOSLogger>& sharedInstance();

  // Neither subsystem nor category: the default handle.
  LGOSLogger() : LGOSLogger(std::nullopt, std::nullopt) {}
  // REQUIRES: both or neither given ("Either both subsystem and category or neither should
  // be nil."; the process aborts otherwise).
  LGOSLogger(std::optional<std::string> subsystem, std::optional<std::string> category);

  const std::optional<std::string>& subsystem() const { return subsystem_; }
  const std::optional<std::string>& category() const { return category_; }

  // The handle; built by getLogger on first use. Call only on the logger's queue.
  plat::OSLogRef logger();
  void setLogger(plat::OSLogRef logger) { logger_ = std::move(logger); }
  plat::OSLogRef getLogger() const;

  // The system-log type for a message flag.
  static plat::OSLogType logTypeForFlag(uint64_t flag);

  void logMessage(const LGLogMessage& message) override;

 private:
  const std::optional<std::string> subsystem_;
  const std::optional<std::string> category_;
  plat::OSLogRef logger_;
};
