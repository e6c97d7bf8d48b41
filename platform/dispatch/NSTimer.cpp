#include "platform/dispatch/NSTimer.h"

#include <limits>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/RunLoopInternal.h"

namespace plat {

namespace {
constexpr double kMinimumInterval = 0.0001;
}

NSTimer::NSTimer(double interval, bool repeats, Block block, Value userInfo)
    : userInfo_(std::move(userInfo)), impl_(std::make_unique<Impl>()) {
  if (!(interval > 0)) interval = kMinimumInterval;
  impl_->interval = interval;
  impl_->repeats = repeats;
  impl_->block = std::move(block);
  impl_->fireTime = Clock::nowSeconds() + interval;
}

NSTimer::~NSTimer() = default;

NSTimerRef NSTimer::timerWithTimeIntervalRepeatsBlock(double interval, bool repeats, Block block) {
  return std::make_shared<NSTimer>(interval, repeats, std::move(block), Value());
}

NSTimerRef NSTimer::scheduledTimerWithTimeIntervalRepeatsBlock(double interval, bool repeats,
                                                               Block block) {
  auto t = timerWithTimeIntervalRepeatsBlock(interval, repeats, std::move(block));
  RunLoop::current()->addTimer(t, kCFRunLoopDefaultMode);
  return t;
}

NSTimerRef NSTimer::timerWithTimeIntervalTargetSelectorUserInfoRepeats(double interval,
                                                                       Block selector,
                                                                       Value userInfo,
                                                                       bool repeats) {
  return std::make_shared<NSTimer>(interval, repeats, std::move(selector), std::move(userInfo));
}

NSTimerRef NSTimer::scheduledTimerWithTimeIntervalTargetSelectorUserInfoRepeats(double interval,
                                                                                Block selector,
                                                                                Value userInfo,
                                                                                bool repeats) {
  auto t = timerWithTimeIntervalTargetSelectorUserInfoRepeats(interval, std::move(selector),
                                                              std::move(userInfo), repeats);
  RunLoop::current()->addTimer(t, kCFRunLoopDefaultMode);
  return t;
}

void NSTimer::fire() {
  Block block;
  bool oneShot;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (!impl_->valid) return;
    block = impl_->block;
    oneShot = !impl_->repeats;
  }
  if (block) block(shared_from_this());
  if (oneShot) invalidate();
}

void NSTimer::invalidate() {
  Block old;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->valid = false;
    old.swap(impl_->block);
  }
}

bool NSTimer::isValid() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->valid;
}

double NSTimer::fireTime() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->fireTime;
}

NSDate NSTimer::fireDate() const {
  auto clock = Clock::current();
  double delta = fireTime() - clock->now();
  if (delta > 1e9) return NSDate::distantFuture();
  return clock->date().dateByAddingTimeInterval(delta);
}

void NSTimer::setFireTime(double clockSeconds) {
  RunLoopRef loop;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (!impl_->valid) return;
    impl_->fireTime = clockSeconds;
    loop = impl_->loop.lock();
  }
  // Wake the owning loop so that it recomputes its next wake-up.
  if (loop) loop->wakeUp();
}

void NSTimer::setFireDate(const NSDate& date) {
  auto clock = Clock::current();
  if (date >= NSDate::distantFuture()) {
    setFireTime(std::numeric_limits<double>::infinity());
    return;
  }
  setFireTime(clock->now() + date.timeIntervalSinceDate(clock->date()));
}

double NSTimer::timeInterval() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->repeats ? impl_->interval : 0;
}

double NSTimer::tolerance() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->tolerance;
}

void NSTimer::setTolerance(double seconds) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->tolerance = seconds > 0 ? seconds : 0;
}

}  // namespace plat
