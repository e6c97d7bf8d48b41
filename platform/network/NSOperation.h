#pragma once
// plat::NSOperation: one unit of work for an NSOperationQueue.
//
// A synchronous operation overrides main(): start() runs it on the calling thread between
// "isExecuting" and "isFinished" notices, unless the operation was cancelled first, in which
// case start() only marks it finished. cancel() only marks the operation (main() checks
// isCancelled() at its own points).
//
// An asynchronous operation overrides start() (and usually cancel() and the state getters),
// answers true from isAsynchronous(), and announces its state through NSKeyValueObservable:
// willChangeValueForKey/didChangeValueForKey for "isExecuting", "isFinished" and "isCancelled"
// around each change. A queue keeps the operation's slot until it announces "isFinished";
// whoever announces it must hold a reference to the operation while doing so, since the queue
// lets go of its own reference inside the notice.
//
// Thread-safe: start(), cancel() and the state getters may be called from any thread.
// Notices are sent on the thread that changes the state.

#include <atomic>
#include <functional>
#include <memory>

#include "platform/foundation/NSKeyValueObserving.h"

namespace plat {

// Key paths of an operation's state notices.
inline constexpr const char* kNSOperationIsExecutingKey = "isExecuting";
inline constexpr const char* kNSOperationIsFinishedKey = "isFinished";
inline constexpr const char* kNSOperationIsCancelledKey = "isCancelled";
inline constexpr const char* kNSOperationIsReadyKey = "isReady";

class NSOperation : public std::enable_shared_from_this<NSOperation>, public NSKeyValueObservable {
 public:
  NSOperation() = default;
  NSOperation(const NSOperation&) = delete;
  NSOperation& operator=(const NSOperation&) = delete;
  virtual ~NSOperation() = default;

  // Runs main() on the calling thread unless cancelled, then marks the operation finished.
  // A finished or executing operation ignores start().
  virtual void start();
  virtual void main() {}

  // Marks the operation cancelled (announced once, the first time).
  virtual void cancel();
  virtual bool isCancelled() const { return cancelled_.load(); }
  virtual bool isExecuting() const { return executing_.load(); }
  virtual bool isFinished() const { return finished_.load(); }
  // Whether a queue may start the operation now. A queue hears "isReady" notices and starts a
  // waiting operation once it announces it is ready. Default: true.
  virtual bool isReady() const { return true; }
  // Whether the operation goes on after start() returns (until it announces "isFinished").
  virtual bool isAsynchronous() const { return false; }
  bool isConcurrent() const { return isAsynchronous(); }

 private:
  std::atomic<bool> cancelled_{false}, executing_{false}, finished_{false}, started_{false};
};
using NSOperationRef = std::shared_ptr<NSOperation>;

class NSBlockOperation : public NSOperation {
 public:
  explicit NSBlockOperation(std::function<void()> block) : block_(std::move(block)) {}
  static std::shared_ptr<NSBlockOperation> blockOperationWithBlock(std::function<void()> block) {
    return std::make_shared<NSBlockOperation>(std::move(block));
  }
  void main() override {
    if (block_) block_();
  }

 private:
  std::function<void()> block_;
};

}  // namespace plat
