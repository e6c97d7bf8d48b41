#pragma once
// LGLogger: what every sink offers the hub (LGLog). The hub calls logMessage, flush and the
// registration notifications only on the logger's own serial queue, one call at a time.
//
// Optional operations have defaults that mean "not implemented": no-ops for the
// notifications and flush, nullptr for loggerQueue (the hub then makes a queue), nullopt for
// loggerName.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "logging/LGLogFormatter.h"
#include "logging/LGLogMessage.h"
#include "platform/dispatch/Dispatch.h"

class LGLogger {
 public:
  virtual ~LGLogger() = default;

  virtual void logMessage(const LGLogMessage& message) = 0;
  // Several messages, in order, in one call on the logger's queue: the hub hands over this
  // way consecutive messages that no other logger takes. Each message is finished when the
  // call returns. The default calls logMessage for each.
  virtual void logMessages(const LGLogMessage* const* messages, size_t count) {
    for (size_t i = 0; i < count; ++i) logMessage(*messages[i]);
  }
  virtual LGLogFormatterRef logFormatter() = 0;
  virtual void setLogFormatter(LGLogFormatterRef formatter) = 0;

  virtual void didAddLogger() {}
  // Falls back to didAddLogger when a logger does not override it.
  virtual void didAddLoggerInQueue(const plat::DispatchQueueRef& queue) { didAddLogger(); }
  virtual void willRemoveLogger() {}
  virtual void flush() {}
  virtual plat::DispatchQueueRef loggerQueue() { return nullptr; }
  virtual std::optional<std::string> loggerName() { return std::nullopt; }
};

using LGLoggerRef = std::shared_ptr<LGLogger>;
