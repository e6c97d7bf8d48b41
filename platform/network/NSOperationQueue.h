#pragma once
// plat::NSOperationQueue: runs operations with a width (maxConcurrentOperationCount); the
// delegate queue of URL sessions. A width of 1 runs operations one at a time in the order they
// were added; the main queue runs them on the main thread through the main run loop.
//
// A synchronous operation holds its slot while its start() runs; an asynchronous one
// (isAsynchronous()) holds it until it announces "isFinished". An operation that is not ready
// waits, without holding a slot, until it announces "isReady"; operations behind it may start
// first. A cancelled operation is still started (so that it can finish and report itself).
//
// Operations stay counted from the moment they are added until they have finished. A queue
// that goes away keeps running what it holds.
//
// Thread-safe: operations may be added and the queue configured from any thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch/NSThread.h"
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
  // A width of 0 starts nothing until it is raised; other negative values mean the default.
  // Ignored on the main queue.
  void setMaxConcurrentOperationCount(int64_t count);
  // NSQualityOfServiceDefault until set; the main queue's is NSQualityOfServiceUserInteractive
  // and cannot be changed. Operations started afterwards run on work of that class
  // (plat::qos_class_self()), which does not change how they are scheduled.
  NSQualityOfService qualityOfService() const;
  void setQualityOfService(NSQualityOfService qos);

  // Runs `block` asynchronously on the queue (as an NSBlockOperation).
  void addOperationWithBlock(std::function<void()> block);
  // Starts the operation asynchronously on the queue once a slot is free and it is ready. A
  // null operation, one that already finished and one already in this queue are ignored.
  void addOperation(const NSOperationRef& operation);
  // Cancels every operation added and not yet finished.
  void cancelAllOperations();
  // Operations added and not yet finished.
  uint64_t operationCount() const;
  // Blocks the caller until every operation added so far has finished. A wait that could
  // never end (on the main queue from the main thread, or from an operation of this queue) is
  // refused: reported through the dispatch misuse handler, and the call returns at once.
  void waitUntilAllOperationsAreFinished();
  // Whether the calling thread is running an operation's start() for this queue right now.
  bool isCurrent() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
  bool main_ = false;
};
using NSOperationQueueRef = std::shared_ptr<NSOperationQueue>;

}  // namespace plat
