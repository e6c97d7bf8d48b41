// Throughput of one million ~100-byte messages through the hub to one asynchronous file
// logger, beside spdlog's asynchronous file logger writing the same messages, with the file
// logger's size rule off and on (a limit the run never reaches, so only the checks cost); and
// the cost of an asynchronous log call that no logger admits.
//
// Last line: "ratio: R" = messages per second of the hub / of spdlog (higher is better), the
// median of rounds that time both back to back.

#include <benchmark/benchmark.h>
#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/PairedRounds.h"
#include "logging/LGFileLogger.h"
#include "logging/LGLog.h"
#include "logging/LGLogFileManagerDefault.h"

namespace {

constexpr int kMessages = 1000000;
constexpr int kPairedRounds = 3;
double gHubEnqueueSeconds = 0;

std::string benchFolder(const char* name) {
  auto dir = std::filesystem::temp_directory_path() /
             ("lumora-bench-logging-" + std::to_string(::getpid())) / name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir.string();
}

// About 100 bytes with the line number in it.
const char* kText =
    "player %d finished stage %d with score %d; sending the result to the game host now";

// A maximum file size the million messages never reach: the size rule checks every write.
constexpr uint64_t kUnreachedFileSize = uint64_t{1} << 30;

// One million messages through the hub to a fresh file logger with the given maximum file
// size (0: no size rule); returns messages per second.
double runHub(const std::string& dir, uint64_t maximumFileSize) {
  auto manager = std::make_shared<LGLogFileManagerDefault>(dir);
  manager->setMaximumNumberOfLogFiles(0);
  manager->setLogFilesDiskQuota(0);
  auto logger = std::make_shared<LGFileLogger>(manager);
  logger->setMaximumFileSize(maximumFileSize);
  LGLog::addLogger(logger);
  LGLog::flushLog();
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kMessages; ++i) {
    LGLog::logLevelFlagContextFileFunctionLineTagFormat(true, 3, LGLogFlagWarning, 0, __FILE__,
                                                        "-[Bench run]", __LINE__, plat::Value(),
                                                        kText, i, i % 7, i * 3);
  }
  gHubEnqueueSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  LGLog::flushLog();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  LGLog::removeAllLoggers();
  LGLog::flushLog();
  return kMessages / seconds;
}

// The same messages through spdlog's asynchronous file logger.
double runSpdlog(const std::string& dir) {
  auto pool = std::make_shared<spdlog::details::thread_pool>(8192, 1);
  auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(dir + "/spdlog.log", true);
  auto logger = std::make_shared<spdlog::async_logger>("bench", sink, pool,
                                                       spdlog::async_overflow_policy::block);
  logger->set_pattern("%Y/%m/%d %H:%M:%S:%e  %v");
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kMessages; ++i) {
    logger->warn(
        "player {} finished stage {} with score {}; sending the result to the game host now", i,
        i % 7, i * 3);
  }
  logger->flush();
  logger.reset();
  sink.reset();
  pool.reset();  // joins the worker once every queued message is written
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return kMessages / seconds;
}

void BM_HubFileLogger(benchmark::State& state) {
  std::string dir = benchFolder("hub");
  double rate = 0;
  for (auto _ : state) {
    rate = runHub(dir, 0);
    state.SetIterationTime(kMessages / rate);
  }
  state.counters["msgs_per_s"] = rate;
  std::filesystem::remove_all(dir);
}

void BM_SpdlogAsyncFile(benchmark::State& state) {
  std::string dir = benchFolder("spdlog");
  double rate = 0;
  for (auto _ : state) {
    rate = runSpdlog(dir);
    state.SetIterationTime(kMessages / rate);
  }
  state.counters["msgs_per_s"] = rate;
  std::filesystem::remove_all(dir);
}

// An asynchronous call whose flag no registered logger admits.
void BM_HubFilteredCall(benchmark::State& state) {
  static auto logger = [] {
    auto l = std::make_shared<LGFileLogger>(
        std::make_shared<LGLogFileManagerDefault>(benchFolder("filtered")));
    LGLog::addLoggerWithLevel(l, LGLogFlagError);
    LGLog::flushLog();
    return l;
  }();
  for (auto _ : state) {
    LGLog::logLevelFlagContextFileFunctionLineTagFormat(true, 3, LGLogFlagVerbose, 0, __FILE__,
                                                        "-[Bench run]", __LINE__, plat::Value(),
                                                        kText, 1, 2, 3);
  }
}

BENCHMARK(BM_HubFileLogger)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SpdlogAsyncFile)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HubFilteredCall);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // The filtered call once more, timed by hand for the summary.
  constexpr int kCalls = 10000000;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kCalls; ++i) {
    LGLog::logLevelFlagContextFileFunctionLineTagFormat(true, 3, LGLogFlagVerbose, 0, __FILE__,
                                                        "-[Bench run]", __LINE__, plat::Value(),
                                                        kText, i, 2, 3);
  }
  double ns =
      std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
      kCalls;
  std::printf("asynchronous call that no logger admits: %.1f ns\n", ns);
  std::string hubDir = benchFolder("hub-paired");
  std::string spdlogDir = benchFolder("spdlog-paired");
  // Rounds of the hub with the given maximum file size beside spdlog.
  auto pairedWithSpdlog = [&](uint64_t maximumFileSize, const char* label) {
    int round = 0;
    double lastHub = 0;
    auto paired = bench_support::pairedRatio(
        [&] {
          lastHub = runHub(hubDir, maximumFileSize);
          return lastHub;
        },
        [&] {
          double spd = runSpdlog(spdlogDir);
          std::printf("%sround %d: spdlog %.0f messages/s\n", label, ++round, spd);
          return spd;
        },
        kPairedRounds);
    std::printf("%slast hub round: %.0f messages/s (callers done after %.3f s)\n", label, lastHub,
                gHubEnqueueSeconds);
    return paired;
  };
  auto paired = pairedWithSpdlog(0, "");
  auto sized = pairedWithSpdlog(kUnreachedFileSize, "size rule on, ");
  std::filesystem::remove_all(std::filesystem::path(hubDir).parent_path());
  double ratio = paired.median;
  std::printf("hub / spdlog: median %.3f of %d rounds (%.3f-%.3f)\n", ratio, kPairedRounds,
              paired.low, paired.high);
  std::printf("hub with the size rule / spdlog: median %.3f of %d rounds (%.3f-%.3f)\n",
              sized.median, kPairedRounds, sized.low, sized.high);
  std::printf("figure: 1M messages, hub / spdlog async file | %.3f | >= 1.0\n", ratio);
  std::printf("figure: 1M messages, size rule on, hub / spdlog async file | %.3f | >= 1.0\n",
              sized.median);
  std::printf("figure: call no logger admits (ns) | %.1f | <= 10\n", ns);
  std::printf("ratio: %.3f\n", ratio);
  return 0;
}
