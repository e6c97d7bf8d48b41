#include "logging/LGMultiFormatter.h"

#include <algorithm>

LGMultiFormatter::LGMultiFormatter()
    : queue_(plat::dispatch_queue_create("vestrel.multiformatter", plat::DISPATCH_QUEUE_CONCURRENT)) {}

LGMultiFormatter::~LGMultiFormatter() {
  // Pending changes refer to this object: let them finish first.
  plat::dispatch_barrier_sync(queue_, [] {});
}

LGLogMessage LGMultiFormatter::logMessageForLineOriginalMessage(LGText line,
                                                              const LGLogMessage& original) {
  return original.withMessage(std::move(line));
}

LGText LGMultiFormatter::formatLogMessage(const LGLogMessage& message) {
  LGText line = message.message();
  plat::dispatch_sync(queue_, [&] {
    for (const LGLogFormatterRef& formatter : formatters_) {
      LGLogMessage step = logMessageForLineOriginalMessage(line, message);
      line = formatter->formatLogMessage(step);
      if (!line) break;
    }
  });
  return line;
}

std::vector<LGLogFormatterRef> LGMultiFormatter::formatters() {
  std::vector<LGLogFormatterRef> copy;
  plat::dispatch_sync(queue_, [&] { copy = formatters_; });
  return copy;
}

void LGMultiFormatter::addFormatter(LGLogFormatterRef formatter) {
  plat::dispatch_barrier_async(queue_, [this, formatter = std::move(formatter)] {
    formatters_.push_back(formatter);
  });
}

void LGMultiFormatter::removeFormatter(const LGLogFormatterRef& formatter) {
  plat::dispatch_barrier_async(queue_, [this, formatter] {
    formatters_.erase(std::remove(formatters_.begin(), formatters_.end(), formatter), formatters_.end());
  });
}

void LGMultiFormatter::removeAllFormatters() {
  plat::dispatch_barrier_async(queue_, [this] { formatters_.clear(); });
}

bool LGMultiFormatter::isFormattingWithFormatter(const LGLogFormatterRef& formatter) {
  bool found = false;
  plat::dispatch_sync(queue_, [&] {
    found = std::find(formatters_.begin(), formatters_.end(), formatter) != formatters_.end();
  });
  return found;
}
