#pragma once
// A 1080p test picture shared by the image benchmarks: smooth colour fields with fine noise,
// so both codecs have photo-like work to do. Also the runner of the programs, which measures
// each case through the system beside the library and reports the ratios.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench/RateReporter.h"
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

// One measured case: the system's function beside the library's, on the same picture.
struct Case {
  std::string name;  // "JPEG1080p"
  void (*system)(benchmark::State&);
  void (*library)(benchmark::State&);
};

// Runs every case, prints "<name> <verb>: system X MP/s, library Y MP/s, ratio R (goal 0.85)"
// per case and, last, "ratio: R" with the lowest ratio. Returns main's exit code.
inline int runCases(int argc, char** argv, const char* verb, const std::vector<Case>& cases) {
  for (const auto& c : cases) {
    benchmark::RegisterBenchmark(("System/" + c.name).c_str(), c.system)
        ->MinTime(1.0)
        ->UseRealTime();
    benchmark::RegisterBenchmark(("Library/" + c.name).c_str(), c.library)
        ->MinTime(1.0)
        ->UseRealTime();
  }
  benchmark::Initialize(&argc, argv);
  bench_support::RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  double lowest = cases.empty() ? 0 : 1e300;
  for (const auto& c : cases) {
    double system = reporter.rate("System/" + c.name), library = reporter.rate("Library/" + c.name);
    double ratio = library > 0 ? system / library : 0.0;
    std::printf("%s %s: system %.1f MP/s, library %.1f MP/s, ratio %.3f (goal 0.85)\n",
                c.name.c_str(), verb, system / 1e6, library / 1e6, ratio);
    lowest = std::min(lowest, ratio);
  }
  std::printf("ratio: %.3f\n", lowest);
  return 0;
}

}  // namespace bench_images
