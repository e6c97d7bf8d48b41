#pragma once
// plat::NSDateFormatter: formats and parses dates with a fixed pattern under the en_US_POSIX
// rules, in the Gregorian calendar (Julian before 1582-10-15), as the platform's formatter.
//
// Pattern letters: y (yyyy, yy: two-digit year), M (MM, MMM "Jan", MMMM "January"), d, H
// (0-23), h (1-12), K (0-11), k (1-24), m, s, S (fraction of a second: SSS is milliseconds,
// truncated, never rounded), a (AM/PM), E (EEE "Mon", EEEE "Monday"), Z (Z "+0800",
// ZZZZ "GMT+08:00", ZZZZZ "+08:00" or "Z"). Text in single quotes is literal ('' is a quote);
// other characters are literal.
//
// Parsing needs the whole text to match the pattern: a numeric field takes its digits
// (exactly as many as the pattern letter count when the next field is also numeric), names
// match without regard to case, and an impossible date (month 13, February 30) gives
// std::nullopt. Missing fields default to 1970-01-01 00:00:00. A zone in the text (Z) wins
// over the formatter's.
//
// Thread-safety: stringFromDate and dateFromString may be called from many threads at once;
// setters must not run concurrently with other calls.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/NSDate.h"
#include "platform/foundation/NSTimeZone.h"

namespace plat {

class NSDateFormatter {
 public:
  enum Behavior { NSDateFormatterBehaviorDefault = 0, NSDateFormatterBehavior10_4 = 1040 };

  NSDateFormatter() = default;

  const std::string& dateFormat() const { return format_; }
  void setDateFormat(std::string format);
  // Only the en_US_POSIX rules exist here; the identifier is kept for reading back.
  const std::string& locale() const { return locale_; }
  void setLocale(std::string identifier) { locale_ = std::move(identifier); }
  // The formatter's zone; when never set, the default zone at the time of each call.
  NSTimeZone timeZone() const { return zone_ ? *zone_ : NSTimeZone::defaultTimeZone(); }
  void setTimeZone(std::optional<NSTimeZone> zone) { zone_ = std::move(zone); }
  // Kept for reading back; behaviour and calendar do not change the rules above.
  void setFormatterBehavior(Behavior behavior) { behavior_ = behavior; }
  Behavior formatterBehavior() const { return behavior_; }
  void setCalendarIdentifier(std::string identifier) { calendar_ = std::move(identifier); }
  const std::string& calendarIdentifier() const { return calendar_; }

  std::string stringFromDate(const NSDate& date) const;
  std::optional<NSDate> dateFromString(std::string_view text) const;

 private:
  struct Token {
    char letter;  // 0 for literal text
    int count;
    std::string text;
  };
  static bool isNumericToken(const Token& t);
  std::string format_;
  std::vector<Token> tokens_;
  std::string locale_ = "en_US_POSIX";
  std::string calendar_ = "gregorian";
  Behavior behavior_ = NSDateFormatterBehaviorDefault;
  std::optional<NSTimeZone> zone_;
};

}  // namespace plat
