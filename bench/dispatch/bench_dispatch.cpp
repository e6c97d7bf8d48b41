// Async throughput of a serial dispatch queue and of the main queue, each beside a plain
// mutex + condition-variable work queue doing the same work in the same binary. The figures
// are medians of rounds that time both sides back to back.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>
#include <thread>

#include "bench/PairedRounds.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/RunLoop.h"

namespace {

constexpr int kTasks = 20000;
constexpr int kPairedRounds = 9;

// The baseline: one worker thread draining a mutex-protected deque of std::function.
class PlainWorkQueue {
 public:
  explicit PlainWorkQueue(bool withThread) {
    if (withThread) worker_ = std::thread([this] { loop(); });
  }
  ~PlainWorkQueue() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_one();
    if (worker_.joinable()) worker_.join();
  }
  void post(std::function<void()> f) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      jobs_.push_back(std::move(f));
    }
    cv_.notify_one();
  }
  // Runs everything queued now on the calling thread.
  void drain() {
    std::deque<std::function<void()>> jobs;
    {
      std::lock_guard<std::mutex> lock(mu_);
      jobs.swap(jobs_);
    }
    for (auto& j : jobs) j();
  }

 private:
  void loop() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      cv_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      auto job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
      lock.lock();
    }
  }
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_;
  bool stop_ = false;
  std::thread worker_;
};

// One timed run of each: `rounds` bursts of kTasks tasks; returns tasks per second.
double runSerialQueue(int rounds) {
  static auto q = plat::dispatch_queue_create("bench.serial");
  std::atomic<int> done{0};
  auto start = std::chrono::steady_clock::now();
  for (int r = 0; r < rounds; ++r) {
    done = 0;
    for (int i = 0; i < kTasks; ++i) plat::dispatch_async(q, [&done] { done.fetch_add(1, std::memory_order_relaxed); });
    plat::dispatch_sync(q, [] {});
    benchmark::DoNotOptimize(done.load());
  }
  return rounds * kTasks / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double runThreadQueue(int rounds) {
  static PlainWorkQueue q(true);
  std::atomic<int> done{0};
  auto start = std::chrono::steady_clock::now();
  for (int r = 0; r < rounds; ++r) {
    done = 0;
    for (int i = 0; i < kTasks; ++i) q.post([&done] { done.fetch_add(1, std::memory_order_relaxed); });
    std::mutex m;
    std::condition_variable cv;
    bool fin = false;
    q.post([&] {
      std::lock_guard<std::mutex> lock(m);
      fin = true;
      cv.notify_one();
    });
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return fin; });
  }
  return rounds * kTasks / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double runMainQueue(int rounds) {
  auto main = plat::dispatch_get_main_queue();
  auto loop = plat::RunLoop::main();
  int done = 0;
  auto start = std::chrono::steady_clock::now();
  for (int r = 0; r < rounds; ++r) {
    done = 0;
    for (int i = 0; i < kTasks; ++i) plat::dispatch_async(main, [&done] { ++done; });
    while (done < kTasks) loop->runOnce(plat::kCFRunLoopDefaultMode, 0);
  }
  return rounds * kTasks / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double runDrainedQueue(int rounds) {
  static PlainWorkQueue q(false);
  int done = 0;
  auto start = std::chrono::steady_clock::now();
  for (int r = 0; r < rounds; ++r) {
    done = 0;
    for (int i = 0; i < kTasks; ++i) q.post([&done] { ++done; });
    while (done < kTasks) q.drain();
  }
  return rounds * kTasks / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void report(benchmark::State& state, double (*run)(int)) {
  for (auto _ : state) run(1);
  state.SetItemsProcessed(state.iterations() * kTasks);
}

void BM_SerialQueueAsync(benchmark::State& state) { report(state, runSerialQueue); }
void BM_BaselineThreadQueue(benchmark::State& state) { report(state, runThreadQueue); }
void BM_MainQueueAsync(benchmark::State& state) { report(state, runMainQueue); }
void BM_BaselineDrainedQueue(benchmark::State& state) { report(state, runDrainedQueue); }

BENCHMARK(BM_SerialQueueAsync)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_BaselineThreadQueue)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_MainQueueAsync)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_BaselineDrainedQueue)->UseRealTime()->MinTime(0.5);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  auto serial = bench_support::pairedRatio([] { return runSerialQueue(25); },
                                           [] { return runThreadQueue(25); }, kPairedRounds);
  auto mainq = bench_support::pairedRatio([] { return runMainQueue(50); },
                                          [] { return runDrainedQueue(50); }, kPairedRounds);
  std::printf("serial queue / mutex+cv queue: median %.2f of %d rounds (%.2f-%.2f)\n",
              serial.median, kPairedRounds, serial.low, serial.high);
  std::printf("main queue / drained mutex queue: median %.2f of %d rounds (%.2f-%.2f)\n",
              mainq.median, kPairedRounds, mainq.low, mainq.high);
  std::printf("figure: serial queue async / mutex+cv queue | %.2f | >= 1.0\n", serial.median);
  std::printf("figure: main queue async / drained mutex queue | %.2f | >= 1.0\n", mainq.median);
  // The weaker of the two counts.
  std::printf("ratio: %.2f\n", std::min(serial.median, mainq.median));
  return 0;
}
