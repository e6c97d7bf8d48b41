#include "platform/foundation/NSProcessInfo.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <thread>

extern char** environ;

namespace plat {

NSProcessInfo& NSProcessInfo::processInfo() {
  static NSProcessInfo* info = new NSProcessInfo();
  return *info;
}

std::string NSProcessInfo::processName() const {
  return program_invocation_short_name ? program_invocation_short_name : "";
}

int NSProcessInfo::processIdentifier() const { return static_cast<int>(::getpid()); }

Dictionary NSProcessInfo::environment() const {
  Dictionary env;
  for (char** e = environ; e && *e; ++e) {
    std::string entry = *e;
    size_t eq = entry.find('=');
    if (eq == std::string::npos) continue;
    env.set(entry.substr(0, eq), Value(entry.substr(eq + 1)));
  }
  return env;
}

NSOperatingSystemVersion NSProcessInfo::operatingSystemVersion() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return version_;
}

std::string NSProcessInfo::operatingSystemVersionString() const {
  NSOperatingSystemVersion v = operatingSystemVersion();
  std::string s = "Version ";
  s.append(std::to_string(v.majorVersion)).append(".").append(std::to_string(v.minorVersion));
  if (v.patchVersion != 0) s.append(".").append(std::to_string(v.patchVersion));
  return s;
}

bool NSProcessInfo::isOperatingSystemAtLeastVersion(NSOperatingSystemVersion want) const {
  NSOperatingSystemVersion v = operatingSystemVersion();
  if (v.majorVersion != want.majorVersion) return v.majorVersion > want.majorVersion;
  if (v.minorVersion != want.minorVersion) return v.minorVersion > want.minorVersion;
  return v.patchVersion >= want.patchVersion;
}

uint64_t NSProcessInfo::processorCount() const {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (processorCount_) return processorCount_;
  }
  long n = ::sysconf(_SC_NPROCESSORS_CONF);
  return n > 0 ? static_cast<uint64_t>(n) : 1;
}

uint64_t NSProcessInfo::activeProcessorCount() const {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (processorCount_) return processorCount_;
  }
  long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<uint64_t>(n) : 1;
}

void NSProcessInfo::setOperatingSystemVersion(NSOperatingSystemVersion version) {
  std::lock_guard<std::mutex> lock(mutex_);
  version_ = version;
}

void NSProcessInfo::setProcessorCount(uint64_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  processorCount_ = count;
}

}  // namespace plat
