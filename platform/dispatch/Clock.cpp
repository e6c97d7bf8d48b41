#include "platform/dispatch/Clock.h"

#include <time.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/dispatch/DispatchInternal.h"

namespace plat {
namespace {

class RealClock : public Clock {
 public:
  int64_t nowNanoseconds() const override {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
  }
  NSDate date() const override { return NSDate::now(); }
};

struct Registry {
  std::mutex mu;
  std::shared_ptr<Clock> real = std::make_shared<RealClock>();
  std::shared_ptr<Clock> current = real;
  // Every clock ever installed stays alive, so a raw pointer read without the lock is safe.
  std::vector<std::shared_ptr<Clock>> keep;
  std::atomic<Clock*> fast{nullptr};
};

Registry& registry() {
  static Registry* r = [] {
    auto* reg = new Registry;
    reg->fast.store(reg->real.get());
    return reg;
  }();
  return *r;
}

}  // namespace

namespace dispatch_internal {
std::shared_mutex& clockSwapMutex() {
  static auto* m = new std::shared_mutex;
  return *m;
}
}  // namespace dispatch_internal

std::shared_ptr<Clock> Clock::current() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  return r.current;
}

double Clock::nowSeconds() { return static_cast<double>(nowNs()) / 1e9; }

int64_t Clock::nowNs() { return registry().fast.load(std::memory_order_acquire)->nowNanoseconds(); }

void Clock::install(std::shared_ptr<Clock> clock) {
  Registry& r = registry();
  int64_t delta;
  std::unique_lock<std::shared_mutex> swap(dispatch_internal::clockSwapMutex());
  {
    std::lock_guard<std::mutex> lock(r.mu);
    if (!clock) clock = r.real;
    if (clock == r.current) return;
    delta = clock->nowNanoseconds() - r.current->nowNanoseconds();
    r.keep.push_back(clock);
    r.current = clock;
    r.fast.store(clock.get(), std::memory_order_release);
  }
  dispatch_internal::clockSwapped(delta);
  swap.unlock();
  dispatch_internal::clockChanged();
}

std::shared_ptr<Clock> Clock::real() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  return r.real;
}

struct VirtualClock::State {
  std::atomic<int64_t> now{0};
  int64_t startNs = 0;
  NSDate startDate;
};

VirtualClock::VirtualClock(int64_t startNs) : state_(std::make_shared<State>()) {
  state_->now.store(startNs);
  state_->startNs = startNs;
  state_->startDate = NSDate::now();
}

int64_t VirtualClock::nowNanoseconds() const { return state_->now.load(std::memory_order_acquire); }

NSDate VirtualClock::date() const {
  return NSDate::fromNanoseconds1970(state_->startDate.nanoseconds1970() +
                                     (nowNanoseconds() - state_->startNs));
}

void VirtualClock::setNowNanoseconds(int64_t ns) {
  int64_t cur = state_->now.load();
  while (ns > cur && !state_->now.compare_exchange_weak(cur, ns)) {
  }
  if (ns > cur) dispatch_internal::clockChanged();
}

void VirtualClock::advanceBy(double seconds) {
  if (!(seconds > 0)) return;
  // Held at INT64_MAX nanoseconds rather than wrapping (or converting out of range).
  double ns = seconds * 1e9;
  int64_t delta = ns >= 9.2e18 ? INT64_MAX : static_cast<int64_t>(ns);
  setNowNanoseconds(dispatch_internal::addSaturating(nowNanoseconds(), delta));
}

}  // namespace plat
