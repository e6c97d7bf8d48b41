#pragma once
// Test helpers that drive the main run loop and the clock, so tests never sleep.
//
// runUntil(pred, timeout): pumps the main run loop until pred() holds or `timeout` seconds of
//   real time pass. Never moves a virtual clock (use advance() for that), so timers and
//   timeouts on the virtual clock stay put while the test waits for threads and sockets.
// runUntilIdle(): pumps until the main loop has nothing ready and no dispatch work is queued
//   or running. Work blocked in a dispatch wait (a semaphore or group wait) counts as idle
//   until its deadline passes: only other work or the clock can move it. Work held by a
//   suspended queue is not idle (the call then returns false after maxRealSeconds).
//   Never moves the clock.
// advance(seconds): moves a virtual clock forward by `seconds`, firing everything due on the
//   way in time order (main-loop timers, delayed queue work, timer sources, display links),
//   running until idle after each step. Timers of other threads' run loops fire on those
//   threads once the clock has passed them; advance() does not wait for them (use runUntil).
//
// Real-time limits are multiplied by the environment variable LUMORA_TEST_TIMEOUT_SCALE when
// it holds a number above 1 (CI sets it for the valgrind run).
//
// All helpers must be called on the main thread (the test's thread).

#include <functional>
#include <memory>

#include "platform/dispatch/Clock.h"

namespace testing_loop {

// The factor real-time limits are multiplied by: LUMORA_TEST_TIMEOUT_SCALE when it holds a
// number above 1, else 1. Callable from any thread.
double timeoutScale();

// Returns pred() at the end: false when the timeout passed first.
bool runUntil(const std::function<bool()>& pred, double timeoutSeconds = 10.0);
// Returns false when work was still running after `maxRealSeconds` (e.g. a task that never
// ends); true once idle.
bool runUntilIdle(double maxRealSeconds = 10.0);
// REQUIRES: a virtual clock is installed (VirtualClockScope). Negative values do nothing.
void advance(double seconds);

// Installs a fresh virtual clock for its lifetime and restores the real clock afterwards.
class VirtualClockScope {
 public:
  VirtualClockScope();
  ~VirtualClockScope();
  VirtualClockScope(const VirtualClockScope&) = delete;
  VirtualClockScope& operator=(const VirtualClockScope&) = delete;

  plat::VirtualClock& clock() { return *clock_; }
  double now() const { return clock_->now(); }

 private:
  std::shared_ptr<plat::VirtualClock> clock_;
};

}  // namespace testing_loop
