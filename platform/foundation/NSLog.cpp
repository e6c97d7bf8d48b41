#include "platform/foundation/NSLog.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// Whether SIGPIPE is pending for this thread itself. sigpending() tells the thread's own
// signals and the process's together; a write raises SIGPIPE at the writing thread only, so
// the thread's own set is what one more would merge into. Read from /proc; where that cannot
// be read, any pending SIGPIPE counts.
bool pipeSignalPendingForThisThread() {
  char text[4096];
  ssize_t n = -1;
  int fd = ::open("/proc/thread-self/status", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    do {
      n = ::read(fd, text, sizeof text - 1);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
  }
  const char* field = n > 0 ? (text[n] = '\0', std::strstr(text, "\nSigPnd:")) : nullptr;
  if (!field) {
    sigset_t pending;
    sigpending(&pending);
    return sigismember(&pending, SIGPIPE);
  }
  unsigned long long mask = std::strtoull(field + std::strlen("\nSigPnd:"), nullptr, 16);
  return (mask >> (SIGPIPE - 1)) & 1;
}

}  // namespace

int writevFully(int fd, iovec* v, int count, size_t* written, size_t* lastWrite) {
  size_t done = 0, last = 0;
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
    last = left;
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
  if (lastWrite) *lastWrite = last;
  return err;
}

int writevToStream(int fd, iovec* v, int count) {
  // SIGPIPE is blocked for this thread around the write, so a write to a pipe without a
  // reader leaves it pending here instead of ending the process; the pending signal is then
  // taken back (the thread's own signals are taken before the process's), unless one was
  // already pending for this thread before: ours merged into that one, which is not ours to
  // take.
  sigset_t pipeOnly;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  sigset_t old;
  pthread_sigmask(SIG_BLOCK, &pipeOnly, &old);
  bool pendingBefore = sigismember(&old, SIGPIPE) && pipeSignalPendingForThisThread();
  int err = writevFully(fd, v, count);
  if (err == EPIPE && !pendingBefore) {
    const struct timespec noWait = {0, 0};
    while (sigtimedwait(&pipeOnly, nullptr, &noWait) < 0 && errno == EINTR) {
    }
  }
  if (!sigismember(&old, SIGPIPE)) pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return err;
}

void writeToStandardError(std::string_view text) {
  iovec pieces[2] = {{const_cast<char*>(text.data()), text.size()}, {const_cast<char*>("\n"), 1}};
  writevToStream(STDERR_FILENO, pieces, text.empty() || text.back() != '\n' ? 2 : 1);
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
  std::lock_guard<std::mutex> lock(s.mutex);
  writeToStandardError(line);
}

void setNSLogCaptureForTesting(std::function<void(const std::string&)> capture) {
  LogState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.capture = std::move(capture);
}

}  // namespace plat
