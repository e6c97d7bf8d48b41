#pragma once
// LGMultiFormatter: runs a message through a list of formatters in turn. Each formatter gets
// a copy of the message whose text is the previous formatter's result; a formatter that
// returns null stops the chain and drops the message. With no formatters the message's own
// text comes back.
//
// Thread-safety: reads (formatLogMessage, formatters, isFormattingWithFormatter) run
// synchronously on the formatter's concurrent queue and may overlap; changes are barrier
// blocks on it, so they return at once, run alone, and are seen by every read submitted
// after them from any thread.

#include <vector>

#include "logging/LGLogFormatter.h"
#include "platform/dispatch/Dispatch.h"

class LGMultiFormatter : public LGLogFormatter {
 public:
  LGMultiFormatter();
  // Waits for pending changes.
  ~LGMultiFormatter() override;

  LGText formatLogMessage(const LGLogMessage& message) override;
  // A copy of `original` whose text is `line`.
  static LGLogMessage logMessageForLineOriginalMessage(LGText line, const LGLogMessage& original);

  std::vector<LGLogFormatterRef> formatters();
  void addFormatter(LGLogFormatterRef formatter);
  // Removes every entry of the formatter.
  void removeFormatter(const LGLogFormatterRef& formatter);
  void removeAllFormatters();
  bool isFormattingWithFormatter(const LGLogFormatterRef& formatter);

 private:
  plat::DispatchQueueRef queue_;
  std::vector<LGLogFormatterRef> formatters_;  // guarded by queue_
};
