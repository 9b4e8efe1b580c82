#pragma once

// What every benchmark program of bench/ shares: repetitions, the median time of each
// benchmark over them, and its ratios printed last, one "name = value" per line, so that a
// script can read them from the end of the output.
//
// The machine is shared and timings are noisy, and its load drifts while a program runs. So a
// ratio is of medians over the repetitions, never of one repetition, and the two sides of a
// ratio never run as two blocks one after the other (a drift would land on one side only):
// each repetition runs every benchmark once, the sides of each ratio back to back in an order
// drawn anew for every repetition.
//
// A benchmark that failed (SkipWithError, e.g. a side whose output was not the expected one)
// is said by name on stderr after the ratios; so is a ratio or figure whose benchmarks the
// filter selected but which did not run or failed. Either way complete() is false and the
// program exits non-zero, so that no row goes missing unseen. A ratio whose sides
// --benchmark_filter did not both select (a user timing one benchmark alone) is not formed,
// and said so on stderr.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace benchmark {
// Google Benchmark's own flags, exported by its library though not declared in its header: the
// programs list the benchmarks the filter selects before running them one at a time, and write
// the file --benchmark_out names themselves (each run would start it again).
extern bool FLAGS_benchmark_list_tests;
extern std::string FLAGS_benchmark_out;
}  // namespace benchmark

namespace kvlbench {

// Repetitions asked for on the command line (--benchmark_repetitions), 7 by default; Google
// Benchmark itself is told 1, since MedianReporter::run repeats.
inline int& repetitions() {
  static int count = 7;
  return count;
}

inline double medianOf(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Console output, plus the real time (seconds per iteration) and the counters of every run of
// every benchmark by its name ("BM_Ours_Decode/sample", without the settings Google Benchmark
// adds to it such as "min_time:...").
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  // The machine's description once, not before every single run.
  bool ReportContext(const Context& context) override {
    if (contextShown_) return true;
    contextShown_ = true;
    return ConsoleReporter::ReportContext(context);
  }

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) {
        failed_.push_back(run.benchmark_name() + ": " + run.error_message);
        continue;
      }
      if (run.run_type != Run::RT_Iteration) continue;
      std::string name = run.run_name.function_name;
      if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
      samples_[name].push_back(run.GetAdjustedRealTime() /
                               benchmark::GetTimeUnitMultiplier(run.time_unit));
      for (const auto& [counter, value] : run.counters) {
        counters_[name + ":" + counter].push_back(value.value);
      }
    }
  }

  // The median seconds per iteration of the benchmark over its runs, 0 when it never ran.
  double median(const std::string& name) const {
    auto it = samples_.find(name);
    return it == samples_.end() ? 0 : medianOf(it->second);
  }

  // The median of a counter the benchmark set, 0 when it never ran.
  double counter(const std::string& name, const std::string& counter) const {
    auto it = counters_.find(name + ":" + counter);
    return it == counters_.end() ? 0 : medianOf(it->second);
  }

  // Queues "name = ours / anchor" (two decimals, medians) for printRatios. Declared before
  // run(), the two sides are run back to back in every repetition.
  void ratio(const std::string& name, const std::string& ours, const std::string& anchor) {
    ratios_.push_back({name, ours, anchor});
  }

  // A figure printed from the benchmark's median: its absence is a failure like a ratio's.
  void require(const std::string& name) { required_.push_back(name); }

  // Benchmarks whose name starts with `prefix` run in the first repetition only (slow ones
  // whose single run is the figure).
  void once(const std::string& prefix) { once_.push_back(prefix); }

  // Runs the benchmarks the filter selects, one at a time, repetitions() times: in each
  // repetition the benchmarks of each ratio declared so far (sides shared between ratios join
  // them into one group) run back to back in a random order, then the rest in their order.
  void run() {
    std::vector<std::string> listed = listBenchmarks();
    listed_ = listed;
    // The group of each listed benchmark: the first ratio that names it, joined with the
    // groups of the other ratios that share a side with it.
    std::vector<int> groupOf(listed.size(), -1);
    int groups = 0;
    for (const Ratio& ratio : ratios_) {
      std::vector<size_t> members;
      for (size_t i = 0; i < listed.size(); ++i) {
        if (is(listed[i], ratio.ours) || is(listed[i], ratio.anchor)) members.push_back(i);
      }
      int group = groups;
      for (size_t i : members) {
        if (groupOf[i] >= 0) group = std::min(group, groupOf[i]);
      }
      if (group == groups) ++groups;
      for (size_t i : members) {
        int old = groupOf[i];
        for (int& g : groupOf) {
          if (old >= 0 && g == old) g = group;
        }
        groupOf[i] = group;
      }
    }
    const std::string file = benchmark::FLAGS_benchmark_out;
    benchmark::FLAGS_benchmark_out.clear();
    std::random_device seed;
    std::mt19937 random(seed());
    for (int repetition = 1; repetition <= repetitions(); ++repetition) {
      std::vector<std::string> order;
      std::set<int> done;
      for (size_t i = 0; i < listed.size(); ++i) {
        if (groupOf[i] < 0 || done.count(groupOf[i])) continue;
        done.insert(groupOf[i]);
        std::vector<std::string> members;
        for (size_t j = 0; j < listed.size(); ++j) {
          if (groupOf[j] == groupOf[i]) members.push_back(listed[j]);
        }
        std::shuffle(members.begin(), members.end(), random);
        order.insert(order.end(), members.begin(), members.end());
      }
      for (size_t i = 0; i < listed.size(); ++i) {
        if (groupOf[i] < 0) order.push_back(listed[i]);
      }
      for (const std::string& name : order) {
        if (repetition > 1 && runsOnce(name)) continue;
        std::string exactly = "^";
        exactly += escaped(name);
        exactly += '$';
        benchmark::RunSpecifiedBenchmarks(this, exactly);
      }
    }
    benchmark::FLAGS_benchmark_out = file;
    if (!file.empty()) writeMedians(file);
  }

  // Whether --benchmark_filter selected the benchmark (known once run() has listed them).
  bool selected(const std::string& name) const {
    return std::any_of(listed_.begin(), listed_.end(),
                       [&](const std::string& full) { return is(full, name); });
  }

  // Whether every benchmark ran without error and every ratio and required figure was formed.
  bool complete() const { return failed_.empty() && missing().empty(); }

  // Prints the queued ratios, one per line; nothing may be printed after them (the engine's
  // program adds its other figures right after).
  void printRatios() const {
    std::printf("\nratios (medians of the repetitions, lower is faster for the first named):\n");
    for (const Ratio& r : ratios_) {
      double a = median(r.ours), b = median(r.anchor);
      if (a > 0 && b > 0) std::printf("%s = %.2f\n", r.name.c_str(), a / b);
    }
    std::fflush(stdout);
    for (const Ratio& r : ratios_) {
      if (selected(r.ours) != selected(r.anchor)) {
        std::fprintf(stderr, "not formed: %s (the filter left out %s)\n", r.name.c_str(),
                     (selected(r.ours) ? r.anchor : r.ours).c_str());
      }
    }
    for (const std::string& name : missing()) std::fprintf(stderr, "no figure: %s\n", name.c_str());
    for (const std::string& failure : failed_)
      std::fprintf(stderr, "failed: %s\n", failure.c_str());
    std::fflush(stderr);
  }

 private:
  struct Ratio {
    std::string name, ours, anchor;
  };

  // The ratios and figures whose benchmarks did not run, each with the side missing. A ratio
  // whose sides --benchmark_filter did not both select is not asked for (left out()).
  std::vector<std::string> missing() const {
    std::vector<std::string> out;
    for (const Ratio& r : ratios_) {
      if (!selected(r.ours) || !selected(r.anchor)) continue;
      for (const std::string* side : {&r.ours, &r.anchor}) {
        if (median(*side) <= 0) out.push_back(r.name + " (" + *side + " did not run)");
      }
    }
    for (const std::string& name : required_) {
      if (selected(name) && median(name) <= 0) out.push_back(name + " did not run");
    }
    return out;
  }

  // Whether Google Benchmark's full name ("BM_Bridge/1/real_time") is the benchmark of the
  // short one ("BM_Bridge/1"): the rest are settings it adds.
  static bool is(const std::string& full, const std::string& name) {
    if (full == name) return true;
    return full.size() > name.size() + 1 && full.compare(0, name.size(), name) == 0 &&
           full[name.size()] == '/' && settingsOnly(full.substr(name.size()));
  }
  // "/min_time:0.200/real_time": only the settings Google Benchmark adds to a name.
  static bool settingsOnly(const std::string& rest) {
    std::stringstream parts(rest.substr(1));
    std::string part;
    while (std::getline(parts, part, '/')) {
      if (part != "real_time" && part != "manual_time" && part.rfind("min_time:", 0) != 0 &&
          part.rfind("min_warmup_time:", 0) != 0 && part.rfind("iterations:", 0) != 0 &&
          part.rfind("repeats:", 0) != 0 && part.rfind("threads:", 0) != 0) {
        return false;
      }
    }
    return true;
  }

  bool runsOnce(const std::string& full) const {
    for (const std::string& prefix : once_) {
      if (full.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }

  // --benchmark_out: the median of each benchmark in Google Benchmark's JSON shape (an
  // aggregate "median" per benchmark, its real time in seconds and its counters), whatever
  // --benchmark_out_format says.
  void writeMedians(const std::string& file) const {
    std::FILE* out = std::fopen(file.c_str(), "w");
    if (out == nullptr) {
      std::fprintf(stderr, "cannot write %s\n", file.c_str());
      return;
    }
    std::fprintf(out, "{\n  \"benchmarks\": [");
    const char* separator = "\n";
    for (const auto& [name, seconds] : samples_) {
      std::fprintf(out,
                   "%s    {\"name\": \"%s_median\", \"run_name\": \"%s\", \"run_type\": "
                   "\"aggregate\", \"aggregate_name\": \"median\", \"repetitions\": %zu, "
                   "\"real_time\": %.9g, \"time_unit\": \"s\"",
                   separator, name.c_str(), name.c_str(), seconds.size(), medianOf(seconds));
      for (const auto& [key, values] : counters_) {
        if (key.compare(0, name.size() + 1, name + ":") == 0) {
          std::fprintf(out, ", \"%s\": %.9g", key.substr(name.size() + 1).c_str(),
                       medianOf(values));
        }
      }
      std::fprintf(out, "}");
      separator = ",\n";
    }
    std::fprintf(out, "\n  ]\n}\n");
    std::fclose(out);
  }

  static std::string escaped(const std::string& name) {
    std::string out;
    for (char c : name) {
      if (std::strchr(".[]{}()*+?^$|\\", c)) out.push_back('\\');
      out.push_back(c);
    }
    return out;
  }

  // The full names of the benchmarks the command line's filter selects, in their order.
  static std::vector<std::string> listBenchmarks() {
    std::stringstream names;
    benchmark::ConsoleReporter lister;
    lister.SetOutputStream(&names);
    lister.SetErrorStream(&names);
    benchmark::FLAGS_benchmark_list_tests = true;
    benchmark::RunSpecifiedBenchmarks(&lister);
    benchmark::FLAGS_benchmark_list_tests = false;
    std::vector<std::string> out;
    for (std::string line; std::getline(names, line);) {
      if (!line.empty()) out.push_back(line);
    }
    return out;
  }

  bool contextShown_ = false;
  std::vector<std::string> listed_;
  std::map<std::string, std::vector<double>> samples_;
  std::map<std::string, std::vector<double>> counters_;
  std::vector<Ratio> ratios_;
  std::vector<std::string> required_;
  std::vector<std::string> once_;
  std::vector<std::string> failed_;
};

// benchmark::Initialize with the repetitions taken for MedianReporter::run (default 7) and
// Google Benchmark told to run each benchmark once per call. False (after saying so) on
// arguments it does not know.
inline bool initialize(int argc, char** argv) {
  static std::vector<char*> args;
  args.clear();
  for (int i = 0; i < argc; ++i) {
    constexpr const char* kFlag = "--benchmark_repetitions=";
    if (i > 0 && std::strncmp(argv[i], kFlag, std::strlen(kFlag)) == 0) {
      repetitions() = std::max(1, std::atoi(argv[i] + std::strlen(kFlag)));
      continue;
    }
    args.push_back(argv[i]);
  }
  static char once[] = "--benchmark_repetitions=1";
  args.push_back(once);
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  return !benchmark::ReportUnrecognizedArguments(count, args.data());
}

}  // namespace kvlbench
