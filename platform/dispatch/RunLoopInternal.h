#pragma once
// Internal state of run loops and timers, shared by RunLoop.cpp, NSTimer.cpp, NSThread.cpp
// and testing/loop.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/dispatch/NSTimer.h"
#include "platform/dispatch/RunLoop.h"

namespace plat {

struct RunLoop::Impl {
  bool isMain = false;
  mutable std::mutex mu;
  std::condition_variable cv;
  std::deque<std::function<void()>> posted;
  // Posted blocks taken for the current turn and not yet run. A nested turn (run from inside
  // one of them) goes on with these first, so posts keep their order.
  std::deque<std::function<void()>> taken;
  std::vector<NSTimerRef> timers;
  bool stopRequested = false;
  bool woken = false;
  bool dead = false;  // its thread ended: posts are dropped
  // True while the loop's thread waits (or is about to). Lets the main queue skip the
  // wake-up when the loop is busy anyway.
  std::atomic<bool> sleeping{false};
  // Main loop only: another library's events, served each turn (see setEventSource).
  std::atomic<RunLoopEventSource*> eventSource{nullptr};
};

struct NSTimer::Impl {
  mutable std::mutex mu;
  double fireTime = 0;  // clock seconds
  double interval = 0;
  bool repeats = false;
  bool valid = true;
  bool firing = false;  // its block is running on the loop: not fired again until it returns
  double tolerance = 0;
  Block block;
  std::weak_ptr<RunLoop> loop;  // the loop it was added to
  const void* loopId = nullptr;
  std::set<std::string> modes;
};

namespace dispatch_internal {
RunLoopRef makeRunLoop(bool isMain);
void setCurrentRunLoop(const RunLoopRef& loop);
// Marks a loop's thread as ended and drops what was posted to it.
void retireRunLoop(const RunLoopRef& loop);
// True when timers in `timerModes` fire while a loop runs in `mode` (kCFRunLoopCommonModes as
// `mode` means "in any common mode").
// Posts `block` to `loop` and waits until it ran or was dropped.
void performAndWait(const RunLoopRef& loop, std::function<void()> block);
bool modeMatches(const std::set<std::string>& timerModes, const std::string& mode);
}  // namespace dispatch_internal

}  // namespace plat
