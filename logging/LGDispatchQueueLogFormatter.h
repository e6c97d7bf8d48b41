#pragma once
// LGDispatchQueueLogFormatter: prefixes each message with its time, the queue or thread it
// was logged from and its quality-of-service class:
//   "2024-05-06 07:08:09:010 [main (QOS:UI)] text"
// The label is the message's queue label, unless that is one of the shared global queues'
// labels: then the thread name, or the thread id when the name is empty. Labels and names
// may be replaced ("com.apple.main-thread" becomes "main" by default; the thread id never
// is), then cut to maxQueueLength or filled with blanks to minQueueLength (UTF-16 units;
// 0 turns either off). The date is "yyyy-MM-dd HH:mm:ss:SSS" in the current time zone.
//
// Thread-safety: the replacements are guarded by a lock; the widths and the date formatter
// are read without a lock (the widths are atomics; one formatter serves one sink, whose queue
// is serial).

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "logging/LGLogFormatter.h"
#include "platform/foundation/NSDateFormatter.h"

class LGDispatchQueueLogFormatter : public LGLogFormatter {
 public:
  LGDispatchQueueLogFormatter();
  // The mode is not kept: the same as the default constructor.
  explicit LGDispatchQueueLogFormatter(int mode) : LGDispatchQueueLogFormatter() {}

  // The replacement for a label, or "" when none.
  std::string replacementStringForQueueLabel(const std::string& label);
  // An empty replacement removes the entry.
  void setReplacementStringForQueueLabel(const std::string& replacement, const std::string& label);

  uint64_t minQueueLength() const { return minQueueLength_.load(); }
  void setMinQueueLength(uint64_t v) { minQueueLength_.store(v); }
  uint64_t maxQueueLength() const { return maxQueueLength_.load(); }
  void setMaxQueueLength(uint64_t v) { maxQueueLength_.store(v); }

  // A new date formatter configured as configureDateFormatter does.
  plat::NSDateFormatter createDateFormatter();
  void configureDateFormatter(plat::NSDateFormatter& formatter);
  std::string stringFromDate(const plat::NSDate& date);

  std::string queueThreadLabelForLogMessage(const LGLogMessage& message);
  LGText formatLogMessage(const LGLogMessage& message) override;

  // "UI", "IN", "DF", "UT", "BG" or "UN".
  static const char* qosAbbreviation(uint64_t qos);

 private:
  plat::NSDateFormatter dateFormatter_;
  std::mutex mutex_;
  std::atomic<uint64_t> minQueueLength_{0};
  std::atomic<uint64_t> maxQueueLength_{0};
  std::map<std::string, std::string> replacements_;  // guarded by mutex_
};
