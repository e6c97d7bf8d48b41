// The "local" scheme's throughput beside plain pread of the same bytes in the same binary:
// a 64 MiB file served whole, and 4,096 random 64 KiB ranges of a 64 MiB video file (all
// requested at once, as a page playing or seeking does). Each answer goes to a task that only
// counts the bytes it receives on the main thread. Last line: "ratio: R", the lower of the
// scheme's MiB/s over pread's for the whole file and for the ranges.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>

#include "platform/dispatch/RunLoop.h"
#include "platform/foundation/NSBundle.h"
#include "platform/network/NSURLRequest.h"
#include "platform/webkit/WKURLSchemeHandler.h"
#include "publish_kite/Classes/ViewController/MainViewController.h"

namespace {

constexpr size_t kFileSize = 64u << 20;
constexpr size_t kRangeSize = 64u << 10;
constexpr int kRanges = 4096;
constexpr size_t kWholeChunk = 1u << 20;

struct Fixture {
  std::string root;
  std::shared_ptr<MainViewController> vc;
  std::vector<size_t> offsets;

  Fixture() {
    char templ[] = "/tmp/lumora-bench-XXXXXX";
    root = ::mkdtemp(templ);
    std::filesystem::create_directories(root + "/Data");
    std::string bytes(kFileSize, '\0');
    std::mt19937_64 rng(42);
    for (size_t i = 0; i + 8 <= bytes.size(); i += 8) {
      uint64_t v = rng();
      std::memcpy(&bytes[i], &v, 8);
    }
    std::ofstream(root + "/Data/big.bin", std::ios::binary) << bytes;
    std::ofstream(root + "/Data/big.mp4", std::ios::binary) << bytes;
    std::ofstream(root + "/Info.plist") << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                                           "<key>CFBundleIdentifier</key><string>bench</string>"
                                           "</dict></plist>";
    plat::NSBundle::setMainBundlePath(root);
    vc = MainViewController::instantiateFromStoryboard();
    vc->loadViewIfNeeded();
    for (int i = 0; i < kRanges; ++i) offsets.push_back(rng() % (kFileSize - kRangeSize));
  }
  ~Fixture() { std::filesystem::remove_all(root); }
};

Fixture& fixture() {
  static Fixture* f = new Fixture();
  return *f;
}

// Starts tasks for `requests` (path, range) and pumps the main loop until all finished.
// Returns the bytes received.
size_t serve(const std::vector<std::pair<std::string, std::string>>& requests) {
  auto& f = fixture();
  auto received = std::make_shared<size_t>(0);
  auto finished = std::make_shared<size_t>(0);
  std::vector<plat::WKURLSchemeTaskRef> tasks;
  for (auto& [path, range] : requests) {
    auto request = plat::NSMutableURLRequest::requestWithURL("local://game" + path);
    if (!range.empty()) request->setValueForHTTPHeaderField(range, "Range");
    plat::WKURLSchemeTask::Sink sink;
    sink.data = [received](const plat::Data& d) { *received += d.length(); };
    sink.finish = [finished] { ++*finished; };
    sink.fail = [finished](const plat::NSErrorRef&) { ++*finished; };
    tasks.push_back(std::make_shared<plat::WKURLSchemeTask>(request, sink));
    f.vc->webViewStartURLSchemeTask(f.vc->webView(), tasks.back());
  }
  auto loop = plat::RunLoop::main();
  while (*finished < requests.size()) loop->runOnce(plat::kCFRunLoopDefaultMode, 0.001);
  return *received;
}

size_t preadAll(const std::string& path, const std::vector<std::pair<size_t, size_t>>& spans) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  size_t total = 0;
  for (auto [offset, length] : spans) {
    std::unique_ptr<char[]> buf(new char[length]);
    size_t got = 0;
    while (got < length) {
      ssize_t n = ::pread(fd, buf.get() + got, length - got, static_cast<off_t>(offset + got));
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    benchmark::DoNotOptimize(buf.get());
    total += got;
  }
  ::close(fd);
  return total;
}

void BM_SchemeWhole(benchmark::State& state) {
  for (auto _ : state) {
    if (serve({{"/big.bin", ""}}) != kFileSize) state.SkipWithError("short answer");
  }
  state.SetBytesProcessed(state.iterations() * kFileSize);
}

void BM_PreadWhole(benchmark::State& state) {
  // The same pieces the scheme hands over (1 MiB), each in a buffer of its own: a single
  // 64 MiB buffer would mostly measure the page faults of a fresh allocation.
  std::vector<std::pair<size_t, size_t>> spans;
  for (size_t o = 0; o < kFileSize; o += kWholeChunk) spans.push_back({o, kWholeChunk});
  for (auto _ : state) preadAll(fixture().root + "/Data/big.bin", spans);
  state.SetBytesProcessed(state.iterations() * kFileSize);
}

void BM_SchemeRanges(benchmark::State& state) {
  std::vector<std::pair<std::string, std::string>> requests;
  for (size_t o : fixture().offsets)
    requests.push_back(
        {"/big.mp4", "bytes=" + std::to_string(o) + "-" + std::to_string(o + kRangeSize - 1)});
  for (auto _ : state) {
    if (serve(requests) != kRanges * kRangeSize) state.SkipWithError("short answer");
  }
  state.SetBytesProcessed(state.iterations() * kRanges * kRangeSize);
}

void BM_PreadRanges(benchmark::State& state) {
  std::vector<std::pair<size_t, size_t>> spans;
  for (size_t o : fixture().offsets) spans.push_back({o, kRangeSize});
  for (auto _ : state) preadAll(fixture().root + "/Data/big.mp4", spans);
  state.SetBytesProcessed(state.iterations() * kRanges * kRangeSize);
}

BENCHMARK(BM_SchemeWhole)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_PreadWhole)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_SchemeRanges)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_PreadRanges)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();

// Keeps each benchmark's bytes per second.
class Collector : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> bytesPerSecond;
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& r : runs) {
      auto it = r.counters.find("bytes_per_second");
      if (it == r.counters.end()) continue;
      std::string name = r.benchmark_name();
      bytesPerSecond[name.substr(0, name.find('/'))] = it->second.value;
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  fixture();
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  auto mib = [&](const char* name) { return collector.bytesPerSecond[name] / (1 << 20); };
  double sw = mib("BM_SchemeWhole"), pw = mib("BM_PreadWhole");
  double sr = mib("BM_SchemeRanges"), pr = mib("BM_PreadRanges");
  std::printf("local scheme, 64 MiB whole: %.0f MiB/s; pread: %.0f MiB/s (%.2f)\n", sw, pw,
              pw > 0 ? sw / pw : 0.0);
  std::printf("local scheme, 4096 x 64 KiB ranges: %.0f MiB/s; pread: %.0f MiB/s (%.2f)\n", sr, pr,
              pr > 0 ? sr / pr : 0.0);
  double whole = pw > 0 ? sw / pw : 0.0, ranges = pr > 0 ? sr / pr : 0.0;
  std::printf("figure: 64 MiB whole file / pread | %.2f | >= 0.8\n", whole);
  std::printf("figure: 4096 x 64 KiB ranges / pread | %.2f | >= 0.8\n", ranges);
  std::printf("ratio: %.2f\n", std::min(whole, ranges));
  return 0;
}
