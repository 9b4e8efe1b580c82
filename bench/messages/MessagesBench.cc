// Decode and encode of measurement batches of several shapes: our message layer against
// libprotobuf's C++ classes (the anchor a user would pick: one message, parsed into again for
// every decode) and against nanopb alone
// on its own generated structures, all on the same bytes from the same schema. Before any
// timing, every encoder's output, and every decoder's result written again, is checked once: the
// batch's bytes (nanopb alone: the same message, since it packs repeated numbers).
// Also: reading every value of a deep script program through copies of each level
// (NANOGetMessageArray) against read-only views (NANOViewMessageArray).
// The ratios (medians of the repetitions) are printed last, one per line.
#include <benchmark/benchmark.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "AppMeasurement/messages/APMPBMessages.h"
#include "bench/MedianRatios.h"
#include "bench/messages/cpp/measurement_upload.pb.h"
#include "bench/messages/nanopb/measurement_upload.pb.h"
#include "tests/support/SampleMeasurementBatch.h"

namespace {

// A text of the given length, varied by seed.
std::string text(size_t length, int seed) {
  std::string out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) out.push_back(static_cast<char>('a' + (i * 7 + seed) % 26));
  return out;
}

APMPBEventParam stringParam(const std::string& name, std::string value) {
  APMPBEventParam param;
  NANOSetString(param, APMPBEventParam::kName, name);
  NANOSetString(param, APMPBEventParam::kStringValue, value);
  return param;
}

APMPBEventParam intParam(const std::string& name, int64_t value) {
  APMPBEventParam param;
  NANOSetString(param, APMPBEventParam::kName, name);
  NANOSetInt64(param, APMPBEventParam::kIntValue, value);
  return param;
}

APMPBEventParam doubleParam(const std::string& name, double value) {
  APMPBEventParam param;
  NANOSetString(param, APMPBEventParam::kName, name);
  NANOSetDouble(param, APMPBEventParam::kDoubleValue, value);
  return param;
}

// Every singular scalar and string field of the bundle set (short texts), as a bundle written
// by a fully configured app carries them.
void setBundleFields(APMPBMeasurementBundle& bundle, int b) {
  const NANOMessageLayout& layout = APMPBMeasurementBundle::layout();
  for (uint32_t slot = 0; slot < layout.slotCount; ++slot) {
    uint32_t code = layout.codes[slot];
    if (code & kNANOCodeRepeated) continue;
    if (code & kNANOCodeString) {
      NANOSetString(bundle, slot, std::string(layout.fields[slot].name) + "-" + std::to_string(b));
    } else if (code & kNANOCodeBool) {
      NANOSetBool(bundle, slot, (slot + b) % 2 == 0);
    } else if (code & kNANOCodeEnum) {
      NANOSetInt32(bundle, slot, static_cast<int32_t>(slot % 4));
    } else if (code & kNANOCodeInt32) {
      NANOSetInt32(bundle, slot, static_cast<int32_t>(slot * 37 + b));
    } else if (code & kNANOCodeInt64) {
      NANOSetInt64(bundle, slot, 1700000000000 + slot * 1000 + b);
    }
  }
}

std::vector<APMPBUserAttribute> userAttributes(int count, int b) {
  std::vector<APMPBUserAttribute> attributes;
  for (int u = 0; u < count; ++u) {
    APMPBUserAttribute attribute;
    NANOSetInt64(attribute, APMPBUserAttribute::kSetTimestampMillis, 1700000000000 + u);
    NANOSetString(attribute, APMPBUserAttribute::kName, "up_" + std::to_string(u));
    if (u % 3 == 0) {
      NANOSetString(attribute, APMPBUserAttribute::kStringValue, text(4 + u % 20, u + b));
    } else if (u % 3 == 1) {
      NANOSetInt64(attribute, APMPBUserAttribute::kIntValue, u * 1000 + b);
    } else {
      NANOSetDouble(attribute, APMPBUserAttribute::kDoubleValue, u * 0.25);
    }
    attributes.push_back(std::move(attribute));
  }
  return attributes;
}

std::vector<APMPBAudienceLeafFilterResult> audienceResults(int count) {
  std::vector<APMPBAudienceLeafFilterResult> results;
  for (int a = 0; a < count; ++a) {
    APMPBResultData data;
    std::vector<NANOObject> status, bits;
    for (int i = 0; i < 3; ++i) {
      status.emplace_back(NANONumber::fromUInt64(0x5a5a5a5aULL << i));
      bits.emplace_back(NANONumber::fromUInt64(0x123456789ULL * (i + 1)));
    }
    NANOSetArray(data, APMPBResultData::kStatus, status);
    NANOSetArray(data, APMPBResultData::kResults, bits);
    std::vector<APMPBDynamicFilterResultTimestamp> stamps;
    for (int i = 0; i < 4; ++i) {
      APMPBDynamicFilterResultTimestamp stamp;
      NANOSetInt32(stamp, APMPBDynamicFilterResultTimestamp::kFilterId, i);
      NANOSetInt64(stamp, APMPBDynamicFilterResultTimestamp::kEvalTimestamp, 1700000000000 + i);
      stamps.push_back(std::move(stamp));
    }
    NANOSetMessageArray(data, APMPBResultData::kDynamicFilterTimestamps, stamps);
    APMPBAudienceLeafFilterResult result;
    NANOSetInt32(result, APMPBAudienceLeafFilterResult::kAudienceId, a);
    NANOSetMessage(result, APMPBAudienceLeafFilterResult::kCurrentData, data);
    NANOSetBool(result, APMPBAudienceLeafFilterResult::kNewAudience, a % 2 == 0);
    results.push_back(std::move(result));
  }
  return results;
}

// 10 bundles with most fields set: every scalar and string of the bundle, 25 user attributes,
// 8 audience results, an ad campaign with parameters, experiment identifiers, and 40 events of
// 8 parameters (short texts, numbers, one parameter holding a list of parameters).
APMPBMeasurementBatch fullBatch() {
  std::vector<APMPBMeasurementBundle> bundles;
  for (int b = 0; b < 10; ++b) {
    APMPBMeasurementBundle bundle;
    setBundleFields(bundle, b);
    std::vector<APMPBEvent> events;
    for (int e = 0; e < 40; ++e) {
      APMPBEvent event;
      NANOSetString(event, APMPBEvent::kName, e % 4 ? "select_content" : "_vs");
      NANOSetInt64(event, APMPBEvent::kTimestampMillis, 1700000000000 + e * 1000);
      NANOSetInt64(event, APMPBEvent::kPreviousTimestampMillis, 1699999999000 + e * 1000);
      std::vector<APMPBEventParam> params = {
          stringParam("_o", "auto"),
          intParam("_et", e * 17),
          stringParam("item_id", "sku-" + std::to_string(e)),
          doubleParam("value", e * 1.5),
          stringParam("currency", "EUR"),
          intParam("quantity", e % 5),
          stringParam("content_type", text(12, e)),
      };
      APMPBEventParam items;
      NANOSetString(items, APMPBEventParam::kName, "items");
      NANOSetMessageArray(
          items, APMPBEventParam::kParamValue,
          std::vector<APMPBEventParam>{stringParam("item_name", text(10, e)), intParam("index", e),
                                       doubleParam("price", e * 0.99)});
      params.push_back(std::move(items));
      NANOSetMessageArray(event, APMPBEvent::kParams, params);
      events.push_back(std::move(event));
    }
    NANOSetMessageArray(bundle, APMPBMeasurementBundle::kEvents, events);
    NANOSetMessageArray(bundle, APMPBMeasurementBundle::kUserAttributes, userAttributes(25, b));
    NANOSetMessageArray(bundle, APMPBMeasurementBundle::kAudienceEvaluationResults,
                        audienceResults(8));
    std::vector<NANOObject> experiments;
    for (int i = 0; i < 12; ++i) experiments.emplace_back(NANONumber::fromUInt32(1000 + i));
    NANOSetArray(bundle, APMPBMeasurementBundle::kExperimentIds, experiments);
    NANOSetArray(bundle, APMPBMeasurementBundle::kRedactedFields,
                 std::vector<NANOObject>{std::string("device_model"), std::string("os_version")});
    APMPBAdCampaignInfo campaign;
    NANOSetString(campaign, APMPBAdCampaignInfo::kDeepLinkOclid, text(40, b));
    NANOSetString(campaign, APMPBAdCampaignInfo::kDeepLinkOadSource, "deeplink");
    NANOSetInt64(campaign, APMPBAdCampaignInfo::kDeepLinkTimestampMillis, 1700000000000);
    std::vector<APMPBDeepLinkOadParamsEntry> entries;
    for (int i = 0; i < 4; ++i) {
      APMPBDeepLinkOadParamsEntry entry;
      std::string key = "k";
      key += std::to_string(i);
      NANOSetString(entry, APMPBDeepLinkOadParamsEntry::kKey, key);
      NANOSetString(entry, APMPBDeepLinkOadParamsEntry::kValue, text(8, i));
      entries.push_back(std::move(entry));
    }
    NANOSetMessageArray(campaign, APMPBAdCampaignInfo::kDeepLinkOadParams, entries);
    NANOSetMessage(bundle, APMPBMeasurementBundle::kAdCampaignInfo, campaign);
    bundles.push_back(std::move(bundle));
  }
  APMPBMeasurementBatch batch;
  NANOSetMessageArray(batch, APMPBMeasurementBatch::kBundles, bundles);
  NANOSetString(batch, APMPBMeasurementBatch::kUploadSubdomain, "app-measurement");
  return batch;
}

// 4 bundles of 50 events whose parameters and user attributes hold long texts (0.5 to 4 KB)
// beside short ones: what an app that logs page content or long identifiers sends.
APMPBMeasurementBatch longStringBatch() {
  std::vector<APMPBMeasurementBundle> bundles;
  for (int b = 0; b < 4; ++b) {
    APMPBMeasurementBundle bundle;
    NANOSetInt32(bundle, APMPBMeasurementBundle::kProtocolVersion, 1);
    NANOSetString(bundle, APMPBMeasurementBundle::kAppId, "com.example.app");
    NANOSetString(bundle, APMPBMeasurementBundle::kMonitoringData, text(2048, b));
    std::vector<APMPBEvent> events;
    for (int e = 0; e < 50; ++e) {
      APMPBEvent event;
      NANOSetString(event, APMPBEvent::kName, "page_view");
      NANOSetInt64(event, APMPBEvent::kTimestampMillis, 1700000000000 + e);
      NANOSetMessageArray(
          event, APMPBEvent::kParams,
          std::vector<APMPBEventParam>{stringParam("page_text", text(512 + (e % 8) * 448, e)),
                                       stringParam("page_title", text(24, e)), intParam("_et", e)});
      events.push_back(std::move(event));
    }
    NANOSetMessageArray(bundle, APMPBMeasurementBundle::kEvents, events);
    auto attributes = userAttributes(6, b);
    NANOSetString(attributes[0], APMPBUserAttribute::kStringValue, text(1000, b));
    NANOSetMessageArray(bundle, APMPBMeasurementBundle::kUserAttributes, attributes);
    bundles.push_back(std::move(bundle));
  }
  APMPBMeasurementBatch batch;
  NANOSetMessageArray(batch, APMPBMeasurementBatch::kBundles, bundles);
  return batch;
}

struct Batch {
  const char* name;
  std::string bytes;
};

const std::vector<Batch>& batches() {
  static const std::vector<Batch> all = {
      {"events", *testsupport::sampleMeasurementBatch().protoBuffer()},
      {"full", *fullBatch().protoBuffer()},
      {"long_strings", *longStringBatch().protoBuffer()},
  };
  return all;
}

// Each side's encoding of the batch, compared once with the batch's bytes before the timed
// loop; a mismatch fails the benchmark.
bool sameBytes(benchmark::State& state, const std::optional<std::string>& encoded,
               const Batch& batch, const char* who) {
  if (encoded && *encoded == batch.bytes) return true;
  state.SkipWithError((std::string(who) + " writes other bytes than the batch's").c_str());
  return false;
}

// Each decoder's result is checked the same way once, before its timed loop: written again,
// it gives the batch's bytes (nanopb: the same message).
void oursDecode(benchmark::State& state, const Batch& batch) {
  auto checked = APMPBMeasurementBatch::initWithBuffer(batch.bytes);
  if (!checked || !sameBytes(state, checked->protoBuffer(), batch, "ours, decoded,")) return;
  for (auto _ : state) {
    auto decoded = APMPBMeasurementBatch::initWithBuffer(batch.bytes);
    if (!decoded) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(decoded);
  }
}

void oursEncode(benchmark::State& state, const Batch& batch) {
  auto decoded = APMPBMeasurementBatch::initWithBuffer(batch.bytes);
  if (!decoded || !sameBytes(state, decoded->protoBuffer(), batch, "ours")) return;
  for (auto _ : state) {
    auto bytes = decoded->protoBuffer();
    benchmark::DoNotOptimize(bytes);
  }
}

// A user decoding batch after batch parses into one message: parsing clears it and reuses what
// its earlier contents allocated.
void protobufDecode(benchmark::State& state, const Batch& batch) {
  apm::MeasurementBatch decoded;
  if (!decoded.ParseFromString(batch.bytes) ||
      !sameBytes(state, decoded.SerializeAsString(), batch, "libprotobuf, decoded,")) {
    return;
  }
  for (auto _ : state) {
    if (!decoded.ParseFromString(batch.bytes)) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(decoded);
  }
}

void protobufEncode(benchmark::State& state, const Batch& batch) {
  apm::MeasurementBatch decoded;
  if (!decoded.ParseFromString(batch.bytes) ||
      !sameBytes(state, decoded.SerializeAsString(), batch, "libprotobuf")) {
    return;
  }
  for (auto _ : state) {
    std::string out;
    decoded.SerializeToString(&out);
    benchmark::DoNotOptimize(out);
  }
}

std::optional<std::string> nanopbBytes(const nanobench_MeasurementBatch& decoded);
bool nanopbSameMessage(benchmark::State& state, const nanobench_MeasurementBatch& decoded,
                       const Batch& batch);

void nanopbDecode(benchmark::State& state, const Batch& batch) {
  {
    nanobench_MeasurementBatch checked = nanobench_MeasurementBatch_init_zero;
    pb_istream_t stream = pb_istream_from_buffer(
        reinterpret_cast<const pb_byte_t*>(batch.bytes.data()), batch.bytes.size());
    bool good = pb_decode(&stream, nanobench_MeasurementBatch_fields, &checked) &&
                nanopbSameMessage(state, checked, batch);
    pb_release(nanobench_MeasurementBatch_fields, &checked);
    if (!good) return state.SkipWithError("nanopb decodes another message than the batch");
  }
  for (auto _ : state) {
    nanobench_MeasurementBatch decoded = nanobench_MeasurementBatch_init_zero;
    pb_istream_t stream = pb_istream_from_buffer(
        reinterpret_cast<const pb_byte_t*>(batch.bytes.data()), batch.bytes.size());
    if (!pb_decode(&stream, nanobench_MeasurementBatch_fields, &decoded)) {
      state.SkipWithError("decode failed");
    }
    benchmark::DoNotOptimize(decoded);
    pb_release(nanobench_MeasurementBatch_fields, &decoded);
  }
}

// As nanopb is used on its own: a sizing pass, one buffer of that size, the writing pass.
std::optional<std::string> nanopbBytes(const nanobench_MeasurementBatch& decoded) {
  pb_ostream_t sizing = PB_OSTREAM_SIZING;
  if (!pb_encode(&sizing, nanobench_MeasurementBatch_fields, &decoded)) return std::nullopt;
  std::string out(sizing.bytes_written, '\0');
  pb_ostream_t stream =
      pb_ostream_from_buffer(reinterpret_cast<pb_byte_t*>(out.data()), out.size());
  if (!pb_encode(&stream, nanobench_MeasurementBatch_fields, &decoded)) return std::nullopt;
  return out;
}

// nanopb writes repeated numbers packed where protoc writes them one by one: its bytes must
// hold the same message, not the same bytes.
bool nanopbSameMessage(benchmark::State&, const nanobench_MeasurementBatch& decoded,
                       const Batch& batch) {
  auto written = nanopbBytes(decoded);
  auto reread = written ? APMPBMeasurementBatch::initWithBuffer(*written) : std::nullopt;
  auto expected = APMPBMeasurementBatch::initWithBuffer(batch.bytes);
  return reread && expected && *reread == *expected;
}

void nanopbEncode(benchmark::State& state, const Batch& batch) {
  nanobench_MeasurementBatch decoded = nanobench_MeasurementBatch_init_zero;
  pb_istream_t in = pb_istream_from_buffer(reinterpret_cast<const pb_byte_t*>(batch.bytes.data()),
                                           batch.bytes.size());
  pb_decode(&in, nanobench_MeasurementBatch_fields, &decoded);
  if (!nanopbSameMessage(state, decoded, batch)) {
    state.SkipWithError("nanopb writes another message than the batch");
  } else {
    for (auto _ : state) benchmark::DoNotOptimize(nanopbBytes(decoded));
  }
  pb_release(nanobench_MeasurementBatch_fields, &decoded);
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

BENCHMARK(BM_Program_ReadThroughCopies)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Program_ReadThroughViews)->Unit(benchmark::kMicrosecond);

using Side = void (*)(benchmark::State&, const Batch&);

}  // namespace

int main(int argc, char** argv) {
  if (!kvlbench::initialize(argc, argv)) return 1;
  const std::pair<const char*, Side> sides[] = {
      {"BM_Ours_Decode", oursDecode},         {"BM_Protobuf_Decode", protobufDecode},
      {"BM_Nanopb_Decode", nanopbDecode},     {"BM_Ours_Encode", oursEncode},
      {"BM_Protobuf_Encode", protobufEncode}, {"BM_Nanopb_Encode", nanopbEncode},
  };
  for (const Batch& batch : batches()) {
    for (const auto& [name, side] : sides) {
      benchmark::RegisterBenchmark((std::string(name) + "/" + batch.name).c_str(), side, batch)
          ->Unit(benchmark::kMillisecond)
          ->MinTime(0.2);
    }
  }
  kvlbench::MedianReporter reporter;
  for (const Batch& batch : batches()) {
    for (const char* op : {"Decode", "Encode"}) {
      std::string suffix = std::string(op) + "/" + batch.name;
      std::string lower = op[0] == 'D' ? "decode" : "encode";
      reporter.ratio(lower + " " + batch.name + " ours/libprotobuf", "BM_Ours_" + suffix,
                     "BM_Protobuf_" + suffix);
      reporter.ratio(lower + " " + batch.name + " ours/nanopb-alone", "BM_Ours_" + suffix,
                     "BM_Nanopb_" + suffix);
    }
  }
  reporter.ratio("program read through copies/views", "BM_Program_ReadThroughCopies",
                 "BM_Program_ReadThroughViews");
  reporter.run();
  std::printf("\n");
  for (const Batch& batch : batches()) {
    std::printf("batch %s: %zu bytes\n", batch.name, batch.bytes.size());
  }
  reporter.printRatios();
  benchmark::Shutdown();
  return reporter.complete() ? 0 : 1;
}
