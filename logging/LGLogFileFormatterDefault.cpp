#include "logging/LGLogFileFormatterDefault.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr const char* kDefaultDateFormat = "yyyy/MM/dd HH:mm:ss:SSS";

// The default format in GMT, without a formatter object. Milliseconds are truncated from the
// integer nanoseconds, as the formatter does. The part up to the seconds is kept per thread
// and rebuilt only when the second changes.
size_t formatDefaultDate(int64_t ns, char* out, size_t size) {
  int64_t sec = ns >= 0 ? ns / 1000000000 : -((-ns + 999999999) / 1000000000);
  int ms = static_cast<int>((ns - sec * 1000000000) / 1000000);
  thread_local int64_t cachedSecond = INT64_MIN;
  thread_local char cachedPrefix[48];
  thread_local size_t cachedLength = 0;
  if (sec != cachedSecond) {
    time_t t = static_cast<time_t>(sec);
    struct tm tm {};
    gmtime_r(&t, &tm);
    int n = std::snprintf(cachedPrefix, sizeof cachedPrefix, "%04d/%02d/%02d %02d:%02d:%02d:",
                          tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                          tm.tm_sec);
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

LGLogFileFormatterDefault::LGLogFileFormatterDefault(std::optional<plat::NSDateFormatter> dateFormatter)
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
    if (isDefault_) {
      char date[64];
      size_t n = formatDefaultDate(message.timestamp()->nanoseconds1970(), date, sizeof date);
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
