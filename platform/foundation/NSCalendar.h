#pragma once
// NSCalendar: the Gregorian calendar's components of a date in a time zone (the default time
// zone unless one is set). Only the Gregorian identifier is known. Values, thread-safe.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/NSDate.h"
#include "platform/foundation/NSTimeZone.h"

namespace plat {

inline constexpr const char* NSCalendarIdentifierGregorian = "gregorian";

enum NSCalendarUnit : uint64_t {
  NSCalendarUnitYear = 1 << 2,
  NSCalendarUnitMonth = 1 << 3,
  NSCalendarUnitDay = 1 << 4,
  NSCalendarUnitHour = 1 << 5,
  NSCalendarUnitMinute = 1 << 6,
  NSCalendarUnitSecond = 1 << 7
};

struct NSDateComponents {
  // Units not asked for stay at this value.
  static constexpr int64_t NSDateComponentUndefined = INT64_MAX;
  int64_t year = NSDateComponentUndefined, month = NSDateComponentUndefined,
          day = NSDateComponentUndefined, hour = NSDateComponentUndefined,
          minute = NSDateComponentUndefined, second = NSDateComponentUndefined;
};

class NSCalendar {
 public:
  // nullptr for an identifier other than Gregorian.
  static std::shared_ptr<NSCalendar> calendarWithIdentifier(const std::string& identifier);
  static std::shared_ptr<NSCalendar> currentCalendar();

  const std::string& calendarIdentifier() const { return identifier_; }
  NSTimeZone timeZone() const { return zone_ ? *zone_ : NSTimeZone::defaultTimeZone(); }
  void setTimeZone(std::optional<NSTimeZone> zone) { zone_ = std::move(zone); }

  NSDateComponents componentsFromDate(uint64_t units, const NSDate& date) const;
  // The date of the wall-clock time in the calendar's time zone; missing units count as the
  // start of their period (month 1, day 1, 0 hours).
  NSDate dateFromComponents(const NSDateComponents& c) const;

 private:
  std::string identifier_ = NSCalendarIdentifierGregorian;
  std::optional<NSTimeZone> zone_;
};

}  // namespace plat
