#pragma once
// plat::NSProcessInfo: facts about the running process and the system it runs on.
//
// The operating system version is 15.0.0 by default (a current system, so that every
// "version N or later" branch for N up to 15 is taken); tests may set another. The
// processor count is the machine's unless a test sets one.
//
// Thread-safe. processInfo() is created once and never destroyed.

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/foundation/HostMemory.h"
#include "platform/foundation/Value.h"

namespace plat {

struct NSOperatingSystemVersion {
  int64_t majorVersion = 0;
  int64_t minorVersion = 0;
  int64_t patchVersion = 0;
};

class NSProcessInfo {
 public:
  static NSProcessInfo& processInfo();

  // The executable's name (without folders).
  std::string processName() const;
  int processIdentifier() const;
  // The environment at the time of the call, as text values.
  Dictionary environment() const;

  NSOperatingSystemVersion operatingSystemVersion() const;
  // "Version 15.0" (with ".patch" when the patch version is not 0).
  std::string operatingSystemVersionString() const;
  bool isOperatingSystemAtLeastVersion(NSOperatingSystemVersion version) const;

  uint64_t processorCount() const;
  // Bytes of physical memory (HostPhysicalMemory, replaceable by tests).
  uint64_t physicalMemory() const { return HostPhysicalMemory(); }
  uint64_t activeProcessorCount() const;

  // For tests (and hosts that play another device).
  void setOperatingSystemVersion(NSOperatingSystemVersion version);
  // 0 goes back to the machine's count.
  void setProcessorCount(uint64_t count);

 private:
  NSProcessInfo() = default;
  mutable std::mutex mutex_;
  NSOperatingSystemVersion version_{15, 0, 0};
  uint64_t processorCount_ = 0;
};

}  // namespace plat
