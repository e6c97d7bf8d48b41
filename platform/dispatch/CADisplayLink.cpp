#include "platform/dispatch/CADisplayLink.h"

#include <limits>
#include <mutex>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/NSTimer.h"

namespace plat {

struct CADisplayLink::Impl {
  std::mutex mu;
  Callback callback;
  NSTimerRef timer;
  bool paused = false;
  bool invalid = false;
  double timestamp = 0;
  double targetTimestamp = 0;
};

CADisplayLink::CADisplayLink(Callback callback) : impl_(std::make_shared<Impl>()) {
  impl_->callback = std::move(callback);
}

CADisplayLink::~CADisplayLink() {
  if (impl_->timer) impl_->timer->invalidate();
}

CADisplayLinkRef CADisplayLink::displayLinkWithTargetSelector(Callback selector) {
  return std::make_shared<CADisplayLink>(std::move(selector));
}

void CADisplayLink::addToRunLoopForMode(const RunLoopRef& loop, const std::string& mode) {
  if (!loop) return;
  NSTimerRef timer;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (impl_->invalid) return;
    if (!impl_->timer) {
      // The loop keeps the timer and the timer keeps the link, until invalidate().
      auto self = shared_from_this();
      impl_->timer = NSTimer::timerWithTimeIntervalRepeatsBlock(
          kFrameDuration, true, [self](const NSTimerRef& t) {
            Callback cb;
            {
              std::lock_guard<std::mutex> lock(self->impl_->mu);
              if (self->impl_->paused || self->impl_->invalid) return;
              self->impl_->timestamp = Clock::nowSeconds();
              self->impl_->targetTimestamp = self->impl_->timestamp + kFrameDuration;
              cb = self->impl_->callback;
            }
            if (cb) cb(self);
          });
      if (impl_->paused) impl_->timer->setFireTime(std::numeric_limits<double>::infinity());
    }
    timer = impl_->timer;
  }
  loop->addTimer(timer, mode);
}

void CADisplayLink::removeFromRunLoopForMode(const RunLoopRef&, const std::string&) {
  NSTimerRef timer;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    timer.swap(impl_->timer);
  }
  if (timer) timer->invalidate();
}

void CADisplayLink::invalidate() {
  NSTimerRef timer;
  Callback cb;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->invalid = true;
    timer.swap(impl_->timer);
    cb.swap(impl_->callback);
  }
  if (timer) timer->invalidate();
}

bool CADisplayLink::isPaused() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->paused;
}

void CADisplayLink::setPaused(bool paused) {
  NSTimerRef timer;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (impl_->paused == paused) return;
    impl_->paused = paused;
    timer = impl_->timer;
  }
  // A paused link schedules nothing, so time can move past it without stepping through frames.
  if (timer) {
    timer->setFireTime(paused ? std::numeric_limits<double>::infinity()
                              : Clock::nowSeconds() + kFrameDuration);
  }
}

double CADisplayLink::timestamp() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->timestamp;
}

double CADisplayLink::targetTimestamp() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->targetTimestamp;
}

}  // namespace plat
