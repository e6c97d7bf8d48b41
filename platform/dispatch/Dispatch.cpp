#include "platform/dispatch/Dispatch.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <set>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/dispatch/DispatchInternal.h"
#include "platform/foundation/NSLog.h"

namespace plat {

using namespace dispatch_internal;

// ---- Worker pool ----------------------------------------------------------------------------

namespace {

thread_local bool tIsWorker = false;

// A pool of detached worker threads shared by every queue. It keeps about `softLimit`
// threads running; threads blocked in dispatch waits do not count, so the pool grows
// while workers wait on each other. Waits the pool cannot see (a plain condition variable, a
// blocking call) are caught by a monitor: while jobs wait and no worker has taken one for a
// whole interval, it adds a worker. Idle workers leave after a while.
class Pool {
 public:
  Pool() : softLimit_(std::max(4, static_cast<int>(std::thread::hardware_concurrency()))) {}

  void submit(std::function<void()> job) {
    std::lock_guard<std::mutex> lock(mu_);
    jobs_.push_back(std::move(job));
    queued_.store(jobs_.size(), std::memory_order_relaxed);
    if (idle_ > 0) cv_.notify_one();
    if (static_cast<int>(jobs_.size()) > idle_) maybeSpawnLocked();
    // Only a pool at its limit can stall; below it, the line above added a worker. Idle
    // workers don't count: those already woken for earlier jobs are still counted idle until
    // they run, and may all end up blocked where the pool cannot see.
    if (monitorAsleep_ && threads_ - blocked_ >= softLimit_) {
      monitorAsleep_ = false;
      monitorCv_.notify_one();
    }
  }

  void beginBlocking() {
    std::lock_guard<std::mutex> lock(mu_);
    ++blocked_;
    if (static_cast<int>(jobs_.size()) > idle_) maybeSpawnLocked();
  }

  void endBlocking() {
    std::lock_guard<std::mutex> lock(mu_);
    --blocked_;
  }

  // True when jobs wait for a worker.
  bool hasBacklog() const { return queued_.load(std::memory_order_relaxed) > 0; }

 private:
  void maybeSpawnLocked() {
    if (threads_ - blocked_ >= softLimit_ || threads_ >= kHardLimit) return;
    ++threads_;
    std::thread([this] { workerMain(); }).detach();
    if (!monitorStarted_) {
      monitorStarted_ = true;
      std::thread([this] { monitorMain(); }).detach();
    }
  }

  void monitorMain() {
    std::unique_lock<std::mutex> lock(mu_);
    uint64_t lastTaken = taken_;
    for (;;) {
      if (jobs_.empty() && taken_ == lastTaken) {
        // Quiet for a whole interval: sleep until a job finds the pool full and busy.
        monitorAsleep_ = true;
        monitorCv_.wait(lock, [&] { return !monitorAsleep_; });
        lastTaken = taken_;
        continue;
      }
      lastTaken = taken_;
      monitorCv_.wait_for(lock, kStallInterval);
      if (!jobs_.empty() && idle_ == 0 && taken_ == lastTaken && threads_ < kHardLimit) {
        ++threads_;
        std::thread([this] { workerMain(); }).detach();
      }
    }
  }

  void workerMain() {
    tIsWorker = true;
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      if (!jobs_.empty()) {
        auto job = std::move(jobs_.front());
        jobs_.pop_front();
        queued_.store(jobs_.size(), std::memory_order_relaxed);
        ++taken_;
        lock.unlock();
        forgetCurrentThreadName();  // the last job may have renamed the thread
        job();
        job = nullptr;
        lock.lock();
        continue;
      }
      ++idle_;
      bool woke = cv_.wait_for(lock, std::chrono::seconds(20), [&] { return !jobs_.empty(); });
      --idle_;
      if (!woke) {
        --threads_;
        return;
      }
    }
  }

  static constexpr int kHardLimit = 512;
  static constexpr std::chrono::milliseconds kStallInterval{50};
  const int softLimit_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::condition_variable monitorCv_;
  bool monitorStarted_ = false;
  bool monitorAsleep_ = false;
  uint64_t taken_ = 0;  // jobs handed to workers so far
  std::deque<std::function<void()>> jobs_;
  std::atomic<size_t> queued_{0};  // jobs_.size(), readable without the lock
  int threads_ = 0;
  int idle_ = 0;
  int blocked_ = 0;
};

Pool& pool() {
  static Pool* p = new Pool;
  return *p;
}

std::atomic<int64_t> gOutstanding{0};
// Pool workers currently blocked in a dispatch wait (sync, group, semaphore, apply).
std::atomic<int64_t> gBlockedWorkers{0};

void workDone() {
  if (gOutstanding.fetch_sub(1) == 1) wakeMain();
}

// Counted items that a serial drain on this thread has run but not yet taken off
// gOutstanding. A drain settles them when it ends rather than item by item, so that the
// producers and the drain don't contend on the counter for every item; it is settled before
// the thread blocks in a dispatch wait too (BlockingScope), so the count of runnable work
// stays true for whoever waits for the pool to go idle.
thread_local int64_t tUnsettledDone = 0;

void settleDone() {
  int64_t n = tUnsettledDone;
  if (n == 0) return;
  tUnsettledDone = 0;
  if (gOutstanding.fetch_sub(n) == n) wakeMain();
}

std::mutex& misuseMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}
std::function<void(const std::string&)>& misuseHandler() {
  static auto* h = new std::function<void(const std::string&)>;
  return *h;
}

}  // namespace

namespace dispatch_internal {

namespace {
std::mutex& deadlineMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}
std::multiset<dispatch_time_t>& blockedDeadlines() {
  static auto* s = new std::multiset<dispatch_time_t>;
  return *s;
}
}  // namespace

std::atomic<bool> gScopeEndHookSet{false};
std::mutex& scopeEndHookMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}
std::function<void()>& scopeEndHook() {
  static auto* h = new std::function<void()>;
  return *h;
}

void setBlockingScopeEndHookForTesting(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(scopeEndHookMutex());
  gScopeEndHookSet.store(static_cast<bool>(hook));
  scopeEndHook() = std::move(hook);
}

// A deadline past INT64_MAX nanoseconds is never reached: it counts as "forever".
BlockingScope::BlockingScope(dispatch_time_t deadline)
    : worker_(tIsWorker),
      deadline_(deadline > static_cast<uint64_t>(INT64_MAX) ? DISPATCH_TIME_FOREVER : deadline) {
  settleDone();
  if (worker_) {
    if (deadline_ != DISPATCH_TIME_FOREVER) {
      std::lock_guard<std::mutex> lock(deadlineMutex());
      blockedDeadlines().insert(deadline_);
    }
    pool().beginBlocking();
  }
}
BlockingScope::~BlockingScope() {
  if (worker_) {
    if (gScopeEndHookSet.load()) {
      std::function<void()> hook;
      {
        std::lock_guard<std::mutex> lock(scopeEndHookMutex());
        hook = scopeEndHook();
      }
      if (hook) hook();
    }
    pool().endBlocking();
    // Runnable again before the deadline leaves the set: a wait that has expired reads
    // either as expired or as runnable, never as idle.
    release();
    if (deadline_ != DISPATCH_TIME_FOREVER) {
      std::lock_guard<std::mutex> lock(deadlineMutex());
      auto& set = blockedDeadlines();
      set.erase(set.find(deadline_));
    }
    // Back to running work: let a waiting main loop re-check for idleness.
    wakeMain();
  }
}

void BlockingScope::block() {
  if (!worker_ || counted_) return;
  counted_ = true;
  gBlockedWorkers.fetch_add(1);
}

void BlockingScope::release() {
  if (!counted_) return;
  counted_ = false;
  gBlockedWorkers.fetch_sub(1);
}

bool blockedWaitExpired() {
  std::lock_guard<std::mutex> lock(deadlineMutex());
  auto& set = blockedDeadlines();
  return !set.empty() && static_cast<int64_t>(*set.begin()) <= Clock::nowNs();
}

int64_t outstandingWork() { return gOutstanding.load(); }

int64_t runnableWork() { return gOutstanding.load() - gBlockedWorkers.load(); }

namespace {
// The process id, read once and again in a forked child, so that the main-thread check
// below makes no system call.
std::atomic<pid_t> gProcessID{0};
void readProcessID() { gProcessID.store(getpid(), std::memory_order_relaxed); }
}  // namespace

bool isMainThread() {
  static const bool ready = [] {
    readProcessID();
    pthread_atfork(nullptr, nullptr, readProcessID);
    return true;
  }();
  (void)ready;
  // Each thread keeps its id, read again when the process id changed (after a fork the
  // forking thread is the child's main thread).
  thread_local pid_t tid = 0;
  thread_local pid_t tidProcess = 0;
  pid_t pid = gProcessID.load(std::memory_order_relaxed);
  if (tidProcess != pid) {
    tid = gettid();
    tidProcess = pid;
  }
  return tid == pid;
}

void reportMisuse(const std::string& message) {
  std::function<void(const std::string&)> h;
  {
    std::lock_guard<std::mutex> lock(misuseMutex());
    h = misuseHandler();
  }
  if (h) {
    h(message);
  } else {
    writeToStandardError("dispatch: " + message);
  }
}

}  // namespace dispatch_internal

void dispatch_set_misuse_handler(std::function<void(const std::string&)> handler) {
  std::lock_guard<std::mutex> lock(misuseMutex());
  misuseHandler() = std::move(handler);
}

// ---- Time -----------------------------------------------------------------------------------

dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta) {
  // Times past INT64_MAX nanoseconds are never reached: they count as "forever".
  if (when > static_cast<uint64_t>(INT64_MAX)) return DISPATCH_TIME_FOREVER;
  int64_t base = when == DISPATCH_TIME_NOW ? Clock::nowNs() : static_cast<int64_t>(when);
  int64_t r = addSaturating(base, delta);
  if (r == INT64_MAX) return DISPATCH_TIME_FOREVER;
  if (r <= 0) return Clock::nowNs();
  return static_cast<dispatch_time_t>(r);
}

dispatch_time_t dispatch_time_after_seconds(double seconds) {
  if (!(seconds > 0)) return static_cast<dispatch_time_t>(Clock::nowNs());
  if (seconds > 9e9) return DISPATCH_TIME_FOREVER;
  return dispatch_time(DISPATCH_TIME_NOW, static_cast<int64_t>(seconds * 1e9));
}

// ---- Deadline heap --------------------------------------------------------------------------

namespace {

// Pending deadlines of delayed work and timer sources. A thread fires them on the real
// clock; on a virtual clock they fire when the clock is moved (fireDue, or the thread after
// a clock change).
class DeadlineHeap {
 public:
  uint64_t schedule(int64_t deadline, std::function<void(int64_t)> fire) {
    std::lock_guard<std::mutex> lock(mu_);
    bool earliest = entries_.empty() || deadline < entries_.begin()->first.first;
    uint64_t token = seq_++;
    entries_.emplace(std::make_pair(deadline, token), std::move(fire));
    deadlineOf_.emplace(token, deadline);
    if (!started_) {
      started_ = true;
      std::thread([this] { threadMain(); }).detach();
    }
    if (earliest) cv_.notify_one();
    return token;
  }

  // Takes the entry out of the heap; the caller destroys what it held outside the heap's lock.
  std::function<void(int64_t)> unschedule(uint64_t token) {
    std::lock_guard<std::mutex> lock(mu_);
    auto at = deadlineOf_.find(token);
    if (at == deadlineOf_.end()) return nullptr;
    auto entry = entries_.find(std::make_pair(at->second, token));
    deadlineOf_.erase(at);
    if (entry == entries_.end()) return nullptr;
    std::function<void(int64_t)> f = std::move(entry->second);
    entries_.erase(entry);
    return f;
  }

  size_t size() {
    std::lock_guard<std::mutex> lock(mu_);
    return entries_.size();
  }

  void fireDue() {
    // One firer at a time, so that entries fire in deadline order.
    std::lock_guard<std::mutex> fireLock(fireMu_);
    for (;;) {
      std::vector<std::pair<int64_t, std::function<void(int64_t)>>> due;
      {
        std::shared_lock<std::shared_mutex> swap(clockSwapMutex());
        std::lock_guard<std::mutex> lock(mu_);
        int64_t now = Clock::nowNs();
        while (!entries_.empty() && entries_.begin()->first.first <= now) {
          due.emplace_back(entries_.begin()->first.first, std::move(entries_.begin()->second));
          deadlineOf_.erase(entries_.begin()->first.second);
          entries_.erase(entries_.begin());
        }
      }
      if (due.empty()) return;
      for (auto& [deadline, f] : due) f(deadline);
    }
  }

  int64_t next() {
    std::lock_guard<std::mutex> lock(mu_);
    return entries_.empty() ? INT64_MAX : entries_.begin()->first.first;
  }

  void wake() {
    std::lock_guard<std::mutex> lock(mu_);
    cv_.notify_one();
  }

  // Moves every deadline by `delta` (a clock swap keeps the time left to each deadline).
  void shift(int64_t delta) {
    std::lock_guard<std::mutex> lock(mu_);
    decltype(entries_) moved;
    for (auto& [key, f] : entries_) {
      // INT64_MAX is "never" and stays so; other deadlines stay at or after the origin.
      int64_t d = key.first == INT64_MAX ? INT64_MAX
                                         : std::max<int64_t>(0, addSaturating(key.first, delta));
      moved.emplace(std::make_pair(d, key.second), std::move(f));
      deadlineOf_[key.second] = d;
    }
    entries_.swap(moved);
    cv_.notify_one();
  }

 private:
  void threadMain() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      if (entries_.empty()) {
        cv_.wait(lock);
        continue;
      }
      auto clock = Clock::current();
      int64_t now = clock->nowNanoseconds();
      int64_t deadline = entries_.begin()->first.first;
      if (deadline <= now) {
        lock.unlock();
        fireDue();
        lock.lock();
        continue;
      }
      if (clock->isVirtual()) {
        cv_.wait_for(lock, std::chrono::milliseconds(100));
      } else {
        // At most an hour at a time: a deadline far in the future must not overflow the
        // condition variable's own time arithmetic.
        cv_.wait_for(lock, std::chrono::nanoseconds(std::min<int64_t>(deadline - now, kMaxWaitNs)));
      }
    }
  }

  std::mutex mu_;
  std::mutex fireMu_;
  std::condition_variable cv_;
  std::map<std::pair<int64_t, uint64_t>, std::function<void(int64_t)>> entries_;
  // The deadline of each pending entry by its token, so that an entry can be taken out early.
  std::unordered_map<uint64_t, int64_t> deadlineOf_;
  uint64_t seq_ = 1;  // 0 is no token
  bool started_ = false;
};

DeadlineHeap& heap() {
  static DeadlineHeap* h = new DeadlineHeap;
  return *h;
}

}  // namespace

namespace dispatch_internal {
uint64_t scheduleAt(int64_t deadlineNs, std::function<void(int64_t)> fire) {
  return heap().schedule(deadlineNs, std::move(fire));
}
std::function<void(int64_t)> unschedule(uint64_t token) {
  return token ? heap().unschedule(token) : nullptr;
}
size_t scheduledCountForTesting() { return heap().size(); }
void shiftDeadlines(int64_t deltaNs) { heap().shift(deltaNs); }
void fireDue() { heap().fireDue(); }
int64_t nextDeadline() { return heap().next(); }
void heapClockChanged() { heap().wake(); }
}  // namespace dispatch_internal

// ---- Queues ---------------------------------------------------------------------------------

// A dispatch_sync caller queued behind other work. Guarded by the queue's lock.
struct SyncWaiter {
  std::condition_variable cv;
  bool granted = false;
  BlockingScope* blocking = nullptr;  // set while the caller sleeps

  void grant() {
    granted = true;
    if (blocking) blocking->release();
    cv.notify_one();
  }

  // Sleeps until granted. Called with the lock taken again after `scope` was opened.
  void wait(std::unique_lock<std::mutex>& lock, BlockingScope& scope) {
    if (granted) return;
    blocking = &scope;
    scope.block();
    cv.wait(lock, [&] { return granted; });
  }
};

struct DispatchQueue::Impl {
  enum Kind { Serial, Concurrent, Main, Global };
  struct Item {
    Item() = default;
    Item(dispatch_block_t b, bool isBarrier, SyncWaiter* w, bool isCounted)
        : block(std::move(b)), waiter(w), barrier(isBarrier), counted(isCounted) {}
    dispatch_block_t block;
    SyncWaiter* waiter = nullptr;
    bool barrier = false;
    bool counted = false;
  };
  // A FIFO of items in one vector with a moving head. Taking items leaves their room in
  // place, so a queue filled and emptied over and over (its storage swapped between the
  // producers and the drain) allocates nothing once warmed up and frees nothing on another
  // thread. Room far beyond use for a while is given back (releaseRoomBeyond).
  class ItemQueue {
   public:
    bool empty() const { return head_ == items_.size(); }
    size_t size() const { return items_.size() - head_; }
    size_t capacity() const { return items_.capacity(); }
    Item& front() { return items_[head_]; }
    Item& back() { return items_.back(); }
    void push_back(Item&& item) { items_.push_back(std::move(item)); }
    void pop_front() {
      items_[head_].block = nullptr;  // whatever the block holds goes now
      if (++head_ == items_.size()) {
        items_.clear();
        head_ = 0;
      } else if (head_ >= kCompactAt && 2 * head_ >= items_.size()) {
        // Taken from while filled and never empty: drop the taken part so it cannot grow
        // without end.
        items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
      }
    }
    void pop_back() {
      items_.pop_back();
      if (head_ == items_.size()) {
        items_.clear();
        head_ = 0;
      }
    }
    void push_front(Item&& item) {
      if (head_ > 0) {
        items_[--head_] = std::move(item);
      } else {
        items_.insert(items_.begin(), std::move(item));
      }
    }
    void swap(ItemQueue& other) noexcept {
      items_.swap(other.items_);
      std::swap(head_, other.head_);
      std::swap(roomNeeded_, other.roomNeeded_);
    }
    // Frees the room of an empty queue once it has stayed more than four times `use` (the
    // items the queue holds at a time lately) for a while: a burst's room serves the bursts
    // that follow it, and goes when they stop.
    void releaseRoomBeyond(size_t use) {
      if (!empty() || items_.capacity() <= kKeptRoom) return;
      auto now = std::chrono::steady_clock::now();
      if (items_.capacity() / 4 <= use || roomNeeded_ == std::chrono::steady_clock::time_point()) {
        roomNeeded_ = now;  // needed now, or grown since the last look
      } else if (now - roomNeeded_ > kRoomKeptFor) {
        std::vector<Item>().swap(items_);
        head_ = 0;
        roomNeeded_ = {};
      }
    }

   private:
    static constexpr size_t kCompactAt = 64;
    static constexpr size_t kKeptRoom = 1024;
    static constexpr std::chrono::milliseconds kRoomKeptFor{500};
    std::vector<Item> items_;
    size_t head_ = 0;
    std::chrono::steady_clock::time_point roomNeeded_;  // when the room was last needed
  };
  struct Specific {
    void* context;
    void (*destructor)(void*);
  };

  Kind kind = Serial;
  std::string label;
  qos_class_t qos = QOS_CLASS_UNSPECIFIED;
  int relativePriority = 0;

  // What producers write and what the drain writes for every item lie on cache lines of their
  // own, so that the two sides do not take a line from each other at every item.
  alignas(64) std::mutex mu;
  ItemQueue items;
  // Serial: the items the drain has taken and not yet run. Only the drain touches it; it is
  // empty whenever no drain runs, and keeps its room for the next turn.
  alignas(64) ItemQueue drainBatch;
  // Mirrors !runnable() for lock-free checks between items.
  std::atomic<bool> stopped{false};
  // The main queue's items: plain blocks (the main queue has no barriers, sync waiters or
  // counted work), in a vector swapped with the main thread's batch on each turn. Both keep
  // their room, so queueing and running allocate nothing once warmed up.
  alignas(64) std::vector<dispatch_block_t> mainItems;
  int suspendCount = 0;
  bool inactive = false;
  bool draining = false;  // serial: a drain is scheduled or running, or a sync caller owns it
  int syncWaiters = 0;    // serial: sync callers queued in `items`
  int running = 0;        // concurrent: non-barrier items running
  bool barrierRunning = false;
  DispatchQueueRef target;  // custom queues only; null means the default global queue
  std::unordered_map<const void*, Specific> specifics;

  bool runnable() const { return suspendCount == 0 && !inactive; }
  void updateStopped() { stopped.store(!runnable()); }

  ~Impl() {
    for (auto& [key, s] : specifics) {
      if (s.destructor && s.context) s.destructor(s.context);
    }
  }
};

struct DispatchInternal {
  static DispatchQueueRef make(std::unique_ptr<DispatchQueue::Impl> impl) {
    return DispatchQueueRef(new DispatchQueue(std::move(impl)));
  }
};

DispatchQueue::DispatchQueue(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
DispatchQueue::~DispatchQueue() = default;
const std::string& DispatchQueue::label() const { return impl_->label; }
bool DispatchQueue::isConcurrent() const {
  return impl_->kind == Impl::Concurrent || impl_->kind == Impl::Global;
}
bool DispatchQueue::isMain() const { return impl_->kind == Impl::Main; }
qos_class_t DispatchQueue::qos() const { return impl_->qos; }

namespace {

using QImpl = DispatchQueue::Impl;
using Item = QImpl::Item;

// The queues the calling thread is running, outermost first.
thread_local std::vector<QImpl*> tStack;

struct StackScope {
  explicit StackScope(QImpl* q) { tStack.push_back(q); }
  ~StackScope() { tStack.pop_back(); }
};

DispatchQueueRef makeQueue(QImpl::Kind kind, std::string label, qos_class_t qos) {
  auto impl = std::make_unique<QImpl>();
  impl->kind = kind;
  impl->label = std::move(label);
  impl->qos = qos;
  return DispatchInternal::make(std::move(impl));
}

struct Globals {
  DispatchQueueRef main =
      makeQueue(QImpl::Main, "com.apple.main-thread", QOS_CLASS_USER_INTERACTIVE);
  DispatchQueueRef interactive =
      makeQueue(QImpl::Global, "com.apple.root.user-interactive-qos", QOS_CLASS_USER_INTERACTIVE);
  DispatchQueueRef initiated =
      makeQueue(QImpl::Global, "com.apple.root.user-initiated-qos", QOS_CLASS_USER_INITIATED);
  DispatchQueueRef def = makeQueue(QImpl::Global, "com.apple.root.default-qos", QOS_CLASS_DEFAULT);
  DispatchQueueRef utility =
      makeQueue(QImpl::Global, "com.apple.root.utility-qos", QOS_CLASS_UTILITY);
  DispatchQueueRef background =
      makeQueue(QImpl::Global, "com.apple.root.background-qos", QOS_CLASS_BACKGROUND);
};

Globals& globals() {
  static Globals* g = new Globals;
  return *g;
}

DispatchQueueRef globalForQos(qos_class_t qos) {
  Globals& g = globals();
  switch (qos) {
    case QOS_CLASS_USER_INTERACTIVE:
      return g.interactive;
    case QOS_CLASS_USER_INITIATED:
      return g.initiated;
    case QOS_CLASS_UTILITY:
      return g.utility;
    case QOS_CLASS_BACKGROUND:
      return g.background;
    default:
      return g.def;
  }
}

DispatchQueueRef targetOf(QImpl& q) {
  std::lock_guard<std::mutex> lock(q.mu);
  return q.target;
}

void enqueue(const DispatchQueueRef& q, Item item);

// Runs `job` through the queue's target: the pool for a global target, otherwise as an
// uncounted item of the target queue.
void submitToTarget(QImpl& q, std::function<void()> job) {
  DispatchQueueRef t = targetOf(q);
  if (!t || t->impl().kind == QImpl::Global) {
    pool().submit(std::move(job));
    return;
  }
  enqueue(t, Item{std::move(job), false, nullptr, false});
}

void runItem(Item& item) {
  if (item.block) item.block();
  item.block = nullptr;
  if (item.counted) workDone();
}

void scheduleDrain(const DispatchQueueRef& q);

// Runs a serial queue's items in order. Items are taken in batches (everything queued, when
// no sync caller waits among them) so that producers and the drain meet on the queue's lock
// rarely. Ownership passes to a sync caller when its turn comes.
void drainSerial(const DispatchQueueRef& qref) {
  // Settles the items this drain ran once it ends, with no lock held.
  struct Settle {
    ~Settle() { settleDone(); }
  } settle;
  QImpl& q = qref->impl();
  StackScope scope(&q);
  // On the pool the drain keeps the worker while no other job waits for one; on a queue of
  // its own target it hands the target back every so often.
  DispatchQueueRef t = targetOf(q);
  const bool onPool = !t || t->impl().kind == QImpl::Global;
  constexpr size_t kBatch = 32;
  QImpl::ItemQueue& batch = q.drainBatch;
  size_t lastTaken = 0;
  int ran = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(q.mu);
      if (q.items.empty() || !q.runnable()) {
        q.draining = false;
        return;
      }
      if (ran >= 64 && (!onPool || pool().hasBacklog())) {
        // Give other work a turn; this queue stays owned by the new drain.
        lock.unlock();
        scheduleDrain(qref);
        return;
      }
      if (q.items.front().waiter) {
        SyncWaiter* waiter = q.items.front().waiter;
        q.items.pop_front();
        --q.syncWaiters;
        waiter->grant();
        return;
      }
      if (q.syncWaiters == 0) {
        batch.releaseRoomBeyond(std::max(lastTaken, q.items.size()));
        batch.swap(q.items);
      } else {
        while (batch.size() < kBatch && !q.items.front().waiter) {
          batch.push_back(std::move(q.items.front()));
          q.items.pop_front();
        }
      }
    }
    lastTaken = batch.size();
    while (!batch.empty()) {
      Item item = std::move(batch.front());
      batch.pop_front();
      if (item.block) item.block();
      item.block = nullptr;
      if (item.counted) ++tUnsettledDone;
      ++ran;
      if (!batch.empty() && q.stopped.load()) {
        // Suspended by an item: the rest waits, ahead of anything queued meanwhile.
        std::lock_guard<std::mutex> lock(q.mu);
        while (!batch.empty()) {
          q.items.push_front(std::move(batch.back()));
          batch.pop_back();
        }
      }
    }
  }
}

void scheduleDrain(const DispatchQueueRef& q) {
  submitToTarget(q->impl(), [q] { drainSerial(q); });
}

void pumpConcurrent(const DispatchQueueRef& qref, std::unique_lock<std::mutex>& lock);

void finishConcurrent(const DispatchQueueRef& qref, bool barrier) {
  QImpl& q = qref->impl();
  std::unique_lock<std::mutex> lock(q.mu);
  if (barrier) {
    q.barrierRunning = false;
  } else {
    --q.running;
  }
  pumpConcurrent(qref, lock);
}

// Starts what may start on a concurrent queue. Called with the lock held; releases it.
void pumpConcurrent(const DispatchQueueRef& qref, std::unique_lock<std::mutex>& lock) {
  QImpl& q = qref->impl();
  std::vector<std::function<void()>> start;
  while (q.runnable() && !q.items.empty() && !q.barrierRunning) {
    Item& front = q.items.front();
    bool barrier = front.barrier;
    if (barrier && q.running > 0) break;
    Item item = std::move(front);
    q.items.pop_front();
    if (barrier) {
      q.barrierRunning = true;
    } else {
      ++q.running;
    }
    if (item.waiter) {
      item.waiter->grant();
    } else {
      auto shared = std::make_shared<Item>(std::move(item));
      start.push_back([qref, shared, barrier] {
        {
          StackScope scope(&qref->impl());
          runItem(*shared);
        }
        finishConcurrent(qref, barrier);
      });
    }
    if (barrier) break;
  }
  lock.unlock();
  for (auto& job : start) submitToTarget(q, std::move(job));
}

void enqueueMain(QImpl& q, dispatch_block_t&& block) {
  {
    std::lock_guard<std::mutex> lock(q.mu);
    q.mainItems.push_back(std::move(block));
  }
  wakeMain();
}

void enqueue(const DispatchQueueRef& qref, Item item) {
  QImpl& q = qref->impl();
  switch (q.kind) {
    case QImpl::Main:
      // Only the block is kept: main-queue work is never counted (see dispatch_async) and
      // never a barrier or a sync waiter.
      enqueueMain(q, std::move(item.block));
      return;
    case QImpl::Global: {
      auto shared = std::make_shared<Item>(std::move(item));
      pool().submit([qref, shared] {
        StackScope scope(&qref->impl());
        runItem(*shared);
      });
      return;
    }
    case QImpl::Serial: {
      bool start = false;
      {
        std::lock_guard<std::mutex> lock(q.mu);
        q.items.push_back(std::move(item));
        if (!q.draining && q.runnable()) start = q.draining = true;
      }
      if (start) scheduleDrain(qref);
      return;
    }
    case QImpl::Concurrent: {
      std::unique_lock<std::mutex> lock(q.mu);
      q.items.push_back(std::move(item));
      pumpConcurrent(qref, lock);
      return;
    }
  }
}

// Restarts a custom queue after it became runnable again.
void restart(const DispatchQueueRef& qref) {
  QImpl& q = qref->impl();
  if (q.kind == QImpl::Serial) {
    bool start = false;
    {
      std::lock_guard<std::mutex> lock(q.mu);
      if (!q.draining && q.runnable() && !q.items.empty()) start = q.draining = true;
    }
    if (start) scheduleDrain(qref);
  } else if (q.kind == QImpl::Concurrent) {
    std::unique_lock<std::mutex> lock(q.mu);
    pumpConcurrent(qref, lock);
  } else if (q.kind == QImpl::Main) {
    wakeMain();
  }
}

bool onStack(const QImpl* q) { return std::find(tStack.begin(), tStack.end(), q) != tStack.end(); }

// True when waiting for `q` from this thread could never end: the caller runs on `q` or on
// a serial queue of its target chain, or runs a barrier of a concurrent queue of the chain
// (or is the main thread and the chain reaches main).
bool syncWouldDeadlock(const DispatchQueueRef& qref, bool barrier) {
  bool first = true;
  for (DispatchQueueRef c = qref; c; c = targetOf(c->impl())) {
    QImpl& ci = c->impl();
    if (ci.kind == QImpl::Main) return isMainThread();
    if (ci.kind == QImpl::Serial && onStack(&ci)) return true;
    if (ci.kind == QImpl::Concurrent && onStack(&ci)) {
      if (first && barrier) return true;
      // Nothing else runs on a concurrent queue while its barrier does: a caller on the
      // queue with a barrier running is that barrier.
      std::lock_guard<std::mutex> lock(ci.mu);
      if (ci.barrierRunning) return true;
    }
    first = false;
  }
  return false;
}

void syncRun(const DispatchQueueRef& qref, const dispatch_block_t& block, bool barrier);

// Runs `block` on the calling thread while owning the queue's target chain.
void runOwned(const DispatchQueueRef& qref, const dispatch_block_t& block) {
  DispatchQueueRef t = targetOf(qref->impl());
  auto body = [&] {
    StackScope scope(&qref->impl());
    block();
  };
  if (t && t->impl().kind != QImpl::Global) {
    syncRun(t, body, false);
  } else {
    body();
  }
}

void syncRun(const DispatchQueueRef& qref, const dispatch_block_t& block, bool barrier) {
  QImpl& q = qref->impl();
  switch (q.kind) {
    case QImpl::Global: {
      StackScope scope(&q);
      block();
      return;
    }
    case QImpl::Main: {
      struct Done {
        std::mutex mu;
        std::condition_variable cv;
        bool done = false;
        BlockingScope* blocking = nullptr;  // set while the caller sleeps
      };
      auto done = std::make_shared<Done>();
      enqueue(qref, Item{[&block, done] {
                           block();
                           std::lock_guard<std::mutex> lock(done->mu);
                           done->done = true;
                           if (done->blocking) done->blocking->release();
                           done->cv.notify_all();
                         },
                         false, nullptr, false});
      BlockingScope blocking;
      std::unique_lock<std::mutex> lock(done->mu);
      if (done->done) return;
      done->blocking = &blocking;
      blocking.block();
      done->cv.wait(lock, [&] { return done->done; });
      return;
    }
    case QImpl::Serial: {
      std::unique_lock<std::mutex> lock(q.mu);
      if (!q.draining && q.items.empty() && q.runnable()) {
        q.draining = true;
        lock.unlock();
      } else {
        SyncWaiter waiter;
        q.items.push_back(Item{nullptr, false, &waiter, false});
        ++q.syncWaiters;
        lock.unlock();
        BlockingScope blocking;
        lock.lock();
        waiter.wait(lock, blocking);
        lock.unlock();  // before the scope ends
      }
      runOwned(qref, block);
      lock.lock();
      if (!q.items.empty() && q.runnable()) {
        lock.unlock();
        scheduleDrain(qref);  // keeps draining == true
      } else {
        q.draining = false;
      }
      return;
    }
    case QImpl::Concurrent: {
      std::unique_lock<std::mutex> lock(q.mu);
      bool free = q.items.empty() && q.runnable() && !q.barrierRunning;
      if (free && !barrier) {
        ++q.running;
        lock.unlock();
      } else if (free && barrier && q.running == 0) {
        q.barrierRunning = true;
        lock.unlock();
      } else {
        SyncWaiter waiter;
        q.items.push_back(Item{nullptr, barrier, &waiter, false});
        lock.unlock();
        BlockingScope blocking;
        lock.lock();
        waiter.wait(lock, blocking);
        lock.unlock();  // before the scope ends
      }
      runOwned(qref, block);
      finishConcurrent(qref, barrier);
      return;
    }
  }
}

QImpl* currentQueueImpl() {
  if (!tStack.empty()) return tStack.back();
  if (isMainThread()) return &globals().main->impl();
  return nullptr;
}

}  // namespace

dispatch_queue_attr_t dispatch_queue_attr_make_with_qos_class(dispatch_queue_attr_t attr,
                                                              qos_class_t qos,
                                                              int relativePriority) {
  attr.qos = qos;
  attr.relativePriority = relativePriority;
  return attr;
}

dispatch_queue_attr_t dispatch_queue_attr_make_initially_inactive(dispatch_queue_attr_t attr) {
  attr.initiallyInactive = true;
  return attr;
}

DispatchQueueRef dispatch_queue_create(const std::string& label, dispatch_queue_attr_t attr) {
  auto q = makeQueue(attr.concurrent ? QImpl::Concurrent : QImpl::Serial, label, attr.qos);
  q->impl().relativePriority = attr.relativePriority;
  q->impl().inactive = attr.initiallyInactive;
  q->impl().updateStopped();
  if (attr.qos != QOS_CLASS_UNSPECIFIED) q->impl().target = globalForQos(attr.qos);
  return q;
}

DispatchQueueRef dispatch_get_main_queue() { return globals().main; }

DispatchQueueRef dispatch_get_global_queue(long identifier, unsigned long) {
  switch (identifier) {
    case DISPATCH_QUEUE_PRIORITY_HIGH:
      return globals().initiated;
    case DISPATCH_QUEUE_PRIORITY_LOW:
      return globals().utility;
    case DISPATCH_QUEUE_PRIORITY_BACKGROUND:
      return globals().background;
    case QOS_CLASS_USER_INTERACTIVE:
    case QOS_CLASS_USER_INITIATED:
    case QOS_CLASS_UTILITY:
    case QOS_CLASS_BACKGROUND:
      return globalForQos(static_cast<qos_class_t>(identifier));
    default:
      return globals().def;
  }
}

std::string dispatch_queue_get_label(const DispatchQueueRef& queue) {
  if (queue) return queue->impl().label;
  return dispatch_current_queue_label_ref();
}

const std::string& dispatch_current_queue_label_ref() {
  QImpl* q = currentQueueImpl();
  return q ? q->label : globals().def->impl().label;
}

qos_class_t dispatch_queue_get_qos_class(const DispatchQueueRef& queue, int* relativePriority) {
  if (!queue) return QOS_CLASS_UNSPECIFIED;
  if (relativePriority) *relativePriority = queue->impl().relativePriority;
  return queue->impl().qos;
}

qos_class_t qos_class_main() { return QOS_CLASS_USER_INTERACTIVE; }

qos_class_t qos_class_self() {
  for (auto it = tStack.rbegin(); it != tStack.rend(); ++it) {
    // The innermost queue with a class of its own, else its target chain.
    QImpl* q = *it;
    while (q) {
      if (q->qos != QOS_CLASS_UNSPECIFIED) return q->qos;
      DispatchQueueRef t;
      {
        std::lock_guard<std::mutex> lock(q->mu);
        t = q->target;
      }
      q = t ? &t->impl() : nullptr;
    }
    return QOS_CLASS_DEFAULT;
  }
  return isMainThread() ? QOS_CLASS_USER_INTERACTIVE : QOS_CLASS_DEFAULT;
}

void dispatch_set_target_queue(const DispatchQueueRef& queue, const DispatchQueueRef& target) {
  if (!queue) return;
  QImpl& q = queue->impl();
  if (q.kind == QImpl::Main || q.kind == QImpl::Global) {
    reportMisuse("dispatch_set_target_queue: the main and global queues cannot be retargeted");
    return;
  }
  for (DispatchQueueRef c = target; c; c = targetOf(c->impl())) {
    if (c == queue) {
      reportMisuse("dispatch_set_target_queue: target chain of \"" + q.label + "\" would loop");
      return;
    }
  }
  std::lock_guard<std::mutex> lock(q.mu);
  q.target = target;
}

void dispatch_async(const DispatchQueueRef& queue, dispatch_block_t block) {
  if (!queue || !block) return;
  if (queue->impl().kind == QImpl::Main) {
    enqueueMain(queue->impl(), std::move(block));  // main-queue work is not counted
    return;
  }
  gOutstanding.fetch_add(1);
  enqueue(queue, Item{std::move(block), false, nullptr, true});
}

void dispatch_barrier_async(const DispatchQueueRef& queue, dispatch_block_t block) {
  if (!queue || !block) return;
  bool counted = !queue->isMain();
  if (counted) gOutstanding.fetch_add(1);
  bool barrier = queue->impl().kind == QImpl::Concurrent;
  enqueue(queue, Item{std::move(block), barrier, nullptr, counted});
}

void dispatch_sync(const DispatchQueueRef& queue, const dispatch_block_t& block) {
  if (!queue || !block) return;
  if (syncWouldDeadlock(queue, false)) {
    reportMisuse("dispatch_sync called on queue \"" + queue->label() +
                 "\" already owned by the current thread; block not run");
    return;
  }
  syncRun(queue, block, false);
}

void dispatch_barrier_sync(const DispatchQueueRef& queue, const dispatch_block_t& block) {
  if (!queue || !block) return;
  bool barrier = queue->impl().kind == QImpl::Concurrent;
  if (syncWouldDeadlock(queue, barrier)) {
    reportMisuse("dispatch_barrier_sync called on queue \"" + queue->label() +
                 "\" already owned by the current thread; block not run");
    return;
  }
  syncRun(queue, block, barrier);
}

void dispatch_after(dispatch_time_t when, const DispatchQueueRef& queue, dispatch_block_t block) {
  if (!queue || !block || when > static_cast<uint64_t>(INT64_MAX)) return;
  int64_t deadline = when == DISPATCH_TIME_NOW ? Clock::nowNs() : static_cast<int64_t>(when);
  if (deadline <= Clock::nowNs()) {
    dispatch_async(queue, std::move(block));
    return;
  }
  scheduleAt(deadline, [queue, block = std::move(block)](int64_t) mutable {
    dispatch_async(queue, std::move(block));
  });
}

void dispatch_after(double delaySeconds, const DispatchQueueRef& queue, dispatch_block_t block) {
  dispatch_after(dispatch_time_after_seconds(delaySeconds), queue, std::move(block));
}

void dispatch_apply(size_t iterations, const DispatchQueueRef& queue,
                    const std::function<void(size_t)>& block) {
  if (!queue || !block || iterations == 0) return;
  if (!queue->isConcurrent()) {
    dispatch_sync(queue, [&] {
      for (size_t i = 0; i < iterations; ++i) block(i);
    });
    return;
  }
  // Helpers claim indices until none are left. The caller waits for the calls, not for the
  // helpers: a helper that starts late (the queue is suspended, or held by a barrier the caller
  // runs in) finds nothing left and never touches `block`.
  struct Shared {
    std::atomic<size_t> next{0};
    std::mutex mu;
    std::condition_variable cv;
    size_t finished = 0;
    BlockingScope* blocking = nullptr;  // set while the caller sleeps
  };
  auto shared = std::make_shared<Shared>();
  auto work = [shared, iterations, &block] {
    size_t mine = 0;
    for (size_t i; (i = shared->next.fetch_add(1)) < iterations;) {
      block(i);
      ++mine;
    }
    if (mine == 0) return;
    std::lock_guard<std::mutex> lock(shared->mu);
    shared->finished += mine;
    if (shared->finished == iterations) {
      if (shared->blocking) shared->blocking->release();
      shared->cv.notify_all();
    }
  };
  size_t helpers =
      std::min<size_t>(iterations - 1, std::max(1u, std::thread::hardware_concurrency()) - 1);
  for (size_t h = 0; h < helpers; ++h) dispatch_async(queue, work);
  {
    StackScope scope(&queue->impl());
    work();
  }
  std::unique_lock<std::mutex> lock(shared->mu);
  if (shared->finished == iterations) return;
  lock.unlock();
  BlockingScope blocking;
  lock.lock();
  if (shared->finished != iterations) {
    shared->blocking = &blocking;
    blocking.block();
    shared->cv.wait(lock, [&] { return shared->finished == iterations; });
  }
  lock.unlock();  // before the scope ends
}

void dispatch_suspend(const DispatchQueueRef& queue) {
  if (!queue || queue->impl().kind == QImpl::Global) return;
  std::lock_guard<std::mutex> lock(queue->impl().mu);
  ++queue->impl().suspendCount;
  queue->impl().updateStopped();
}

void dispatch_resume(const DispatchQueueRef& queue) {
  if (!queue || queue->impl().kind == QImpl::Global) return;
  QImpl& q = queue->impl();
  bool over = false;
  {
    std::lock_guard<std::mutex> lock(q.mu);
    if (q.suspendCount > 0) {
      --q.suspendCount;
    } else if (q.inactive) {
      q.inactive = false;
    } else {
      over = true;
    }
    q.updateStopped();
  }
  if (over) {
    reportMisuse("over-resume of queue \"" + q.label + "\"; ignored");
    return;
  }
  restart(queue);
}

void dispatch_activate(const DispatchQueueRef& queue) {
  if (!queue) return;
  {
    std::lock_guard<std::mutex> lock(queue->impl().mu);
    queue->impl().inactive = false;
    queue->impl().updateStopped();
  }
  restart(queue);
}

void dispatch_queue_set_specific(const DispatchQueueRef& queue, const void* key, void* context,
                                 void (*destructor)(void*)) {
  if (!queue || !key) return;
  QImpl::Specific old{nullptr, nullptr};
  {
    QImpl& q = queue->impl();
    std::lock_guard<std::mutex> lock(q.mu);
    auto it = q.specifics.find(key);
    if (it != q.specifics.end()) {
      old = it->second;
      q.specifics.erase(it);
    }
    if (context) q.specifics[key] = QImpl::Specific{context, destructor};
  }
  if (old.destructor && old.context) old.destructor(old.context);
}

void* dispatch_queue_get_specific(const DispatchQueueRef& queue, const void* key) {
  if (!queue || !key) return nullptr;
  QImpl& q = queue->impl();
  std::lock_guard<std::mutex> lock(q.mu);
  auto it = q.specifics.find(key);
  return it == q.specifics.end() ? nullptr : it->second.context;
}

void* dispatch_get_specific(const void* key) {
  if (!key) return nullptr;
  QImpl* q = currentQueueImpl();
  DispatchQueueRef hold;
  while (q) {
    std::lock_guard<std::mutex> lock(q->mu);
    auto it = q->specifics.find(key);
    if (it != q->specifics.end()) return it->second.context;
    hold = q->target;
    q = hold ? &hold->impl() : nullptr;
  }
  return nullptr;
}

bool dispatch_is_main_thread() { return isMainThread(); }

namespace dispatch_internal {

namespace {
// Main-queue items taken off the queue and not yet run: items[next, end). Only the main
// thread touches it: a nested turn of the main loop (run from inside one of these items) goes
// on with them first, so the main queue keeps its order and an item that waits for a later
// one still sees it run.
struct MainBatch {
  std::vector<dispatch_block_t> items;
  size_t next = 0;
  bool empty() const { return next == items.size(); }
};
MainBatch& mainBatch() {
  static auto* batch = new MainBatch;
  return *batch;
}
// Room beyond this is kept for the next turn only while turns still fill a quarter of it:
// bursts that keep coming reuse it, and the first quieter turn gives it back.
constexpr size_t kKeptBatchCapacity = 4096;
}  // namespace

bool mainQueueHasWork() {
  QImpl& q = globals().main->impl();
  std::lock_guard<std::mutex> lock(q.mu);
  if (!q.runnable()) return false;
  return !q.mainItems.empty() || (isMainThread() && !mainBatch().empty());
}

bool drainMainQueue() {
  QImpl& q = globals().main->impl();
  MainBatch& batch = mainBatch();
  {
    std::lock_guard<std::mutex> lock(q.mu);
    if (!q.runnable()) return false;
    if (batch.empty()) {
      size_t used = std::max(batch.items.size(), q.mainItems.size());
      batch.items.clear();
      if (batch.items.capacity() > kKeptBatchCapacity && batch.items.capacity() / 4 > used) {
        std::vector<dispatch_block_t>().swap(batch.items);
      }
      batch.next = 0;
      batch.items.swap(q.mainItems);
    }
  }
  bool ran = false;
  while (!batch.empty()) {
    // Moved out before it runs: a nested turn may take a new batch into the vector.
    dispatch_block_t block = std::move(batch.items[batch.next++]);
    if (block) block();
    block = nullptr;
    ran = true;
    if (batch.empty() || !q.stopped.load()) continue;
    std::lock_guard<std::mutex> lock(q.mu);
    if (!q.runnable()) {
      // Suspended by an item: the rest waits, ahead of anything queued meanwhile.
      auto rest = batch.items.begin() + static_cast<std::ptrdiff_t>(batch.next);
      q.mainItems.insert(q.mainItems.begin(), std::make_move_iterator(rest),
                         std::make_move_iterator(batch.items.end()));
      batch.items.erase(rest, batch.items.end());
      break;
    }
  }
  return ran;
}

}  // namespace dispatch_internal

// ---- Groups ---------------------------------------------------------------------------------

// A thread in dispatch_group_wait. Guarded by the group's lock.
struct GroupWaiter {
  BlockingScope* blocking;
  bool released = false;
};

struct DispatchGroup::Impl {
  std::mutex mu;
  std::condition_variable cv;
  long count = 0;
  std::vector<std::pair<DispatchQueueRef, dispatch_block_t>> notifies;
  // Released all together when the count falls to zero: each returns then, even if the group
  // is entered again before it runs.
  std::vector<GroupWaiter*> waiters;
};

DispatchGroup::DispatchGroup() : impl_(std::make_unique<Impl>()) {}
DispatchGroup::~DispatchGroup() = default;

DispatchGroupRef dispatch_group_create() { return std::make_shared<DispatchGroup>(); }

void dispatch_group_enter(const DispatchGroupRef& group) {
  if (!group) return;
  std::lock_guard<std::mutex> lock(group->impl().mu);
  ++group->impl().count;
}

void dispatch_group_leave(const DispatchGroupRef& group) {
  if (!group) return;
  auto& g = group->impl();
  std::vector<std::pair<DispatchQueueRef, dispatch_block_t>> notifies;
  {
    std::unique_lock<std::mutex> lock(g.mu);
    if (g.count == 0) {
      lock.unlock();
      reportMisuse("dispatch_group_leave without a matching dispatch_group_enter; ignored");
      return;
    }
    if (--g.count == 0) {
      notifies.swap(g.notifies);
      for (GroupWaiter* w : g.waiters) {
        w->released = true;
        w->blocking->release();
      }
      g.waiters.clear();
      g.cv.notify_all();
    }
  }
  for (auto& [q, b] : notifies) dispatch_async(q, std::move(b));
}

void dispatch_group_async(const DispatchGroupRef& group, const DispatchQueueRef& queue,
                          dispatch_block_t block) {
  if (!group || !queue || !block) return;
  dispatch_group_enter(group);
  dispatch_async(queue, [group, block = std::move(block)] {
    block();
    dispatch_group_leave(group);
  });
}

long dispatch_group_wait(const DispatchGroupRef& group, dispatch_time_t timeout) {
  if (!group) return 0;
  auto& g = group->impl();
  std::unique_lock<std::mutex> lock(g.mu);
  if (g.count == 0) return 0;
  if (timeout == DISPATCH_TIME_NOW) return 1;
  lock.unlock();
  BlockingScope blocking(timeout);
  lock.lock();
  long result = 0;
  if (g.count != 0) {
    GroupWaiter waiter{&blocking};
    g.waiters.push_back(&waiter);
    blocking.block();
    if (!waitUntilDeadline(lock, g.cv, timeout, [&] { return waiter.released; })) {
      g.waiters.erase(std::find(g.waiters.begin(), g.waiters.end(), &waiter));
      blocking.release();
      result = 1;
    }
  }
  lock.unlock();  // before the scope ends
  return result;
}

void dispatch_group_notify(const DispatchGroupRef& group, const DispatchQueueRef& queue,
                           dispatch_block_t block) {
  if (!group || !queue || !block) return;
  auto& g = group->impl();
  {
    std::lock_guard<std::mutex> lock(g.mu);
    if (g.count > 0) {
      g.notifies.emplace_back(queue, std::move(block));
      return;
    }
  }
  dispatch_async(queue, std::move(block));
}

// ---- Semaphores -----------------------------------------------------------------------------

// A thread in dispatch_semaphore_wait. Guarded by the semaphore's lock.
struct SemaphoreWaiter {
  BlockingScope* blocking;
  std::condition_variable cv;
  bool granted = false;
};

// A signal while threads wait hands its unit to the longest waiting one, which therefore cannot
// lose it to a later caller and counts as runnable from the signal on.
struct DispatchSemaphore::Impl {
  std::mutex mu;
  long value = 0;  // units nobody waits for
  std::deque<SemaphoreWaiter*> waiters;
};

DispatchSemaphore::DispatchSemaphore(long value) : impl_(std::make_unique<Impl>()) {
  impl_->value = value;
}
DispatchSemaphore::~DispatchSemaphore() = default;

DispatchSemaphoreRef dispatch_semaphore_create(long value) {
  if (value < 0) return nullptr;
  return std::make_shared<DispatchSemaphore>(value);
}

long dispatch_semaphore_signal(const DispatchSemaphoreRef& sema) {
  if (!sema) return 0;
  auto& s = sema->impl();
  std::lock_guard<std::mutex> lock(s.mu);
  if (s.waiters.empty()) {
    ++s.value;
    return 0;
  }
  SemaphoreWaiter* w = s.waiters.front();
  s.waiters.pop_front();
  w->granted = true;
  w->blocking->release();
  w->cv.notify_one();
  return 1;
}

long dispatch_semaphore_wait(const DispatchSemaphoreRef& sema, dispatch_time_t timeout) {
  if (!sema) return 0;
  auto& s = sema->impl();
  std::unique_lock<std::mutex> lock(s.mu);
  if (s.value > 0) {
    --s.value;
    return 0;
  }
  if (timeout == DISPATCH_TIME_NOW) return 1;
  lock.unlock();
  BlockingScope blocking(timeout);
  lock.lock();
  long result = 0;
  if (s.value > 0) {  // signalled while the scope opened
    --s.value;
  } else {
    SemaphoreWaiter waiter{&blocking};
    s.waiters.push_back(&waiter);
    blocking.block();
    if (!waitUntilDeadline(lock, waiter.cv, timeout, [&] { return waiter.granted; })) {
      s.waiters.erase(std::find(s.waiters.begin(), s.waiters.end(), &waiter));
      blocking.release();
      result = 1;
    }
  }
  lock.unlock();  // before the scope ends
  return result;
}

// ---- Once -----------------------------------------------------------------------------------

void dispatch_once(dispatch_once_t* predicate, const dispatch_block_t& block) {
  if (!predicate || !block) return;
  std::call_once(*predicate, block);
}

}  // namespace plat
