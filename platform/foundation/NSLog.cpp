#include "platform/foundation/NSLog.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "platform/foundation/NSProcessInfo.h"

namespace plat {

namespace {

struct LogState {
  std::mutex mutex;
  std::function<void(const std::string&)> capture;
};

LogState& state() {
  static LogState* s = new LogState();
  return *s;
}

std::string prefix() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  struct tm local;
  ::localtime_r(&ts.tv_sec, &local);
  char date[64];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
  long offset = local.tm_gmtoff;
  char zone[32];
  std::snprintf(zone, sizeof zone, "%c%02ld%02ld", offset < 0 ? '-' : '+',
                (offset < 0 ? -offset : offset) / 3600,
                ((offset < 0 ? -offset : offset) / 60) % 60);
  char micros[32];
  std::snprintf(micros, sizeof micros, ".%06ld", ts.tv_nsec / 1000);
  return std::string(date) + micros + zone + " " + NSProcessInfo::processInfo().processName() +
         "[" + std::to_string(::getpid()) + ":" + std::to_string(::syscall(SYS_gettid)) + "] ";
}

}  // namespace

void NSLogMessage(const std::string& message) {
  LogState& s = state();
  std::string line;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.capture) {
      s.capture(message);
      return;
    }
  }
  line = prefix() + message;
  if (line.empty() || line.back() != '\n') line += '\n';
  std::lock_guard<std::mutex> lock(s.mutex);
  const char* p = line.data();
  size_t n = line.size();
  while (n > 0) {
    ssize_t w = ::write(2, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      break;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
}

void setNSLogCaptureForTesting(std::function<void(const std::string&)> capture) {
  LogState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.capture = std::move(capture);
}

}  // namespace plat
