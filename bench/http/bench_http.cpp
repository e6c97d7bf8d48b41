// HTTP client throughput against a loopback server, beside plain libcurl in the same binary:
//  - sequential GETs of a 1 KiB body over one keep-alive connection (requests per second),
//  - 64 concurrent GETs of the same body (requests per second),
//  - one 64 MiB download (bytes per second).
// The system side goes through SDPHTTPSessionManager with completions on the main run loop;
// the baseline is an easy-handle loop (a multi handle for the concurrent case). Both sides use
// their defaults: the session opens at most 6 connections to a host, libcurl's multi handle
// as many as there are transfers (held to the session's 6, its pending transfers stall now
// and then for hundreds of milliseconds, which makes the baseline erratic).
// The last line printed is "ratio: R": the lowest of the three figures, system over libcurl.

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "bench/LoopbackServer.h"
#include "bench/RateReporter.h"
#include "net/SDPHTTPResponseSerializer.h"
#include "net/SDPHTTPSessionManager.h"
#include "platform/dispatch/RunLoop.h"

namespace {

constexpr int kConcurrent = 64;
constexpr size_t kBigBody = 64u << 20;

// The loopback server answering GETs of "/big" with the big body and anything else with 1 KiB.
class BenchServer {
 public:
  BenchServer()
      : small_(bench_support::LoopbackServer::response("application/octet-stream",
                                                       std::string(1024, 'k'))),
        big_(bench_support::LoopbackServer::response("application/octet-stream",
                                                     std::string(kBigBody, 'b'))) {}
  std::string url(const std::string& path) const { return server_.url(path); }

 private:
  const std::string small_;
  const std::string big_;
  bench_support::LoopbackServer server_{[this](const std::string& head) -> const std::string& {
    return head.compare(0, 9, "GET /big ") == 0 ? big_ : small_;
  }};
};

BenchServer& server() {
  static auto* s = new BenchServer();
  return *s;
}

std::shared_ptr<SDPHTTPSessionManager> makeManager() {
  auto manager = SDPHTTPSessionManager::manager();
  // The body as it came: the comparison is about transport, not parsing.
  manager->setResponseSerializer(SDPHTTPResponseSerializer::serializer());
  return manager;
}

void pumpUntil(const bool& done) {
  auto loop = plat::RunLoop::main();
  while (!done) loop->runOnce(plat::kCFRunLoopDefaultMode, 1.0);
}

// Runs `count` GETs of `path` at once and waits for all; returns the bytes received.
size_t systemGets(SDPHTTPSessionManager& manager, const std::string& url, int count) {
  int remaining = count;
  bool done = false;
  size_t bytes = 0;
  for (int i = 0; i < count; ++i) {
    manager.GETParametersSuccessFailure(
        url, plat::Value(),
        [&](const plat::NSURLSessionDataTaskRef&, const plat::Value& object) {
          if (const plat::Data* d = object.data()) bytes += d->length();
          done = --remaining == 0;
        },
        [&](const plat::NSURLSessionDataTaskRef&, const plat::NSErrorRef& error) {
          std::fprintf(stderr, "request failed: %s\n", error->description().c_str());
          done = --remaining == 0;
        });
  }
  pumpUntil(done);
  return bytes;
}

size_t collect(char* data, size_t size, size_t n, void* out) {
  static_cast<std::string*>(out)->append(data, size * n);
  return size * n;
}

void BM_System_SequentialGet(benchmark::State& state) {
  auto manager = makeManager();
  const std::string url = server().url("/1k");
  for (auto _ : state) {
    if (systemGets(*manager, url, 1) != 1024) state.SkipWithError("short body");
  }
  state.SetItemsProcessed(state.iterations());
  manager->invalidateSessionCancelingTasks(true);
}

void BM_Curl_SequentialGet(benchmark::State& state) {
  CURL* easy = curl_easy_init();
  std::string body;
  curl_easy_setopt(easy, CURLOPT_URL, server().url("/1k").c_str());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
  for (auto _ : state) {
    body.clear();
    if (curl_easy_perform(easy) != CURLE_OK || body.size() != 1024) state.SkipWithError("curl failed");
  }
  state.SetItemsProcessed(state.iterations());
  curl_easy_cleanup(easy);
}

void BM_System_ConcurrentGet(benchmark::State& state) {
  auto manager = makeManager();
  const std::string url = server().url("/1k");
  for (auto _ : state) {
    if (systemGets(*manager, url, kConcurrent) != 1024u * kConcurrent) state.SkipWithError("short body");
  }
  state.SetItemsProcessed(state.iterations() * kConcurrent);
  manager->invalidateSessionCancelingTasks(true);
}

void BM_Curl_ConcurrentGet(benchmark::State& state) {
  CURLM* multi = curl_multi_init();
  std::vector<CURL*> handles(kConcurrent);
  std::vector<std::string> bodies(kConcurrent);
  const std::string url = server().url("/1k");
  for (int i = 0; i < kConcurrent; ++i) {
    handles[i] = curl_easy_init();
    curl_easy_setopt(handles[i], CURLOPT_URL, url.c_str());
    curl_easy_setopt(handles[i], CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(handles[i], CURLOPT_WRITEDATA, &bodies[i]);
  }
  for (auto _ : state) {
    for (int i = 0; i < kConcurrent; ++i) {
      bodies[i].clear();
      curl_multi_add_handle(multi, handles[i]);
    }
    int running = 0;
    do {
      curl_multi_perform(multi, &running);
      if (running) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    } while (running);
    CURLMsg* msg;
    int left;
    while ((msg = curl_multi_info_read(multi, &left))) {
      if (msg->msg == CURLMSG_DONE && msg->data.result != CURLE_OK) state.SkipWithError("curl failed");
    }
    for (int i = 0; i < kConcurrent; ++i) curl_multi_remove_handle(multi, handles[i]);
  }
  state.SetItemsProcessed(state.iterations() * kConcurrent);
  for (auto* h : handles) curl_easy_cleanup(h);
  curl_multi_cleanup(multi);
}

void BM_System_Download64MiB(benchmark::State& state) {
  auto manager = makeManager();
  const std::string url = server().url("/big");
  for (auto _ : state) {
    if (systemGets(*manager, url, 1) != kBigBody) state.SkipWithError("short body");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigBody));
  manager->invalidateSessionCancelingTasks(true);
}

void BM_Curl_Download64MiB(benchmark::State& state) {
  CURL* easy = curl_easy_init();
  std::string body;
  curl_easy_setopt(easy, CURLOPT_URL, server().url("/big").c_str());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
  for (auto _ : state) {
    body.clear();
    body.shrink_to_fit();
    if (curl_easy_perform(easy) != CURLE_OK || body.size() != kBigBody) state.SkipWithError("curl failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigBody));
  curl_easy_cleanup(easy);
}


}  // namespace

int main(int argc, char** argv) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  server();
  benchmark::RegisterBenchmark("System/SequentialGet1KiB", BM_System_SequentialGet)->MinTime(2.0)->UseRealTime();
  benchmark::RegisterBenchmark("Curl/SequentialGet1KiB", BM_Curl_SequentialGet)->MinTime(2.0)->UseRealTime();
  benchmark::RegisterBenchmark("System/Concurrent64Get1KiB", BM_System_ConcurrentGet)->MinTime(2.0)->UseRealTime();
  benchmark::RegisterBenchmark("Curl/Concurrent64Get1KiB", BM_Curl_ConcurrentGet)->MinTime(2.0)->UseRealTime();
  benchmark::RegisterBenchmark("System/Download64MiB", BM_System_Download64MiB)->Iterations(5)->UseRealTime();
  benchmark::RegisterBenchmark("Curl/Download64MiB", BM_Curl_Download64MiB)->Iterations(5)->UseRealTime();
  benchmark::Initialize(&argc, argv);
  bench_support::RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  auto ratioOf = [&](const std::string& what) {
    return reporter.ratio("System/" + what, "Curl/" + what);
  };
  std::printf("sequential GET 1 KiB: system %.0f req/s, libcurl %.0f req/s, ratio %.3f\n",
              reporter.rate("System/SequentialGet1KiB"), reporter.rate("Curl/SequentialGet1KiB"),
              ratioOf("SequentialGet1KiB"));
  std::printf("64 concurrent GETs 1 KiB: system %.0f req/s, libcurl %.0f req/s, ratio %.3f\n",
              reporter.rate("System/Concurrent64Get1KiB"), reporter.rate("Curl/Concurrent64Get1KiB"),
              ratioOf("Concurrent64Get1KiB"));
  std::printf("64 MiB download: system %.1f MiB/s, libcurl %.1f MiB/s, ratio %.3f\n",
              reporter.rate("System/Download64MiB") / (1 << 20),
              reporter.rate("Curl/Download64MiB") / (1 << 20), ratioOf("Download64MiB"));
  std::printf("figure: sequential keep-alive GET / libcurl | %.3f | >= 0.8\n",
              ratioOf("SequentialGet1KiB"));
  std::printf("figure: 64 concurrent GETs / libcurl multi | %.3f | >= 0.8\n",
              ratioOf("Concurrent64Get1KiB"));
  std::printf("figure: 64 MiB download / libcurl | %.3f | >= 0.95\n", ratioOf("Download64MiB"));
  std::printf("ratio: %.3f\n", std::min({ratioOf("SequentialGet1KiB"), ratioOf("Concurrent64Get1KiB"),
                                        ratioOf("Download64MiB")}));
  curl_global_cleanup();
  return 0;
}
