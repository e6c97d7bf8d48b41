#include "platform/network/NSOperationQueue.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <list>
#include <mutex>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/DispatchInternal.h"

namespace plat {

namespace {

thread_local const void* tCurrentQueue = nullptr;

qos_class_t dispatchClass(NSQualityOfService qos) {
  switch (qos) {
    case NSQualityOfServiceUserInteractive:
      return QOS_CLASS_USER_INTERACTIVE;
    case NSQualityOfServiceUserInitiated:
      return QOS_CLASS_USER_INITIATED;
    case NSQualityOfServiceUtility:
      return QOS_CLASS_UTILITY;
    case NSQualityOfServiceBackground:
      return QOS_CLASS_BACKGROUND;
    default:
      return QOS_CLASS_UNSPECIFIED;
  }
}

DispatchQueueRef makeWorkQueue(const std::string& name, NSQualityOfService qos) {
  return dispatch_queue_create(name, dispatch_queue_attr_make_with_qos_class(
                                         DISPATCH_QUEUE_CONCURRENT, dispatchClass(qos), 0));
}

}  // namespace

// Scheduling lives here, apart from the queue object: operations still held keep it alive
// (keepAlive) after the queue itself is gone, so that everything added gets to finish.
struct NSOperationQueue::State {
  struct Entry {
    NSOperationRef op;
    NSKeyValueObservable::ObserverToken finishedToken, readyToken;
    bool async = false;  // holds its slot until it announces "isFinished"
    bool started = false;
  };

  std::mutex mu;
  std::condition_variable idle;
  std::string name;
  int64_t width = NSOperationQueueDefaultMaxConcurrentOperationCount;
  NSQualityOfService qos = NSQualityOfServiceDefault;
  bool main = false;
  DispatchQueueRef work;             // where start() runs, except on the main queue
  std::list<Entry> entries;          // added, not yet finished, in the order added
  int64_t running = 0;               // entries holding a slot
  std::shared_ptr<State> keepAlive;  // this state, while entries is not empty

  bool hasRoomLocked() const { return width < 0 || running < width; }

  // Collects, under the lock, up to `limit` operations not started yet, in the order added,
  // leaving out those in `skip` (found not ready in this round).
  std::vector<NSOperationRef> waitingLocked(size_t limit,
                                            const std::vector<const NSOperation*>& skip) const {
    std::vector<NSOperationRef> waiting;
    for (const auto& e : entries) {
      if (waiting.size() >= limit) break;
      if (e.started) continue;
      if (std::find(skip.begin(), skip.end(), e.op.get()) != skip.end()) continue;
      waiting.push_back(e.op);
    }
    return waiting;
  }

  // Starts as many waiting, ready operations as there are free slots, in the order added.
  // Asks the waiting operations isReady() without holding the queue's lock, and looks at no
  // more of them than it has slots for unless some are not ready (a long backlog costs each
  // round nothing). With `next`, the first operation to start is handed back there for the
  // caller to run on its own thread instead of being dispatched.
  static void schedule(const std::shared_ptr<State>& s, NSOperationRef* next = nullptr) {
    std::vector<const NSOperation*> notReady;
    for (;;) {
      std::vector<NSOperationRef> waiting;
      size_t free;
      {
        std::lock_guard<std::mutex> lock(s->mu);
        if (!s->hasRoomLocked()) return;
        free = s->width < 0 ? SIZE_MAX : size_t(s->width - s->running);
        waiting = s->waitingLocked(free, notReady);
      }
      if (waiting.empty()) return;
      const bool more = waiting.size() >= free;
      std::vector<NSOperationRef> ready;
      for (auto& op : waiting) {
        if (op->isCancelled() || op->isReady())
          ready.push_back(std::move(op));
        else
          notReady.push_back(op.get());
      }
      if (!ready.empty()) start(s, ready, next);
      next = nullptr;
      // Some of those looked at were not ready: look further, past them, for others.
      if (!more || ready.size() == waiting.size()) return;
    }
  }

  // Marks the ready operations started while there is room and runs them on the queue's
  // target (the first one through `next` when given).
  static void start(const std::shared_ptr<State>& s, std::vector<NSOperationRef>& ready,
                    NSOperationRef* next) {
    std::vector<NSOperationRef> starting;
    DispatchQueueRef target;
    {
      std::lock_guard<std::mutex> lock(s->mu);
      target = s->main ? dispatch_get_main_queue() : s->work;
      for (auto& op : ready) {
        if (!s->hasRoomLocked()) break;
        auto it = s->find(op.get());
        if (it == s->entries.end() || it->started) continue;
        it->started = true;
        ++s->running;
        starting.push_back(std::move(op));
      }
    }
    for (auto& op : starting) {
      if (next && !*next) {
        *next = std::move(op);
        continue;
      }
      dispatch_async(target, [s, op] { run(s, op); });
    }
  }

  // Runs a started operation on the queue's target, then hands its slot on. Off the main queue
  // the slot's next operation runs right here, as a dispatch queue drains its items, instead
  // of waiting for another worker to be woken for it; the main queue takes one operation per
  // turn so that other main-queue work keeps its place between them.
  static void run(const std::shared_ptr<State>& s, NSOperationRef op) {
    while (op) {
      const void* saved = tCurrentQueue;
      tCurrentQueue = s.get();
      op->start();
      tCurrentQueue = saved;
      NSOperationRef next;
      // An asynchronous operation gives its slot back when it announces "isFinished".
      release(s, op.get(), true, op->isFinished(), s->main ? nullptr : &next);
      op = std::move(next);
    }
  }

  // Drops an operation and hands its slot on: a synchronous one once its start() returned
  // (`afterStart`), an asynchronous one once it is finished. `afterStart` false means inside
  // the operation's own "isFinished" notice: the scheduling, which asks other operations, is
  // deferred to a worker. `next` as in schedule().
  static void release(const std::shared_ptr<State>& s, const NSOperation* op, bool afterStart,
                      bool finished, NSOperationRef* next = nullptr) {
    std::shared_ptr<State> keep;
    Entry gone;
    {
      std::lock_guard<std::mutex> lock(s->mu);
      auto it = s->find(op);
      if (it == s->entries.end() || (it->async && !finished)) return;
      if (it->started) --s->running;
      gone = std::move(*it);
      s->entries.erase(it);
      if (s->entries.empty()) {
        keep = std::move(s->keepAlive);
        s->idle.notify_all();
      }
    }
    if (gone.finishedToken) gone.op->removeObserverForKeyPath(gone.finishedToken);
    gone.op->removeObserverForKeyPath(gone.readyToken);
    if (afterStart) {
      schedule(s, next);
    } else {
      dispatch_async(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT),
                     [s] { schedule(s); });
    }
  }

  std::list<Entry>::iterator find(const NSOperation* op) {
    for (auto it = entries.begin(); it != entries.end(); ++it)
      if (it->op.get() == op) return it;
    return entries.end();
  }
};

NSOperationQueue::NSOperationQueue() : state_(std::make_shared<State>()) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "NSOperationQueue %p", static_cast<const void*>(this));
  state_->name = buf;
  state_->work = makeWorkQueue(state_->name, state_->qos);
}

NSOperationQueue::~NSOperationQueue() = default;

std::shared_ptr<NSOperationQueue> NSOperationQueue::mainQueue() {
  static auto* q = [] {
    auto p = new std::shared_ptr<NSOperationQueue>(std::make_shared<NSOperationQueue>());
    (*p)->main_ = true;
    (*p)->state_->main = true;
    (*p)->state_->name = "NSOperationQueue Main Queue";
    (*p)->state_->width = 1;
    (*p)->state_->qos = NSQualityOfServiceUserInteractive;
    return p;
  }();
  return *q;
}

std::string NSOperationQueue::description() const {
  char buf[64];
  std::snprintf(buf, sizeof buf, "<NSOperationQueue: %p>", static_cast<const void*>(this));
  return std::string(buf) + "{name = '" + name() + "'}";
}

std::string NSOperationQueue::name() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->name;
}

void NSOperationQueue::setName(std::string name) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->name = std::move(name);
}

int64_t NSOperationQueue::maxConcurrentOperationCount() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->width;
}

void NSOperationQueue::setMaxConcurrentOperationCount(int64_t count) {
  if (main_) return;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->width = count < 0 ? NSOperationQueueDefaultMaxConcurrentOperationCount : count;
  }
  State::schedule(state_);
}

NSQualityOfService NSOperationQueue::qualityOfService() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->qos;
}

void NSOperationQueue::setQualityOfService(NSQualityOfService qos) {
  if (main_) return;
  std::lock_guard<std::mutex> lock(state_->mu);
  if (state_->qos == qos) return;
  state_->qos = qos;
  state_->work = makeWorkQueue(state_->name, qos);
}

void NSOperationQueue::addOperationWithBlock(std::function<void()> block) {
  if (block) addOperation(NSBlockOperation::blockOperationWithBlock(std::move(block)));
}

void NSOperationQueue::addOperation(const NSOperationRef& operation) {
  if (!operation || operation->isFinished()) return;
  std::weak_ptr<State> weak = state_;
  const NSOperation* raw = operation.get();
  State::Entry entry;
  entry.op = operation;
  entry.async = operation->isAsynchronous();
  // Heard on the thread that changes the operation, maybe under the operation's own lock:
  // the queue only drops it and looks for other work later.
  if (entry.async) {
    entry.finishedToken = operation->addObserverForKeyPath(kNSOperationIsFinishedKey,
                                                           [weak, raw](const std::string&) {
                                                             if (auto s = weak.lock())
                                                               State::release(s, raw, false, true);
                                                           });
  }
  entry.readyToken =
      operation->addObserverForKeyPath(kNSOperationIsReadyKey, [weak](const std::string&) {
        if (auto s = weak.lock())
          dispatch_async(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT),
                         [s] { State::schedule(s); });
      });
  bool added = false;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    if (state_->find(raw) == state_->entries.end()) {
      state_->entries.push_back(std::move(entry));
      if (!state_->keepAlive) state_->keepAlive = state_;
      added = true;
    }
  }
  if (!added) {
    if (entry.finishedToken) operation->removeObserverForKeyPath(entry.finishedToken);
    operation->removeObserverForKeyPath(entry.readyToken);
    return;
  }
  State::schedule(state_);
}

void NSOperationQueue::cancelAllOperations() {
  std::vector<NSOperationRef> ops;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    for (const auto& e : state_->entries) ops.push_back(e.op);
  }
  for (auto& op : ops) op->cancel();
}

uint64_t NSOperationQueue::operationCount() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->entries.size();
}

void NSOperationQueue::waitUntilAllOperationsAreFinished() {
  // The main queue's operations run on the main thread, and an operation of this queue is one
  // of those waited for: either wait would never end.
  if (main_ && dispatch_is_main_thread()) {
    dispatch_internal::reportMisuse(
        "waitUntilAllOperationsAreFinished called on the main operation queue from the main "
        "thread; not waited");
    return;
  }
  if (isCurrent()) {
    dispatch_internal::reportMisuse(
        "waitUntilAllOperationsAreFinished called from an operation "
        "of queue \"" +
        name() + "\"; not waited");
    return;
  }
  std::unique_lock<std::mutex> lock(state_->mu);
  state_->idle.wait(lock, [&] { return state_->entries.empty(); });
}

bool NSOperationQueue::isCurrent() const { return tCurrentQueue == state_.get(); }

}  // namespace plat
