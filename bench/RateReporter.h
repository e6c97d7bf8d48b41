#pragma once
// The console reporter of the benchmark programs that also keeps each run's rate (items or
// bytes per second) by benchmark name, so that a program can print the system-over-baseline
// ratios after the runs.

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace bench_support {

class RateReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      auto it = run.counters.find("items_per_second");
      if (it == run.counters.end()) it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) rates_[run.run_name.function_name] = it->second.value;
    }
  }
  // 0 for a benchmark that did not run.
  double rate(const std::string& name) const {
    auto it = rates_.find(name);
    return it == rates_.end() ? 0 : it->second;
  }
  // The first benchmark's rate over the second's; 0 when the second did not run.
  double ratio(const std::string& system, const std::string& baseline) const {
    double base = rate(baseline);
    return base > 0 ? rate(system) / base : 0.0;
  }

 private:
  std::map<std::string, double> rates_;
};

}  // namespace bench_support
