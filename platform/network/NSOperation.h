#pragma once
// plat::NSOperation: one unit of work for an NSOperationQueue. Subclasses override main();
// cancel() only marks the operation (main() checks isCancelled() at its own points), and a
// queue skips main() of an operation cancelled before it starts. NSBlockOperation runs a block.
//
// Thread-safe: cancel() and the state getters may be called from any thread.

#include <atomic>
#include <functional>
#include <memory>

namespace plat {

class NSOperation : public std::enable_shared_from_this<NSOperation> {
 public:
  NSOperation() = default;
  NSOperation(const NSOperation&) = delete;
  NSOperation& operator=(const NSOperation&) = delete;
  virtual ~NSOperation() = default;

  // Runs main() on the calling thread unless cancelled; marks the operation finished.
  void start();
  virtual void main() {}

  void cancel() { cancelled_.store(true); }
  bool isCancelled() const { return cancelled_.load(); }
  bool isExecuting() const { return executing_.load(); }
  bool isFinished() const { return finished_.load(); }

 private:
  std::atomic<bool> cancelled_{false}, executing_{false}, finished_{false};
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
