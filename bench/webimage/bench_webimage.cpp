// Web image loading throughput: 300 distinct 512 x 512 JPEGs from one loopback server, all
// requested at once, until the last one is decoded. The system side goes through
// HVWebImageManager (no cache, options 0: download on the network thread, decode for display
// on the decode queues); the baseline is a libcurl multi loop over keep-alive connections,
// with the same number of connections per host, handing each body to libjpeg-turbo on as many
// threads as the decode queues. Images per second, paired round by round.
// The last line printed is "ratio: R", system over baseline.

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <jpeglib.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/LoopbackServer.h"
#include "bench/PairedRounds.h"
#include "image/HVWebImageManager.h"
#include "image/HVWebImageOperation.h"
#include "platform/foundation/NSURL.h"
#include "platform/network/NSOperationQueue.h"

namespace {

constexpr int kImages = 300;
constexpr int kSide = 512;
constexpr int kPairedRounds = 7;
// What a connection opens to one host (the transfer engine's default), held on both sides.
constexpr long kConnectionsPerHost = 6;

std::string encodeJPEG(int seed) {
  std::vector<uint8_t> rgb(size_t(kSide) * kSide * 3);
  for (int y = 0; y < kSide; ++y) {
    for (int x = 0; x < kSide; ++x) {
      uint8_t* p = &rgb[(size_t(y) * kSide + x) * 3];
      p[0] = uint8_t(x + seed);
      p[1] = uint8_t(y * 3 + seed * 7);
      p[2] = uint8_t((x ^ y) + seed * 13);
    }
  }
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long outSize = 0;
  jpeg_mem_dest(&c, &out, &outSize);
  c.image_width = kSide;
  c.image_height = kSide;
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 85, TRUE);
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = &rgb[size_t(c.next_scanline) * kSide * 3];
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::string body(reinterpret_cast<char*>(out), outSize);
  free(out);
  return body;
}

// The loopback server answering "GET /img/<n>.jpg..." with image n.
class ImageServer {
 public:
  ImageServer() {
    for (int i = 0; i < kImages; ++i)
      replies_.push_back(bench_support::LoopbackServer::response("image/jpeg", encodeJPEG(i)));
  }
  std::string url(int image, int round) const {
    return server_.url("/img/" + std::to_string(image) + ".jpg?r=" + std::to_string(round));
  }

 private:
  std::vector<std::string> replies_;
  bench_support::LoopbackServer server_{[this](const std::string& head) -> const std::string& {
    int image = std::atoi(head.c_str() + std::strlen("GET /img/"));
    return replies_[size_t(std::clamp(image, 0, kImages - 1))];
  }};
};

ImageServer& server() {
  static auto* s = new ImageServer();
  return *s;
}

std::atomic<int> gRound{0};

unsigned decodeThreads() { return std::clamp(std::thread::hardware_concurrency(), 1u, 16u); }

// ---- system ----

double runSystem() {
  static auto manager = HVWebImageManager::initWithCacheQueue(
      nullptr, std::make_shared<plat::NSOperationQueue>());
  int round = ++gRound;
  std::mutex mu;
  std::condition_variable cv;
  int done = 0, failed = 0;
  auto start = std::chrono::steady_clock::now();
  std::vector<HVWebImageOperationRef> ops;
  for (int i = 0; i < kImages; ++i) {
    ops.push_back(manager->requestImageWithURLOptionsProgressTransformCompletion(
        plat::NSURL::URLWithString(server().url(i, round)), 0, {}, {},
        [&](const plat::UIImageRef& image, const plat::NSURLRef&, HVWebImageSource,
            HVWebImagePhase phase, const plat::NSErrorRef&) {
          if (phase == HVWebImagePhasePartial) return;
          std::lock_guard<std::mutex> lock(mu);
          if (!image) ++failed;
          if (++done == kImages) cv.notify_one();
        }));
  }
  std::unique_lock<std::mutex> lock(mu);
  cv.wait(lock, [&] { return done == kImages; });
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (failed) std::fprintf(stderr, "system: %d of %d images failed\n", failed, kImages);
  return kImages / seconds;
}

// ---- baseline ----

// Decodes JPEG bodies into RGBA buffers on a fixed set of threads.
class DecodePool {
 public:
  explicit DecodePool(unsigned threads) {
    for (unsigned i = 0; i < threads; ++i) workers_.emplace_back([this] { work(); });
  }
  ~DecodePool() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    for (auto& t : workers_) t.join();
  }
  void post(std::string body, std::function<void(bool)> done) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      jobs_.emplace_back(std::move(body), std::move(done));
    }
    cv_.notify_one();
  }

 private:
  static bool decode(const std::string& body) {
    jpeg_decompress_struct d;
    jpeg_error_mgr err;
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, reinterpret_cast<const unsigned char*>(body.data()), body.size());
    if (jpeg_read_header(&d, TRUE) != JPEG_HEADER_OK) {
      jpeg_destroy_decompress(&d);
      return false;
    }
    d.out_color_space = JCS_EXT_BGRA;
    jpeg_start_decompress(&d);
    std::vector<uint8_t> pixels(size_t(d.output_width) * d.output_height * 4);
    while (d.output_scanline < d.output_height) {
      JSAMPROW row = &pixels[size_t(d.output_scanline) * d.output_width * 4];
      jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    benchmark::DoNotOptimize(pixels.data());
    return true;
  }
  void work() {
    while (true) {
      std::pair<std::string, std::function<void(bool)>> job;
      {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job.second(decode(job.first));
    }
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::pair<std::string, std::function<void(bool)>>> jobs_;
  std::vector<std::thread> workers_;
  bool stop_ = false;
};

size_t appendBody(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

double runBaseline() {
  static DecodePool pool(decodeThreads());
  static CURLM* multi = [] {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURLM* m = curl_multi_init();
    curl_multi_setopt(m, CURLMOPT_MAX_HOST_CONNECTIONS, kConnectionsPerHost);
    return m;
  }();
  int round = ++gRound;
  std::mutex mu;
  std::condition_variable cv;
  int done = 0;
  auto start = std::chrono::steady_clock::now();
  std::vector<std::unique_ptr<std::string>> bodies;
  std::vector<CURL*> easies;
  for (int i = 0; i < kImages; ++i) {
    bodies.push_back(std::make_unique<std::string>());
    CURL* e = curl_easy_init();
    std::string url = server().url(i, round);
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, bodies.back().get());
    curl_easy_setopt(e, CURLOPT_PRIVATE, bodies.back().get());
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, nullptr);
    curl_multi_add_handle(multi, e);
    easies.push_back(e);
  }
  int running = 0;
  do {
    curl_multi_perform(multi, &running);
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
      if (msg->msg != CURLMSG_DONE) continue;
      std::string* body = nullptr;
      curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char**>(&body));
      pool.post(std::move(*body), [&](bool) {
        std::lock_guard<std::mutex> lock(mu);
        if (++done == kImages) cv.notify_one();
      });
    }
    if (running) curl_multi_poll(multi, nullptr, 0, 100, nullptr);
  } while (running);
  {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return done == kImages; });
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  for (CURL* e : easies) {
    curl_multi_remove_handle(multi, e);
    curl_easy_cleanup(e);
  }
  return kImages / seconds;
}

// ---- peak memory of one large image ----

constexpr size_t kLargeBody = size_t{128} << 20;

// A 512 x 512 JPEG padded with comment segments to about kLargeBody bytes: a large body with a
// small picture, so that what a load holds is mostly its body.
std::string paddedJPEG() {
  const std::string jpeg = encodeJPEG(1);
  std::string out = jpeg.substr(0, 2);  // start of image
  const std::string segment = std::string("\xFF\xFE\xFF\xFF", 4) + std::string(65533, 'c');
  while (out.size() + segment.size() + jpeg.size() <= kLargeBody) out += segment;
  return out + jpeg.substr(2);
}

const std::string& largeImage() {
  static const std::string* body = new std::string(paddedJPEG());
  return *body;
}

long statusKiB(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
  }
  return -1;
}

// How far the resident memory grows at its peak while one image loads from `url`, over the
// image's body size; -1 when the peak cannot be measured or the image did not load.
double peakGrowthOverBody(const std::string& url) {
  static auto manager =
      HVWebImageManager::initWithCacheQueue(nullptr, std::make_shared<plat::NSOperationQueue>());
  if (!(std::ofstream("/proc/self/clear_refs") << "5")) return -1;  // resets the peak
  const long before = statusKiB("VmRSS:");
  std::mutex mu;
  std::condition_variable cv;
  bool done = false, loaded = false;
  auto op = manager->requestImageWithURLOptionsProgressTransformCompletion(
      plat::NSURL::URLWithString(url), 0, {}, {},
      [&](const plat::UIImageRef& image, const plat::NSURLRef&, HVWebImageSource,
          HVWebImagePhase phase, const plat::NSErrorRef&) {
        if (phase == HVWebImagePhasePartial) return;
        std::lock_guard<std::mutex> lock(mu);
        loaded = static_cast<bool>(image);
        done = true;
        cv.notify_one();
      });
  {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return done; });
  }
  const long peak = statusKiB("VmHWM:");
  if (!loaded || before < 0 || peak < 0) return -1;
  return double(peak - before) * 1024 / double(largeImage().size());
}

// The peak over the body of a large image loaded over HTTP, and from a file (the baseline:
// read a chunk at a time as its consumer takes them). Blocks of a megabyte and more are mapped
// from here on, so that freed buffers go back at once and the peak counts what the load holds,
// not what the allocator keeps of blocks freed on the threads involved (tens of megabytes).
std::pair<double, double> largeImagePeaks() {
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  static bench_support::LoopbackServer large{
      [reply = bench_support::LoopbackServer::response("image/jpeg", largeImage())](
          const std::string&) -> const std::string& { return reply; }};
  const auto path = std::filesystem::temp_directory_path() /
                    ("bench-webimage-large-" + std::to_string(::getpid()) + ".jpg");
  std::ofstream(path, std::ios::binary) << largeImage();
  const double overHTTP = peakGrowthOverBody(large.url("/large.jpg"));
  const double fromFile = peakGrowthOverBody("file://" + path.string());
  std::filesystem::remove(path);
  return {overHTTP, fromFile};
}

void report(benchmark::State& state, double (*run)()) {
  for (auto _ : state) run();
  state.SetItemsProcessed(state.iterations() * kImages);
}

void BM_System_WebImages300(benchmark::State& state) { report(state, runSystem); }
void BM_Curl_JPEGTurbo300(benchmark::State& state) { report(state, runBaseline); }

BENCHMARK(BM_System_WebImages300)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Curl_JPEGTurbo300)->UseRealTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  server();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  auto ratio = bench_support::pairedRatio(runSystem, runBaseline, kPairedRounds);
  std::printf("300 JPEGs 512x512: web image manager / libcurl multi + libjpeg-turbo: median %.3f "
              "of %d rounds (%.3f-%.3f)\n",
              ratio.median, kPairedRounds, ratio.low, ratio.high);
  std::printf("figure: web images per second / libcurl + libjpeg-turbo | %.3f | >= 0.5\n",
              ratio.median);
  const auto [overHTTP, fromFile] = largeImagePeaks();
  std::printf("peak memory of one 128 MiB image over its body: over HTTP %.2f, from a file %.2f\n",
              overHTTP, fromFile);
  std::printf("figure: peak memory of a 128 MiB image over HTTP / from a file | %.2f | <= 1.2\n",
              fromFile > 0 ? overHTTP / fromFile : -1.0);
  std::printf("ratio: %.3f\n", ratio.median);
  return 0;
}
