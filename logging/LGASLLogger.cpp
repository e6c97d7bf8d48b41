#include "logging/LGASLLogger.h"

#include <unistd.h>

#include <atomic>

#include "logging/LGASLLogCapture.h"
#include "logging/LGDiagnostics.h"
#include "platform/foundation/Format.h"

namespace {
constexpr const char* kASLLoggerName = "vestrel.aslLogger";
std::atomic<bool> gSharedExists{false};
}  // namespace

const std::shared_ptr<LGASLLogger>& LGASLLogger::sharedInstance() {
  static auto* shared = [] {
    auto* p = new std::shared_ptr<LGASLLogger>(init());
    gSharedExists = true;
    return p;
  }();
  return *shared;
}

std::shared_ptr<LGASLLogger> LGASLLogger::init() {
  if (gSharedExists.load()) return nullptr;
  return std::shared_ptr<LGASLLogger>(new LGASLLogger);
}

LGASLLogger::LGASLLogger()
    : LGAbstractLogger(kASLLoggerName),
      client_(plat::ASLClient::open(std::string(), "com.apple.console")) {}

int LGASLLogger::storeLevelForFlag(uint64_t flag) {
  switch (flag) {
    case LGLogFlagError:
      return 2;  // critical
    case LGLogFlagWarning:
      return 3;  // error
    case LGLogFlagInfo:
      return 4;  // warning
    default:
      return 5;  // notice
  }
}

std::string LGASLLogger::storeLevelText(int level) {
  // The store knows levels 0 (emergency) to 7 (debug).
  LGPrecondition(level >= 0 && level < 8, "Unhandled ASL log level.");
  return std::string(1, static_cast<char>('0' + level));
}

void LGASLLogger::logMessage(const LGLogMessage& message) {
  if (message.fileName() == LGASLLogCapture::kCaptureFileName) return;
  LGText text = formatter_ ? formatter_->formatLogMessage(message) : message.message();
  if (!text) return;
  std::string euid = plat::format("%d", static_cast<int>(::geteuid()));
  LGPrecondition(euid.size() < 16, "Formatted euid is too long.");
  std::string level = storeLevelText(storeLevelForFlag(message.flag()));
  plat::ASLMessage m;
  if (m.set(plat::ASL_KEY_LEVEL, level) && m.set(plat::ASL_KEY_MSG, *text) &&
      m.set(plat::ASL_KEY_READ_UID, euid) && m.set("LGLog", "1")) {
    client_->send(m);
  }
}
