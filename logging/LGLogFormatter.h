#pragma once
// LGLogFormatter: turns a message into the text a logger writes. Formatters may be shared
// between loggers; each documents its own thread-safety.

#include <memory>

#include "logging/LGLogMessage.h"
#include "platform/dispatch/Dispatch.h"

class LGLogger;

class LGLogFormatter {
 public:
  virtual ~LGLogFormatter() = default;
  // The text to output, or null to drop the message. Returning message.message() (the
  // same text object) means "unchanged".
  virtual LGText formatLogMessage(const LGLogMessage& message) = 0;

  // Optional notifications; the defaults do nothing. The queue form falls back to the plain
  // form when a formatter does not override it.
  virtual void didAddToLogger(const std::shared_ptr<LGLogger>& logger) {}
  virtual void didAddToLoggerInQueue(const std::shared_ptr<LGLogger>& logger,
                                     const plat::DispatchQueueRef& queue) {
    didAddToLogger(logger);
  }
  virtual void willRemoveFromLogger(const std::shared_ptr<LGLogger>& logger) {}
};

using LGLogFormatterRef = std::shared_ptr<LGLogFormatter>;
