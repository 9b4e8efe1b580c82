// The parameter sanitiser on a 25-parameter public e-commerce event with one 10-item array,
// against a plain deep copy of the same parameter map (the anchor), in the same run. Also
// prints the share that Unicode length counting could take: counting every key and text of
// the map once, against the sanitiser's time (an upper bound: the sanitiser counts only
// texts whose byte length exceeds a limit).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "AppMeasurement/foundation/APMSanitizedEventParameters.h"
#include "platform/foundation/Text.h"

namespace {

const APMObjectMap& parameters() {
  static const APMObjectMap map = [] {
    APMObjectMap m;
    m["value"] = 29.99;
    m["currency"] = "EUR";
    m["transaction_id"] = "T-2026-12-07-000417";
    for (int i = 0; i < 21; ++i) {
      std::string key = "custom_parameter_" + std::to_string(i);
      if (i % 3 == 0) m[key] = "a value with \xC3\xA9 and \xE2\x82\xAC signs " + std::to_string(i);
      if (i % 3 == 1) m[key] = static_cast<long long>(i * 1000);
      if (i % 3 == 2) m[key] = i * 0.25;
    }
    platform::Value::Array items;
    for (int i = 0; i < 10; ++i) {
      items.push_back(platform::Value::Dictionary{
          {"item_id", platform::Value("SKU-" + std::to_string(1000 + i))},
          {"item_name", platform::Value("Blue shirt, size M")},
          {"price", platform::Value(9.99)},
          {"quantity", platform::Value(2)},
          {"item_colour", platform::Value("blue")},
      });
    }
    m["items"] = items;
    return m;
  }();
  return map;
}

void BM_DeepCopy(benchmark::State& state) {
  for (auto _ : state) {
    APMObjectMap copy = parameters();
    benchmark::DoNotOptimize(copy);
  }
}

void BM_Sanitise(benchmark::State& state) {
  const std::optional<std::string> name = "purchase";
  for (auto _ : state) {
    auto result = APMSanitizedEventParameters(parameters(), name, true, false);
    benchmark::DoNotOptimize(result);
  }
}

void countTexts(const platform::Value& value, size_t& total) {
  if (const std::string* text = value.asString()) total += platform::Text::utf32Length(*text);
  if (const auto* array = value.asArray()) {
    for (const auto& element : *array) countTexts(element, total);
  }
  if (const auto* map = value.asDictionary()) {
    for (const auto& [key, element] : *map) {
      total += platform::Text::utf32Length(key);
      countTexts(element, total);
    }
  }
}

void BM_UnicodeLengthCounting(benchmark::State& state) {
  for (auto _ : state) {
    size_t total = 0;
    for (const auto& [key, object] : parameters()) {
      total += platform::Text::utf32Length(key);
      countTexts(*object.asPlain(), total);
    }
    benchmark::DoNotOptimize(total);
  }
}

BENCHMARK(BM_DeepCopy)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_Sanitise)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_UnicodeLengthCounting)->Repetitions(5)->ReportAggregatesOnly(true);

// Keeps each benchmark's median time per iteration to print the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (!run.error_occurred && run.aggregate_name == "median") {
        medians_[run.run_name.function_name] = run.GetAdjustedRealTime();
      }
    }
  }
  void printRatios() const {
    double copy = at("BM_DeepCopy"), sanitise = at("BM_Sanitise");
    double counting = at("BM_UnicodeLengthCounting");
    std::printf("\nsanitise / deep copy = %.2f (goal: at most 4)\n",
                copy > 0 ? sanitise / copy : 0);
    std::printf("Unicode length counting of every key and text / sanitise = %.1f%%\n",
                sanitise > 0 ? 100 * counting / sanitise : 0);
  }

 private:
  double at(const std::string& name) const {
    auto it = medians_.find(name);
    return it == medians_.end() ? 0 : it->second;
  }
  std::map<std::string, double> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatios();
  benchmark::Shutdown();
  return 0;
}
