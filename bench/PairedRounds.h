#pragma once
// Times a system and its baseline back to back, round after round, alternating which goes
// first: each round's ratio sees the same machine, and the median of the rounds is robust to
// a load that comes and goes.

#include <algorithm>
#include <functional>
#include <vector>

namespace bench_support {

struct PairedRatio {
  double median = 0;
  double low = 0;
  double high = 0;
};

// `system` and `baseline` each run once and return their rate (higher is better).
inline PairedRatio pairedRatio(const std::function<double()>& system,
                               const std::function<double()>& baseline, int rounds) {
  std::vector<double> ratios;
  for (int i = 0; i < rounds; ++i) {
    double s, b;
    if (i % 2 == 0) {
      s = system();
      b = baseline();
    } else {
      b = baseline();
      s = system();
    }
    ratios.push_back(b > 0 ? s / b : 0);
  }
  if (ratios.empty()) return {};
  std::sort(ratios.begin(), ratios.end());
  return {ratios[ratios.size() / 2], ratios.front(), ratios.back()};
}

}  // namespace bench_support
