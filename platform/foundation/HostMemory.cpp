#include "platform/foundation/HostMemory.h"

#include <unistd.h>

#include <mutex>
#include <random>

namespace plat {

namespace {
std::mutex gMu;
std::function<uint64_t()>& physicalSource() {
  static auto* f = new std::function<uint64_t()>;
  return *f;
}
std::function<int64_t()>& freeSource() {
  static auto* f = new std::function<int64_t()>;
  return *f;
}
std::function<uint32_t()>& randomSource() {
  static auto* f = new std::function<uint32_t()>;
  return *f;
}
}  // namespace

uint64_t HostPhysicalMemory() {
  {
    std::lock_guard<std::mutex> lock(gMu);
    if (physicalSource()) return physicalSource()();
  }
  long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
  return pages > 0 && size > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(size) : 0;
}

int64_t HostFreeMemory() {
  {
    std::lock_guard<std::mutex> lock(gMu);
    if (freeSource()) return freeSource()();
  }
  long pages = sysconf(_SC_AVPHYS_PAGES), size = sysconf(_SC_PAGESIZE);
  if (pages < 0 || size <= 0) return -1;
  return static_cast<int64_t>(pages) * size;
}

void SetHostPhysicalMemorySource(std::function<uint64_t()> source) {
  std::lock_guard<std::mutex> lock(gMu);
  physicalSource() = std::move(source);
}

void SetHostFreeMemorySource(std::function<int64_t()> source) {
  std::lock_guard<std::mutex> lock(gMu);
  freeSource() = std::move(source);
}

uint32_t arc4random() {
  std::lock_guard<std::mutex> lock(gMu);
  if (randomSource()) return randomSource()();
  static auto* engine = new std::mt19937(std::random_device{}());
  return static_cast<uint32_t>((*engine)());
}

void SetRandomSource(std::function<uint32_t()> source) {
  std::lock_guard<std::mutex> lock(gMu);
  randomSource() = std::move(source);
}

}  // namespace plat
