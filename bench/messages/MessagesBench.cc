// Decode and encode of a MeasurementBatch of 10 bundles x 100 events x 10 parameters.
// Anchors measured in the same run: nanopb alone on its own generated structures, and
// libprotobuf's C++ classes; the ratios are printed after the table.
// Also: reading every value of a deep script program through copies of each level
// (NANOGetMessageArray) against read-only views (NANOViewMessageArray).
#include <benchmark/benchmark.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <cstdio>
#include <map>
#include <string>

#include "AppMeasurement/messages/APMPBMessages.h"
#include "bench/messages/cpp/measurement_upload.pb.h"
#include "bench/messages/nanopb/measurement_upload.pb.h"
#include "tests/support/SampleMeasurementBatch.h"

namespace {

const std::string& batchBytes() {
  static const std::string bytes = *testsupport::sampleMeasurementBatch().protoBuffer();
  return bytes;
}

void BM_Ours_Decode(benchmark::State& state) {
  const std::string& bytes = batchBytes();
  for (auto _ : state) {
    auto batch = APMPBMeasurementBatch::initWithBuffer(bytes);
    if (!batch) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(batch);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void BM_Ours_Encode(benchmark::State& state) {
  auto batch = APMPBMeasurementBatch::initWithBuffer(batchBytes());
  for (auto _ : state) {
    auto bytes = batch->protoBuffer();
    if (!bytes || *bytes != batchBytes()) state.SkipWithError("encode differs");
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * batchBytes().size()));
}

void BM_Nanopb_Decode(benchmark::State& state) {
  const std::string& bytes = batchBytes();
  for (auto _ : state) {
    nanobench_MeasurementBatch batch = nanobench_MeasurementBatch_init_zero;
    pb_istream_t stream =
        pb_istream_from_buffer(reinterpret_cast<const pb_byte_t*>(bytes.data()), bytes.size());
    if (!pb_decode(&stream, nanobench_MeasurementBatch_fields, &batch)) {
      state.SkipWithError("decode failed");
    }
    benchmark::DoNotOptimize(batch);
    pb_release(nanobench_MeasurementBatch_fields, &batch);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void BM_Nanopb_Encode(benchmark::State& state) {
  const std::string& bytes = batchBytes();
  nanobench_MeasurementBatch batch = nanobench_MeasurementBatch_init_zero;
  pb_istream_t in =
      pb_istream_from_buffer(reinterpret_cast<const pb_byte_t*>(bytes.data()), bytes.size());
  pb_decode(&in, nanobench_MeasurementBatch_fields, &batch);
  for (auto _ : state) {
    // As our encoder does: a sizing pass, one buffer of that size, the writing pass.
    pb_ostream_t sizing = PB_OSTREAM_SIZING;
    pb_encode(&sizing, nanobench_MeasurementBatch_fields, &batch);
    std::string out(sizing.bytes_written, '\0');
    pb_ostream_t stream =
        pb_ostream_from_buffer(reinterpret_cast<pb_byte_t*>(out.data()), out.size());
    if (!pb_encode(&stream, nanobench_MeasurementBatch_fields, &batch) || out != bytes) {
      state.SkipWithError("encode differs");
    }
    benchmark::DoNotOptimize(out);
  }
  pb_release(nanobench_MeasurementBatch_fields, &batch);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void BM_Protobuf_Decode(benchmark::State& state) {
  const std::string& bytes = batchBytes();
  for (auto _ : state) {
    apm::MeasurementBatch batch;
    if (!batch.ParseFromString(bytes)) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(batch);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void BM_Protobuf_Encode(benchmark::State& state) {
  apm::MeasurementBatch batch;
  batch.ParseFromString(batchBytes());
  for (auto _ : state) {
    std::string out;
    if (!batch.SerializeToString(&out) || out != batchBytes())
      state.SkipWithError("encode differs");
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * batchBytes().size()));
}

// A statement nested kProgramDepth deep; each level also holds a string, a number and a
// boolean argument.
constexpr int kProgramDepth = 60;

APMPBRuntimeEntity makeProgram() {
  auto leaf = [](int type, int i) {
    APMPBRuntimeEntity e;
    NANOSetInt32(e, APMPBRuntimeEntity::kType, type);
    if (type == 1) NANOSetString(e, APMPBRuntimeEntity::kStringValue, std::to_string(i));
    if (type == 2) NANOSetDouble(e, APMPBRuntimeEntity::kNumberValue, i);
    if (type == 3) NANOSetBool(e, APMPBRuntimeEntity::kBooleanValue, i % 2 == 0);
    return e;
  };
  APMPBRuntimeEntity inner = leaf(1, 0);
  for (int level = 0; level < kProgramDepth; ++level) {
    APMPBRuntimeEntity statement;
    NANOSetInt32(statement, APMPBRuntimeEntity::kType, 4);
    NANOSetString(statement, APMPBRuntimeEntity::kStatement, "call");
    NANOSetMessageArray(
        statement, APMPBRuntimeEntity::kValue,
        std::vector<APMPBRuntimeEntity>{leaf(1, level), leaf(2, level), leaf(3, level), inner});
    inner = std::move(statement);
  }
  return inner;
}

// Sums what a converter reads of every entity: type, text length, number, boolean.
template <bool kViews>
double walkProgram(const NANOMessageBase& entity) {
  double sum = NANOGetInt32(entity, APMPBRuntimeEntity::kType);
  sum += NANOGetString(entity, APMPBRuntimeEntity::kStringValue).value_or("").size();
  sum += NANOGetDouble(entity, APMPBRuntimeEntity::kNumberValue);
  sum += NANOGetBool(entity, APMPBRuntimeEntity::kBooleanValue) ? 1 : 0;
  if constexpr (kViews) {
    auto children = NANOViewMessageArray<APMPBRuntimeEntity>(entity, APMPBRuntimeEntity::kValue);
    for (const NANOMessageView& child : *children) sum += walkProgram<true>(child);
  } else {
    auto children = NANOGetMessageArray<APMPBRuntimeEntity>(entity, APMPBRuntimeEntity::kValue);
    for (const APMPBRuntimeEntity& child : *children) sum += walkProgram<false>(child);
  }
  return sum;
}

void BM_Program_ReadThroughCopies(benchmark::State& state) {
  const APMPBRuntimeEntity program = makeProgram();
  for (auto _ : state) benchmark::DoNotOptimize(walkProgram<false>(program));
}

void BM_Program_ReadThroughViews(benchmark::State& state) {
  const APMPBRuntimeEntity program = makeProgram();
  if (walkProgram<true>(program) != walkProgram<false>(program)) {
    state.SkipWithError("views read other values than copies");
  }
  for (auto _ : state) benchmark::DoNotOptimize(walkProgram<true>(program));
}

BENCHMARK(BM_Ours_Decode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Nanopb_Decode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Protobuf_Decode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ours_Encode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Nanopb_Encode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Protobuf_Encode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Program_ReadThroughCopies)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Program_ReadThroughViews)->Unit(benchmark::kMicrosecond);

// Keeps each benchmark's time per iteration to print the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const std::string& name = run.run_name.function_name;
      if (run.run_type == Run::RT_Iteration) {
        seconds_[name] = run.GetAdjustedRealTime();
      } else if (run.aggregate_name == "median") {
        medians_[name] = run.GetAdjustedRealTime();
      }
    }
  }
  void printRatios() const {
    std::printf("\nbatch: %zu bytes\n", batchBytes().size());
    for (const char* op : {"Decode", "Encode"}) {
      double ours = at(std::string("BM_Ours_") + op);
      double nanopb = at(std::string("BM_Nanopb_") + op);
      double protobuf = at(std::string("BM_Protobuf_") + op);
      std::printf("%s: ours / nanopb alone = %.2f, ours / libprotobuf = %.2f\n", op, ours / nanopb,
                  ours / protobuf);
    }
    std::printf("program of depth %d: read through copies / through views = %.1f\n", kProgramDepth,
                at("BM_Program_ReadThroughCopies") / at("BM_Program_ReadThroughViews"));
  }

 private:
  // The median of the repetitions when there are several, else the one run.
  double at(const std::string& name) const {
    if (auto it = medians_.find(name); it != medians_.end()) return it->second;
    auto it = seconds_.find(name);
    return it == seconds_.end() ? 0 : it->second;
  }
  std::map<std::string, double> seconds_;
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
