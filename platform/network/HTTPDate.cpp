#include "platform/network/HTTPDate.h"

#include <time.h>

#include <array>
#include <cstring>

#include "platform/foundation/CalendarMath.h"

namespace plat::HTTPDate {

namespace {

constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<const char*, 7> kDays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<const char*, 7> kLongDays = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                  "Thursday", "Friday", "Saturday"};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

struct Fields {
  int64_t year = 0;
  int month = 0;  // 1...12
  int day = 0;
  int hour = 0, minute = 0, second = 0;
  int weekday = -1;  // 0 = Sunday; -1 when the form has none
};

// Seconds since 1970 of checked fields; nullopt for a date or time that does not exist.
std::optional<int64_t> toSeconds(const Fields& f, bool leapSecond) {
  if (f.month < 1 || f.month > 12 || f.day < 1 ||
      f.day > calendar::gregorianDaysInMonth(f.year, f.month) || f.hour > 23 || f.minute > 59 ||
      f.second > (leapSecond ? 60 : 59)) {
    return std::nullopt;
  }
  if (f.second == 60 && (f.hour != 23 || f.minute != 59)) return std::nullopt;
  const int64_t days = calendar::gregorianDaysFromCivil(f.year, f.month, f.day);
  if (f.weekday >= 0 && ((days % 7 + 7 + 4) % 7) != f.weekday) return std::nullopt;
  return days * 86400 + f.hour * 3600 + f.minute * 60 + f.second;
}

// A cursor over an HTTP-date; every step fails the whole reading on a mismatch.
struct Reader {
  std::string_view s;
  size_t at = 0;
  bool ok = true;

  void literal(std::string_view text) {
    if (ok && s.substr(at, text.size()) == text) {
      at += text.size();
    } else {
      ok = false;
    }
  }
  int digits(size_t count) {
    int value = 0;
    for (size_t i = 0; i < count && ok; ++i) {
      if (at < s.size() && isDigit(s[at])) {
        value = value * 10 + (s[at++] - '0');
      } else {
        ok = false;
      }
    }
    return value;
  }
  // The index of the name of `names` at the cursor (case-sensitive), or -1.
  template <size_t N>
  int name(const std::array<const char*, N>& names) {
    for (size_t i = 0; ok && i < N; ++i) {
      const size_t len = std::strlen(names[i]);
      if (s.substr(at, len) == names[i]) {
        at += len;
        return static_cast<int>(i);
      }
    }
    ok = false;
    return -1;
  }
  void time(Fields& f) {
    f.hour = digits(2);
    literal(":");
    f.minute = digits(2);
    literal(":");
    f.second = digits(2);
  }
  bool atEnd() const { return ok && at == s.size(); }
};

int64_t yearOf(double now) {
  time_t t = static_cast<time_t>(now);
  struct tm tm {};
  if (!::gmtime_r(&t, &tm)) return 1970;
  return tm.tm_year + 1900;
}

// The most recent year ending in `twoDigits` that is at most 50 years after `now`.
int64_t widenYear(int twoDigits, double now) {
  const int64_t current = yearOf(now);
  int64_t year = current - current % 100 + twoDigits;
  if (year > current + 50) year -= 100;
  return year;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// "Sun, 06 Nov 1994 08:49:37 GMT" (also with a two-digit year) or, `rfc850`, the obsolete
// "Sunday, 06-Nov-94 08:49:37 GMT".
std::optional<int64_t> gmtDate(std::string_view text, double now, bool rfc850) {
  Reader r{text};
  Fields f;
  f.weekday = r.name(rfc850 ? kLongDays : kDays);
  r.literal(", ");
  const std::string_view separator = rfc850 ? "-" : " ";
  f.day = r.digits(2);
  r.literal(separator);
  f.month = r.name(kMonths) + 1;
  r.literal(separator);
  size_t yearDigits = 0;
  while (r.at + yearDigits < text.size() && isDigit(text[r.at + yearDigits])) ++yearDigits;
  if (yearDigits != 2 && (rfc850 || yearDigits != 4)) return std::nullopt;
  f.year = r.digits(yearDigits);
  if (yearDigits == 2) f.year = widenYear(static_cast<int>(f.year), now);
  r.literal(" ");
  r.time(f);
  r.literal(" GMT");
  return r.atEnd() ? toSeconds(f, true) : std::nullopt;
}

// "Sun Nov  6 08:49:37 1994"
std::optional<int64_t> asctimeDate(std::string_view text) {
  Reader r{text};
  Fields f;
  f.weekday = r.name(kDays);
  r.literal(" ");
  f.month = r.name(kMonths) + 1;
  r.literal(" ");
  if (r.ok && r.at < text.size() && text[r.at] == ' ') {
    ++r.at;
    f.day = r.digits(1);
  } else {
    f.day = r.digits(2);
  }
  r.literal(" ");
  r.time(f);
  r.literal(" ");
  f.year = r.digits(4);
  return r.atEnd() ? toSeconds(f, true) : std::nullopt;
}

// ---- the cookie date algorithm ----

bool isDelimiter(unsigned char c) {
  return c == 0x09 || (c >= 0x20 && c <= 0x2F) || (c >= 0x3B && c <= 0x40) ||
         (c >= 0x5B && c <= 0x60) || (c >= 0x7B && c <= 0x7E);
}

// `least` to `most` digits at `at`, not followed by another digit: their value (`at` moves
// past them), or -1.
int leadingNumber(std::string_view token, size_t& at, size_t least, size_t most) {
  size_t n = 0;
  int value = 0;
  while (at + n < token.size() && isDigit(token[at + n])) {
    if (++n > most) return -1;
    value = value * 10 + (token[at + n - 1] - '0');
  }
  if (n < least) return -1;
  at += n;
  return value;
}

// A token that starts with `least` to `most` digits (and whatever follows a non-digit).
int numberToken(std::string_view token, size_t least, size_t most) {
  size_t at = 0;
  return leadingNumber(token, at, least, most);
}

bool cookieTime(std::string_view token, Fields& f) {
  size_t at = 0;
  int h = leadingNumber(token, at, 1, 2);
  if (h < 0 || at >= token.size() || token[at++] != ':') return false;
  int m = leadingNumber(token, at, 1, 2);
  if (m < 0 || at >= token.size() || token[at++] != ':') return false;
  int s = leadingNumber(token, at, 1, 2);
  if (s < 0) return false;
  f.hour = h;
  f.minute = m;
  f.second = s;
  return true;
}

int cookieMonth(std::string_view token) {
  if (token.size() < 3) return 0;
  for (size_t i = 0; i < kMonths.size(); ++i) {
    bool same = true;
    for (size_t k = 0; k < 3; ++k) {
      same = same && (token[k] | 0x20) == (kMonths[i][k] | 0x20);
    }
    if (same) return static_cast<int>(i) + 1;
  }
  return 0;
}

}  // namespace

std::optional<int64_t> parse(std::string_view text, double now) {
  text = trimmed(text);
  if (auto t = gmtDate(text, now, false)) return t;
  if (auto t = gmtDate(text, now, true)) return t;
  return asctimeDate(text);
}

std::optional<int64_t> parseCookieDate(std::string_view text) {
  bool foundTime = false, foundDay = false, foundMonth = false, foundYear = false;
  Fields f;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && isDelimiter(static_cast<unsigned char>(text[i]))) ++i;
    size_t start = i;
    while (i < text.size() && !isDelimiter(static_cast<unsigned char>(text[i]))) ++i;
    std::string_view token = text.substr(start, i - start);
    if (token.empty()) break;
    int number;
    if (!foundTime && cookieTime(token, f)) {
      foundTime = true;
    } else if (!foundDay && (number = numberToken(token, 1, 2)) >= 0) {
      f.day = number;
      foundDay = true;
    } else if (!foundMonth && (number = cookieMonth(token)) != 0) {
      f.month = number;
      foundMonth = true;
    } else if (!foundYear && (number = numberToken(token, 2, 4)) >= 0) {
      f.year = number;
      foundYear = true;
    }
  }
  if (!foundTime || !foundDay || !foundMonth || !foundYear) return std::nullopt;
  if (f.year >= 70 && f.year <= 99) f.year += 1900;
  if (f.year >= 0 && f.year <= 69) f.year += 2000;
  if (f.year < 1601) return std::nullopt;
  return toSeconds(f, false);
}

}  // namespace plat::HTTPDate
