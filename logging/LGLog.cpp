#include "logging/LGLog.h"

#include <algorithm>
#include <any>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>

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
// Address used as the queue-specific key that marks loggers' own queues.
const char kLoggerQueueMarker = 0;

// Calls the hub is making into loggers on this thread (see LoggerCall).
thread_local int tLoggerCalls = 0;

// Marks the calling thread as working for the hub while a logger runs: the hub is waiting
// for the call, so the logger must not wait for the hub.
struct LoggerCall {
  LoggerCall() { ++tLoggerCalls; }
  ~LoggerCall() { --tLoggerCalls; }
  LoggerCall(const LoggerCall&) = delete;
  LoggerCall& operator=(const LoggerCall&) = delete;
};

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
  std::shared_ptr<void> openBatch;   // an LGLog::Batch, or null
  std::shared_ptr<void> spareBatch;  // an emptied LGLog::Batch kept for the next one, or null
  std::atomic<bool>* openBatchClosed = nullptr;  // the open batch's closed mark
  // The open batch's message count (0 when none is open), readable without the lock.
  std::atomic<size_t> openBatchCount{0};
  int pendingAdds = 0;  // guarded by submitMu
};

// Closes the open batch, if any: later messages start a new one. REQUIRES: submitMu held.
void closeOpenBatch(HubGlobals& g) {
  if (!g.openBatch) return;
  g.openBatchClosed->store(true, std::memory_order_relaxed);
  g.openBatch = nullptr;
  g.openBatchClosed = nullptr;
  g.openBatchCount.store(0, std::memory_order_relaxed);
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

// The text of a message still to be made: the text itself, or a format and its arguments
// (integers only).
struct LGLog::PendingText {
  std::string_view text;  // the text, or the format
  const plat::FormatArg* args = nullptr;
  size_t count = 0;
  bool isFormat = false;
};

struct LGLog::Batch {
  static constexpr size_t kFirstChunk = 8;
  static constexpr size_t kChunk = 256;
  static constexpr size_t kFirstTextBlock = 2 * 1024;
  static constexpr size_t kTextBlock = 64 * 1024;
  // A drained batch is kept for the next one unless it grew beyond these.
  static constexpr size_t kKeptEntries = 4096;
  static constexpr size_t kKeptTextBytes = 512 * 1024;
  // A format with more arguments than this is applied by the caller.
  static constexpr size_t kMaxDeferredArguments = 8;

  enum class Pending : uint8_t { None, Text, Format };
  // An integer argument of a format still to be applied: all that a plat::FormatArg of an
  // integer holds.
  struct Integer {
    bool isSigned;
    uint8_t bits;
    uint64_t bitsValue;
  };
  struct Entry {
    Entry(LGLogMessage m, const char* t, size_t n, uint32_t first, uint32_t count, Pending p)
        : message(std::move(m)), text(t), length(n), firstArg(first), argCount(count), pending(p) {}
    LGLogMessage message;
    // The text or format still to be applied: `length` bytes at `text` in the batch's storage.
    const char* text;
    size_t length;
    // The format's arguments: integers[firstArg, firstArg + argCount).
    uint32_t firstArg;
    uint32_t argCount;
    Pending pending;
  };
  struct Block {
    std::unique_ptr<char[]> bytes;
    size_t size;
  };
  // Chunks of entries: growing never moves the messages already held. chunks[0, usedChunks)
  // hold this batch's entries; the others are room kept from an earlier use.
  std::vector<std::vector<Entry>> chunks;
  size_t usedChunks = 0;
  // Written under the submission lock; read without it while the logging queue waits for
  // more messages.
  std::atomic<size_t> count{0};
  std::atomic<bool> closed{false};
  // The texts and formats still to be applied, back to back in large blocks; blocks[0,
  // usedBlocks) are in use.
  std::vector<Block> blocks;
  size_t usedBlocks = 0;
  char* blockFree = nullptr;
  size_t blockRoom = 0;
  std::vector<Integer> integers;

  void push(LGLogMessage&& m, const PendingText* pending) {
    if (usedChunks == 0 || chunks[usedChunks - 1].size() == chunks[usedChunks - 1].capacity()) {
      if (usedChunks == chunks.size()) {
        // Most batches are small (the logging queue takes them as they come): the first
        // chunks are small too, and they grow up to kChunk while messages keep coming.
        size_t size = chunks.empty() ? kFirstChunk : std::min(kChunk, 2 * chunks.back().capacity());
        chunks.emplace_back();
        chunks.back().reserve(size);
      }
      ++usedChunks;
    }
    const char* stored = nullptr;
    size_t length = 0;
    uint32_t first = 0;
    uint32_t argCount = 0;
    Pending kind = Pending::None;
    if (pending) {
      stored = store(pending->text);
      length = pending->text.size();
      kind = pending->isFormat ? Pending::Format : Pending::Text;
      if (pending->isFormat) {
        first = static_cast<uint32_t>(integers.size());
        argCount = static_cast<uint32_t>(pending->count);
        for (size_t i = 0; i < pending->count; ++i) {
          const plat::FormatArg& a = pending->args[i];
          bool isSigned = a.kind() == plat::FormatArg::Kind::Signed;
          integers.push_back(
              {isSigned, static_cast<uint8_t>(a.bits()),
               isSigned ? static_cast<uint64_t>(a.signedValue()) : a.unsignedValue()});
        }
      }
    }
    chunks[usedChunks - 1].emplace_back(std::move(m), stored, length, first, argCount, kind);
    count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }

  const char* store(std::string_view s) {
    if (s.empty()) return nullptr;
    if (s.size() > blockRoom) {
      if (usedBlocks == blocks.size() || blocks[usedBlocks].size < s.size()) {
        size_t size = std::max(usedBlocks == 0 ? kFirstTextBlock : kTextBlock, s.size());
        blocks.insert(blocks.begin() + static_cast<std::ptrdiff_t>(usedBlocks),
                      Block{std::make_unique_for_overwrite<char[]>(size), size});
      }
      blockFree = blocks[usedBlocks].bytes.get();
      blockRoom = blocks[usedBlocks].size;
      ++usedBlocks;
    }
    char* p = blockFree;
    std::memcpy(p, s.data(), s.size());
    blockFree += s.size();
    blockRoom -= s.size();
    return p;
  }

  // The entry's text, made now.
  std::string makeText(const Entry& e) const {
    if (e.pending == Pending::Text) return std::string(e.text, e.length);
    return applyFormat(std::string_view(e.text, e.length), integers.data() + e.firstArg, e.argCount,
                       std::make_index_sequence<kMaxDeferredArguments>());
  }

  template <size_t... I>
  static std::string applyFormat(std::string_view format, const Integer* values, size_t count,
                                 std::index_sequence<I...>) {
    const plat::FormatArg args[] = {(I < count ? formatArg(values[I]) : plat::FormatArg(0))...};
    return plat::formatArgs(format, args, count);
  }

  static plat::FormatArg formatArg(const Integer& n) {
    if (n.isSigned) {
      auto v = static_cast<int64_t>(n.bitsValue);
      switch (n.bits) {
        case 8:
          return plat::FormatArg(static_cast<signed char>(v));
        case 16:
          return plat::FormatArg(static_cast<short>(v));
        case 32:
          return plat::FormatArg(static_cast<int>(v));
        default:
          return plat::FormatArg(static_cast<long long>(v));
      }
    }
    uint64_t v = n.bitsValue;
    switch (n.bits) {
      case 8:
        return plat::FormatArg(static_cast<unsigned char>(v));
      case 16:
        return plat::FormatArg(static_cast<unsigned short>(v));
      case 32:
        return plat::FormatArg(static_cast<unsigned>(v));
      default:
        return plat::FormatArg(static_cast<unsigned long long>(v));
    }
  }

  // Empties the batch for another use. Returns false when it grew too large to be kept.
  bool reset() {
    size_t entries = 0;
    for (size_t i = 0; i < usedChunks; ++i) chunks[i].clear();
    for (const auto& chunk : chunks) entries += chunk.capacity();
    size_t bytes = 0;
    for (const Block& b : blocks) bytes += b.size;
    usedChunks = 0;
    usedBlocks = 0;
    blockFree = nullptr;
    blockRoom = 0;
    integers.clear();
    count.store(0, std::memory_order_relaxed);
    closed.store(false, std::memory_order_relaxed);
    return entries <= kKeptEntries && bytes <= kKeptTextBytes &&
           integers.capacity() <= kKeptEntries * 4;
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

std::atomic<uint64_t> LGLog::levelMask_{0};

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

void LGLog::markLoggerQueue(const plat::DispatchQueueRef& queue) {
  plat::dispatch_queue_set_specific(queue, &kLoggerQueueMarker,
                                    const_cast<char*>(&kLoggerQueueMarker));
}

bool LGLog::isOnLoggerPath() {
  return tLoggerCalls > 0 || plat::dispatch_get_specific(&kLoggerQueueMarker) != nullptr;
}

void LGLog::addLoggerWithLevel(LGLoggerRef logger, uint64_t level) {
  if (!logger) return;
  LGLog* hub = &sharedInstance();
  HubGlobals& g = globals();
  std::lock_guard<std::mutex> lock(g.submitMu);
  levelMask_.fetch_or(level, std::memory_order_relaxed);
  ++g.pendingAdds;
  closeOpenBatch(g);
  plat::dispatch_async(
      g.queue, [hub, logger = std::move(logger), level] { hub->lt_addLoggerLevel(logger, level); });
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

void LGLog::logFormatArgs(bool asynchronous, const char* format, const plat::FormatArg* args,
                          size_t count, uint64_t level, uint64_t flag, int64_t context,
                          const char* file, const char* function, uint64_t line, plat::Value tag) {
  // The public entries have checked the flag.
  if (!asynchronous) {
    logMessageLevelFlagContextFileFunctionLineTag(
        false, LGMakeText(plat::formatArgs(format, args, count)), level, flag, context, file,
        function, line, std::move(tag));
    return;
  }
  LGLogMessage m(nullptr, level, flag, context, file ? file : "", function ? function : "", line,
                 std::move(tag), 0, std::nullopt);
  // The format waits for the logging queue only while that queue keeps up (the open batch is
  // still small); once it falls behind, callers format themselves and so share its load.
  bool defer = count <= Batch::kMaxDeferredArguments &&
               globals().openBatchCount.load(std::memory_order_relaxed) < kGatherMessages;
  for (size_t i = 0; i < count && defer; ++i) {
    auto kind = args[i].kind();
    defer = kind == plat::FormatArg::Kind::Signed || kind == plat::FormatArg::Kind::Unsigned;
  }
  if (defer) {
    PendingText pending{std::string_view(format), args, count, true};
    queueAsynchronously(std::move(m), &pending);
    return;
  }
  std::string text = plat::formatArgs(format, args, count);
  PendingText pending{text, nullptr, 0, false};
  queueAsynchronously(std::move(m), &pending);
}

void LGLog::queueAsynchronously(LGLogMessage&& message, const PendingText* pending) {
  LGLog* hub = &sharedInstance();
  HubGlobals& g = globals();
  std::lock_guard<std::mutex> lock(g.submitMu);
  auto* batch = static_cast<Batch*>(g.openBatch.get());
  if (!batch) {
    std::shared_ptr<Batch> fresh = std::static_pointer_cast<Batch>(std::move(g.spareBatch));
    g.spareBatch = nullptr;
    if (!fresh) fresh = std::make_shared<Batch>();
    batch = fresh.get();
    g.openBatch = fresh;
    g.openBatchClosed = &fresh->closed;
    plat::dispatch_async(g.queue, [hub, fresh] { hub->lt_drain(fresh); });
  }
  batch->push(std::move(message), pending);
  g.openBatchCount.store(batch->count.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

void LGLog::queueLogMessage(LGLogMessage&& message, bool asynchronous) {
  if (!admitsFlag(message.flag())) return;
  LGLog* hub = &sharedInstance();
  if (asynchronous || isOnLoggerPath()) {
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
    plat::dispatch_sync(node->loggerQueue, [node, &run] {
      LoggerCall call;
      node->logger->logMessages(run.data(), run.size());
    });
    run.clear();
  };
  for (size_t c = 0; c < batch->usedChunks; ++c) {
    for (Batch::Entry& entry : batch->chunks[c]) {
      const LGLogMessage& message = entry.message;
      const LGLoggerNode* sole = nullptr;
      int matches = 0;
      for (const auto& node : loggers_) {
        if (node->level & message.flag()) {
          sole = node.get();
          if (++matches > 1) break;
        }
      }
      if (entry.pending != Batch::Pending::None && matches > 0) {
        entry.message.message_ = LGMakeText(batch->makeText(entry));
        entry.pending = Batch::Pending::None;
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
  // Emptied here, on the logging queue, and kept for the next batch: callers then fill
  // storage that is already there and free nothing the logging queue made.
  if (batch->reset()) {
    std::lock_guard<std::mutex> lock(g.submitMu);
    if (!g.spareBatch) g.spareBatch = batch;
  }
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
  levelMask_.store(mask, std::memory_order_relaxed);
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
    markLoggerQueue(queue);
  }
  loggers_.push_back(LGLoggerNode::nodeWithLoggerLoggerQueueLevel(logger, queue, level));
  plat::dispatch_async(queue, [logger, queue] {
    LoggerCall call;
    logger->didAddLoggerInQueue(queue);
  });
}

void LGLog::lt_removeLogger(const LGLoggerRef& logger) {
  LGPrecondition(isOnLoggingQueue(), kOnlyOnLoggingQueue);
  for (auto it = loggers_.begin(); it != loggers_.end(); ++it) {
    if ((*it)->logger == logger) {
      plat::dispatch_async((*it)->loggerQueue, [logger] {
        LoggerCall call;
        logger->willRemoveLogger();
      });
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
    plat::dispatch_async(node->loggerQueue, [logger] {
      LoggerCall call;
      logger->willRemoveLogger();
    });
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
      plat::dispatch_group_async(group, node->loggerQueue, [node, m] {
        LoggerCall call;
        node->logger->logMessage(*m);
      });
    }
    plat::dispatch_group_wait(group, plat::DISPATCH_TIME_FOREVER);
  } else {
    // One logger (or one processor): waiting for each in turn is the same as waiting for all.
    for (const LGLoggerNode* node : matching_) {
      plat::dispatch_sync(node->loggerQueue, [node, m] {
        LoggerCall call;
        node->logger->logMessage(*m);
      });
    }
  }
}

void LGLog::lt_flush() {
  LGPrecondition(isOnLoggingQueue(), kOnlyOnLoggingQueue);
  const plat::DispatchGroupRef& group = globals().group;
  for (const auto& node : loggers_) {
    LGLoggerRef logger = node->logger;
    plat::dispatch_group_async(group, node->loggerQueue, [logger] {
      LoggerCall call;
      logger->flush();
    });
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
