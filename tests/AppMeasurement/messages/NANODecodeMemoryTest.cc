// The memory a decode takes on hostile input: input made only of empty or one-field elements of
// repeated fields (2 to 4 bytes on the wire each) must decode under NANODecodeMemoryLimit or fail
// with a log line, and ordinary messages must stay far under the limit.
//
// The peak is measured independently of the decoder's own accounting, through the sanitizer
// allocator's malloc and free hooks (requested bytes, outstanding at once); in builds without
// AddressSanitizer only the decoder's verdicts are checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>

#include "AppMeasurement/messages/APMPBMessages.h"
#include "AppMeasurement/messages/NANODynamicMessage.h"
#include "tests/AppMeasurement/messages/MessageTestSupport.h"
#include "tests/support/AllocationPeak.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ProtobufWire.h"
#include "tests/support/SampleMeasurementBatch.h"

namespace {

using testsupport::AllocationPeak;
using testsupport::varint;

struct Outcome {
  bool decoded = false;
  long long peak = -1;  // -1 when it could not be measured
};

// Decodes bytes as a message of the layout, measuring the peak of what the decode held at once
// (the result included, freed after the measurement).
Outcome decodeMeasured(const NANOMessageLayout& layout, const std::string& bytes) {
  Outcome outcome;
  outcome.peak = AllocationPeak::measure([&] {
    auto record = NANODecode(layout, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    outcome.decoded = record != nullptr;
  });
  return outcome;
}

using testsupport::key;

// The smallest element of a repeated field: an empty message or string, a zero number.
std::string emptyElement(const NANOMessageLayout& layout, uint32_t slot) {
  uint32_t code = layout.codes[slot];
  uint32_t tag = layout.fields[slot].tag;
  if (code & (kNANOCodeMessage | kNANOCodeString | kNANOCodeBytes)) return key(tag, 2) + '\0';
  if (code & kNANOCodeFloat) return key(tag, 5) + std::string(4, '\0');
  if (code & kNANOCodeDouble) return key(tag, 1) + std::string(8, '\0');
  return key(tag, 0) + '\0';
}

// A message element holding one field of its own: its first varint or empty string field.
std::optional<std::string> oneFieldElement(const NANOMessageLayout& layout, uint32_t slot) {
  const NANOMessageLayout* element = layout.fields[slot].message;
  if (element == nullptr) return std::nullopt;
  for (uint32_t s = 0; s < element->slotCount; ++s) {
    uint32_t code = element->codes[s];
    if (code & (kNANOCodeFloat | kNANOCodeDouble)) continue;
    std::string field = emptyElement(*element, s);
    return key(layout.fields[slot].tag, 2) + varint(field.size()) + field;
  }
  return std::nullopt;
}

std::string repeatTo(const std::string& element, size_t length) {
  std::string out;
  out.reserve(length + element.size());
  while (out.size() + element.size() <= length) out += element;
  return out;
}

struct Worst {
  std::string what;
  double ratio = 0;
};

// Every repeated field of every message, filled with empty elements and with one-field
// elements up to length bytes: each decodes within the limit or fails with the log line.
Worst checkEveryRepeatedField(size_t length) {
  Worst worst;
  for (const NANOMessageLayout* layout : APMPBMessageLayouts()) {
    for (uint32_t slot = 0; slot < layout->slotCount; ++slot) {
      if (!(layout->codes[slot] & kNANOCodeRepeated)) continue;
      std::vector<std::pair<std::string, std::string>> inputs{
          {"empty", repeatTo(emptyElement(*layout, slot), length)}};
      if (auto one = oneFieldElement(*layout, slot)) {
        inputs.emplace_back("one-field", repeatTo(*one, length));
      }
      if (!(layout->codes[slot] & (kNANOCodeMessage | kNANOCodeString | kNANOCodeBytes))) {
        // A packed run of zeros: one byte per element.
        inputs.emplace_back("packed", key(layout->fields[slot].tag, 2) + varint(length) +
                                          std::string(length, '\0'));
      }
      for (const auto& [kind, bytes] : inputs) {
        std::string what = std::string(layout->name) + "." + layout->fields[slot].name + " (" +
                           kind + ", " + std::to_string(bytes.size()) + " bytes)";
        testsupport::LogCapture log;
        Outcome outcome = decodeMeasured(*layout, bytes);
        if (!outcome.decoded) {
          EXPECT_TRUE(log.contains("Unable to process proto stream. Decoding needs more than"))
              << what;
        }
        if (outcome.peak >= 0) {
          EXPECT_LE(static_cast<size_t>(outcome.peak), NANODecodeMemoryLimit(bytes.size())) << what;
          double ratio = static_cast<double>(outcome.peak) / static_cast<double>(bytes.size());
          if (ratio > worst.ratio) worst = {what + (outcome.decoded ? "" : ", refused"), ratio};
        }
      }
    }
  }
  return worst;
}

TEST(NANODecodeMemory, TheLimitIsLinearInTheInputAndSaturates) {
  EXPECT_EQ(NANODecodeMemoryLimit(0), kNANODecodeFixedBytes);
  EXPECT_EQ(NANODecodeMemoryLimit(1000),
            1000 * kNANODecodeBytesPerInputByte + kNANODecodeFixedBytes);
  EXPECT_EQ(NANODecodeMemoryLimit(SIZE_MAX / 2), SIZE_MAX);
}

// Empty elements keep no slot array, also those whose schema has singular sub-messages (their
// records are made for nanopb and dropped); such records read, copy, compare and take writes
// like any other.
TEST(NANODecodeMemory, EmptyElementsHoldNoSlots) {
  std::string bytes =
      key(4, 2) + '\0' + key(9, 2) + '\0' + key(9, 2) + varint(2) + key(2, 2) + '\0';
  auto config = NANODecode(APMPBMeasurementConfig::layout(),
                           reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  ASSERT_TRUE(config);
  const NANOMessageInfo& record = *config;
  const auto& settings = record.slot(APMPBMeasurementConfig::kSettings).items;
  const auto& programs = record.slot(APMPBMeasurementConfig::kDynamicEventEditing).items;
  ASSERT_EQ(settings.size(), 1u);
  ASSERT_EQ(programs.size(), 2u);
  EXPECT_FALSE(settings[0].message->hasSlots());
  EXPECT_FALSE(programs[0].message->hasSlots());
  ASSERT_TRUE(programs[1].message->hasSlots());  // its ogt_activities is present, and empty
  EXPECT_TRUE(programs[1].message->slot(APMPBProgram::kOgtActivities).present);

  NANOMessageInfo copy(*programs[0].message);
  EXPECT_FALSE(copy.hasSlots());
  EXPECT_TRUE(copy == *programs[0].message);
  NANOMessageInfo written(APMPBProgram::layout());
  written.slot(APMPBProgram::kInstructions);  // allocates, writes nothing
  EXPECT_TRUE(written == copy);
  EXPECT_TRUE(copy == written);
  EXPECT_FALSE(copy == *programs[1].message);

  auto setting = APMPBSetting::initWithMessageInfo(settings[0].message.get());
  ASSERT_TRUE(setting);
  EXPECT_FALSE(NANOHasField(*setting, APMPBSetting::kName));
  EXPECT_EQ(NANOGetString(*setting, APMPBSetting::kName), std::nullopt);
  NANOSetString(*setting, APMPBSetting::kName, "n");
  EXPECT_EQ(NANOGetString(*setting, APMPBSetting::kName), "n");
  EXPECT_EQ(setting->protoBuffer(), key(1, 2) + varint(1) + "n");
  std::string encoded;
  ASSERT_NE(NANOEncode(record, &encoded), kNANOEncodeFailure);
  EXPECT_EQ(encoded, bytes);
}

// The case found in review: a MeasurementConfig of a mebibyte of empty settings, audiences and
// data controls.
TEST(NANODecodeMemory, AMebibyteOfEmptyConfigElementsStaysUnderTheLimit) {
  for (uint32_t slot :
       {APMPBMeasurementConfig::kSettings, APMPBMeasurementConfig::kAudiences,
        APMPBMeasurementConfig::kDataControls, APMPBMeasurementConfig::kDynamicEventEditing}) {
    const NANOMessageLayout& layout = APMPBMeasurementConfig::layout();
    std::string bytes = repeatTo(emptyElement(layout, slot), 1 << 20);
    testsupport::LogCapture log;
    Outcome outcome = decodeMeasured(layout, bytes);
    EXPECT_TRUE(outcome.decoded || log.contains("Unable to process proto stream.")) << slot;
    if (outcome.peak >= 0) {
      EXPECT_LE(static_cast<size_t>(outcome.peak), NANODecodeMemoryLimit(bytes.size())) << slot;
      std::printf(
          "MeasurementConfig.%s, %zu bytes of empty elements: %s, peak %lld bytes (%.1f per "
          "input byte)\n",
          layout.fields[slot].name, bytes.size(), outcome.decoded ? "decoded" : "refused",
          outcome.peak, static_cast<double>(outcome.peak) / bytes.size());
    }
  }
}

TEST(NANODecodeMemory, EveryRepeatedFieldOfEveryMessageStaysUnderTheLimit) {
  Worst worst = checkEveryRepeatedField(64 << 10);
  if (AllocationPeak::available()) {
    std::printf("worst peak per input byte: %.1f, %s\n", worst.ratio, worst.what.c_str());
  }
}

TEST(NANODecodeMemory, OverTheLimitTheDecodeFailsWithALogLine) {
  // One-field bundles of a batch: four bytes each for a record as wide as a bundle.
  std::string bundle = key(1, 2) + varint(2) + key(1, 0) + varint(1);
  std::string bytes = repeatTo(bundle, 1 << 20);
  testsupport::LogCapture log;
  auto batch = APMPBMeasurementBatch::initWithBuffer(bytes);
  EXPECT_FALSE(batch);
  EXPECT_TRUE(log.contains("Unable to process proto stream. Decoding needs more than " +
                           std::to_string(NANODecodeMemoryLimit(bytes.size())) +
                           " bytes of memory for " + std::to_string(bytes.size()) +
                           " bytes of input"))
      << (log.lines().empty() ? "" : log.lines().front());
  EXPECT_TRUE(log.contains("MeasurementBatch decoder failed"));
}

// The benchmark's measurement batch: 10 bundles x 100 events x 10 parameters.
std::string measurementBatchBytes() { return *testsupport::sampleMeasurementBatch().protoBuffer(); }

// The benchmark's batch, and every message filled as the round-trip tests fill them: far under
// the limit.
TEST(NANODecodeMemory, OrdinaryMessagesStayFarUnderTheLimit) {
  std::string bytes = measurementBatchBytes();
  Outcome outcome = decodeMeasured(APMPBMeasurementBatch::layout(), bytes);
  ASSERT_TRUE(outcome.decoded);
  if (outcome.peak >= 0) {
    double ratio = static_cast<double>(outcome.peak) / static_cast<double>(bytes.size());
    std::printf("measurement batch of %zu bytes: peak %lld bytes (%.1f per input byte)\n",
                bytes.size(), outcome.peak, ratio);
    EXPECT_LT(ratio, kNANODecodeBytesPerInputByte / 2.0);
  }
  double worst = 0;
  for (const NANOMessageLayout* layout : messagetest::allLayouts()) {
    NANODynamicMessage filled(*layout);
    messagetest::fillMessage(filled, 3, 1);
    std::string filledBytes = *filled.protoBuffer();
    Outcome filledOutcome = decodeMeasured(*layout, filledBytes);
    EXPECT_TRUE(filledOutcome.decoded) << layout->name;
    if (filledOutcome.peak >= 0 && filledBytes.size() >= 1024) {
      worst = std::max(
          worst, static_cast<double>(filledOutcome.peak) / static_cast<double>(filledBytes.size()));
    }
  }
  if (AllocationPeak::available()) {
    std::printf("filled messages of 1 KiB or more: worst peak per input byte %.1f\n", worst);
    EXPECT_LT(worst, kNANODecodeBytesPerInputByte / 2.0);
  }
}

}  // namespace

// The densest bundle the engine writes, 1,000 events of 25 parameters each holding a two-letter
// name and a small integer (8 bytes a parameter): the upload queue must be able to read
// every bundle it stored, so it decodes under the limit.
TEST(NANODecodeMemory, TheDensestStoredBundleDecodes) {
  using testsupport::lengthDelimited;
  std::string event;
  for (int p = 0; p < 25; ++p) {
    std::string name = {static_cast<char>('a' + p % 26), static_cast<char>('a' + p / 26)};
    event += lengthDelimited(1, lengthDelimited(1, name) + key(3, 0) + varint(p % 100));
  }
  event += lengthDelimited(2, "e") + key(3, 0) + varint(1'700'000'000'000);
  std::string bundle = key(1, 0) + varint(1);
  for (int i = 0; i < 1000; ++i) bundle += lengthDelimited(2, event);
  std::string bytes = lengthDelimited(1, bundle);
  Outcome outcome = decodeMeasured(APMPBMeasurementBundle::layout(), bundle);
  EXPECT_TRUE(outcome.decoded);
  EXPECT_TRUE(decodeMeasured(APMPBMeasurementBatch::layout(), bytes).decoded);
}
