#pragma once
// LGASLLogger: the sink that writes messages into the legacy system log store through a
// connection opened with the facility "com.apple.console". Each stored message carries
// "Level" (flag 1 gives "2", flag 2 "3", flag 4 "4", any other "5"), "Message", "ReadUID"
// (the effective user id) and "LGLog" = "1", so that LGASLLogCapture never reads it back.
// Messages that came from the capture are not written.
//
// Threading: logMessage runs on the logger's own queue; the connection is thread-safe.

#include <memory>

#include "logging/LGAbstractLogger.h"
#include "platform/oslog/ASLStore.h"

class LGASLLogger : public LGAbstractLogger {
 public:
  static const std::shared_ptr<LGASLLogger>& sharedInstance();
  // nullptr once the shared logger exists.
  static std::shared_ptr<LGASLLogger> init();

  // The store level text for a flag.
  static const char* storeLevelForFlag(uint64_t flag);

  void logMessage(const LGLogMessage& message) override;

 private:
  LGASLLogger();
  std::shared_ptr<plat::ASLClient> client_;
};
