// Gregorian components of a date in a time zone, and back.

#include <gtest/gtest.h>

#include "platform/foundation/NSCalendar.h"

namespace plat {
namespace {

TEST(CalendarTest, ComponentsFollowTheTimeZoneAcrossDayAndYearEdges) {
  EXPECT_EQ(NSCalendar::calendarWithIdentifier("buddhist"), nullptr);
  auto calendar = NSCalendar::calendarWithIdentifier(NSCalendarIdentifierGregorian);
  ASSERT_TRUE(calendar);
  calendar->setTimeZone(NSTimeZone::GMT());
  NSDate newYearsEve = NSDate::fromSeconds1970(1735689540);  // 2024-12-31 23:59 UTC
  uint64_t all = NSCalendarUnitYear | NSCalendarUnitMonth | NSCalendarUnitDay |
                 NSCalendarUnitHour | NSCalendarUnitMinute;
  auto c = calendar->componentsFromDate(all, newYearsEve);
  EXPECT_EQ(c.year, 2024);
  EXPECT_EQ(c.month, 12);
  EXPECT_EQ(c.day, 31);
  EXPECT_EQ(c.hour, 23);
  EXPECT_EQ(c.minute, 59);
  EXPECT_EQ(c.second, NSDateComponents::NSDateComponentUndefined);

  calendar->setTimeZone(NSTimeZone::timeZoneForSecondsFromGMT(8 * 3600));
  c = calendar->componentsFromDate(all, newYearsEve);
  EXPECT_EQ(c.year, 2025);
  EXPECT_EQ(c.month, 1);
  EXPECT_EQ(c.day, 1);
  EXPECT_EQ(c.hour, 7);
  EXPECT_EQ(calendar->dateFromComponents(c), newYearsEve);

  // Before 1970, and a leap day.
  calendar->setTimeZone(NSTimeZone::GMT());
  NSDateComponents leap;
  leap.year = 1964;
  leap.month = 2;
  leap.day = 29;
  leap.hour = 12;
  NSDate d = calendar->dateFromComponents(leap);
  EXPECT_LT(d.seconds1970(), 0);
  c = calendar->componentsFromDate(all, d);
  EXPECT_EQ(c.year, 1964);
  EXPECT_EQ(c.month, 2);
  EXPECT_EQ(c.day, 29);
  EXPECT_EQ(c.hour, 12);
  EXPECT_EQ(c.minute, 0);
}

}  // namespace
}  // namespace plat
