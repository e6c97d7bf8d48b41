#pragma once
// LGASLLogger: the sink that writes messages into the legacy system log store through a
// connection opened with the facility "com.apple.console". Each stored message carries
// "Level" (flag 1 gives "2", flag 2 "3", flag 4 "4", any other "5"), "Message", "ReadUID"
// (the effective user id) and "LGLog" = "1", so that LGASLLogCapture never reads it back.
// Messages that came from the capture are not written.
//
// Threading: logMessage runs on the logger's own queue; the connection is thread-safe.

#include <memory>
#include <string>

#include "logging/LGAbstractLogger.h"
#include "platform/oslog/ASLStore.h"

class LGASLLogger : public LGAbstractLogger {
 public:
  static const std::shared_ptr<LGASLLogger>& sharedInstance();
  // nullptr once the shared logger exists.
  static std::shared_ptr<LGASLLogger> init();

  // The store level for a flag (2 to 5).
  static int storeLevelForFlag(uint64_t flag);
  // The text of a store level. A level of 8 or more is a programming error: it aborts with
  // "Unhandled ASL log level.".
  static std::string storeLevelText(int level);

  void logMessage(const LGLogMessage& message) override;

 private:
  LGASLLogger();
  std::shared_ptr<plat::ASLClient> client_;
};
