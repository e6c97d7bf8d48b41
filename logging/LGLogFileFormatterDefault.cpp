#include "logging/LGLogFileFormatterDefault.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr const char* kDefaultDateFormat = "yyyy/MM/dd HH:mm:ss:SSS";

// Dates the fast path writes: from 1970 up to the end of year 9999, where the Gregorian
// calendar of gmtime_r and four-digit years are exactly what the formatter writes. Others
// (the distant dates, anything before 1970) go through the formatter.
constexpr int64_t kFastFirstSecond = 0;
constexpr int64_t kFastEndSecond = 253402300800;  // 10000-01-01 00:00:00 GMT

// The default format in GMT, without a formatter object, for a date in the fast range.
// Milliseconds are truncated, as the formatter does. The part up to the seconds is kept per
// thread and rebuilt only when the second changes.
size_t formatDefaultDate(const plat::NSDate& date, char* out, size_t size) {
  int64_t sec = date.seconds1970();
  int ms = date.nanosecondOfSecond() / 1000000;
  thread_local int64_t cachedSecond = INT64_MIN;
  thread_local char cachedPrefix[48];
  thread_local size_t cachedLength = 0;
  if (sec != cachedSecond) {
    time_t t = static_cast<time_t>(sec);
    struct tm tm {};
    gmtime_r(&t, &tm);
    int n = std::snprintf(cachedPrefix, sizeof cachedPrefix,
                          "%04d/%02d/%02d %02d:%02d:%02d:", tm.tm_year + 1900, tm.tm_mon + 1,
                          tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    cachedLength = n > 0 ? static_cast<size_t>(n) : 0;
    cachedSecond = sec;
  }
  if (cachedLength + 4 > size) return 0;
  std::memcpy(out, cachedPrefix, cachedLength);
  out[cachedLength] = static_cast<char>('0' + ms / 100);
  out[cachedLength + 1] = static_cast<char>('0' + ms / 10 % 10);
  out[cachedLength + 2] = static_cast<char>('0' + ms % 10);
  return cachedLength + 3;
}

}  // namespace

LGLogFileFormatterDefault::LGLogFileFormatterDefault(
    std::optional<plat::NSDateFormatter> dateFormatter)
    : isDefault_(!dateFormatter) {
  if (dateFormatter) {
    dateFormatter_ = std::move(*dateFormatter);
  } else {
    dateFormatter_.setLocale("en_US_POSIX");
    dateFormatter_.setTimeZone(plat::NSTimeZone::GMT());
    dateFormatter_.setDateFormat(kDefaultDateFormat);
  }
}

LGText LGLogFileFormatterDefault::formatLogMessage(const LGLogMessage& message) {
  std::string line;
  formatLogMessageInto(message, line);
  return LGMakeText(std::move(line));
}

void LGLogFileFormatterDefault::formatLogMessageInto(const LGLogMessage& message,
                                                     std::string& line) {
  line.clear();
  const std::string& text = message.text();
  if (message.timestamp()) {
    int64_t second = message.timestamp()->seconds1970();
    if (isDefault_ && second >= kFastFirstSecond && second < kFastEndSecond) {
      char date[64];
      size_t n = formatDefaultDate(*message.timestamp(), date, sizeof date);
      line.reserve(n + 2 + text.size() + 1);  // room for the file logger's line feed
      line.append(date, n);
    } else {
      std::lock_guard<std::mutex> lock(mutex_);
      line = dateFormatter_.stringFromDate(*message.timestamp());
    }
  }
  line.append("  ");
  line.append(text);
}
