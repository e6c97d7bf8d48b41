#include "platform/dispatch/RunLoop.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchInternal.h"
#include "platform/dispatch/RunLoopInternal.h"

namespace plat {

using namespace dispatch_internal;

namespace {

struct LoopRegistry {
  std::mutex mu;
  std::vector<std::weak_ptr<RunLoop>> loops;
};

LoopRegistry& loopRegistry() {
  static LoopRegistry* r = new LoopRegistry;
  return *r;
}

thread_local RunLoopRef tLoop;

constexpr double kSlack = 1e-7;

bool isCommonMode(const std::string& mode) {
  return mode == kCFRunLoopDefaultMode || mode == UITrackingRunLoopMode;
}

// Calls `fn` when destroyed unless released, so a waiter learns that a posted block was
// dropped without running.
struct DoneSignal {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  BlockingScope* blocking = nullptr;  // set while the waiter sleeps
  void set() {
    std::lock_guard<std::mutex> lock(mu);
    done = true;
    if (blocking) blocking->release();
    cv.notify_all();
  }
  // Sleeps until set, counted as blocked (within `scope`) until then.
  void wait(BlockingScope& scope) {
    std::unique_lock<std::mutex> lock(mu);
    if (done) return;
    blocking = &scope;
    scope.block();
    cv.wait(lock, [&] { return done; });
  }
};

struct SignalOnDestroy {
  std::shared_ptr<DoneSignal> signal;
  ~SignalOnDestroy() {
    if (signal) signal->set();
  }
};

}  // namespace

namespace dispatch_internal {

RunLoopRef makeRunLoop(bool isMain) {
  auto impl = std::make_unique<RunLoop::Impl>();
  impl->isMain = isMain;
  auto loop = std::make_shared<RunLoop>(std::move(impl));
  LoopRegistry& r = loopRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.loops.erase(std::remove_if(r.loops.begin(), r.loops.end(),
                               [](const std::weak_ptr<RunLoop>& w) { return w.expired(); }),
                r.loops.end());
  r.loops.push_back(loop);
  return loop;
}

void setCurrentRunLoop(const RunLoopRef& loop) { tLoop = loop; }

void retireRunLoop(const RunLoopRef& loop) {
  std::deque<std::function<void()>> dropped;
  std::vector<NSTimerRef> timers;
  {
    std::lock_guard<std::mutex> lock(loop->impl().mu);
    loop->impl().dead = true;
    dropped.swap(loop->impl().posted);
    dropped.insert(dropped.end(), std::make_move_iterator(loop->impl().taken.begin()),
                   std::make_move_iterator(loop->impl().taken.end()));
    loop->impl().taken.clear();
    timers.swap(loop->impl().timers);
  }
  for (auto& t : timers) t->invalidate();
}

bool modeMatches(const std::set<std::string>& timerModes, const std::string& mode) {
  if (timerModes.count(mode)) return true;
  bool timerCommon = timerModes.count(kCFRunLoopCommonModes) > 0;
  if (mode == kCFRunLoopCommonModes) {
    if (timerCommon) return true;
    return std::any_of(timerModes.begin(), timerModes.end(), isCommonMode);
  }
  return timerCommon && isCommonMode(mode);
}

void clockChanged() {
  heapClockChanged();
  std::vector<RunLoopRef> loops;
  {
    LoopRegistry& r = loopRegistry();
    std::lock_guard<std::mutex> lock(r.mu);
    for (auto& w : r.loops) {
      if (auto l = w.lock()) loops.push_back(std::move(l));
    }
  }
  for (auto& l : loops) l->wakeUp();
}

void clockSwapped(int64_t deltaNs) {
  shiftDeadlines(deltaNs);
  double delta = static_cast<double>(deltaNs) / 1e9;
  std::vector<RunLoopRef> loops;
  {
    LoopRegistry& r = loopRegistry();
    std::lock_guard<std::mutex> lock(r.mu);
    for (auto& w : r.loops) {
      if (auto l = w.lock()) loops.push_back(std::move(l));
    }
  }
  for (auto& l : loops) {
    std::vector<NSTimerRef> timers;
    {
      std::lock_guard<std::mutex> lock(l->impl().mu);
      timers = l->impl().timers;
    }
    for (auto& t : timers) {
      std::lock_guard<std::mutex> tlock(t->impl().mu);
      if (std::isfinite(t->impl().fireTime)) t->impl().fireTime += delta;
    }
  }
}

void wakeMain() {
  static RunLoop* m = RunLoop::main().get();
  // The waiting side sets `sleeping` before it checks the main queue, and producers queue
  // before they read it, so one of the two always sees the other.
  if (m->impl().sleeping.load()) m->wakeUp();
}

}  // namespace dispatch_internal

RunLoop::RunLoop(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
RunLoop::~RunLoop() = default;

RunLoopRef RunLoop::main() {
  static RunLoopRef* m = new RunLoopRef(makeRunLoop(true));
  return *m;
}

RunLoopRef RunLoop::current() {
  if (isMainThread()) return main();
  if (!tLoop) tLoop = makeRunLoop(false);
  return tLoop;
}

bool RunLoop::isMain() const { return impl_->isMain; }

void RunLoop::addTimer(const NSTimerRef& timer, const std::string& mode) {
  if (!timer) return;
  {
    std::lock_guard<std::mutex> tlock(timer->impl().mu);
    auto& t = timer->impl();
    if (!t.valid) return;
    if (t.loopId && t.loopId != impl_.get()) return;
    t.loopId = impl_.get();
    t.loop = weak_from_this();
    t.modes.insert(mode);
  }
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (impl_->dead) return;
    if (std::find(impl_->timers.begin(), impl_->timers.end(), timer) == impl_->timers.end()) {
      impl_->timers.push_back(timer);
    }
  }
  wakeUp();
}

void RunLoop::perform(std::function<void()> block) {
  if (!block) return;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (impl_->dead) return;
    impl_->posted.push_back(std::move(block));
    impl_->woken = true;
  }
  impl_->cv.notify_all();
  if (auto* source = impl_->eventSource.load()) source->wake();
}

void RunLoop::wakeUp() {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->woken = true;
  }
  impl_->cv.notify_all();
  if (auto* source = impl_->eventSource.load()) source->wake();
}

void RunLoop::setEventSource(RunLoopEventSource* source) {
  if (!impl_->isMain || !source) return;
  RunLoopEventSource* none = nullptr;
  impl_->eventSource.compare_exchange_strong(none, source);
}

double RunLoop::nextTimerFireTime(const std::string& mode) const {
  double best = std::numeric_limits<double>::infinity();
  std::vector<NSTimerRef> timers;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    timers = impl_->timers;
  }
  for (auto& t : timers) {
    std::lock_guard<std::mutex> tlock(t->impl().mu);
    if (t->impl().valid && !t->impl().firing && modeMatches(t->impl().modes, mode)) {
      best = std::min(best, t->impl().fireTime);
    }
  }
  return best;
}

bool RunLoop::hasReadyWork(const std::string& mode) const {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (!impl_->posted.empty() || !impl_->taken.empty()) return true;
  }
  if (impl_->isMain && mainQueueHasWork()) return true;
  return nextTimerFireTime(mode) <= Clock::nowSeconds() + kSlack;
}

namespace {

// Fires the timers of `loop` that are due in `mode`, earliest first.
bool fireTimers(RunLoop::Impl& loop, const std::string& mode) {
  std::vector<std::pair<double, NSTimerRef>> due;
  double now;
  // The loop's list is copied under its lock and each timer is looked at under its own lock
  // alone, so no timer lock is ever held together with the loop's lock. The copy also keeps
  // every timer alive until its lock has been released.
  std::vector<NSTimerRef> timers;
  {
    std::lock_guard<std::mutex> lock(loop.mu);
    timers = loop.timers;
  }
  std::vector<NSTimerRef> invalid;
  {
    std::shared_lock<std::shared_mutex> swap(clockSwapMutex());
    // A little slack absorbs rounding between clock nanoseconds and timer seconds.
    now = Clock::nowSeconds() + kSlack;
  }
  for (auto& timer : timers) {
    auto& t = timer->impl();
    std::lock_guard<std::mutex> tlock(t.mu);
    if (!t.valid) {
      invalid.push_back(timer);
      continue;
    }
    if (t.fireTime <= now && !t.firing && modeMatches(t.modes, mode)) {
      due.emplace_back(t.fireTime, timer);
    }
  }
  if (!invalid.empty()) {
    std::lock_guard<std::mutex> lock(loop.mu);
    auto& list = loop.timers;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const NSTimerRef& t) {
                                return std::find(invalid.begin(), invalid.end(), t) !=
                                       invalid.end();
                              }),
               list.end());
  }
  // `timers` and `invalid` are released after every lock above: the last reference to a
  // timer may go here, and with it the timer's own mutex.
  std::stable_sort(due.begin(), due.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  bool fired = false;
  for (auto& [when, timer] : due) {
    NSTimer::Block block;
    bool oneShot = false;
    {
      std::shared_lock<std::shared_mutex> swap(clockSwapMutex());
      now = Clock::nowSeconds() + kSlack;
      auto& t = timer->impl();
      std::lock_guard<std::mutex> tlock(t.mu);
      if (!t.valid || t.firing || t.fireTime > now) continue;
      block = t.block;
      t.firing = true;
      if (t.repeats) {
        double next = t.fireTime + t.interval;
        if (next <= now) next = t.fireTime + t.interval * (std::floor((now - t.fireTime) / t.interval) + 1);
        t.fireTime = next;
      } else {
        oneShot = true;
      }
    }
    fired = true;
    // A nested turn of the loop inside the block (a modal wait) must not fire it again.
    if (block) block(timer);
    block = nullptr;
    {
      std::lock_guard<std::mutex> tlock(timer->impl().mu);
      timer->impl().firing = false;
    }
    if (oneShot) timer->invalidate();
  }
  return fired;
}

bool runReady(RunLoop::Impl& loop, const std::string& mode) {
  bool did = false;
  {
    std::lock_guard<std::mutex> lock(loop.mu);
    if (loop.taken.empty()) loop.taken.swap(loop.posted);
    loop.woken = false;
  }
  for (;;) {
    std::function<void()> b;
    {
      std::lock_guard<std::mutex> lock(loop.mu);
      if (loop.taken.empty()) break;
      b = std::move(loop.taken.front());
      loop.taken.pop_front();
    }
    b();
    did = true;
  }
  if (loop.isMain && drainMainQueue()) did = true;
  if (fireTimers(loop, mode)) did = true;
  return did;
}

}  // namespace

bool RunLoop::runOnce(const std::string& mode, double timeoutSeconds) {
  RunLoopEventSource* source = impl_->eventSource.load();
  bool did = runReady(*impl_, mode);
  if (source && source->dispatch(0)) did = true;
  if (did) return true;
  if (!(timeoutSeconds > 0)) return false;
  auto clock = Clock::current();
  double now = clock->now();
  double wakeAt = std::min(now + timeoutSeconds, nextTimerFireTime(mode));
  {
    std::unique_lock<std::mutex> lock(impl_->mu);
    impl_->sleeping.store(true);
    auto ready = [&] {
      return impl_->woken || !impl_->posted.empty() || impl_->stopRequested ||
             (impl_->isMain && mainQueueHasWork()) || clock->now() >= wakeAt;
    };
    if (source) {
      // The source waits instead of the condition variable; wake-ups reach it through
      // wake(), which stays pending if it comes before the wait starts.
      bool readyNow = ready();
      lock.unlock();
      double wait = clock->isVirtual() ? std::min(timeoutSeconds, 3600.0)
                                       : std::min(std::max(wakeAt - now, 0.0), 3600.0);
      bool dispatched = source->dispatch(readyNow ? 0 : wait);
      impl_->sleeping.store(false);
      return runReady(*impl_, mode) || dispatched;
    }
    if (clock->isVirtual()) {
      impl_->cv.wait_for(lock, std::chrono::duration<double>(std::min(timeoutSeconds, 3600.0)),
                         ready);
    } else if (wakeAt > now) {
      impl_->cv.wait_for(lock, std::chrono::duration<double>(std::min(wakeAt - now, 3600.0)),
                         ready);
    }
    impl_->sleeping.store(false);
  }
  return runReady(*impl_, mode);
}

bool RunLoop::runUntil(double deadline, const std::string& mode) {
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(impl_->mu);
      if (impl_->stopRequested) {
        impl_->stopRequested = false;
        return true;
      }
    }
    double now = Clock::nowSeconds();
    if (now >= deadline) return false;
    runOnce(mode, std::min(deadline - now, 1.0));
  }
}

void RunLoop::run() { runUntil(std::numeric_limits<double>::infinity()); }

void RunLoop::stop() {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->stopRequested = true;
  }
  impl_->cv.notify_all();
}

void performSelectorOnMainThread(std::function<void()> block, bool waitUntilDone) {
  if (!block) return;
  if (isMainThread()) {
    if (waitUntilDone) {
      block();
    } else {
      RunLoop::main()->perform(std::move(block));
    }
    return;
  }
  if (!waitUntilDone) {
    RunLoop::main()->perform(std::move(block));
    return;
  }
  auto signal = std::make_shared<DoneSignal>();
  auto guard = std::make_shared<SignalOnDestroy>();
  guard->signal = signal;
  RunLoop::main()->perform([block = std::move(block), guard]() mutable {
    block();
    guard.reset();
  });
  guard.reset();
  BlockingScope blocking;
  signal->wait(blocking);
}

void performSelectorAfterDelay(std::function<void()> block, double delaySeconds) {
  if (!block) return;
  NSTimer::scheduledTimerWithTimeIntervalRepeatsBlock(
      delaySeconds, false, [block = std::move(block)](const NSTimerRef&) { block(); });
}

namespace dispatch_internal {

// Posts `block` to `loop` and waits until it ran or was dropped (used by NSThread).
void performAndWait(const RunLoopRef& loop, std::function<void()> block) {
  auto signal = std::make_shared<DoneSignal>();
  auto guard = std::make_shared<SignalOnDestroy>();
  guard->signal = signal;
  loop->perform([block = std::move(block), guard]() mutable {
    block();
    guard.reset();
  });
  guard.reset();
  BlockingScope blocking;
  signal->wait(blocking);
}

}  // namespace dispatch_internal

}  // namespace plat
