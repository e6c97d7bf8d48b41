#pragma once
// Internal glue between the pieces of platform/dispatch (not for use outside this folder,
// testing/loop, the operation queues' misuse report and tests of this folder): the worker pool's
// blocking hooks, the deadline heap behind delayed work and timer sources, main-queue draining for
// the main run loop, and clock-change wakeups.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Dispatch.h"

namespace plat::dispatch_internal {

// Lock order. A thread that holds a lock of one rank may take locks only of later ranks;
// locks of one rank are never held together. Blocks, handlers and timer blocks run with no
// lock of this folder held, except that delayed work (rank 1) runs under the firing lock
// and must do no more than post.
//   1. DeadlineHeap's firing lock (one firer at a time, so delayed work runs in order).
//   2. clockSwapMutex(): exclusive while Clock::install moves deadlines and timers to the
//      new clock; shared while a deadline or timer is compared with the clock's now.
//   3. A dispatch source's lock (it posts its delivery to its queue while holding it).
//   4. A custom queue's lock.
//   5. A run loop's lock (the main loop looks at the main queue while deciding to sleep).
//   6. The main queue's lock, a timer's lock, the deadline heap's lock, the worker pool's
//      lock, the blocked-deadline lock, the loop registry's lock, the lock of a wait (a
//      group's, a semaphore's).
//   7. The clock registry's lock (Clock::current() may be called under any of the above).
// So a run loop never holds its own lock while it looks at a timer (it copies its timer list
// first), and Clock::install takes each loop's lock and each timer's lock one at a time.
// A blocking scope (below) is opened and ends with no lock of this folder held, the lock of
// its wait included: its start and end take the worker pool's lock and the blocked-deadline
// lock and wake the main run loop (its lock). Its block() and release() take no lock.

// Marks the calling thread as blocked (if it is a pool worker) for the object's lifetime, so
// the pool may start another worker. `deadline` is when the wait gives up on its own.
//
// For the count of runnable work (runnableWork()) the worker is blocked only from block() until
// release(): both are called under the lock of the wait, block() by the waiter once it knows it
// must sleep, release() by whoever ends the wait (a signal, a group's last leave, a sync grant,
// a finished call), so that the worker counts as runnable from the moment it is woken, not from
// when its thread next runs. A scope whose wait was never blocked or released already leaves
// the count alone; the pool's own count of blocked threads follows the thread's lifetime.
class BlockingScope {
 public:
  explicit BlockingScope(dispatch_time_t deadline = DISPATCH_TIME_FOREVER);
  ~BlockingScope();
  BlockingScope(const BlockingScope&) = delete;
  BlockingScope& operator=(const BlockingScope&) = delete;

  // REQUIRES: the wait's lock held, the wait not yet released.
  void block();
  // REQUIRES: the wait's lock held. Does nothing unless blocked.
  void release();

 private:
  bool worker_;
  bool counted_ = false;  // guarded by the wait's lock
  dispatch_time_t deadline_;
};

// For tests: `hook` runs on a pool worker as its blocking scope ends, before anything else the
// end does (so the worker still counts as it did in the wait), with no lock of this folder
// held. An empty hook removes it. Any thread.
void setBlockingScopeEndHookForTesting(std::function<void()> hook);

// True when a blocked worker's wait has reached its deadline but the worker has not resumed
// yet (it is about to, and then counts as running work again).
bool blockedWaitExpired();

// Longest single wait of a condition variable on the real clock; longer waits wake up and look
// again (a deadline near INT64_MAX would overflow the library's own time arithmetic).
constexpr int64_t kMaxWaitNs = 3600LL * 1000000000LL;

// Waits on `cv` until pred() holds or the clock reaches `deadline` (dispatch time). Returns
// pred(). On a virtual clock the wait rechecks the clock at short real intervals.
template <class Pred>
bool waitUntilDeadline(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                       dispatch_time_t deadline, Pred pred) {
  while (!pred()) {
    if (deadline > static_cast<dispatch_time_t>(INT64_MAX)) {  // never reached
      cv.wait(lock);
      continue;
    }
    auto clock = Clock::current();
    int64_t now = clock->nowNanoseconds();
    if (now >= static_cast<int64_t>(deadline)) return pred();
    if (clock->isVirtual()) {
      cv.wait_for(lock, std::chrono::milliseconds(5));
    } else {
      cv.wait_for(lock, std::chrono::nanoseconds(
                            std::min<int64_t>(static_cast<int64_t>(deadline) - now, kMaxWaitNs)));
    }
  }
  return true;
}

// a + b, held at INT64_MAX or INT64_MIN instead of wrapping around: a deadline far in the
// future stays far in the future.
inline int64_t addSaturating(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN;
  return r;
}

// Delayed work: calls fire(deadline) (on the timer thread, or on the thread that calls
// fireDue) once the clock reaches the deadline. The deadline passed may differ from
// `deadlineNs` when the clock was swapped meanwhile (see clockSwapped). Returns a token for
// unschedule (never 0).
uint64_t scheduleAt(int64_t deadlineNs, std::function<void(int64_t)> fire);
// Takes a pending entry out before its deadline and hands back its function (empty when it
// fired already or the token is 0), for the caller to destroy outside its own locks.
std::function<void(int64_t)> unschedule(uint64_t token);
// Entries pending now (for tests of what the heap holds).
size_t scheduledCountForTesting();
// Moves pending deadlines by `deltaNs`.
void shiftDeadlines(int64_t deltaNs);
// After Clock::install: moves pending deadlines and run-loop timers by the difference between
// the new and the old clock, so each keeps the time it had left (RunLoop.cpp).
// REQUIRES: clockSwapMutex() held exclusively, together with the switch of clocks.
void clockSwapped(int64_t deltaNs);
// Held exclusively while Clock::install switches clocks and moves deadlines, and shared by
// whoever compares deadlines with the clock's now, so that no deadline is judged against the
// new clock before it has been moved to it (Clock.cpp).
std::shared_mutex& clockSwapMutex();
// Fires every entry whose deadline has been reached, in deadline order.
void fireDue();
// Earliest pending deadline, or INT64_MAX.
int64_t nextDeadline();

// Main queue access for the main run loop.
bool mainQueueHasWork();
// Runs the main-queue items that are queued now (not ones they add). Returns true if any ran.
bool drainMainQueue();

// Count of dispatch work items (non-main queues) queued or running.
int64_t outstandingWork();
// The same, less the workers blocked in dispatch waits: work that can make progress on its
// own. Zero means the pool can only move on through the main loop, the clock or outside
// events.
int64_t runnableWork();

// Wakes every run loop and the timer thread after the clock moved (RunLoop.cpp).
void clockChanged();
// Wakes the timer thread (Dispatch.cpp).
void heapClockChanged();
// Wakes the main run loop (RunLoop.cpp).
void wakeMain();
// True on the process's initial thread.
bool isMainThread();
// Makes the next currentThreadName() on this thread read the system's name again (NSThread.cpp).
void forgetCurrentThreadName();

void reportMisuse(const std::string& message);

}  // namespace plat::dispatch_internal
