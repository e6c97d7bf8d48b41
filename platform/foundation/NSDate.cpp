#include "platform/foundation/NSDate.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "platform/foundation/CalendarMath.h"

namespace plat {

namespace calendar {

namespace {
constexpr int64_t kJDN1970 = 2440588;  // Julian day number of 1970-01-01
// 1582-10-15, the first Gregorian day, as days since 1970.
constexpr int64_t kGregorianStart = -141427;

int64_t julianDays(int64_t y, int m, int d) {
  // Julian day number of a Julian calendar date, valid for all years via a 4-year cycle.
  int64_t a = (14 - m) / 12;
  int64_t yy = y + 4800 - a;
  int64_t mm = m + 12 * a - 3;
  int64_t jdn = d + (153 * mm + 2) / 5 + 365 * yy + floorDiv(yy, 4) - 32083;
  return jdn - kJDN1970;
}
}  // namespace

int64_t gregorianDaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = floorDiv(y, 400);
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

CivilDate gregorianCivilFromDays(int64_t z) {
  z += 719468;
  const int64_t era = floorDiv(z, 146097);
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return {yoe + era * 400 + (m <= 2), m, d};
}

int gregorianDaysInMonth(int64_t y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m != 2) return kDays[m - 1];
  bool leap = floorDiv(y, 4) * 4 == y && (y % 100 != 0 || floorDiv(y, 400) * 400 == y);
  return leap ? 29 : 28;
}

CivilDate civilFromDays(int64_t z) {
  if (z < kGregorianStart) {
    int64_t c = z + kJDN1970 + 32082;
    int64_t d = floorDiv(4 * c + 3, 1461);
    int64_t e = c - floorDiv(1461 * d, 4);
    int64_t m = (5 * e + 2) / 153;
    int day = static_cast<int>(e - (153 * m + 2) / 5 + 1);
    int month = static_cast<int>(m + 3 - 12 * (m / 10));
    return {d - 4800 + m / 10, month, day};
  }
  return gregorianCivilFromDays(z);
}

int64_t daysFromCivil(int64_t y, int m, int d) {
  int64_t g = gregorianDaysFromCivil(y, m, d);
  if (g >= kGregorianStart) return g;
  return julianDays(y, m, d);
}

int daysInMonth(int64_t y, int m) {
  if (y >= 1582) return gregorianDaysInMonth(y, m);
  // Julian: every fourth year is a leap year.
  return m == 2 && floorDiv(y, 4) * 4 == y ? 29 : gregorianDaysInMonth(1970, m);
}

}  // namespace calendar

namespace {
// The platform's far dates, in seconds since 1970.
constexpr int64_t kDistantPast = -63114076800 + NSDate::kReferenceDateOffset;
constexpr int64_t kDistantFuture = 63113904000 + NSDate::kReferenceDateOffset;
}  // namespace

NSDate NSDate::now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return fromSeconds1970(ts.tv_sec, ts.tv_nsec);
}

NSDate NSDate::fromNanoseconds1970(int64_t ns) {
  NSDate d;
  int64_t sec = ns / 1000000000;
  int64_t rem = ns % 1000000000;
  if (rem < 0) {
    sec -= 1;
    rem += 1000000000;
  }
  d.sec_ = sec;
  d.nsec_ = static_cast<int32_t>(rem);
  return d;
}

NSDate NSDate::fromSeconds1970(int64_t seconds, int64_t nanoseconds) {
  NSDate d;
  int64_t carry = calendar::floorDiv(nanoseconds, 1000000000);
  d.sec_ = seconds + carry;
  d.nsec_ = static_cast<int32_t>(nanoseconds - carry * 1000000000);
  return d;
}

// A date `seconds` after the time base + baseNanoseconds (seconds and nanoseconds since
// 1970): the interval is taken to the microsecond, the result saturated to the range a
// double holds to the second (or to the base, when that lies further out).
NSDate NSDate::fromInterval(double seconds, int64_t base, int32_t baseNanoseconds) {
  const int64_t lowest = std::min(base, -kMaxSeconds1970);
  const int64_t highest = std::max(base, kMaxSeconds1970);
  // Beyond twice the range the sum saturates; within it, the whole seconds fit in 64 bits.
  constexpr double kSpan = 2 * static_cast<double>(kMaxSeconds1970);
  if (seconds <= -kSpan) return fromSeconds1970(lowest);
  if (seconds >= kSpan) return fromSeconds1970(highest);
  double whole = std::floor(seconds);
  // The fraction is exact in a double; round it to whole microseconds.
  int64_t micros = std::llround((seconds - whole) * 1e6);
  int64_t sec;
  if (__builtin_add_overflow(static_cast<int64_t>(whole), base, &sec))
    return fromSeconds1970(whole < 0 ? lowest : highest);
  if (sec < lowest) return fromSeconds1970(lowest);
  if (sec >= highest) return fromSeconds1970(highest);
  return fromSeconds1970(sec, baseNanoseconds + micros * 1000);
}

NSDate NSDate::dateWithTimeIntervalSince1970(double seconds) {
  if (std::isnan(seconds)) return NSDate();
  return fromInterval(seconds, 0, 0);
}

NSDate NSDate::dateWithTimeIntervalSinceReferenceDate(double seconds) {
  if (std::isnan(seconds)) return fromSeconds1970(kReferenceDateOffset);
  return fromInterval(seconds, kReferenceDateOffset, 0);
}

NSDate NSDate::dateWithTimeIntervalSinceNow(double seconds) {
  return now().dateByAddingTimeInterval(seconds);
}

NSDate NSDate::distantPast() { return fromSeconds1970(kDistantPast); }
NSDate NSDate::distantFuture() { return fromSeconds1970(kDistantFuture); }

int64_t NSDate::nanoseconds1970() const {
  constexpr int64_t kMaxSec = std::numeric_limits<int64_t>::max() / 1000000000 - 1;
  if (sec_ > kMaxSec) return std::numeric_limits<int64_t>::max();
  if (sec_ < -kMaxSec) return std::numeric_limits<int64_t>::min();
  return sec_ * 1000000000 + nsec_;
}

NSDate NSDate::dateByAddingTimeInterval(double seconds) const {
  if (std::isnan(seconds)) return *this;
  return fromInterval(seconds, sec_, nsec_);
}

std::string NSDate::description() const {
  int64_t days = calendar::floorDiv(sec_, 86400);
  int64_t rem = sec_ - days * 86400;
  calendar::CivilDate c = calendar::civilFromDays(days);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04lld-%02d-%02d %02d:%02d:%02d +0000",
                static_cast<long long>(c.year), c.month, c.day, static_cast<int>(rem / 3600),
                static_cast<int>(rem / 60 % 60), static_cast<int>(rem % 60));
  return buf;
}

}  // namespace plat
