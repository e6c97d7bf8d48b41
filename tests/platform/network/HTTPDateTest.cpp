// The date reader of the URL cache (HTTP dates, strict) and of the cookie jar (the cookie date
// algorithm, lenient).

#include <gtest/gtest.h>

#include "platform/network/HTTPDate.h"

using namespace plat;

namespace {

constexpr double kNow = 1796601600;   // 2026-12-07
constexpr int64_t k1994 = 784111777;  // 1994-11-06 08:49:37

struct Case {
  const char* text;
  std::optional<int64_t> expected;
};

TEST(HTTPDate, ReadsTheThreeFormsStrictly) {
  const Case cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", k1994},
      {"Sunday, 06-Nov-94 08:49:37 GMT", k1994},
      {"Sun Nov  6 08:49:37 1994", k1994},
      {" Sun, 06 Nov 1994 08:49:37 GMT\t", k1994},
      // A two-digit year is the latest one not more than 50 years ahead, in either form.
      {"Sun, 06 Nov 94 08:49:37 GMT", k1994},
      {"Thursday, 06-Nov-69 08:49:37 GMT", std::nullopt},  // 2069-11-06 is a Wednesday
      {"Wednesday, 06-Nov-69 08:49:37 GMT", 3150953377},
      // Dates, weekdays and times that do not exist.
      {"Sat, 31 Feb 2026 08:49:37 GMT", std::nullopt},
      {"Mon, 06 Nov 1994 08:49:37 GMT", std::nullopt},
      {"Sun, 06 Nov 1994 08:49:60 GMT", std::nullopt},
      {"Sun, 06 Nov 1994 24:00:00 GMT", std::nullopt},
      {"Wed, 31 Dec 2008 23:59:60 GMT", 1230768000},  // a leap second
      // Not HTTP dates.
      {"sun, 06 nov 1994 08:49:37 gmt", std::nullopt},
      {"Sun, 06 Nov 1994 08:49:37 UTC", std::nullopt},
      {"Sun, 06 Nov 1994 08:49:37 GMT x", std::nullopt},
      {"Sun, 06 Nov 994 08:49:37 GMT", std::nullopt},
      {"Sun Nov 6 08:49:37 1994", std::nullopt},
      {"Sun, 6 Nov 1994 8:49:37 GMT", std::nullopt},
      {"0", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(HTTPDate::parse(c.text, kNow), c.expected) << c.text;
}

TEST(HTTPDate, CookieDatesFindTheirPartsAnywhere) {
  const Case cases[] = {
      {"Mon, 01 Jan 1900 00:00:00 GMT", -2208988800},
      {"Wed, 09 Jun 2021 10:18:14 GMT", 1623233894},
      {"Wed, 09-Jun-2021 10:18:14 GMT", 1623233894},
      {"Wed, 09 Jun 21 10:18:14 GMT", 1623233894},
      {"09 jUN 2021 10:18:14", 1623233894},
      {"10:18:14 09 June 2021", 1623233894},
      {"Wed Jun 9 10:18:14 2021", 1623233894},
      {"Thu, 09 Jun 2021 10:18:14 GMT", 1623233894},  // the weekday is not read
      {"Tue, 09 Jun 70 10:18:14 GMT", 13774694},
      {"Wed, 09 Jun 2021 10:18:14.5 UTC+8", 1623233894},
      // A part missing, out of range or not a date.
      {"Wed, 09 Jun 2021", std::nullopt},
      {"Wed, 31 Feb 2021 10:18:14 GMT", std::nullopt},
      {"Wed, 32 Jun 2021 10:18:14 GMT", std::nullopt},
      {"Wed, 09 Jun 2021 24:18:14 GMT", std::nullopt},
      {"Wed, 09 Jun 2021 10:18:60 GMT", std::nullopt},
      {"Wed, 09 Jun 1600 10:18:14 GMT", std::nullopt},
      {"Wed, 09 Jux 2021 10:18:14 GMT", std::nullopt},
      {"Wed, 009 Jun 2021 10:18:14 GMT", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(HTTPDate::parseCookieDate(c.text), c.expected) << c.text;
}

}  // namespace
