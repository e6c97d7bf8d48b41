#include "logging/LGDispatchQueueLogFormatter.h"

#include <algorithm>
#include <array>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/UTF16.h"

namespace {

// The labels of the platform's shared global queues, as their workers report them. A thread
// that runs no queue reports the default one's label too.
bool isSharedGlobalQueueLabel(const std::string& label) {
  static const std::array<std::string, 5> labels = [] {
    const plat::qos_class_t classes[] = {plat::QOS_CLASS_USER_INTERACTIVE, plat::QOS_CLASS_USER_INITIATED,
                                         plat::QOS_CLASS_DEFAULT, plat::QOS_CLASS_UTILITY,
                                         plat::QOS_CLASS_BACKGROUND};
    std::array<std::string, 5> out;
    for (size_t i = 0; i < out.size(); ++i) {
      out[i] = plat::dispatch_queue_get_label(plat::dispatch_get_global_queue(classes[i]));
    }
    return out;
  }();
  return std::find(labels.begin(), labels.end(), label) != labels.end();
}

}  // namespace

LGDispatchQueueLogFormatter::LGDispatchQueueLogFormatter() : dateFormatter_(createDateFormatter()) {
  replacements_["com.apple.main-thread"] = "main";
}

std::string LGDispatchQueueLogFormatter::replacementStringForQueueLabel(const std::string& label) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = replacements_.find(label);
  return it == replacements_.end() ? std::string() : it->second;
}

void LGDispatchQueueLogFormatter::setReplacementStringForQueueLabel(const std::string& replacement,
                                                                  const std::string& label) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (replacement.empty()) {
    replacements_.erase(label);
  } else {
    replacements_[label] = replacement;
  }
}

plat::NSDateFormatter LGDispatchQueueLogFormatter::createDateFormatter() {
  plat::NSDateFormatter formatter;
  configureDateFormatter(formatter);
  return formatter;
}

void LGDispatchQueueLogFormatter::configureDateFormatter(plat::NSDateFormatter& formatter) {
  formatter.setFormatterBehavior(plat::NSDateFormatter::NSDateFormatterBehavior10_4);
  formatter.setDateFormat("yyyy-MM-dd HH:mm:ss:SSS");
  formatter.setLocale("en_US_POSIX");
  formatter.setCalendarIdentifier("gregorian");
  // No time zone: the current one applies.
}

std::string LGDispatchQueueLogFormatter::stringFromDate(const plat::NSDate& date) {
  return dateFormatter_.stringFromDate(date);
}

std::string LGDispatchQueueLogFormatter::queueThreadLabelForLogMessage(const LGLogMessage& message) {
  const std::string& queueLabel = message.queueLabel();
  // Work on a shared global queue says nothing by its queue: its thread tells more.
  bool useQueueLabel = !queueLabel.empty() && !isSharedGlobalQueueLabel(queueLabel);
  std::string label;
  bool replaceable = true;
  if (useQueueLabel) {
    label = queueLabel;
  } else if (!message.threadName().empty()) {
    label = message.threadName();
  } else {
    label = message.threadID();
    replaceable = false;
  }
  if (replaceable) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = replacements_.find(label);
    if (it != replacements_.end()) label = it->second;
  }
  size_t length = plat::utf16Length(label);
  uint64_t maxLength = maxQueueLength_.load();
  uint64_t minLength = minQueueLength_.load();
  if (maxLength > 0 && length > maxLength) {
    label = plat::utf16Substring(label, 0, maxLength);
  } else if (length < minLength) {
    label.append(minLength - length, ' ');
  }
  return label;
}

const char* LGDispatchQueueLogFormatter::qosAbbreviation(uint64_t qos) {
  switch (qos) {
    case 33: return "UI";
    case 25: return "IN";
    case 21: return "DF";
    case 17: return "UT";
    case 9: return "BG";
    default: return "UN";
  }
}

LGText LGDispatchQueueLogFormatter::formatLogMessage(const LGLogMessage& message) {
  std::string date = message.timestamp() ? stringFromDate(*message.timestamp()) : std::string();
  return LGMakeText(plat::format("%@ [%@ (QOS:%@)] %@", date, queueThreadLabelForLogMessage(message),
                                 qosAbbreviation(message.qos()), message.text()));
}
