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

void writeAll(int fd, const std::string& text) {
  iovec piece{const_cast<char*>(text.data()), text.size()};
  plat::writevToStream(fd, &piece, 1);
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

int LGWritevFully(int fd, iovec* v, int count, size_t* written) {
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
