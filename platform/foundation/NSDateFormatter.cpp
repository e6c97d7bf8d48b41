#include "platform/foundation/NSDateFormatter.h"

#include <cstdio>
#include <cstring>

#include "platform/foundation/CalendarMath.h"

namespace plat {

namespace {

constexpr std::string_view kPatternLetters = "yMdHhKkmsSaEZ";
const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                               "July",    "August",   "September", "October", "November", "December"};
const char* const kWeekdays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                 "Thursday", "Friday", "Saturday"};


void appendPadded(std::string& out, int64_t v, int width) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%0*lld", width, static_cast<long long>(v));
  out += buf;
}

void appendOffset(std::string& out, int offset, int count) {
  char sign = offset < 0 ? '-' : '+';
  int a = offset < 0 ? -offset : offset;
  char buf[32];
  if (count <= 3) {
    std::snprintf(buf, sizeof buf, "%c%02d%02d", sign, a / 3600, a / 60 % 60);
  } else if (count == 4) {
    if (offset == 0) {
      out += "GMT";
      return;
    }
    std::snprintf(buf, sizeof buf, "GMT%c%02d:%02d", sign, a / 3600, a / 60 % 60);
  } else {
    if (offset == 0) {
      out += "Z";
      return;
    }
    std::snprintf(buf, sizeof buf, "%c%02d:%02d", sign, a / 3600, a / 60 % 60);
  }
  out += buf;
}

bool startsWithNoCase(std::string_view text, std::string_view word) {
  if (text.size() < word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    char a = text[i], b = word[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a + 32);
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b + 32);
    if (a != b) return false;
  }
  return true;
}

// Matches one of `names` (full names, or their first three letters when `abbreviated`) at
// the start of text; returns its index and advances, or -1.
int matchName(std::string_view& text, const char* const* names, int n, bool abbreviated) {
  for (int i = 0; i < n; ++i) {
    std::string_view full = names[i];
    std::string_view word = abbreviated ? full.substr(0, 3) : full;
    if (startsWithNoCase(text, word)) {
      text.remove_prefix(word.size());
      return i;
    }
  }
  return -1;
}

}  // namespace

void NSDateFormatter::setDateFormat(std::string format) {
  format_ = std::move(format);
  tokens_.clear();
  auto literal = [&](std::string_view s) {
    if (!tokens_.empty() && tokens_.back().letter == 0) tokens_.back().text += s;
    else tokens_.push_back({0, 0, std::string(s)});
  };
  const std::string& f = format_;
  for (size_t i = 0; i < f.size();) {
    char c = f[i];
    if (c == '\'') {
      if (i + 1 < f.size() && f[i + 1] == '\'') {
        literal("'");
        i += 2;
        continue;
      }
      size_t j = i + 1;
      std::string text;
      while (j < f.size()) {
        if (f[j] == '\'') {
          if (j + 1 < f.size() && f[j + 1] == '\'') {
            text += '\'';
            j += 2;
            continue;
          }
          break;
        }
        text += f[j++];
      }
      literal(text);
      i = j + 1;  // past the closing quote (or the end of an unterminated one)
      continue;
    }
    if (kPatternLetters.find(c) != std::string_view::npos) {
      size_t j = i;
      while (j < f.size() && f[j] == c) ++j;
      tokens_.push_back({c, static_cast<int>(j - i), {}});
      i = j;
      continue;
    }
    literal(std::string_view(&f[i], 1));
    ++i;
  }
}

std::string NSDateFormatter::stringFromDate(const NSDate& date) const {
  NSTimeZone zone = timeZone();
  int offset = zone.secondsFromGMTForDate(date);
  int64_t local = date.seconds1970() + offset;
  int64_t days = calendar::floorDiv(local, 86400);
  int64_t secOfDay = local - days * 86400;
  calendar::CivilDate c = calendar::civilFromDays(days);
  int hour = static_cast<int>(secOfDay / 3600);
  int minute = static_cast<int>(secOfDay / 60 % 60);
  int second = static_cast<int>(secOfDay % 60);
  int weekday = static_cast<int>(calendar::floorDiv(days + 4, 7) * -7 + days + 4);  // 0 = Sunday
  std::string out;
  for (const Token& t : tokens_) {
    switch (t.letter) {
      case 0: out += t.text; break;
      case 'y': {
        int64_t year = c.year > 0 ? c.year : 1 - c.year;  // years before 1 count back (BC)
        if (t.count == 2) appendPadded(out, year % 100, 2);
        else appendPadded(out, year, t.count);
        break;
      }
      case 'M':
        if (t.count >= 5) out += kMonths[c.month - 1][0];
        else if (t.count == 4) out += kMonths[c.month - 1];
        else if (t.count == 3) out += std::string_view(kMonths[c.month - 1]).substr(0, 3);
        else appendPadded(out, c.month, t.count);
        break;
      case 'd': appendPadded(out, c.day, t.count); break;
      case 'H': appendPadded(out, hour, t.count); break;
      case 'k': appendPadded(out, hour == 0 ? 24 : hour, t.count); break;
      case 'K': appendPadded(out, hour % 12, t.count); break;
      case 'h': appendPadded(out, hour % 12 == 0 ? 12 : hour % 12, t.count); break;
      case 'm': appendPadded(out, minute, t.count); break;
      case 's': appendPadded(out, second, t.count); break;
      case 'S': {
        char ns[16];
        std::snprintf(ns, sizeof ns, "%09d", date.nanosecondOfSecond());
        std::string digits(ns);
        digits.resize(static_cast<size_t>(t.count), '0');  // truncates; pads past 9 digits
        out += digits;
        break;
      }
      case 'a': out += hour < 12 ? "AM" : "PM"; break;
      case 'E':
        if (t.count >= 5) out += kWeekdays[weekday][0];
        else if (t.count == 4) out += kWeekdays[weekday];
        else out += std::string_view(kWeekdays[weekday]).substr(0, 3);
        break;
      case 'Z': appendOffset(out, offset, t.count); break;
    }
  }
  return out;
}

bool NSDateFormatter::isNumericToken(const Token& t) {
  switch (t.letter) {
    case 'y': case 'd': case 'H': case 'h': case 'K': case 'k': case 'm': case 's': case 'S':
      return true;
    case 'M':
      return t.count <= 2;
    default:
      return false;
  }
}

std::optional<NSDate> NSDateFormatter::dateFromString(std::string_view text) const {
  if (tokens_.empty()) return std::nullopt;  // no format: nothing can match
  int64_t year = 1970;
  int month = 1, day = 1, hour = 0, minute = 0, second = 0;
  int64_t nanos = 0;
  int hour12 = -1;  // h or K, combined with a
  bool pm = false, hasAmPm = false;
  std::optional<int> parsedOffset;

  for (size_t ti = 0; ti < tokens_.size(); ++ti) {
    const Token& t = tokens_[ti];
    if (t.letter == 0) {
      if (text.substr(0, t.text.size()) != t.text) return std::nullopt;
      text.remove_prefix(t.text.size());
      continue;
    }
    bool nextNumeric = ti + 1 < tokens_.size() && isNumericToken(tokens_[ti + 1]);
    bool numeric = isNumericToken(t);
    if (numeric) {
      size_t maxDigits = nextNumeric ? static_cast<size_t>(t.count) : (t.letter == 'S' ? 18 : 10);
      size_t n = 0;
      while (n < text.size() && n < maxDigits && text[n] >= '0' && text[n] <= '9') ++n;
      if (n == 0 || (nextNumeric && n != static_cast<size_t>(t.count))) return std::nullopt;
      std::string_view digits = text.substr(0, n);
      text.remove_prefix(n);
      if (t.letter == 'S') {
        std::string ns(digits.substr(0, 9));
        ns.resize(9, '0');
        nanos = std::stoll(ns);
        continue;
      }
      int64_t v = std::stoll(std::string(digits));
      switch (t.letter) {
        case 'y':
          year = v;
          if (t.count == 2 && n == 2) {
            // Two digits: the year within 80 years before and 20 after now.
            int64_t nowYear = calendar::civilFromDays(calendar::floorDiv(NSDate::now().seconds1970(), 86400)).year;
            int64_t start = nowYear - 80;
            year = start - calendar::floorDiv(start, 100) * 100 <= v
                       ? calendar::floorDiv(start, 100) * 100 + v
                       : calendar::floorDiv(start, 100) * 100 + 100 + v;
          }
          break;
        case 'M': month = static_cast<int>(v); if (v < 1 || v > 12) return std::nullopt; break;
        case 'd': day = static_cast<int>(v); if (v < 1 || v > 31) return std::nullopt; break;
        case 'H': if (v > 23) return std::nullopt; hour = static_cast<int>(v); break;
        case 'k': if (v < 1 || v > 24) return std::nullopt; hour = static_cast<int>(v % 24); break;
        case 'h': if (v < 1 || v > 12) return std::nullopt; hour12 = static_cast<int>(v % 12); break;
        case 'K': if (v > 11) return std::nullopt; hour12 = static_cast<int>(v); break;
        case 'm': if (v > 59) return std::nullopt; minute = static_cast<int>(v); break;
        case 's': if (v > 59) return std::nullopt; second = static_cast<int>(v); break;
      }
      continue;
    }
    switch (t.letter) {
      case 'M': {
        int m = matchName(text, kMonths, 12, t.count == 3);
        if (m < 0) return std::nullopt;
        month = m + 1;
        break;
      }
      case 'E':
        if (matchName(text, kWeekdays, 7, t.count <= 3) < 0) return std::nullopt;
        break;
      case 'a':
        if (startsWithNoCase(text, "AM")) pm = false;
        else if (startsWithNoCase(text, "PM")) pm = true;
        else return std::nullopt;
        hasAmPm = true;
        text.remove_prefix(2);
        break;
      case 'Z': {
        if (!text.empty() && text[0] == 'Z') {
          parsedOffset = 0;
          text.remove_prefix(1);
          break;
        }
        if (startsWithNoCase(text, "GMT") || startsWithNoCase(text, "UTC")) {
          text.remove_prefix(3);
          if (text.empty() || (text[0] != '+' && text[0] != '-')) {
            parsedOffset = 0;
            break;
          }
        }
        if (text.empty() || (text[0] != '+' && text[0] != '-')) return std::nullopt;
        int sign = text[0] == '-' ? -1 : 1;
        text.remove_prefix(1);
        auto two = [&](int& out) {
          if (text.size() < 2 || text[0] < '0' || text[0] > '9' || text[1] < '0' || text[1] > '9')
            return false;
          out = (text[0] - '0') * 10 + (text[1] - '0');
          text.remove_prefix(2);
          return true;
        };
        int hh = 0, mm = 0;
        if (!two(hh)) return std::nullopt;
        if (!text.empty() && text[0] == ':') text.remove_prefix(1);
        if (!two(mm)) mm = 0;
        if (hh > 18 || mm > 59) return std::nullopt;
        parsedOffset = sign * (hh * 3600 + mm * 60);
        break;
      }
    }
  }
  if (!text.empty()) return std::nullopt;
  if (hour12 >= 0) hour = hour12 + (hasAmPm && pm ? 12 : 0);
  else if (hasAmPm && pm && hour < 12) hour += 12;
  if (day > calendar::daysInMonth(year, month)) return std::nullopt;
  int64_t wall = calendar::daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  int offset = parsedOffset ? *parsedOffset : timeZone().secondsFromGMTForWallClock(wall);
  return NSDate::fromSeconds1970(wall - offset, nanos);
}

}  // namespace plat
