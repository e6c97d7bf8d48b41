#pragma once
// plat::NSDate: a point in time with integer nanosecond precision (so that formatted
// milliseconds never round), with value semantics. Thread-safe as a value.
//
// Dates are whole seconds plus nanoseconds since 1970-01-01 UTC, so the platform's far
// dates (distantPast, distantFuture) are exact. Times given as doubles are taken to the
// nearest microsecond, the finest step a double holds for present-day dates.

#include <cstdint>
#include <string>

namespace plat {

class NSDate {
 public:
  // Seconds between 1970-01-01 and the platform's reference date 2001-01-01 (UTC).
  static constexpr int64_t kReferenceDateOffset = 978307200;
  // Dates built from a time interval in seconds (a double) saturate at this many seconds
  // before and after 1970 (about 285 million years): within it a double holds every second.
  static constexpr int64_t kMaxSeconds1970 = int64_t{1} << 53;

  NSDate() = default;  // 1970-01-01T00:00:00Z
  static NSDate now();  // wall-clock time (not the virtual clock)
  static NSDate fromNanoseconds1970(int64_t ns);
  static NSDate fromSeconds1970(int64_t seconds, int64_t nanoseconds = 0);
  // NaN gives 1970-01-01 (and 2001-01-01 from the reference date); every date of the
  // distant range and beyond (years 1 to 9999 among them) is kept, to the microsecond.
  static NSDate dateWithTimeIntervalSince1970(double seconds);
  static NSDate dateWithTimeIntervalSinceReferenceDate(double seconds);
  static NSDate dateWithTimeIntervalSinceNow(double seconds);
  static NSDate distantPast();    // 0001-01-01 00:00:00 +0000
  static NSDate distantFuture();  // 4001-01-01 00:00:00 +0000

  // Nanoseconds since 1970, saturated to the int64 range (years 1677 to 2262).
  int64_t nanoseconds1970() const;
  int64_t seconds1970() const { return sec_; }          // floor of the time in seconds
  int32_t nanosecondOfSecond() const { return nsec_; }  // 0 ... 999999999
  double timeIntervalSince1970() const {
    return static_cast<double>(sec_) + static_cast<double>(nsec_) / 1e9;
  }
  double timeIntervalSinceReferenceDate() const {
    return static_cast<double>(sec_ - kReferenceDateOffset) + static_cast<double>(nsec_) / 1e9;
  }
  double timeIntervalSinceDate(const NSDate& other) const {
    return static_cast<double>(sec_ - other.sec_) +
           static_cast<double>(nsec_ - other.nsec_) / 1e9;
  }
  double timeIntervalSinceNow() const { return timeIntervalSinceDate(now()); }
  NSDate dateByAddingTimeInterval(double seconds) const;  // NaN adds nothing

  // The platform's description: "2001-01-01 00:00:00 +0000" (UTC).
  std::string description() const;

  auto operator<=>(const NSDate&) const = default;

 private:
  static NSDate fromInterval(double seconds, int64_t base, int32_t baseNanoseconds);

  int64_t sec_ = 0;
  int32_t nsec_ = 0;
};

}  // namespace plat
