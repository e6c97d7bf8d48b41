// Operations and their queue: state notices, asynchronous operations holding their slot until
// they finish, readiness, width and quality of service.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/NSThread.h"
#include "platform/network/NSOperationQueue.h"
#include "testing/loop/Pump.h"

using namespace plat;

namespace {

// Records the state notices an operation sends, in order.
class NoticeLog {
 public:
  explicit NoticeLog(const NSOperationRef& op) : op_(op) {
    for (const char* key : {kNSOperationIsExecutingKey, kNSOperationIsFinishedKey,
                            kNSOperationIsCancelledKey, kNSOperationIsReadyKey}) {
      tokens_.push_back(op->addObserverForKeyPath(key, [this](const std::string& k) {
        std::lock_guard<std::mutex> lock(mu_);
        keys_.push_back(k);
      }));
    }
  }
  ~NoticeLog() {
    for (auto& t : tokens_) op_->removeObserverForKeyPath(t);
  }
  std::vector<std::string> keys() {
    std::lock_guard<std::mutex> lock(mu_);
    return keys_;
  }

 private:
  NSOperationRef op_;
  std::vector<NSKeyValueObservable::ObserverToken> tokens_;
  std::mutex mu_;
  std::vector<std::string> keys_;
};

// An asynchronous operation that runs until the test finishes it.
class GatedOperation : public NSOperation {
 public:
  explicit GatedOperation(bool ready = true) : ready_(ready) {}
  bool isAsynchronous() const override { return true; }
  bool isExecuting() const override { return executing_; }
  bool isFinished() const override { return finished_; }
  bool isReady() const override { return ready_; }
  void start() override {
    ++starts;
    if (isCancelled()) {
      finish();
      return;
    }
    willChangeValueForKey(kNSOperationIsExecutingKey);
    executing_ = true;
    didChangeValueForKey(kNSOperationIsExecutingKey);
  }
  // Holds itself while announcing, as any finishing operation must.
  void finish() {
    auto self = shared_from_this();
    willChangeValueForKey(kNSOperationIsExecutingKey);
    willChangeValueForKey(kNSOperationIsFinishedKey);
    executing_ = false;
    finished_ = true;
    didChangeValueForKey(kNSOperationIsExecutingKey);
    didChangeValueForKey(kNSOperationIsFinishedKey);
  }
  void becomeReady() {
    willChangeValueForKey(kNSOperationIsReadyKey);
    ready_ = true;
    didChangeValueForKey(kNSOperationIsReadyKey);
  }
  std::atomic<int> starts{0};

 private:
  std::atomic<bool> executing_{false}, finished_{false}, ready_;
};

TEST(NSOperation, AnnouncesItsStateAndSkipsMainOnceCancelled) {
  int ran = 0;
  auto op = NSBlockOperation::blockOperationWithBlock([&] { ++ran; });
  EXPECT_TRUE(op->isReady());
  EXPECT_FALSE(op->isAsynchronous());
  {
    NoticeLog log(op);
    op->start();
    op->start();  // finished: ignored
    op->cancel();
    op->cancel();  // announced once
    EXPECT_EQ(log.keys(), (std::vector<std::string>{"isExecuting", "isExecuting", "isFinished",
                                                    "isCancelled"}));
  }
  EXPECT_EQ(ran, 1);
  EXPECT_TRUE(op->isFinished());
  EXPECT_FALSE(op->isExecuting());

  auto skipped = NSBlockOperation::blockOperationWithBlock([&] { ++ran; });
  NoticeLog log(skipped);
  skipped->cancel();
  skipped->start();
  EXPECT_EQ(ran, 1);
  EXPECT_TRUE(skipped->isFinished());
  EXPECT_EQ(log.keys(), (std::vector<std::string>{"isCancelled", "isFinished"}));
}

TEST(NSOperationQueue, AnAsynchronousOperationHoldsItsSlotUntilItAnnouncesFinished) {
  auto q = std::make_shared<NSOperationQueue>();
  q->setMaxConcurrentOperationCount(1);
  auto gated = std::make_shared<GatedOperation>();
  std::atomic<bool> after{false};
  q->addOperation(gated);
  q->addOperationWithBlock([&] { after = true; });
  q->addOperation(gated);  // already in the queue: ignored
  EXPECT_EQ(q->operationCount(), 2u);
  ASSERT_TRUE(testing_loop::runUntil([&] { return gated->isExecuting(); }));
  // start() has returned, but the operation goes on and keeps the only slot.
  EXPECT_TRUE(testing_loop::runUntilIdle());
  EXPECT_FALSE(after.load());
  EXPECT_EQ(q->operationCount(), 2u);

  // Finished from another thread, with the queue holding the only other reference.
  std::weak_ptr<GatedOperation> weak = gated;
  dispatch_async(dispatch_get_global_queue(0), [g = std::move(gated)] { g->finish(); });
  q->waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(after.load());
  EXPECT_EQ(q->operationCount(), 0u);
  EXPECT_TRUE(testing_loop::runUntil([&] { return weak.expired(); }));
}

TEST(NSOperationQueue, CancelledAsynchronousOperationsAreStartedSoTheyCanFinish) {
  auto q = std::make_shared<NSOperationQueue>();
  q->setMaxConcurrentOperationCount(1);
  auto first = std::make_shared<GatedOperation>(), second = std::make_shared<GatedOperation>();
  q->addOperation(first);
  q->addOperation(second);
  ASSERT_TRUE(testing_loop::runUntil([&] { return first->isExecuting(); }));
  q->cancelAllOperations();
  EXPECT_TRUE(first->isCancelled());
  EXPECT_TRUE(second->isCancelled());
  first->finish();
  q->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(second->starts.load(), 1);
  EXPECT_TRUE(second->isFinished());
}

TEST(NSOperationQueue, AnOperationThatIsNotReadyWaitsWithoutASlot) {
  auto q = std::make_shared<NSOperationQueue>();
  q->setMaxConcurrentOperationCount(1);
  auto waiting = std::make_shared<GatedOperation>(false);
  std::atomic<bool> behind{false};
  q->addOperation(waiting);
  q->addOperationWithBlock([&] { behind = true; });
  ASSERT_TRUE(testing_loop::runUntil([&] { return behind.load(); }));
  EXPECT_EQ(waiting->starts.load(), 0);
  EXPECT_EQ(q->operationCount(), 1u);
  waiting->becomeReady();
  ASSERT_TRUE(testing_loop::runUntil([&] { return waiting->isExecuting(); }));
  waiting->finish();
  q->waitUntilAllOperationsAreFinished();
}

TEST(NSOperationQueue, WidthLimitsRunningAsynchronousOperationsAndZeroStartsNothing) {
  auto q = std::make_shared<NSOperationQueue>();
  q->setMaxConcurrentOperationCount(0);
  std::vector<std::shared_ptr<GatedOperation>> ops;
  for (int i = 0; i < 5; ++i) {
    ops.push_back(std::make_shared<GatedOperation>());
    q->addOperation(ops.back());
  }
  auto executing = [&] {
    int n = 0;
    for (auto& op : ops) n += op->isExecuting();
    return n;
  };
  EXPECT_TRUE(testing_loop::runUntilIdle());
  EXPECT_EQ(executing(), 0);
  q->setMaxConcurrentOperationCount(2);
  ASSERT_TRUE(testing_loop::runUntil([&] { return executing() == 2; }));
  for (size_t done = 0; done < ops.size(); ++done) {
    // Added order: the finished one's slot goes to the next waiting operation.
    ops[done]->finish();
    size_t expected = std::min<size_t>(2, ops.size() - done - 1);
    ASSERT_TRUE(testing_loop::runUntil([&] {
      return static_cast<size_t>(executing()) == expected &&
             q->operationCount() == ops.size() - done - 1;
    }));
    EXPECT_TRUE(testing_loop::runUntilIdle());
    EXPECT_EQ(static_cast<size_t>(executing()), expected);
  }
  q->setMaxConcurrentOperationCount(-7);
  EXPECT_EQ(q->maxConcurrentOperationCount(), -1);
}

TEST(NSOperationQueue, AWidthOfTwoRunsTwoBlocksAtATime) {
  auto q = std::make_shared<NSOperationQueue>();
  q->setMaxConcurrentOperationCount(2);
  auto gate = dispatch_semaphore_create(0);
  std::atomic<int> running{0}, most{0}, entered{0};
  for (int i = 0; i < 6; ++i) {
    q->addOperationWithBlock([&] {
      int now = ++running;
      for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
      }
      ++entered;
      dispatch_semaphore_wait(gate, DISPATCH_TIME_FOREVER);
      --running;
    });
  }
  // Not ASSERT: the blocks must be let go even when the check fails.
  EXPECT_TRUE(testing_loop::runUntil([&] { return entered.load() >= 2; }));
  EXPECT_TRUE(testing_loop::runUntilIdle(0.2));
  EXPECT_EQ(entered.load(), 2);
  for (int i = 0; i < 6; ++i) dispatch_semaphore_signal(gate);
  q->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(entered.load(), 6);
  EXPECT_EQ(most.load(), 2);
}

TEST(NSOperationQueue, ADroppedQueueStillFinishesWhatItHolds) {
  auto q = std::make_shared<NSOperationQueue>();
  q->setMaxConcurrentOperationCount(1);
  auto gated = std::make_shared<GatedOperation>();
  std::atomic<bool> after{false};
  q->addOperation(gated);
  q->addOperationWithBlock([&] { after = true; });
  ASSERT_TRUE(testing_loop::runUntil([&] { return gated->isExecuting(); }));
  q.reset();
  gated->finish();
  EXPECT_TRUE(testing_loop::runUntil([&] { return after.load(); }));
  EXPECT_TRUE(testing_loop::runUntilIdle());
}

// Collects the dispatch misuse reports made while it lives.
struct MisuseReports {
  std::mutex mu;
  std::vector<std::string> messages;
  MisuseReports() {
    dispatch_set_misuse_handler([this](const std::string& m) {
      std::lock_guard<std::mutex> lock(mu);
      messages.push_back(m);
    });
  }
  ~MisuseReports() { dispatch_set_misuse_handler(nullptr); }
  std::vector<std::string> taken() {
    std::lock_guard<std::mutex> lock(mu);
    return messages;
  }
};

// Waits that could never end are refused with a report, as a dispatch_sync to the main queue
// from the main thread is, and the operations still run afterwards.
TEST(NSOperationQueue, AWaitThatCouldNeverEndIsRefusedAndReported) {
  MisuseReports reports;
  std::atomic<bool> ran{false};
  NSOperationQueue::mainQueue()->addOperationWithBlock([&] { ran = true; });
  NSOperationQueue::mainQueue()->waitUntilAllOperationsAreFinished();
  EXPECT_FALSE(ran.load());
  auto seen = reports.taken();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_NE(seen[0].find("main"), std::string::npos) << seen[0];
  EXPECT_TRUE(testing_loop::runUntil([&] { return ran.load(); }));

  auto q = std::make_shared<NSOperationQueue>();
  q->setName("test.self-wait");
  std::atomic<bool> returned{false};
  NSOperationQueue* raw = q.get();
  q->addOperationWithBlock([&, raw] {
    raw->waitUntilAllOperationsAreFinished();
    returned = true;
  });
  EXPECT_TRUE(testing_loop::runUntil([&] { return returned.load(); }));
  q->waitUntilAllOperationsAreFinished();
  seen = reports.taken();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_NE(seen[1].find("test.self-wait"), std::string::npos) << seen[1];
}

TEST(NSQualityOfService, QueuesAndThreadsCarryTheirClass) {
  auto q = std::make_shared<NSOperationQueue>();
  EXPECT_EQ(q->qualityOfService(), NSQualityOfServiceDefault);
  q->setQualityOfService(NSQualityOfServiceBackground);
  EXPECT_EQ(q->qualityOfService(), NSQualityOfServiceBackground);
  std::atomic<unsigned> seen{0};
  q->addOperationWithBlock([&] { seen = qos_class_self(); });
  q->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(seen.load(), QOS_CLASS_BACKGROUND);

  auto main = NSOperationQueue::mainQueue();
  main->setQualityOfService(NSQualityOfServiceBackground);  // fixed on the main queue
  EXPECT_EQ(main->qualityOfService(), NSQualityOfServiceUserInteractive);

  EXPECT_EQ(NSThread::mainThread()->qualityOfService(), NSQualityOfServiceUserInteractive);
  auto t = NSThread::threadWithBlock([] {});
  EXPECT_EQ(t->qualityOfService(), NSQualityOfServiceDefault);
  t->setQualityOfService(NSQualityOfServiceBackground);
  EXPECT_EQ(t->qualityOfService(), NSQualityOfServiceBackground);
}

}  // namespace
