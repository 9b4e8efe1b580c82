// The parameter sanitiser on a 25-parameter public e-commerce event with one 10-item array,
// against a plain deep copy of the same parameter map (the anchor), in the same run. Also
// prints the share that Unicode length counting could take: counting every key and text of
// the map once, against the sanitiser's time (an upper bound: the sanitiser counts only
// texts whose byte length exceeds a limit).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "AppMeasurement/foundation/APMSanitizedEventParameters.h"
#include "bench/MedianRatios.h"
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

// A side that does not give the expected result is no figure: checked once, outside the timed
// loop; ends the program with a message.
void expect(bool good, const char* what) {
  if (good) return;
  std::fprintf(stderr, "apm_values_bench: %s\n", what);
  std::exit(1);
}

void BM_DeepCopy(benchmark::State& state) {
  {
    APMObjectMap copy = parameters();
    expect(copy.size() == 25 && copy.size() == parameters().size() && copy.count("items") == 1,
           "the deep copy does not hold the 25 parameters");
  }
  for (auto _ : state) {
    APMObjectMap copy = parameters();
    benchmark::DoNotOptimize(copy);
  }
}

void BM_Sanitise(benchmark::State& state) {
  const std::optional<std::string> name = "purchase";
  {
    // Every parameter is within the limits: all 25 are kept, the items among them.
    auto result = APMSanitizedEventParameters(parameters(), name, true, false);
    expect(result && result->size() == parameters().size() && result->count("items") == 1 &&
               result->count("_err") == 0,
           "the sanitiser did not keep the 25 parameters");
  }
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
  {
    // "é" and "€" are one code point each: fewer code points than bytes.
    size_t total = 0, bytes = 0;
    for (const auto& [key, object] : parameters()) {
      total += platform::Text::utf32Length(key);
      bytes += key.size();
      countTexts(*object.asPlain(), total);
    }
    expect(total > bytes, "the texts were not counted");
  }
  for (auto _ : state) {
    size_t total = 0;
    for (const auto& [key, object] : parameters()) {
      total += platform::Text::utf32Length(key);
      countTexts(*object.asPlain(), total);
    }
    benchmark::DoNotOptimize(total);
  }
}

BENCHMARK(BM_DeepCopy);
BENCHMARK(BM_Sanitise);
BENCHMARK(BM_UnicodeLengthCounting);

}  // namespace

int main(int argc, char** argv) {
  if (!kvlbench::initialize(argc, argv)) return 1;
  kvlbench::MedianReporter reporter;
  // Goal: sanitising at most 4 times a deep copy. The counting ratio bounds the share of the
  // sanitiser's time that Unicode length counting can take.
  reporter.ratio("sanitise/deep copy", "BM_Sanitise", "BM_DeepCopy");
  reporter.ratio("length counting of every key and text/sanitise", "BM_UnicodeLengthCounting",
                 "BM_Sanitise");
  reporter.run();
  reporter.printRatios();
  benchmark::Shutdown();
  return reporter.complete() ? 0 : 1;
}
