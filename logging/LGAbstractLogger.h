#pragma once
// LGAbstractLogger: the base of every sink. It owns the logger's serial queue (labelled with
// the name loggerName() reports and marked so that isOnInternalLoggerQueue can tell), and the
// formatter.
//
// Threading: logMessage and every override run on loggerQueue(). Subclass code that runs on
// that queue reads the protected formatter_ field directly; logFormatter() and
// setLogFormatter() are for callers outside both the global logging queue and this queue
// (calling them there aborts with the architecture precondition texts).
//
// Loggers are always held by std::shared_ptr (create them with std::make_shared).

#include <memory>
#include <mutex>
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

  plat::DispatchQueueRef loggerQueue() override { return queue(); }
  // The name given at construction; without one, the logger's own class name (without
  // namespace qualifiers), so a subclass that passes no name is told apart from its base.
  std::optional<std::string> loggerName() override;

  // True on the hub's global logging queue (or work nested inside it).
  bool isOnGlobalLoggingQueue() const;
  // True on this logger's own queue.
  bool isOnInternalLoggerQueue() const;

 protected:
  // No name: loggerName() is the class name. The queue is then made at its first use, once
  // the logger is fully built, and labelled with what loggerName() reports (the subclass is
  // not yet known while the base is built).
  LGAbstractLogger();
  // The queue is made at once, labelled `loggerName`.
  explicit LGAbstractLogger(std::string loggerName);

  // The logger's own serial queue (made on first use when the logger has no name).
  // REQUIRES: the logger is fully built when it has no name.
  const plat::DispatchQueueRef& queue() const {
    std::call_once(queueOnce_, [this] { makeQueue(); });
    return queue_;
  }
  // Whether the queue has been made. REQUIRES: only in destructors (no other thread can be
  // making it).
  bool queueMade() const { return queue_ != nullptr; }

  // Runs `step` on the logger's queue the way setters do: inline when already there,
  // otherwise asynchronously through the global logging queue and then this queue, so the
  // step takes effect after every message queued before it.
  // REQUIRES: not on the global logging queue.
  void applyOnLoggerQueue(std::function<void()> step);
  // Runs `read` on the logger's queue the way getters do: through the global logging queue
  // and then this queue, waiting for both.
  // REQUIRES: not on the global logging queue, not on this logger's queue.
  void readOnLoggerQueue(const std::function<void()>& read);

  // Touched only on the logger's queue.
  LGLogFormatterRef formatter_;
  const std::string loggerName_;
  const bool hasLoggerName_;

 private:
  void makeQueue() const;
  mutable std::once_flag queueOnce_;
  mutable plat::DispatchQueueRef queue_;
};
