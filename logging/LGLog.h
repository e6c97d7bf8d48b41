#pragma once
// LGLog: the log hub. Accepts log calls from any thread, turns each into an LGLogMessage and
// hands it to every registered logger whose level mask shares a bit with the message's
// flag. All registration changes, listings, hand-outs and flushes are serialised on one
// global logging queue (label "vestrel"); each logger is called on its own serial queue.
//
// Ordering: every call enters the global queue in call order, so a message logged right
// after addLogger on the same thread reaches the new logger, and messages reach each logger
// in the order they entered the queue. The queue takes the next message only when every
// logger has finished the current one; a logger that never returns stops all logging.
//
// Cost: an asynchronous call builds the record and appends it to the open batch under a
// short lock. A format whose arguments are all integers is applied on the logging queue
// while that queue keeps up (the text is the same whoever formats it), by the caller when it
// falls behind. The logging queue takes a batch once no message came for a few microseconds
// or it holds a few hundred (a bounded spin, only with more than one processor), so that a
// burst travels in few hand-overs and a lone message is hardly delayed.
//
// Thread-safety: every operation may be called from any thread, with the exceptions stated.
// The hub is a process-wide singleton that is never destroyed.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "logging/LGLogMessage.h"
#include "logging/LGLogger.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Format.h"
#include "platform/runtime/Runtime.h"

// Class hook names and types of the per-class levels.
inline constexpr const char* kLGLogLevelHook = "lgLogLevel";
inline constexpr const char* kLGSetLogLevelHook = "lgSetLogLevel:";
using LGLogLevelGetter = std::function<uint64_t()>;
using LGLogLevelSetter = std::function<void(uint64_t)>;

// One registration in the hub.
class LGLoggerNode {
 public:
  static std::shared_ptr<LGLoggerNode> nodeWithLoggerLoggerQueueLevel(LGLoggerRef logger,
                                                                      plat::DispatchQueueRef queue,
                                                                      uint64_t level) {
    return std::make_shared<LGLoggerNode>(std::move(logger), std::move(queue), level);
  }
  LGLoggerNode(LGLoggerRef logger, plat::DispatchQueueRef queue, uint64_t level)
      : logger(std::move(logger)), loggerQueue(std::move(queue)), level(level) {}
  const LGLoggerRef logger;
  const plat::DispatchQueueRef loggerQueue;
  const uint64_t level;
};

// What the hub reports about one registration.
class LGLoggerInformation {
 public:
  static LGLoggerInformation informationWithLoggerAndLevel(LGLoggerRef logger, uint64_t level) {
    return LGLoggerInformation(std::move(logger), level);
  }
  LGLoggerInformation(LGLoggerRef logger, uint64_t level)
      : logger_(std::move(logger)), level_(level) {}
  const LGLoggerRef& logger() const { return logger_; }
  uint64_t level() const { return level_; }

 private:
  LGLoggerRef logger_;
  uint64_t level_;
};

class LGLog {
 public:
  // The one hub, created on first use. It flushes on the application's will-terminate
  // notification.
  static LGLog& sharedInstance();
  // The global logging queue.
  static const plat::DispatchQueueRef& loggingQueue();
  // True on the global logging queue (or work nested inside it).
  static bool isOnLoggingQueue();
  // Runs `work` on the global logging queue after every call queued before it and before
  // every call queued after it (messages included). Code that must take effect in order with
  // messages travels this way, never by submitting to loggingQueue() directly.
  static void submitAsync(std::function<void()> work);
  // The same, waiting for `work`. REQUIRES: not on the logging queue.
  static void submitSync(const std::function<void()>& work);
  // Marks a logger's own queue: whatever runs there (the logger's work, its timers, its
  // hooks) works for the hub, which may be waiting for that queue.
  static void markLoggerQueue(const plat::DispatchQueueRef& queue);
  // True on a marked logger queue and inside any call the hub makes into a logger. A
  // synchronous log call made there is queued like an asynchronous one instead of waiting
  // for the hub (which may be waiting for this very logger): nothing is lost, and the
  // message reaches the loggers after the one in hand.
  static bool isOnLoggerPath();

  // Registration, asynchronous on the logging queue. A null logger is ignored; the same
  // logger with the same level again is ignored; with another level it gets a second
  // registration (and then receives a matching message once per registration).
  static void addLogger(LGLoggerRef logger) {
    addLoggerWithLevel(std::move(logger), LGLogLevelAll);
  }
  static void addLoggerWithLevel(LGLoggerRef logger, uint64_t level);
  // Removes the logger's first registration (asynchronously). Null or unknown: nothing.
  static void removeLogger(LGLoggerRef logger);
  static void removeAllLoggers();
  // REQUIRES (both): not on the logging queue. Wait for the logging queue.
  static std::vector<LGLoggerRef> allLoggers();
  static std::vector<LGLoggerInformation> allLoggersWithLevel();

  // The formatted entry: builds the text with plat::format (printf conversions and "%@") and
  // logs it. A null format logs nothing; an empty one logs an empty text.
  template <class... Args>
  static void logLevelFlagContextFileFunctionLineTagFormat(bool asynchronous, uint64_t level,
                                                           uint64_t flag, int64_t context,
                                                           const char* file, const char* function,
                                                           uint64_t line, plat::Value tag,
                                                           const char* format, Args&&... args) {
    if (!format || !admitsFlag(flag)) return;
    if constexpr (sizeof...(Args) == 0) {
      logFormatArgs(asynchronous, format, nullptr, 0, level, flag, context, file, function, line,
                    std::move(tag));
    } else {
      const plat::FormatArg captured[] = {plat::FormatArg(args)...};
      logFormatArgs(asynchronous, format, captured, sizeof...(Args), level, flag, context, file,
                    function, line, std::move(tag));
    }
  }
  // The same with arguments already captured (the counterpart of an argument list).
  static void logLevelFlagContextFileFunctionLineTagFormatArgs(
      bool asynchronous, uint64_t level, uint64_t flag, int64_t context, const char* file,
      const char* function, uint64_t line, plat::Value tag, const char* format,
      const plat::FormatArg* args, size_t count) {
    if (!format || !admitsFlag(flag)) return;
    logFormatArgs(asynchronous, format, args, count, level, flag, context, file, function, line,
                  std::move(tag));
  }
  // The entry with the text already made. Null file or function become empty texts.
  static void logMessageLevelFlagContextFileFunctionLineTag(bool asynchronous, LGText message,
                                                            uint64_t level, uint64_t flag,
                                                            int64_t context, const char* file,
                                                            const char* function, uint64_t line,
                                                            plat::Value tag);
  // Queues a ready message. Asynchronous: returns at once. Synchronous: returns once every
  // logger has it (inline when already on the logging queue); on a logger's path
  // (isOnLoggerPath) it is queued and returns at once.
  static void logMessage(bool asynchronous, LGLogMessage message);

  // False when no registered logger (nor one whose registration is under way) admits the
  // flag: such a call reaches no logger and returns at once without building anything.
  static bool admitsFlag(uint64_t flag) {
    return (levelMask_.load(std::memory_order_relaxed) & flag) != 0;
  }

  // Waits until every message queued before it has been handed out and every logger has
  // flushed. REQUIRES: not on the logging queue.
  static void flushLog();

  // Per-class levels: a class of the runtime registry takes part when it answers both class
  // hooks kLGLogLevelHook (an LGLogLevelGetter) and kLGSetLogLevelHook (an LGLogLevelSetter).
  // A null or non-participating class reports LGLogLevelAll, and setting its level does
  // nothing. The name forms look the class up by name first.
  static bool isRegisteredClass(const plat::Class* cls);
  static std::vector<plat::Class*> registeredClasses();
  static std::vector<std::string> registeredClassNames();
  static uint64_t levelForClass(const plat::Class* cls);
  static uint64_t levelForClassWithName(const std::string& className);
  static void setLevelForClass(uint64_t level, plat::Class* cls);
  static void setLevelForClassWithName(uint64_t level, const std::string& className);

  // The processor count that chooses the hand-out strategy: taken once, at the hub's first
  // use, from plat::NSProcessInfo (at least 1).
  static unsigned processorCount();

  // Removes every logger synchronously, waits for the queues, and takes the processor count
  // again (tests only).
  static void resetForTesting();

 private:
  LGLog();
  struct Batch;
  // Union of the levels of every registration and of registrations under way.
  static std::atomic<uint64_t> levelMask_;
  // The formatted entries' common end. An asynchronous message travels with its text still
  // to be made in the batch's own storage, so the caller allocates nothing per message that
  // another thread must free: the text itself when an argument refers to the caller's data
  // (a string, an object), else the format and the integers, formatted on the logging queue
  // (integers print the same whenever they are formatted).
  static void logFormatArgs(bool asynchronous, const char* format, const plat::FormatArg* args,
                            size_t count, uint64_t level, uint64_t flag, int64_t context,
                            const char* file, const char* function, uint64_t line, plat::Value tag);
  static void queueLogMessage(LGLogMessage&& message, bool asynchronous);
  struct PendingText;
  // Adds the message (and its text still to be made, if any) to the open batch.
  static void queueAsynchronously(LGLogMessage&& message, const PendingText* pending);
  void lt_drain(const std::shared_ptr<Batch>& batch);
  // Recomputes the admitted flags from the registrations (and those under way).
  void lt_updateLevelMask();
  void lt_addLoggerLevel(const LGLoggerRef& logger, uint64_t level);
  void lt_removeLogger(const LGLoggerRef& logger);
  void lt_removeAllLoggers();
  std::vector<LGLoggerRef> lt_allLoggers();
  std::vector<LGLoggerInformation> lt_allLoggersWithLevel();
  void lt_log(const LGLogMessage& message);
  void lt_flush();

  // Touched only on the logging queue.
  std::vector<std::shared_ptr<LGLoggerNode>> loggers_;
  std::vector<const LGLoggerNode*> matching_;  // scratch of lt_log
};
