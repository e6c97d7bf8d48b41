#include "platform/foundation/FileSystemFreeSize.h"

#include <sys/statvfs.h>

#include <mutex>

namespace plat {

namespace {
std::mutex& providerLock() {
  static std::mutex* m = new std::mutex();
  return *m;
}
std::function<int64_t(const std::string&)>& provider() {
  static auto* p = new std::function<int64_t(const std::string&)>();
  return *p;
}
}  // namespace

int64_t NSFileSystemFreeSize(const std::string& path) {
  std::function<int64_t(const std::string&)> injected;
  {
    std::lock_guard<std::mutex> g(providerLock());
    injected = provider();
  }
  if (injected) return injected(path);
  struct statvfs st;
  if (::statvfs(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_frsize);
}

void setFileSystemFreeSizeForTesting(std::function<int64_t(const std::string&)> p) {
  std::lock_guard<std::mutex> g(providerLock());
  provider() = std::move(p);
}

}  // namespace plat
