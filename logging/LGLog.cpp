#include "logging/LGLog.h"

#include <algorithm>
#include <any>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>

#include "logging/LGDiagnostics.h"
#include "platform/dispatch/NSNotificationCenter.h"
#include "platform/foundation/NSProcessInfo.h"

namespace {

constexpr const char* kLoggingQueueLabel = "vestrel";
constexpr const char* kOnlyOnLoggingQueue =
    "This method should only be run on the logging thread/queue";
constexpr const char* kNotOnLoggingQueue =
    "This method shouldn't be run on the logging thread/queue that make flush fast enough";
constexpr const char* kWillTerminateNotification = "UIApplicationWillTerminateNotification";

// Gathering of a batch that is still filling (see lt_drain).
constexpr size_t kGatherMessages = 256;
constexpr int64_t kGatherQuietNs = 3000;

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Address used as the queue-specific key that marks the global logging queue.
const char kLoggingQueueMarker = 0;

struct HubGlobals {
  plat::DispatchQueueRef queue;
  plat::DispatchGroupRef group;
  // Read on any thread; written once at creation and by resetForTesting.
  std::atomic<unsigned> processorCount{1};
  // Asynchronous messages are gathered into batches: one submission to the logging queue
  // carries every message logged until the batch is taken or closed. Anything else the hub
  // submits closes the open batch first, so the logging queue still sees every call in
  // call order. Submissions to the logging queue happen under this lock.
  std::mutex submitMu;
  std::shared_ptr<void> openBatch;  // an LGLog::Batch, or null
  std::atomic<bool>* openBatchClosed = nullptr;  // the open batch's closed mark
  // Union of the levels of every registration and of registrations under way.
  std::atomic<uint64_t> levelMask{0};
  int pendingAdds = 0;  // guarded by submitMu
};

// Closes the open batch, if any: later messages start a new one. REQUIRES: submitMu held.
void closeOpenBatch(HubGlobals& g) {
  if (!g.openBatch) return;
  g.openBatchClosed->store(true, std::memory_order_relaxed);
  g.openBatch = nullptr;
  g.openBatchClosed = nullptr;
}

unsigned currentProcessorCount() {
  uint64_t n = plat::NSProcessInfo::processInfo().processorCount();
  return n > 0 ? static_cast<unsigned>(n) : 1;
}

HubGlobals& globals() {
  static HubGlobals* g = [] {
    auto* g = new HubGlobals;
    g->queue = plat::dispatch_queue_create(kLoggingQueueLabel);
    plat::dispatch_queue_set_specific(g->queue, &kLoggingQueueMarker,
                                      const_cast<char*>(&kLoggingQueueMarker));
    g->group = plat::dispatch_group_create();
    g->processorCount.store(currentProcessorCount(), std::memory_order_relaxed);
    return g;
  }();
  return *g;
}

}  // namespace

struct LGLog::Batch {
  static constexpr size_t kFirstChunk = 8;
  static constexpr size_t kChunk = 256;
  static constexpr size_t kFirstTextBlock = 2 * 1024;
  static constexpr size_t kTextBlock = 64 * 1024;
  struct Entry {
    Entry(LGLogMessage m, const char* t, size_t n, bool d)
        : message(std::move(m)), text(t), length(n), deferred(d) {}
    LGLogMessage message;
    // A text still to be made: `length` bytes at `text` in the batch's storage.
    const char* text;
    size_t length;
    bool deferred;
  };
  // Chunks of entries: growing never moves the messages already held.
  std::vector<std::vector<Entry>> chunks;
  // Written under the submission lock; read without it while the logging queue waits for
  // more messages.
  std::atomic<size_t> count{0};
  std::atomic<bool> closed{false};
  // The texts still to be made, back to back in large blocks.
  std::vector<std::unique_ptr<char[]>> blocks;
  char* blockFree = nullptr;
  size_t blockRoom = 0;

  void push(LGLogMessage&& m, const std::string* text) {
    if (chunks.empty() || chunks.back().size() == chunks.back().capacity()) {
      // Most batches are small (the logging queue takes them as they come): the first chunks
      // are small too, and they grow up to kChunk while messages keep coming.
      size_t size = chunks.empty() ? kFirstChunk : std::min(kChunk, 2 * chunks.back().capacity());
      chunks.emplace_back();
      chunks.back().reserve(size);
    }
    const char* stored = text ? store(*text) : nullptr;
    chunks.back().emplace_back(std::move(m), stored, text ? text->size() : 0, text != nullptr);
    count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }

  const char* store(std::string_view s) {
    if (s.empty()) return nullptr;
    if (s.size() > blockRoom) {
      size_t size = std::max(blocks.empty() ? kFirstTextBlock : kTextBlock, s.size());
      blocks.push_back(std::make_unique_for_overwrite<char[]>(size));
      blockFree = blocks.back().get();
      blockRoom = size;
    }
    char* p = blockFree;
    std::memcpy(p, s.data(), s.size());
    blockFree += s.size();
    blockRoom -= s.size();
    return p;
  }
};

// ---- hub ---------------------------------------------------------------------------------

LGLog::LGLog() {
  loggers_.reserve(4);
  plat::NSNotificationCenter::defaultCenter().addObserverForNameObjectQueueUsingBlock(
      kWillTerminateNotification, plat::Value(), nullptr,
      [](const plat::NSNotification&) { LGLog::flushLog(); });
}

LGLog& LGLog::sharedInstance() {
  static LGLog* hub = new LGLog;
  return *hub;
}

const plat::DispatchQueueRef& LGLog::loggingQueue() { return globals().queue; }

bool LGLog::isOnLoggingQueue() {
  return plat::dispatch_get_specific(&kLoggingQueueMarker) != nullptr;
}

unsigned LGLog::processorCount() {
  return globals().processorCount.load(std::memory_order_relaxed);
}


bool LGLog::admitsFlag(uint64_t flag) {
  return (globals().levelMask.load(std::memory_order_relaxed) & flag) != 0;
}

void LGLog::submitAsync(std::function<void()> work) {
  HubGlobals& g = globals();
  std::lock_guard<std::mutex> lock(g.submitMu);
  closeOpenBatch(g);
  plat::dispatch_async(g.queue, std::move(work));
}

void LGLog::submitSync(const std::function<void()>& work) {
  HubGlobals& g = globals();
  {
    std::lock_guard<std::mutex> lock(g.submitMu);
    closeOpenBatch(g);
  }
  plat::dispatch_sync(g.queue, work);
}

void LGLog::addLoggerWithLevel(LGLoggerRef logger, uint64_t level) {
  if (!logger) return;
  LGLog* hub = &sharedInstance();
  HubGlobals& g = globals();
  std::lock_guard<std::mutex> lock(g.submitMu);
  g.levelMask.fetch_or(level, std::memory_order_relaxed);
  ++g.pendingAdds;
  closeOpenBatch(g);
  plat::dispatch_async(g.queue, [hub, logger = std::move(logger), level] {
    hub->lt_addLoggerLevel(logger, level);
  });
}

void LGLog::removeLogger(LGLoggerRef logger) {
  if (!logger) return;
  LGLog* hub = &sharedInstance();
  submitAsync([hub, logger = std::move(logger)] { hub->lt_removeLogger(logger); });
}

void LGLog::removeAllLoggers() {
  LGLog* hub = &sharedInstance();
  submitAsync([hub] { hub->lt_removeAllLoggers(); });
}

std::vector<LGLoggerRef> LGLog::allLoggers() {
  LGLog* hub = &sharedInstance();
  std::vector<LGLoggerRef> result;
  submitSync([&] { result = hub->lt_allLoggers(); });
  return result;
}

std::vector<LGLoggerInformation> LGLog::allLoggersWithLevel() {
  LGLog* hub = &sharedInstance();
  std::vector<LGLoggerInformation> result;
  submitSync([&] { result = hub->lt_allLoggersWithLevel(); });
  return result;
}

void LGLog::logMessageLevelFlagContextFileFunctionLineTag(bool asynchronous, LGText message,
                                                         uint64_t level, uint64_t flag,
                                                         int64_t context, const char* file,
                                                         const char* function, uint64_t line,
                                                         plat::Value tag) {
  if (!admitsFlag(flag)) return;
  LGLogMessage m(std::move(message), level, flag, context, file ? file : "",
                 function ? function : "", line, std::move(tag), 0, std::nullopt);
  queueLogMessage(std::move(m), asynchronous);
}

void LGLog::logMessage(bool asynchronous, LGLogMessage message) {
  queueLogMessage(std::move(message), asynchronous);
}

void LGLog::logFormattedText(bool asynchronous, std::string text, uint64_t level,
                             uint64_t flag, int64_t context, const char* file,
                             const char* function, uint64_t line, plat::Value tag) {
  if (!admitsFlag(flag)) return;
  if (!asynchronous) {
    logMessageLevelFlagContextFileFunctionLineTag(false, LGMakeText(std::move(text)), level, flag,
                                                  context, file, function, line, std::move(tag));
    return;
  }
  LGLogMessage m(nullptr, level, flag, context, file ? file : "", function ? function : "", line,
                 std::move(tag), 0, std::nullopt);
  queueAsynchronously(std::move(m), &text);
}

void LGLog::queueAsynchronously(LGLogMessage&& message, const std::string* deferredText) {
  LGLog* hub = &sharedInstance();
  HubGlobals& g = globals();
  std::lock_guard<std::mutex> lock(g.submitMu);
  auto* batch = static_cast<Batch*>(g.openBatch.get());
  if (!batch) {
    auto fresh = std::make_shared<Batch>();
    batch = fresh.get();
    g.openBatch = fresh;
    g.openBatchClosed = &fresh->closed;
    plat::dispatch_async(g.queue, [hub, fresh] { hub->lt_drain(fresh); });
  }
  batch->push(std::move(message), deferredText);
}

void LGLog::queueLogMessage(LGLogMessage&& message, bool asynchronous) {
  if (!admitsFlag(message.flag())) return;
  LGLog* hub = &sharedInstance();
  if (asynchronous) {
    queueAsynchronously(std::move(message), nullptr);
  } else if (isOnLoggingQueue()) {
    hub->lt_log(message);
  } else {
    submitSync([hub, &message] { hub->lt_log(message); });
  }
}

void LGLog::lt_drain(const std::shared_ptr<Batch>& batch) {
  HubGlobals& g = globals();
  // While messages keep arriving, let the batch gather more before taking it, so that one
  // hand-over carries many and callers seldom have to wake the logging queue. The wait ends
  // as soon as no message came for kGatherQuietNs, the batch holds kGatherMessages or
  // something else was submitted; a lone message waits kGatherQuietNs at most. The wait is
  // a short spin on the real clock (a virtual clock would not move while it spins), and only
  // with a processor to spare for the callers.
  size_t seen = batch->count.load(std::memory_order_relaxed);
  auto quietSince = std::chrono::steady_clock::now();
  bool gather = processorCount() > 1;
  while (gather && !batch->closed.load(std::memory_order_relaxed) && seen < kGatherMessages) {
    cpuRelax();
    size_t now = batch->count.load(std::memory_order_relaxed);
    auto t = std::chrono::steady_clock::now();
    if (now != seen) {
      seen = now;
      quietSince = t;
    } else if (t - quietSince >= std::chrono::nanoseconds(kGatherQuietNs)) {
      break;
    }
  }
  {
    // Close the batch: later messages start a new one behind this block.
    std::lock_guard<std::mutex> lock(g.submitMu);
    if (g.openBatch.get() == batch.get()) closeOpenBatch(g);
  }
  // Consecutive messages that go to one and the same logger are handed to it in one visit of
  // its queue: the logger sees them in the same order, and each is finished before the hub
  // moves on, exactly as when handed out one by one.
  std::vector<const LGLogMessage*> run;
  const LGLoggerNode* runNode = nullptr;
  auto handOverRun = [&] {
    if (run.empty()) return;
    const LGLoggerNode* node = runNode;
    plat::dispatch_sync(node->loggerQueue,
                        [node, &run] { node->logger->logMessages(run.data(), run.size()); });
    run.clear();
  };
  for (auto& chunk : batch->chunks) {
    for (Batch::Entry& entry : chunk) {
      const LGLogMessage& message = entry.message;
      const LGLoggerNode* sole = nullptr;
      int matches = 0;
      for (const auto& node : loggers_) {
        if (node->level & message.flag()) {
          sole = node.get();
          if (++matches > 1) break;
        }
      }
      if (entry.deferred && matches > 0) {
        entry.message.message_ = LGMakeText(std::string(entry.text, entry.length));
        entry.deferred = false;
      }
      if (matches == 1) {
        if (sole != runNode) handOverRun();
        runNode = sole;
        run.push_back(&message);
        continue;
      }
      handOverRun();
      runNode = nullptr;
      if (matches > 1) lt_log(message);
    }
  }
  handOverRun();
}

void LGLog::flushLog() {
  LGPrecondition(!isOnLoggingQueue(), kNotOnLoggingQueue);
  LGLog* hub = &sharedInstance();
  submitSync([hub] { hub->lt_flush(); });
}

void LGLog::resetForTesting() {
  LGLog* hub = &sharedInstance();
  submitSync([hub] {
    hub->lt_removeAllLoggers();
    hub->lt_flush();
    globals().processorCount.store(currentProcessorCount(), std::memory_order_relaxed);
  });
}

void LGLog::lt_updateLevelMask() {
  HubGlobals& g = globals();
  std::lock_guard<std::mutex> lock(g.submitMu);
  if (g.pendingAdds > 0) return;  // keep the wider mask until every addition has run
  uint64_t mask = 0;
  for (const auto& node : loggers_) mask |= node->level;
  g.levelMask.store(mask, std::memory_order_relaxed);
}

// ---- steps on the logging queue ------------------------------------------------------------

void LGLog::lt_addLoggerLevel(const LGLoggerRef& logger, uint64_t level) {
  LGPrecondition(isOnLoggingQueue(), kOnlyOnLoggingQueue);
  {
    HubGlobals& g = globals();
    std::lock_guard<std::mutex> lock(g.submitMu);
    --g.pendingAdds;
  }
  for (const auto& node : loggers_) {
    if (node->logger == logger && node->level == level) return;
  }
  plat::DispatchQueueRef queue = logger->loggerQueue();
  if (!queue) {
    std::optional<std::string> name = logger->loggerName();
    queue = plat::dispatch_queue_create(name ? *name : std::string());
  }
  loggers_.push_back(LGLoggerNode::nodeWithLoggerLoggerQueueLevel(logger, queue, level));
  plat::dispatch_async(queue, [logger, queue] { logger->didAddLoggerInQueue(queue); });
}

void LGLog::lt_removeLogger(const LGLoggerRef& logger) {
  LGPrecondition(isOnLoggingQueue(), kOnlyOnLoggingQueue);
  for (auto it = loggers_.begin(); it != loggers_.end(); ++it) {
    if ((*it)->logger == logger) {
      plat::dispatch_async((*it)->loggerQueue, [logger] { logger->willRemoveLogger(); });
      loggers_.erase(it);
      lt_updateLevelMask();
      return;
    }
  }
}

void LGLog::lt_removeAllLoggers() {
  LGPrecondition(isOnLoggingQueue(), kOnlyOnLoggingQueue);
  for (const auto& node : loggers_) {
    LGLoggerRef logger = node->logger;
    plat::dispatch_async(node->loggerQueue, [logger] { logger->willRemoveLogger(); });
  }
  loggers_.clear();
  lt_updateLevelMask();
}

std::vector<LGLoggerRef> LGLog::lt_allLoggers() {
  LGPrecondition(isOnLoggingQueue(), kOnlyOnLoggingQueue);
  std::vector<LGLoggerRef> result;
  result.reserve(loggers_.size());
  for (const auto& node : loggers_) result.push_back(node->logger);
  return result;
}

std::vector<LGLoggerInformation> LGLog::lt_allLoggersWithLevel() {
  LGPrecondition(isOnLoggingQueue(), kOnlyOnLoggingQueue);
  std::vector<LGLoggerInformation> result;
  result.reserve(loggers_.size());
  for (const auto& node : loggers_) {
    result.push_back(LGLoggerInformation::informationWithLoggerAndLevel(node->logger, node->level));
  }
  return result;
}

void LGLog::lt_log(const LGLogMessage& message) {
  LGPrecondition(isOnLoggingQueue(), kOnlyOnLoggingQueue);
  matching_.clear();
  for (const auto& node : loggers_) {
    if (node->level & message.flag()) matching_.push_back(node.get());
  }
  if (matching_.empty()) return;
  const LGLogMessage* m = &message;
  if (processorCount() > 1 && matching_.size() > 1) {
    // Every logger works on the message in parallel; the next message waits for all.
    const plat::DispatchGroupRef& group = globals().group;
    for (const LGLoggerNode* node : matching_) {
      plat::dispatch_group_async(group, node->loggerQueue,
                                 [node, m] { node->logger->logMessage(*m); });
    }
    plat::dispatch_group_wait(group, plat::DISPATCH_TIME_FOREVER);
  } else {
    // One logger (or one processor): waiting for each in turn is the same as waiting for all.
    for (const LGLoggerNode* node : matching_) {
      plat::dispatch_sync(node->loggerQueue, [node, m] { node->logger->logMessage(*m); });
    }
  }
}

void LGLog::lt_flush() {
  LGPrecondition(isOnLoggingQueue(), kOnlyOnLoggingQueue);
  const plat::DispatchGroupRef& group = globals().group;
  for (const auto& node : loggers_) {
    LGLoggerRef logger = node->logger;
    plat::dispatch_group_async(group, node->loggerQueue, [logger] { logger->flush(); });
  }
  plat::dispatch_group_wait(group, plat::DISPATCH_TIME_FOREVER);
}

// ---- per-class levels ----------------------------------------------------------------------

bool LGLog::isRegisteredClass(const plat::Class* cls) {
  return cls && cls->respondsToHook(kLGLogLevelHook) && cls->respondsToHook(kLGSetLogLevelHook);
}

std::vector<plat::Class*> LGLog::registeredClasses() {
  std::vector<plat::Class*> result;
  for (plat::Class* cls : plat::Runtime::classList()) {
    if (isRegisteredClass(cls)) result.push_back(cls);
  }
  return result;
}

std::vector<std::string> LGLog::registeredClassNames() {
  std::vector<std::string> names;
  for (plat::Class* cls : registeredClasses()) names.push_back(cls->name());
  return names;
}

uint64_t LGLog::levelForClass(const plat::Class* cls) {
  if (!isRegisteredClass(cls)) return LGLogLevelAll;
  std::any hook = cls->hook(kLGLogLevelHook);
  const auto* getter = std::any_cast<LGLogLevelGetter>(&hook);
  return getter && *getter ? (*getter)() : LGLogLevelAll;
}

uint64_t LGLog::levelForClassWithName(const std::string& className) {
  return levelForClass(plat::Runtime::classNamed(className));
}

void LGLog::setLevelForClass(uint64_t level, plat::Class* cls) {
  if (!isRegisteredClass(cls)) return;
  std::any hook = cls->hook(kLGSetLogLevelHook);
  if (const auto* setter = std::any_cast<LGLogLevelSetter>(&hook); setter && *setter) {
    (*setter)(level);
  }
}

void LGLog::setLevelForClassWithName(uint64_t level, const std::string& className) {
  setLevelForClass(level, plat::Runtime::classNamed(className));
}
