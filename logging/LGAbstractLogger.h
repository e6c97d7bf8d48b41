#pragma once
// LGAbstractLogger: the base of every sink. It owns the logger's serial queue (labelled with
// the logger's name and marked so that isOnInternalLoggerQueue can tell), and the formatter.
//
// Threading: logMessage and every override run on loggerQueue(). Subclass code that runs on
// that queue reads the protected formatter_ field directly; logFormatter() and
// setLogFormatter() are for callers outside both the global logging queue and this queue
// (calling them there aborts with the architecture precondition texts).
//
// Loggers are always held by std::shared_ptr (create them with std::make_shared).

#include <memory>
#include <string>

#include "logging/LGLogger.h"

class LGAbstractLogger : public LGLogger, public std::enable_shared_from_this<LGAbstractLogger> {
 public:
  ~LGAbstractLogger() override;

  // Does nothing; sinks override it.
  void logMessage(const LGLogMessage& message) override {}

  // REQUIRES: not on the global logging queue, not on this logger's queue.
  // Waits on the global logging queue and inside it on this logger's queue.
  LGLogFormatterRef logFormatter() override;
  // REQUIRES: as logFormatter(). Returns at once; the change takes effect after every message
  // queued before it. The old formatter hears willRemoveFromLogger, the new one
  // didAddToLoggerInQueue.
  void setLogFormatter(LGLogFormatterRef formatter) override;

  plat::DispatchQueueRef loggerQueue() override { return loggerQueue_; }
  // The name given at construction; without one, the logger's own class name (without
  // namespace qualifiers), so a subclass that passes no name is told apart from its base.
  std::optional<std::string> loggerName() override;

  // True on the hub's global logging queue (or work nested inside it).
  bool isOnGlobalLoggingQueue() const;
  // True on this logger's own queue.
  bool isOnInternalLoggerQueue() const;

 protected:
  // No name: loggerName() is the class name; the queue is labelled `queueLabel` (the class
  // is not yet known while the base is built).
  LGAbstractLogger() : LGAbstractLogger(std::string("LGAbstractLogger"), false) {}
  explicit LGAbstractLogger(std::string loggerName)
      : LGAbstractLogger(std::move(loggerName), true) {}
  LGAbstractLogger(std::string queueLabel, bool isLoggerName);

  // Runs `step` on the logger's queue the way setters do: inline when already there,
  // otherwise asynchronously through the global logging queue and then this queue, so the
  // step takes effect after every message queued before it.
  // REQUIRES: not on the global logging queue.
  void applyOnLoggerQueue(std::function<void()> step);
  // Runs `read` on the logger's queue the way getters do: through the global logging queue
  // and then this queue, waiting for both.
  // REQUIRES: not on the global logging queue, not on this logger's queue.
  void readOnLoggerQueue(const std::function<void()>& read);

  // Touched only on loggerQueue_.
  LGLogFormatterRef formatter_;
  const std::string loggerName_;
  const bool hasLoggerName_;
  const plat::DispatchQueueRef loggerQueue_;
};
