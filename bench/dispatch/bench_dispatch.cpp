// Async throughput of a serial dispatch queue and of the main queue, each beside a plain
// mutex + condition-variable work queue doing the same work in the same binary.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/RunLoop.h"

namespace {

constexpr int kTasks = 20000;

// Tasks per second of the last run of each benchmark.
std::map<std::string, double>& rates() {
  static std::map<std::string, double> r;
  return r;
}

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

void record(benchmark::State& state, const char* name) {
  state.SetItemsProcessed(state.iterations() * kTasks);
}

void BM_SerialQueueAsync(benchmark::State& state) {
  auto q = plat::dispatch_queue_create("bench.serial");
  std::atomic<int> done{0};
  auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    done = 0;
    for (int i = 0; i < kTasks; ++i) plat::dispatch_async(q, [&done] { done.fetch_add(1, std::memory_order_relaxed); });
    plat::dispatch_sync(q, [] {});
    benchmark::DoNotOptimize(done.load());
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  rates()["serial"] = state.iterations() * kTasks / secs;
  record(state, "serial");
}

void BM_BaselineThreadQueue(benchmark::State& state) {
  PlainWorkQueue q(true);
  std::atomic<int> done{0};
  auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
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
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  rates()["serial-baseline"] = state.iterations() * kTasks / secs;
  record(state, "serial-baseline");
}

void BM_MainQueueAsync(benchmark::State& state) {
  auto main = plat::dispatch_get_main_queue();
  auto loop = plat::RunLoop::main();
  int done = 0;
  auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    done = 0;
    for (int i = 0; i < kTasks; ++i) plat::dispatch_async(main, [&done] { ++done; });
    while (done < kTasks) loop->runOnce(plat::kCFRunLoopDefaultMode, 0);
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  rates()["main"] = state.iterations() * kTasks / secs;
  record(state, "main");
}

void BM_BaselineDrainedQueue(benchmark::State& state) {
  PlainWorkQueue q(false);
  int done = 0;
  auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    done = 0;
    for (int i = 0; i < kTasks; ++i) q.post([&done] { ++done; });
    while (done < kTasks) q.drain();
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  rates()["main-baseline"] = state.iterations() * kTasks / secs;
  record(state, "main-baseline");
}

BENCHMARK(BM_SerialQueueAsync)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_BaselineThreadQueue)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_MainQueueAsync)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_BaselineDrainedQueue)->UseRealTime()->MinTime(0.5);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  auto& r = rates();
  if (!r.count("serial") || !r.count("serial-baseline") || !r.count("main") ||
      !r.count("main-baseline")) {
    std::printf("ratio: 0\n");
    return 1;
  }
  double serial = r["serial"] / r["serial-baseline"];
  double mainq = r["main"] / r["main-baseline"];
  std::printf("serial queue: %.0f tasks/s, baseline %.0f tasks/s, ratio %.2f\n", r["serial"],
              r["serial-baseline"], serial);
  std::printf("main queue:   %.0f tasks/s, baseline %.0f tasks/s, ratio %.2f\n", r["main"],
              r["main-baseline"], mainq);
  std::printf("figure: serial queue async / mutex+cv queue | %.2f | >= 1.0\n", serial);
  std::printf("figure: main queue async / drained mutex queue | %.2f | >= 1.0\n", mainq);
  // The weaker of the two counts.
  std::printf("ratio: %.2f\n", std::min(serial, mainq));
  return 0;
}
