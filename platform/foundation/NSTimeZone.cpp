#include "platform/foundation/NSTimeZone.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>

namespace plat {

namespace {

std::mutex& defaultMutex() {
  static auto* m = new std::mutex;
  return *m;
}
std::optional<NSTimeZone>& defaultZone() {
  static auto* z = new std::optional<NSTimeZone>;
  return *z;
}

std::string systemZoneName() {
  if (const char* tz = std::getenv("TZ"); tz && *tz) return tz[0] == ':' ? tz + 1 : tz;
  std::ifstream f("/etc/timezone");
  std::string name;
  if (f && std::getline(f, name) && !name.empty()) return name;
  return "Local";
}

int systemOffset(int64_t seconds) {
  time_t t = static_cast<time_t>(seconds);
  tm local{};
  if (!localtime_r(&t, &local)) return 0;
  return static_cast<int>(local.tm_gmtoff);
}

}  // namespace

NSTimeZone NSTimeZone::GMT() { return NSTimeZone("GMT", 0, false); }

NSTimeZone NSTimeZone::timeZoneForSecondsFromGMT(int seconds) {
  seconds = std::clamp(seconds, -18 * 3600, 18 * 3600);
  if (seconds == 0) return GMT();
  int a = seconds < 0 ? -seconds : seconds;
  char buf[32];
  std::snprintf(buf, sizeof buf, "GMT%c%02d%02d", seconds < 0 ? '-' : '+', a / 3600, a / 60 % 60);
  return NSTimeZone(buf, seconds, false);
}

std::optional<NSTimeZone> NSTimeZone::timeZoneWithName(std::string_view name) {
  if (name == "Local") return systemTimeZone();
  std::string_view rest;
  if (name.substr(0, 3) == "GMT" || name.substr(0, 3) == "UTC") rest = name.substr(3);
  else return std::nullopt;
  if (rest.empty()) return GMT();
  if (rest[0] != '+' && rest[0] != '-') return std::nullopt;
  int sign = rest[0] == '-' ? -1 : 1;
  rest.remove_prefix(1);
  std::string digits;
  for (char c : rest) {
    if (c == ':') continue;
    if (c < '0' || c > '9') return std::nullopt;
    digits += c;
  }
  int hours = 0, minutes = 0;
  if (digits.size() == 1 || digits.size() == 2) {
    hours = std::stoi(digits);
  } else if (digits.size() == 3 || digits.size() == 4) {
    hours = std::stoi(digits.substr(0, digits.size() - 2));
    minutes = std::stoi(digits.substr(digits.size() - 2));
  } else {
    return std::nullopt;
  }
  if (hours > 18 || minutes > 59) return std::nullopt;
  return timeZoneForSecondsFromGMT(sign * (hours * 3600 + minutes * 60));
}

NSTimeZone NSTimeZone::systemTimeZone() {
  static const std::string* name = new std::string(systemZoneName());
  return NSTimeZone(*name, 0, true);
}

NSTimeZone NSTimeZone::defaultTimeZone() {
  std::lock_guard<std::mutex> lock(defaultMutex());
  return defaultZone() ? *defaultZone() : systemTimeZone();
}

void NSTimeZone::setDefaultTimeZone(std::optional<NSTimeZone> zone) {
  std::lock_guard<std::mutex> lock(defaultMutex());
  defaultZone() = std::move(zone);
}

int NSTimeZone::secondsFromGMTForDate(const NSDate& date) const {
  return system_ ? systemOffset(date.seconds1970()) : offset_;
}

int NSTimeZone::secondsFromGMTForWallClock(int64_t wall) const {
  if (!system_) return offset_;
  int first = systemOffset(wall - systemOffset(wall));
  return systemOffset(wall - first);
}

}  // namespace plat
