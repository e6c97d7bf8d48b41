#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>

#include <set>

#include "platform/foundation/NSDate.h"
#include "platform/foundation/NSDateFormatter.h"
#include "platform/foundation/NSTimeZone.h"
#include "platform/foundation/NSUUID.h"

using plat::NSDate;
using plat::NSDateFormatter;
using plat::NSTimeZone;

namespace {

NSDateFormatter formatter(const char* pattern, std::optional<NSTimeZone> zone = NSTimeZone::GMT()) {
  NSDateFormatter f;
  f.setDateFormat(pattern);
  f.setLocale("en_US_POSIX");
  f.setTimeZone(zone);
  return f;
}

// 2024-02-29 13:05:09.987654321 UTC
const NSDate kLeapDay = NSDate::fromSeconds1970(1709211909, 987654321);

}  // namespace

TEST(Date, IntervalsDescriptionsAndFarDates) {
  EXPECT_EQ(NSDate().description(), "1970-01-01 00:00:00 +0000");
  EXPECT_EQ(NSDate::dateWithTimeIntervalSinceReferenceDate(0).description(), "2001-01-01 00:00:00 +0000");
  EXPECT_EQ(NSDate::fromSeconds1970(-1).description(), "1969-12-31 23:59:59 +0000");
  EXPECT_EQ(NSDate::distantFuture().description(), "4001-01-01 00:00:00 +0000");
  EXPECT_EQ(NSDate::distantPast().description(), "0001-01-01 00:00:00 +0000");
  EXPECT_EQ(NSDate::distantFuture().timeIntervalSinceReferenceDate(), 63113904000.0);
  EXPECT_EQ(NSDate::distantPast().timeIntervalSinceReferenceDate(), -63114076800.0);
  EXPECT_EQ(NSDate::distantFuture().nanoseconds1970(), INT64_MAX);  // saturated, not wrapped
  EXPECT_LT(NSDate::distantPast(), NSDate::fromNanoseconds1970(INT64_MIN));
  EXPECT_EQ(NSDate::dateWithTimeIntervalSince1970(1e300),
            NSDate::fromSeconds1970(NSDate::kMaxSeconds1970));
  EXPECT_EQ(NSDate::fromNanoseconds1970(-1500000000).seconds1970(), -2);
  EXPECT_EQ(NSDate::fromNanoseconds1970(-1500000000).nanosecondOfSecond(), 500000000);
  // Doubles are taken to the microsecond, so a written time keeps its milliseconds.
  NSDate d = NSDate::dateWithTimeIntervalSince1970(1700000000.123);
  EXPECT_EQ(d.nanosecondOfSecond(), 123000000);
  EXPECT_DOUBLE_EQ(d.timeIntervalSince1970(), 1700000000.123);
  EXPECT_DOUBLE_EQ(d.dateByAddingTimeInterval(-0.5).timeIntervalSinceDate(d), -0.5);
  EXPECT_EQ(d.dateByAddingTimeInterval(0.877).nanosecondOfSecond(), 0);
  NSDate now = NSDate::now();
  EXPECT_LT(std::abs(now.timeIntervalSince1970() - static_cast<double>(time(nullptr))), 2.0);
}

TEST(DateFormatter, FormatsThePatternsInUse) {
  EXPECT_EQ(formatter("yyyy'-'MM'-'dd'--'HH'-'mm'-'ss'-'SSS'").stringFromDate(kLeapDay),
            "2024-02-29--13-05-09-987");
  EXPECT_EQ(formatter("yyyy/MM/dd HH:mm:ss:SSS").stringFromDate(kLeapDay), "2024/02/29 13:05:09:987");
  EXPECT_EQ(formatter(" HH:mm").stringFromDate(kLeapDay), " 13:05");
  EXPECT_EQ(formatter("MM-dd HH:mm").stringFromDate(kLeapDay), "02-29 13:05");
  // Milliseconds are truncated, never rounded up into the next second.
  NSDate almost = NSDate::fromSeconds1970(1709211909, 999999999);
  EXPECT_EQ(formatter("ss.SSS").stringFromDate(almost), "09.999");
  EXPECT_EQ(formatter("S SS SSSSSSSSSSSS").stringFromDate(kLeapDay), "9 98 987654321000");
  EXPECT_EQ(formatter("y yy M d H h a K k").stringFromDate(kLeapDay), "2024 24 2 29 13 1 PM 1 13");
  EXPECT_EQ(formatter("EEE EEEE MMM MMMM").stringFromDate(kLeapDay), "Thu Thursday Feb February");
  EXPECT_EQ(formatter("'It''s' h 'o''clock' a").stringFromDate(NSDate()), "It's 12 o'clock AM");
  EXPECT_EQ(formatter("Z|ZZZZ|ZZZZZ").stringFromDate(kLeapDay), "+0000|GMT|Z");
  auto plus8 = NSTimeZone::timeZoneForSecondsFromGMT(8 * 3600);
  EXPECT_EQ(formatter("yyyy-MM-dd HH:mm Z|ZZZZ|ZZZZZ", plus8).stringFromDate(kLeapDay),
            "2024-02-29 21:05 +0800|GMT+08:00|+08:00");
  auto minus530 = NSTimeZone::timeZoneWithName("GMT-05:30");
  ASSERT_TRUE(minus530);
  EXPECT_EQ(minus530->name(), "GMT-0530");
  EXPECT_EQ(formatter("dd HH:mm", minus530).stringFromDate(kLeapDay), "29 07:35");
  EXPECT_FALSE(NSTimeZone::timeZoneWithName("Mars/Olympus"));
  // Before 1582-10-15 the platform's calendar is the Julian one.
  EXPECT_EQ(formatter("yyyy-MM-dd").stringFromDate(NSDate::fromSeconds1970(-12219292800)), "1582-10-15");
  EXPECT_EQ(formatter("yyyy-MM-dd").stringFromDate(NSDate::fromSeconds1970(-12219292800 - 86400)), "1582-10-04");
}

TEST(DateFormatter, LocalZoneFollowsTheSystemOrThePinnedDefault) {
  setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
  tzset();
  auto f = formatter("yyyy-MM-dd HH:mm Z", std::nullopt);  // no zone set: the default zone
  EXPECT_TRUE(f.timeZone().isSystem());
  EXPECT_EQ(f.stringFromDate(kLeapDay), "2024-02-29 08:05 -0500");
  NSDate summer = NSDate::fromSeconds1970(1720000000);  // 2024-07-03 09:46:40 UTC
  EXPECT_EQ(f.stringFromDate(summer), "2024-07-03 05:46 -0400");
  auto parsed = f.dateFromString("2024-07-03 05:46 -0400");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->seconds1970(), 1720000000 - 40);
  auto g = formatter("yyyy-MM-dd HH:mm:ss", std::nullopt);
  EXPECT_EQ(g.dateFromString("2024-07-03 05:46:40")->seconds1970(), 1720000000);
  EXPECT_EQ(g.dateFromString("2024-02-29 08:05:09")->seconds1970(), 1709211909);
  NSTimeZone::setDefaultTimeZone(NSTimeZone::timeZoneForSecondsFromGMT(8 * 3600));
  EXPECT_EQ(f.stringFromDate(kLeapDay), "2024-02-29 21:05 +0800");
  NSTimeZone::setDefaultTimeZone(std::nullopt);
  EXPECT_EQ(f.stringFromDate(kLeapDay), "2024-02-29 08:05 -0500");
}

TEST(DateFormatter, ParsesWholeTextsOnly) {
  auto f = formatter("yyyy-MM-dd HH:mm:ss.SSS");
  auto d = f.dateFromString("2024-02-29 13:05:09.987");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->seconds1970(), 1709211909);
  EXPECT_EQ(d->nanosecondOfSecond(), 987000000);
  EXPECT_EQ(f.stringFromDate(*d), "2024-02-29 13:05:09.987");
  for (const char* bad : {"2023-02-29 00:00:00.000", "2024-13-01 00:00:00.000", "2024-04-31 00:00:00.000",
                          "2024-01-01 24:00:00.000", "2024-01-01 00:60:00.000", "2024-01-01 00:00:00.000x",
                          "2024-01-01 00:00:00", "2024/01/01 00:00:00.000", "", "abcd-01-01 00:00:00.000"}) {
    EXPECT_FALSE(f.dateFromString(bad)) << bad;
  }
  EXPECT_FALSE(NSDateFormatter().dateFromString(""));  // no format set
  // Lone numeric fields take as many digits as they find; abutting ones exactly their count.
  EXPECT_EQ(formatter("yyyy-M-d").dateFromString("2024-3-7")->seconds1970(), 1709769600);
  EXPECT_EQ(formatter("yyyy-MM-dd").dateFromString("2024-3-7")->seconds1970(), 1709769600);
  EXPECT_EQ(formatter("yyyyMMddHHmmss").dateFromString("20240229130509")->seconds1970(), 1709211909);
  EXPECT_FALSE(formatter("yyyyMMdd").dateFromString("2024229"));
  // Names, 12-hour clock, zones in the text, literals.
  EXPECT_EQ(formatter("EEE, dd MMM yyyy hh:mm:ss a Z").dateFromString("thu, 29 feb 2024 01:05:09 PM +0100")->seconds1970(),
            1709211909 - 3600);
  EXPECT_EQ(formatter("MMMM d, yyyy h a").dateFromString("February 29, 2024 12 AM")->seconds1970(), 1709164800);
  EXPECT_EQ(formatter("yyyy-MM-dd'T'HH:mm:ssZZZZZ").dateFromString("2024-02-29T13:05:09Z")->seconds1970(), 1709211909);
  EXPECT_EQ(formatter("yyyy-MM-dd'T'HH:mm:ssZZZZZ").dateFromString("2024-02-29T21:05:09+08:00")->seconds1970(), 1709211909);
  EXPECT_EQ(formatter("'at' HH:mm").dateFromString("at 01:02")->seconds1970(), 3720);
  // A two-digit year lands within 80 years before and 20 after now.
  int64_t nowYear = 1970 + NSDate::now().seconds1970() / 31556952;
  auto yy = formatter("yy-MM-dd");
  auto soon = yy.dateFromString(std::to_string((nowYear + 5) % 100 + 100).substr(1) + "-01-01");
  ASSERT_TRUE(soon);
  EXPECT_EQ(formatter("yyyy").stringFromDate(*soon), std::to_string(nowYear + 5));
  auto old = yy.dateFromString(std::to_string((nowYear - 50) % 100 + 100).substr(1) + "-01-01");
  EXPECT_EQ(formatter("yyyy").stringFromDate(*old), std::to_string(nowYear - 50));
}

TEST(UUID, UpperCaseTextAndParsing) {
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    std::string s = plat::NSUUID::UUID().UUIDString();
    ASSERT_EQ(s.size(), 36u);
    EXPECT_EQ(s[14], '4');  // version 4
    EXPECT_NE(std::string("89AB").find(s[19]), std::string::npos);
    EXPECT_EQ(s.find_first_of("abcdef"), std::string::npos);
    seen.insert(s);
  }
  EXPECT_EQ(seen.size(), 100u);
  auto parsed = plat::NSUUID::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->UUIDString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  EXPECT_EQ(parsed->bytes()[0], 0xE6);
  for (const char* bad : {"", "E621E1F8C36C495A93FC0C247A3E6E5F", "E621E1F8-C36C-495A-93FC-0C247A3E6E5", "G621E1F8-C36C-495A-93FC-0C247A3E6E5F",
                          "E621E1F8-C36C-495A-93FC_0C247A3E6E5F"})
    EXPECT_FALSE(plat::NSUUID::fromString(bad)) << bad;
}
