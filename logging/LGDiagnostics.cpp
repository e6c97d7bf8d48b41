#include "logging/LGDiagnostics.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/foundation/NSLog.h"

namespace {

std::mutex& hookMutex() {
  static auto* mu = new std::mutex;
  return *mu;
}

std::function<void(const std::string&)>& hookSlot() {
  static auto* hook = new std::function<void(const std::string&)>;
  return *hook;
}

}  // namespace

void LGDiagnosticLog(const std::string& line) {
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard<std::mutex> lock(hookMutex());
    hook = hookSlot();
  }
  if (hook) {
    hook(line);
    return;
  }
  plat::NSLogMessage(line);
}

void LGSetDiagnosticLogHook(std::function<void(const std::string&)> hook) {
  std::lock_guard<std::mutex> lock(hookMutex());
  hookSlot() = std::move(hook);
}

void LGPreconditionFailure(const std::string& text) {
  plat::writeToStandardError(text);
  std::abort();
}
