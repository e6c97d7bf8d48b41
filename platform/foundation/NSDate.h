#pragma once
// plat::NSDate: a point in time with integer nanosecond precision (so that formatted
// milliseconds never round), with value semantics. Thread-safe as a value.

#include <cstdint>
#include <string>

namespace plat {

class NSDate {
 public:
  // Seconds between 1970-01-01 and the platform's reference date 2001-01-01 (UTC).
  static constexpr int64_t kReferenceDateOffset = 978307200;

  NSDate() = default;  // 1970-01-01T00:00:00Z
  static NSDate now();  // wall-clock time (not the virtual clock)
  static NSDate fromNanoseconds1970(int64_t ns) { NSDate d; d.ns_ = ns; return d; }
  static NSDate dateWithTimeIntervalSince1970(double seconds);
  static NSDate dateWithTimeIntervalSinceNow(double seconds);
  static NSDate distantPast();
  static NSDate distantFuture();

  int64_t nanoseconds1970() const { return ns_; }
  double timeIntervalSince1970() const { return static_cast<double>(ns_) / 1e9; }
  double timeIntervalSinceReferenceDate() const {
    return timeIntervalSince1970() - static_cast<double>(kReferenceDateOffset);
  }
  double timeIntervalSinceDate(const NSDate& other) const {
    return static_cast<double>(ns_ - other.ns_) / 1e9;
  }
  double timeIntervalSinceNow() const { return timeIntervalSinceDate(now()); }
  NSDate dateByAddingTimeInterval(double seconds) const;

  // The platform's description: "2001-01-01 00:00:00 +0000" (UTC).
  std::string description() const;

  auto operator<=>(const NSDate&) const = default;

 private:
  int64_t ns_ = 0;
};

}  // namespace plat
