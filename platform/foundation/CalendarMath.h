#pragma once
// Calendar arithmetic for dates: the platform's Gregorian calendar, which counts days before
// 1582-10-15 in the Julian calendar (as its date formatting does). Pure functions.

#include <cstdint>

namespace plat::calendar {

struct CivilDate {
  int64_t year;
  int month;  // 1...12
  int day;    // 1...31
};

// Day 0 is 1970-01-01.
CivilDate civilFromDays(int64_t days);
int64_t daysFromCivil(int64_t year, int month, int day);
// Days in the month of the calendar in force for that month.
int daysInMonth(int64_t year, int month);

// The same in the proleptic Gregorian calendar (Gregorian days before 1582 too), as ISO 8601
// and HTTP dates count.
CivilDate gregorianCivilFromDays(int64_t days);
int64_t gregorianDaysFromCivil(int64_t year, int month, int day);
int gregorianDaysInMonth(int64_t year, int month);

inline int64_t floorDiv(int64_t a, int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

}  // namespace plat::calendar
