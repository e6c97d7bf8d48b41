#pragma once
// plat::Clock: the one source of time for everything that waits: run loop timers, delayed
// queue work, timer sources, display links, timed waits of groups and semaphores.
//
// Time is a monotonic count of nanoseconds (and its seconds form). The process starts on the
// real clock (CLOCK_MONOTONIC). Tests install a VirtualClock, which stands still until the
// test moves it; every timer and delayed task then fires only when the virtual time reaches
// its deadline (see testing/loop/Pump.h for the helpers that move it in order).
//
// Thread-safety: all operations may be called from any thread.

#include <cstdint>
#include <memory>

#include "platform/foundation/NSDate.h"

namespace plat {

class Clock {
 public:
  virtual ~Clock() = default;

  // Monotonic time on this clock.
  virtual int64_t nowNanoseconds() const = 0;
  double now() const { return static_cast<double>(nowNanoseconds()) / 1e9; }
  // The calendar date that corresponds to the clock's now (a virtual clock moves its date
  // forward with its time).
  virtual NSDate date() const = 0;
  virtual bool isVirtual() const { return false; }

  // The clock in use. Never null.
  static std::shared_ptr<Clock> current();
  // Shorthands for current()->now() / nowNanoseconds().
  static double nowSeconds();
  static int64_t nowNs();
  // Installs a clock for the whole process; nullptr restores the real clock. Pending delayed
  // work, timer sources and run-loop timers keep the time they had left (their deadlines move
  // to the new clock). Deadlines held elsewhere (a dispatch_time_t passed to a wait in
  // progress) are judged against the new clock.
  // REQUIRES: no thread is in a timed wait when a test swaps clocks (install at the start of
  // a test, before work is scheduled).
  static void install(std::shared_ptr<Clock> clock);
  // The real clock (always available, whichever clock is installed).
  static std::shared_ptr<Clock> real();
};

// A clock that moves only when told to. Starts at `startNs` (default: one hour, so that
// times in the near past are still positive) and at the current wall-clock date.
class VirtualClock : public Clock {
 public:
  explicit VirtualClock(int64_t startNs = 3600LL * 1000000000LL);
  VirtualClock(const VirtualClock&) = delete;
  VirtualClock& operator=(const VirtualClock&) = delete;

  int64_t nowNanoseconds() const override;
  NSDate date() const override;
  bool isVirtual() const override { return true; }

  // Moves the time to `ns`. Moving backwards is ignored (the clock is monotonic). Wakes every
  // waiter so that deadlines now reached are honoured. Does not run any work itself: use
  // testing::advance() to fire due work in time order.
  void setNowNanoseconds(int64_t ns);
  void advanceBy(double seconds);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace plat
