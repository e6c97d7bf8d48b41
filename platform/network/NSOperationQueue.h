#pragma once
// plat::NSOperationQueue: a queue of blocks with a width (maxConcurrentOperationCount), the
// delegate queue of URL sessions. A width of 1 runs blocks one at a time in the order they
// were added; the main queue runs them on the main thread through the main run loop.
//
// Operations stay counted from the moment they are added until they have run (or were skipped
// because they were cancelled before starting).
//
// Thread-safe: blocks and operations may be added from any thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/network/NSOperation.h"

namespace plat {

class NSOperationQueue : public Object {
 public:
  // The platform's "as many as the system allows".
  static constexpr int64_t NSOperationQueueDefaultMaxConcurrentOperationCount = -1;

  NSOperationQueue();
  ~NSOperationQueue() override;
  // The queue of the main thread (width 1). Never null.
  static std::shared_ptr<NSOperationQueue> mainQueue();

  std::string className() const override { return "NSOperationQueue"; }
  // "<NSOperationQueue: 0x...>{name = '<name>'}"
  std::string description() const override;

  std::string name() const;
  void setName(std::string name);
  int64_t maxConcurrentOperationCount() const;
  // Takes effect for blocks added afterwards. Ignored on the main queue.
  void setMaxConcurrentOperationCount(int64_t count);

  // Runs `block` asynchronously on the queue (as an NSBlockOperation).
  void addOperationWithBlock(std::function<void()> block);
  // Runs the operation's start() asynchronously on the queue. A null operation or one that
  // already finished is ignored.
  void addOperation(const NSOperationRef& operation);
  // Cancels every operation added and not yet finished.
  void cancelAllOperations();
  // Operations added and not yet finished.
  uint64_t operationCount() const;
  // Blocks the caller until every block added so far has run.
  // REQUIRES: not called from a block of this queue.
  void waitUntilAllOperationsAreFinished();
  // Whether the calling thread is running a block of this queue right now.
  bool isCurrent() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
  bool main_ = false;
};
using NSOperationQueueRef = std::shared_ptr<NSOperationQueue>;

}  // namespace plat
