#include "platform/network/NSOperationQueue.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/dispatch/Dispatch.h"

namespace plat {

namespace {
thread_local const void* tCurrentQueue = nullptr;
}

struct NSOperationQueue::State {
  std::mutex mu;
  std::condition_variable idle;
  std::string name;
  int64_t width = NSOperationQueueDefaultMaxConcurrentOperationCount;
  DispatchQueueRef serial;
  DispatchQueueRef concurrent;
  std::vector<NSOperationRef> operations;  // added, not yet finished
};

NSOperationQueue::NSOperationQueue() : state_(std::make_shared<State>()) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "NSOperationQueue %p", static_cast<const void*>(this));
  state_->name = buf;
  state_->serial = dispatch_queue_create(state_->name, DISPATCH_QUEUE_SERIAL);
  state_->concurrent = dispatch_queue_create(state_->name, DISPATCH_QUEUE_CONCURRENT);
}

NSOperationQueue::~NSOperationQueue() = default;

std::shared_ptr<NSOperationQueue> NSOperationQueue::mainQueue() {
  static auto* q = [] {
    auto p = new std::shared_ptr<NSOperationQueue>(std::make_shared<NSOperationQueue>());
    (*p)->main_ = true;
    (*p)->state_->name = "NSOperationQueue Main Queue";
    (*p)->state_->width = 1;
    return p;
  }();
  return *q;
}

std::string NSOperationQueue::description() const {
  char buf[64];
  std::snprintf(buf, sizeof buf, "<NSOperationQueue: %p>", static_cast<const void*>(this));
  return std::string(buf) + "{name = '" + name() + "'}";
}

std::string NSOperationQueue::name() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->name;
}

void NSOperationQueue::setName(std::string name) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->name = std::move(name);
}

int64_t NSOperationQueue::maxConcurrentOperationCount() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->width;
}

void NSOperationQueue::setMaxConcurrentOperationCount(int64_t count) {
  if (main_) return;
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->width = count;
}

void NSOperationQueue::addOperationWithBlock(std::function<void()> block) {
  if (block) addOperation(NSBlockOperation::blockOperationWithBlock(std::move(block)));
}

void NSOperationQueue::addOperation(const NSOperationRef& operation) {
  if (!operation || operation->isFinished()) return;
  DispatchQueueRef target;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->operations.push_back(operation);
    target = main_ ? dispatch_get_main_queue()
                   : (state_->width == 1 ? state_->serial : state_->concurrent);
  }
  auto state = state_;
  const void* self = this;
  dispatch_async(target, [state, self, operation] {
    const void* saved = tCurrentQueue;
    tCurrentQueue = self;
    operation->start();
    tCurrentQueue = saved;
    std::lock_guard<std::mutex> lock(state->mu);
    auto& ops = state->operations;
    for (auto it = ops.begin(); it != ops.end(); ++it) {
      if (*it == operation) {
        ops.erase(it);
        break;
      }
    }
    if (ops.empty()) state->idle.notify_all();
  });
}

void NSOperationQueue::cancelAllOperations() {
  std::vector<NSOperationRef> ops;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    ops = state_->operations;
  }
  for (auto& op : ops) op->cancel();
}

uint64_t NSOperationQueue::operationCount() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->operations.size();
}

void NSOperationQueue::waitUntilAllOperationsAreFinished() {
  std::unique_lock<std::mutex> lock(state_->mu);
  state_->idle.wait(lock, [&] { return state_->operations.empty(); });
}

bool NSOperationQueue::isCurrent() const { return tCurrentQueue == this; }

}  // namespace plat
