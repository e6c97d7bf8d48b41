// A response head of many fields through the HTTP client, against a loopback server:
//  - a head of 30,000 distinct short fields (within the engine's 256 KiB bound),
//  - the baseline: a head of the same size whose fields all share one name.
// Both go through SDPHTTPSessionManager with completions on the main run loop, over one
// keep-alive connection. Reading a head should cost time in line with its size, whatever its
// names: the figure is heads per second of the distinct head over those of the baseline.
// The last line printed is "ratio: R".

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "bench/LoopbackServer.h"
#include "bench/RateReporter.h"
#include "net/SDPHTTPResponseSerializer.h"
#include "net/SDPHTTPSessionManager.h"
#include "platform/dispatch/RunLoop.h"

namespace {

constexpr int kFields = 30000;

// A 200 answer whose head holds kFields fields "<name>:1" (240,000 bytes); every name is four
// characters, "h" and three base-36 digits, distinct unless `repeated`.
std::string manyFields(bool repeated) {
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n";
  for (int i = 0; i < kFields; ++i) {
    int n = repeated ? 0 : i;
    char name[5] = {'h', 0, 0, 0, 0};
    for (int d = 3; d >= 1; --d, n /= 36) name[d] = kDigits[n % 36];
    head += name;
    head += ":1\r\n";
  }
  return head + "\r\nok";
}

class BenchServer {
 public:
  std::string url(const std::string& path) const { return server_.url(path); }

 private:
  const std::string distinct_ = manyFields(false);
  const std::string repeated_ = manyFields(true);
  bench_support::LoopbackServer server_{[this](const std::string& head) -> const std::string& {
    return head.compare(0, 14, "GET /distinct ") == 0 ? distinct_ : repeated_;
  }};
};

BenchServer& server() {
  static auto* s = new BenchServer();
  return *s;
}

// Fetches `path` once; false when it failed or its body is not "ok".
bool fetch(SDPHTTPSessionManager& manager, const std::string& path) {
  bool done = false, ok = false;
  manager.GETParametersSuccessFailure(
      server().url(path), plat::Value(),
      [&](const plat::NSURLSessionDataTaskRef&, const plat::Value& object) {
        const plat::Data* d = object.data();
        ok = d && d->toString() == "ok";
        done = true;
      },
      [&](const plat::NSURLSessionDataTaskRef&, const plat::NSErrorRef& error) {
        std::fprintf(stderr, "request failed: %s\n", error->description().c_str());
        done = true;
      });
  auto loop = plat::RunLoop::main();
  while (!done) loop->runOnce(plat::kCFRunLoopDefaultMode, 1.0);
  return ok;
}

void BM_Head(benchmark::State& state, const char* path) {
  auto manager = SDPHTTPSessionManager::manager();
  manager->setResponseSerializer(SDPHTTPResponseSerializer::serializer());
  for (auto _ : state) {
    if (!fetch(*manager, path)) state.SkipWithError("request failed");
  }
  state.SetItemsProcessed(state.iterations());
  manager->invalidateSessionCancelingTasks(true);
}

}  // namespace

int main(int argc, char** argv) {
  server();
  benchmark::RegisterBenchmark("System/HeadOfDistinctFields", BM_Head, "/distinct")
      ->MinTime(1.0)
      ->UseRealTime();
  benchmark::RegisterBenchmark("Baseline/HeadOfOneRepeatedField", BM_Head, "/repeated")
      ->MinTime(1.0)
      ->UseRealTime();
  benchmark::Initialize(&argc, argv);
  bench_support::RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  const double ratio =
      reporter.ratio("System/HeadOfDistinctFields", "Baseline/HeadOfOneRepeatedField");
  std::printf("head of %d fields: distinct names %.1f heads/s, one repeated name %.1f heads/s\n",
              kFields, reporter.rate("System/HeadOfDistinctFields"),
              reporter.rate("Baseline/HeadOfOneRepeatedField"));
  std::printf("figure: head of distinct fields / one repeated field | %.3f | >= 0.5\n", ratio);
  std::printf("ratio: %.3f\n", ratio);
  return 0;
}
