#pragma once

// What every benchmark program of bench/ shares: repetitions by default, the median time of
// each benchmark kept, and its ratios printed last, one "name = value" per line, so that a
// script can read them from the end of the output.
//
// The machine is shared and timings are noisy: a ratio is of medians over the repetitions,
// never of one repetition.
//
// A benchmark that failed (SkipWithError, e.g. a side whose output was not the expected one)
// is said by name on stderr after the ratios, and complete() is false: the program then exits
// non-zero, so that no row goes missing unseen. A ratio whose sides did not both run (left out
// by --benchmark_filter, or failed) is named on stderr too.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kvlbench {

// Console output, plus the median real time (seconds per iteration) of every benchmark by its
// full name ("BM_Ours_Decode/sample"). A run without repetitions counts as its own median.
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) {
        failed_.push_back(run.benchmark_name() + ": " + run.error_message);
        continue;
      }
      double seconds = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      // The name without the settings a run adds to it ("min_time:...", "repeats:...").
      std::string name = run.run_name.function_name;
      if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
      if (run.run_type == Run::RT_Iteration) {
        single_[name] = seconds;
      } else if (run.aggregate_name == "median") {
        medians_[name] = seconds;
      }
    }
  }

  // The median seconds per iteration of the benchmark, 0 when it did not run or failed.
  double median(const std::string& name) const {
    if (auto it = medians_.find(name); it != medians_.end()) return it->second;
    auto it = single_.find(name);
    return it == single_.end() ? 0 : it->second;
  }

  // Queues "name = ours / anchor" (two decimals) for printRatios; skipped when either is missing.
  void ratio(const std::string& name, const std::string& ours, const std::string& anchor) {
    double a = median(ours), b = median(anchor);
    if (a > 0 && b > 0) {
      ratios_.emplace_back(name, a / b);
    } else {
      missing_.push_back(name + " (" + (a > 0 ? anchor : ours) + " did not run)");
    }
  }

  // Whether every benchmark ran without error and every queued ratio was formed.
  bool complete() const { return failed_.empty(); }

  // Prints the queued ratios, one per line; nothing may be printed after them.
  void printRatios() const {
    std::printf("\nratios (medians of the repetitions, lower is faster for the first named):\n");
    for (const auto& [name, value] : ratios_) std::printf("%s = %.2f\n", name.c_str(), value);
    std::fflush(stdout);
    for (const std::string& name : missing_) std::fprintf(stderr, "no ratio: %s\n", name.c_str());
    for (const std::string& failure : failed_)
      std::fprintf(stderr, "failed: %s\n", failure.c_str());
    std::fflush(stderr);
  }

 private:
  std::map<std::string, double> single_;
  std::map<std::string, double> medians_;
  std::vector<std::pair<std::string, double>> ratios_;
  std::vector<std::string> failed_;
  std::vector<std::string> missing_;
};

// benchmark::Initialize with defaults the command line may override: 7 repetitions, only
// their aggregates shown. False (after saying so) on arguments it does not know.
inline bool initialize(int argc, char** argv) {
  static std::vector<char*> args;
  args.assign(argv, argv + argc);
  auto given = [&](const char* flag) {
    for (int i = 1; i < argc; ++i) {
      if (std::strncmp(argv[i], flag, std::strlen(flag)) == 0) return true;
    }
    return false;
  };
  static char repetitions[] = "--benchmark_repetitions=7";
  static char aggregates[] = "--benchmark_display_aggregates_only=true";
  if (!given("--benchmark_repetitions")) args.push_back(repetitions);
  if (!given("--benchmark_display_aggregates_only")) args.push_back(aggregates);
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  return !benchmark::ReportUnrecognizedArguments(count, args.data());
}

}  // namespace kvlbench
