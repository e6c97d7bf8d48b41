#pragma once
// A 1080p test picture shared by the image benchmarks: smooth colour fields with fine noise,
// so both codecs have photo-like work to do. Also the rate reporter of the programs.

#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <random>
#include <string>

#include "platform/graphics/CGImage.h"

namespace bench_images {

constexpr int kWidth = 1920, kHeight = 1080;

inline plat::CGImageRef picture() {
  auto img = plat::CGImage::create(kWidth, kHeight, true);
  cairo_surface_flush(img->surface());
  uint8_t* d = cairo_image_surface_get_data(img->surface());
  std::mt19937 rng(7);
  for (int y = 0; y < kHeight; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(d + size_t(y) * img->bytesPerRow());
    for (int x = 0; x < kWidth; ++x) {
      int n = int(rng() % 9) - 4;
      auto c = [n](int v) { return uint32_t(std::clamp(v + n, 0, 255)); };
      row[x] = 0xff000000u | c(x * 255 / kWidth) << 16 | c(y * 255 / kHeight) << 8 |
               c(((x / 64 + y / 64) % 2) * 120 + 60);
    }
  }
  cairo_surface_mark_dirty(img->surface());
  return img;
}

// Keeps each run's items-per-second rate by benchmark name.
class RateReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      auto it = run.counters.find("items_per_second");
      if (it != run.counters.end()) rates[run.run_name.function_name] = it->second.value;
    }
  }
  double rate(const std::string& name) const {
    auto it = rates.find(name);
    return it == rates.end() ? 0 : it->second;
  }
  std::map<std::string, double> rates;
};

}  // namespace bench_images
