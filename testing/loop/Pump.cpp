#include "testing/loop/Pump.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>

#include "platform/dispatch/DispatchInternal.h"
#include "platform/dispatch/RunLoop.h"

namespace testing_loop {

namespace {

using plat::RunLoop;
namespace di = plat::dispatch_internal;

double realNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Runs every ready turn of the main loop. Returns true if anything ran.
bool drainReady() {
  bool any = false;
  auto loop = RunLoop::main();
  while (loop->runOnce(plat::kCFRunLoopDefaultMode, 0)) any = true;
  return any;
}

bool idleNow() {
  return di::runnableWork() <= 0 && !di::blockedWaitExpired() &&
         !RunLoop::main()->hasReadyWork(plat::kCFRunLoopDefaultMode);
}

// Earliest deadline (clock seconds) of main-loop timers and delayed dispatch work.
double nextDue() {
  double t = RunLoop::main()->nextTimerFireTime(plat::kCFRunLoopDefaultMode);
  int64_t d = di::nextDeadline();
  if (d != INT64_MAX) t = std::min(t, static_cast<double>(d) / 1e9);
  return t;
}

// The latest time (clock seconds) the virtual clock can show: past it, times are held at
// INT64_MAX nanoseconds, as the clock's own arithmetic does.
constexpr double kClockEnd = 9.2e9;

// Moves the virtual clock to `t` (clock seconds, held at the clock's end) and queues the
// delayed work due by then.
void moveTo(plat::VirtualClock& clock, double t) {
  int64_t ns = t >= kClockEnd ? INT64_MAX : static_cast<int64_t>(std::ceil(t * 1e9));
  clock.setNowNanoseconds(ns);
  di::fireDue();
}

}  // namespace

// Under valgrind everything runs many times slower.
double timeoutScale() {
  static const double scale = [] {
    const char* v = std::getenv("LUMORA_TEST_TIMEOUT_SCALE");
    double s = v ? std::strtod(v, nullptr) : 1.0;
    return s >= 1.0 ? s : 1.0;
  }();
  return scale;
}

bool runUntilIdle(double maxRealSeconds) {
  double end = realNow() + maxRealSeconds * timeoutScale();
  for (;;) {
    drainReady();
    if (idleNow()) return true;
    if (realNow() >= end) return false;
    // Background work is still running: wait for it to post or finish (finishing the last
    // item wakes the main loop).
    RunLoop::main()->runOnce(plat::kCFRunLoopDefaultMode, 0.01);
  }
}

bool runUntil(const std::function<bool()>& pred, double timeoutSeconds) {
  double realEnd = realNow() + timeoutSeconds * timeoutScale();
  for (;;) {
    if (pred()) return true;
    if (drainReady()) continue;
    if (realNow() >= realEnd) return pred();
    // Nothing ready: wait for a post, a queue item, a due timer or the end of a slice (so
    // that state changed by other threads without posting is seen too).
    RunLoop::main()->runOnce(plat::kCFRunLoopDefaultMode,
                             std::min(0.01, std::max(0.001, realEnd - realNow())));
  }
}

void advance(double seconds) {
  auto clock = plat::Clock::current();
  if (!clock->isVirtual() || !(seconds > 0)) {
    runUntilIdle();
    return;
  }
  auto& vclock = static_cast<plat::VirtualClock&>(*clock);
  double target = vclock.now() + seconds;
  for (;;) {
    runUntilIdle();
    double next = nextDue();
    // Work due past the clock's end is never reached.
    if (next > target || next >= kClockEnd) break;
    moveTo(vclock, std::max(next, vclock.now()));
  }
  moveTo(vclock, target);
  runUntilIdle();
}

VirtualClockScope::VirtualClockScope() : clock_(std::make_shared<plat::VirtualClock>()) {
  plat::Clock::install(clock_);
}

VirtualClockScope::~VirtualClockScope() { plat::Clock::install(nullptr); }

}  // namespace testing_loop
