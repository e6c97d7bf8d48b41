#include "platform/foundation/NSLog.h"

#include <pthread.h>
#include <signal.h>
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

int writevFully(int fd, iovec* v, int count, size_t* written) {
  size_t done = 0;
  int err = 0;
  while (count > 0 && v->iov_len == 0) ++v, --count;
  while (count > 0) {
    ssize_t n = ::writev(fd, v, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    if (n == 0) {
      err = EIO;
      break;
    }
    size_t left = static_cast<size_t>(n);
    done += left;
    while (count > 0 && left >= v->iov_len) {
      left -= v->iov_len;
      ++v, --count;
    }
    if (count > 0) {
      v->iov_base = static_cast<char*>(v->iov_base) + left;
      v->iov_len -= left;
    }
  }
  if (written) *written = done;
  return err;
}

int writevToStream(int fd, iovec* v, int count) {
  // SIGPIPE is blocked for this thread around the write, so a write to a pipe without a
  // reader leaves it pending here instead of ending the process; the pending signal is then
  // taken back, unless one was already pending before (that one is not ours to take).
  sigset_t pipeOnly;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  sigset_t old;
  pthread_sigmask(SIG_BLOCK, &pipeOnly, &old);
  bool pendingBefore = false;
  if (sigismember(&old, SIGPIPE)) {
    sigset_t pending;
    sigpending(&pending);
    pendingBefore = sigismember(&pending, SIGPIPE);
  }
  int err = writevFully(fd, v, count);
  if (err == EPIPE && !pendingBefore) {
    const struct timespec noWait = {0, 0};
    while (sigtimedwait(&pipeOnly, nullptr, &noWait) < 0 && errno == EINTR) {
    }
  }
  if (!sigismember(&old, SIGPIPE)) pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return err;
}

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
  iovec piece{line.data(), line.size()};
  writevToStream(2, &piece, 1);
}

void setNSLogCaptureForTesting(std::function<void(const std::string&)> capture) {
  LogState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.capture = std::move(capture);
}

}  // namespace plat
