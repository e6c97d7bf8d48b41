#include "logging/LGDiagnostics.h"

#include "platform/foundation/NSLog.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

std::mutex& hookMutex() {
  static auto* mu = new std::mutex;
  return *mu;
}

std::function<void(const std::string&)>& hookSlot() {
  static auto* hook = new std::function<void(const std::string&)>;
  return *hook;
}

void writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    done += static_cast<size_t>(n);
  }
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
  writeAll(2, text + "\n");
  std::abort();
}
