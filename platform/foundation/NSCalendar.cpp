#include "platform/foundation/NSCalendar.h"

#include "platform/foundation/CalendarMath.h"

namespace plat {

std::shared_ptr<NSCalendar> NSCalendar::calendarWithIdentifier(const std::string& identifier) {
  if (identifier != NSCalendarIdentifierGregorian) return nullptr;
  return std::make_shared<NSCalendar>();
}

std::shared_ptr<NSCalendar> NSCalendar::currentCalendar() { return std::make_shared<NSCalendar>(); }

NSDateComponents NSCalendar::componentsFromDate(uint64_t units, const NSDate& date) const {
  int64_t local = date.seconds1970() + timeZone().secondsFromGMTForDate(date);
  int64_t days = calendar::floorDiv(local, 86400);
  int64_t secondOfDay = local - days * 86400;
  calendar::CivilDate civil = calendar::civilFromDays(days);
  NSDateComponents c;
  if (units & NSCalendarUnitYear) c.year = civil.year;
  if (units & NSCalendarUnitMonth) c.month = civil.month;
  if (units & NSCalendarUnitDay) c.day = civil.day;
  if (units & NSCalendarUnitHour) c.hour = secondOfDay / 3600;
  if (units & NSCalendarUnitMinute) c.minute = secondOfDay % 3600 / 60;
  if (units & NSCalendarUnitSecond) c.second = secondOfDay % 60;
  return c;
}

NSDate NSCalendar::dateFromComponents(const NSDateComponents& c) const {
  auto value = [](int64_t v, int64_t fallback) {
    return v == NSDateComponents::NSDateComponentUndefined ? fallback : v;
  };
  int64_t days = calendar::daysFromCivil(value(c.year, 1), static_cast<int>(value(c.month, 1)),
                                         static_cast<int>(value(c.day, 1)));
  int64_t wall = days * 86400 + value(c.hour, 0) * 3600 + value(c.minute, 0) * 60 +
                 value(c.second, 0);
  return NSDate::fromSeconds1970(wall - timeZone().secondsFromGMTForWallClock(wall));
}

}  // namespace plat
