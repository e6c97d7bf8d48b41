#pragma once
// plat::RunLoop: a per-thread loop that runs posted blocks, fires timers of the mode it runs
// in and, on the main thread, drains the main dispatch queue.
//
// RunLoop::main() belongs to the main thread (the process's initial thread; in a test, the
// test's own thread). RunLoop::current() gives each thread its own loop, created on first
// use. Timers are scheduled on plat::Clock, so a virtual clock drives them.
//
// Modes: a timer added in kCFRunLoopCommonModes fires in every common mode (the default mode
// and UITrackingRunLoopMode); a timer added in one mode fires only while the loop runs in
// that mode. Posted blocks and the main queue run in every mode.
//
// Thread-safety: perform(), wakeUp(), stop(), addTimer() and the timer operations may be
// called from any thread; the run operations only from the loop's own thread.

#include <functional>
#include <memory>
#include <string>

namespace plat {

class NSTimer;
using NSTimerRef = std::shared_ptr<NSTimer>;
class RunLoop;
using RunLoopRef = std::shared_ptr<RunLoop>;

inline constexpr const char* kCFRunLoopDefaultMode = "kCFRunLoopDefaultMode";
inline constexpr const char* kCFRunLoopCommonModes = "kCFRunLoopCommonModes";
inline constexpr const char* NSDefaultRunLoopMode = kCFRunLoopDefaultMode;
inline constexpr const char* NSRunLoopCommonModes = kCFRunLoopCommonModes;
inline constexpr const char* UITrackingRunLoopMode = "UITrackingRunLoopMode";

// Events of another library's main context that the main loop serves on every turn, so that
// library's callbacks run on the main thread between the loop's own work.
class RunLoopEventSource {
 public:
  virtual ~RunLoopEventSource() = default;
  // Dispatches the source's ready events; when none are ready, first waits up to
  // `waitSeconds` of real time for one or for wake(). Returns true if anything was dispatched.
  // Called on the main thread only.
  virtual bool dispatch(double waitSeconds) = 0;
  // Ends a wait in dispatch() at once (or makes the next one return at once). Any thread.
  virtual void wake() = 0;
};

class RunLoop : public std::enable_shared_from_this<RunLoop> {
 public:
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;
  ~RunLoop();

  // The main thread's loop (never null; may be fetched from any thread).
  static RunLoopRef main();
  // The calling thread's loop, created on first use.
  static RunLoopRef current();

  // Adds `timer` to this loop in `mode` (it fires only while the loop runs in that mode, or in
  // any common mode for kCFRunLoopCommonModes). Adding to a second mode keeps the first.
  // An invalidated timer is ignored. A timer belongs to one loop: adding it to another is
  // ignored.
  void addTimer(const NSTimerRef& timer, const std::string& mode);

  // Queues `block` to run on this loop's thread in its next turn (in any mode), and wakes it.
  void perform(std::function<void()> block);
  // Wakes the loop if it is waiting.
  void wakeUp();

  // Runs one turn in `mode`: runs posted blocks, the main queue (main loop only) and due
  // timers; if none of that had anything to do, waits up to `timeoutSeconds` (on the clock)
  // for something to do and then does it. Returns true if any work ran.
  // A virtual clock does not move while waiting: a wait then ends when the loop is woken, or
  // after `timeoutSeconds` of real time, or when the virtual time reaches the deadline.
  // REQUIRES: called on the loop's own thread.
  bool runOnce(const std::string& mode = kCFRunLoopDefaultMode, double timeoutSeconds = 0);
  // Runs turns in `mode` until the clock reaches `deadline` (clock seconds) or stop() is
  // called. Returns true if stopped by stop().
  // REQUIRES: called on the loop's own thread.
  bool runUntil(double deadline, const std::string& mode = kCFRunLoopDefaultMode);
  // Runs turns in the default mode until stop() is called.
  // REQUIRES: called on the loop's own thread.
  void run();
  // Makes run() / runUntil() return after the current turn. A stop while not running makes
  // the next run return at once.
  void stop();

  // The earliest fire time (clock seconds) of a valid, unpaused timer in `mode`, or +infinity.
  double nextTimerFireTime(const std::string& mode = kCFRunLoopCommonModes) const;
  // True when posted blocks or main-queue work (main loop) wait to run, or a timer is due now.
  bool hasReadyWork(const std::string& mode = kCFRunLoopDefaultMode) const;
  bool isMain() const;

  // Makes the main loop serve `source` on every turn and wait on it instead of sleeping.
  // `source` must outlive the process (it is never removed); a second call is ignored.
  // REQUIRES: called on the main thread, on the main loop.
  void setEventSource(RunLoopEventSource* source);

  struct Impl;
  Impl& impl() { return *impl_; }
  explicit RunLoop(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

// performSelector-style posting.
// Runs `block` on the main thread's loop; with waitUntilDone, waits until it ran (runs it
// at once when called on the main thread).
void performSelectorOnMainThread(std::function<void()> block, bool waitUntilDone);
// Runs `block` on the calling thread's loop after `delaySeconds` on the clock (default mode).
void performSelectorAfterDelay(std::function<void()> block, double delaySeconds);

}  // namespace plat
