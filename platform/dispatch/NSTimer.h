#pragma once
// plat::NSTimer: a one-shot or repeating timer that fires on the run loop it was added to,
// in the modes it was added in, on plat::Clock.
//
// A repeating timer that fell behind fires once and is rescheduled to the next multiple of
// its interval after now (missed fires are skipped, as the platform does). The block receives
// the timer; while it runs, the loop does not fire that timer again (a nested turn of the loop
// inside the block skips it). The loop holds the timer until it is invalidated (or, for a one-shot timer,
// until it fired).
//
// Thread-safety: invalidate(), isValid() and the getters may be called from any thread; the
// block runs on the loop's thread.

#include <functional>
#include <memory>

#include "platform/dispatch/RunLoop.h"
#include "platform/foundation/NSDate.h"
#include "platform/foundation/Value.h"

namespace plat {

class NSTimer : public std::enable_shared_from_this<NSTimer> {
 public:
  using Block = std::function<void(const NSTimerRef& timer)>;

  // A timer that is not yet on a loop; add it with RunLoop::addTimer. An interval <= 0 is
  // taken as 0.0001 s (the platform's minimum).
  static NSTimerRef timerWithTimeIntervalRepeatsBlock(double interval, bool repeats, Block block);
  // The same, added to the current thread's loop in the default mode.
  static NSTimerRef scheduledTimerWithTimeIntervalRepeatsBlock(double interval, bool repeats,
                                                               Block block);
  // Target-style: `selector` is the callback (bind the target into it, weakly if the timer
  // must not keep it alive), `userInfo` is handed back through userInfo().
  static NSTimerRef timerWithTimeIntervalTargetSelectorUserInfoRepeats(double interval,
                                                                       Block selector,
                                                                       Value userInfo,
                                                                       bool repeats);
  static NSTimerRef scheduledTimerWithTimeIntervalTargetSelectorUserInfoRepeats(double interval,
                                                                                Block selector,
                                                                                Value userInfo,
                                                                                bool repeats);

  NSTimer(double interval, bool repeats, Block block, Value userInfo);
  NSTimer(const NSTimer&) = delete;
  NSTimer& operator=(const NSTimer&) = delete;

  // Runs the block now, on the calling thread. A one-shot timer is invalidated by it; a
  // repeating timer keeps its schedule. Does nothing on an invalid timer.
  void fire();
  // Stops the timer for good and releases the block. Safe to call twice or from its block.
  void invalidate();
  bool isValid() const;

  // Next fire time on the clock (clock seconds), and as a calendar date.
  double fireTime() const;
  NSDate fireDate() const;
  // Moves the next fire to the given date (clock seconds / calendar date).
  void setFireTime(double clockSeconds);
  void setFireDate(const NSDate& date);
  double timeInterval() const;  // 0 for a one-shot timer, as the platform reports
  double tolerance() const;
  void setTolerance(double seconds);  // accepted; fires are exact here
  const Value& userInfo() const { return userInfo_; }

  struct Impl;
  Impl& impl() { return *impl_; }
  ~NSTimer();

 private:
  Value userInfo_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace plat
