#pragma once
// LGLogFileFormatterDefault: the file logger's default line: the message's timestamp, two
// blanks, the text ("2024/01/02 03:04:05:006  abc"). The default date format is
// "yyyy/MM/dd HH:mm:ss:SSS" in GMT with the en_US_POSIX locale; another date formatter may be
// given. A message without a timestamp gets an empty date part.
//
// Thread-safety: formatLogMessage may be called from several loggers' queues at once.

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "logging/LGLogFormatter.h"
#include "platform/foundation/NSDateFormatter.h"

class LGLogFileFormatterDefault : public LGLogFormatter {
 public:
  // The default date formatter.
  LGLogFileFormatterDefault() : LGLogFileFormatterDefault(std::nullopt) {}
  explicit LGLogFileFormatterDefault(std::optional<plat::NSDateFormatter> dateFormatter);

  LGText formatLogMessage(const LGLogMessage& message) override;
  // The same line as formatLogMessage, written into `line` (replacing its content, reusing
  // its storage).
  void formatLogMessageInto(const LGLogMessage& message, std::string& line);

 private:
  std::mutex mutex_;  // guards the date formatter
  plat::NSDateFormatter dateFormatter_;
  bool isDefault_;
};
