#pragma once
// plat::NSTimeZone: a time zone as the date formatter uses it: GMT, a fixed offset from GMT,
// or the host system's zone (through the C library, daylight saving included). A value type;
// thread-safe. The default ("local") zone can be pinned by tests and hosts.

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/NSDate.h"

namespace plat {

class NSTimeZone {
 public:
  // "GMT", offset 0.
  static NSTimeZone GMT();
  // A fixed offset, named "GMT+0800" / "GMT-0530" ("GMT" for 0). Offsets beyond +-18 hours
  // are clamped.
  static NSTimeZone timeZoneForSecondsFromGMT(int seconds);
  // "GMT", "UTC", "GMT+8", "GMT+08:00", "GMT-0530", "UTC+1" and "Local". Other names give
  // std::nullopt (no zone database here).
  static std::optional<NSTimeZone> timeZoneWithName(std::string_view name);
  // The host's zone.
  static NSTimeZone systemTimeZone();
  // The zone used where none is set: the one given to setDefaultTimeZone, else the system's.
  static NSTimeZone defaultTimeZone();
  static NSTimeZone localTimeZone() { return defaultTimeZone(); }
  // Pins the default zone (std::nullopt returns to the system's). May be called from any
  // thread.
  static void setDefaultTimeZone(std::optional<NSTimeZone> zone);

  const std::string& name() const { return name_; }
  int secondsFromGMTForDate(const NSDate& date) const;
  int secondsFromGMT() const { return secondsFromGMTForDate(NSDate::now()); }
  // The offset in force at a wall-clock time of this zone (seconds since 1970 as if the wall
  // clock were UTC). For a wall time skipped or repeated by a daylight-saving change, one of
  // the two offsets around the change.
  int secondsFromGMTForWallClock(int64_t wallSeconds) const;
  bool isSystem() const { return system_; }

  bool operator==(const NSTimeZone& o) const {
    return system_ == o.system_ && offset_ == o.offset_;
  }

 private:
  NSTimeZone(std::string name, int offset, bool system)
      : name_(std::move(name)), offset_(offset), system_(system) {}
  std::string name_;
  int offset_ = 0;
  bool system_ = false;
};

}  // namespace plat
