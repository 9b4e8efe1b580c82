// The arena decoded records live in: its blocks, what a thread keeps of them for its next
// decode, and what holds for decoded messages (copies outlive them, edits replace their records,
// they may end on another thread). Under AddressSanitizer a record used after its arena went, or
// a block never given back, fails the run.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "AppMeasurement/messages/APMPBMessages.h"
#include "AppMeasurement/messages/NANOArena.h"
#include "tests/support/AllocationPeak.h"
#include "tests/support/ProtobufWire.h"
#include "tests/support/SampleMeasurementBatch.h"

namespace {

using testsupport::key;
using testsupport::lengthDelimited;

// Runs body on a new thread: its kept blocks start empty, and are freed when it ends.
void onFreshThread(const std::function<void()>& body) {
  std::thread thread(body);
  thread.join();
}

TEST(NANOArena, AllocationsAreAlignedAndIndependentAcrossBlocks) {
  onFreshThread([] {
    NANOArena arena;
    std::vector<std::pair<unsigned char*, size_t>> taken;
    size_t total = 0;
    // From one byte to past the largest block, so that several blocks and an own-size one form.
    for (size_t size : {1, 7, 16, 100, 1000, 5000, 40000, 70000, 200000, 3, 64 * 1024}) {
      auto* bytes = static_cast<unsigned char*>(arena.allocate(size));
      EXPECT_EQ(reinterpret_cast<uintptr_t>(bytes) % alignof(std::max_align_t), 0u) << size;
      std::memset(bytes, static_cast<int>(taken.size() + 1), size);
      taken.emplace_back(bytes, size);
      total += size;
    }
    for (size_t i = 0; i < taken.size(); ++i) {
      const auto& [bytes, size] = taken[i];
      for (size_t k = 0; k < size; ++k) ASSERT_EQ(bytes[k], i + 1) << "allocation " << i;
    }
    EXPECT_GE(arena.blockBytes(), total);
  });
}

// What the decoder charges to its budget before the arena takes a block.
TEST(NANOArena, TheNextBlockIsKnownBeforeItIsTaken) {
  NANOArena arena;
  EXPECT_EQ(arena.nextBlockBytes(10), NANOArena::kFirstBlockBytes);
  arena.allocate(10);
  EXPECT_EQ(arena.blockBytes(), NANOArena::kFirstBlockBytes);
  EXPECT_EQ(arena.nextBlockBytes(500), 0u);  // fits in the current block
  EXPECT_EQ(arena.nextBlockBytes(NANOArena::kFirstBlockBytes), 2 * NANOArena::kFirstBlockBytes);
  EXPECT_EQ(arena.nextBlockBytes(100000), 100000u);  // past the largest block: its own size
  arena.allocate(NANOArena::kFirstBlockBytes);
  EXPECT_EQ(arena.blockBytes(), 3 * NANOArena::kFirstBlockBytes);
}

// A thread keeps the blocks of its last arena for the next one, within the floor and the
// ceiling; what it keeps is freed when it ends.
TEST(NANOArena, AThreadKeepsWhatItsLastArenaUsed) {
  onFreshThread([] {
    EXPECT_EQ(NANOArena::cachedBytesForTesting(), 0u);
    auto fill = [](NANOArena& arena, int blocks) {
      for (int i = 0; i < blocks; ++i) arena.allocate(60 * 1024);
    };
    size_t used = 0;
    {
      NANOArena batch;
      fill(batch, 64);  // 4 MiB
      used = batch.blockBytes();
    }
    EXPECT_EQ(NANOArena::cachedBytesForTesting(), used);
    {
      NANOArena again;
      fill(again, 64);
      EXPECT_EQ(NANOArena::cachedBytesForTesting(), 0u);  // took every kept block
    }
    EXPECT_EQ(NANOArena::cachedBytesForTesting(), used);
    {
      NANOArena small;
      small.allocate(100);
    }
    EXPECT_LE(NANOArena::cachedBytesForTesting(), NANOArena::kCacheFloorBytes);
    {
      NANOArena huge;
      fill(huge, 256);  // 16 MiB
    }
    EXPECT_LE(NANOArena::cachedBytesForTesting(), NANOArena::kCacheCeilingBytes);
    EXPECT_GT(NANOArena::cachedBytesForTesting(), NANOArena::kCacheCeilingBytes / 2);
  });
}

// The memory bound of a decode counts the arena's blocks whether they are new or kept from an
// earlier decode. Measured from an empty cache (a fresh thread), so that every block is a new
// allocation the sanitizer's hooks see: the benchmark's batch stays far under the limit, and a
// hostile input of one-field elements decodes under it or is refused.
TEST(NANOArena, DecodesFromAnEmptyCacheStayUnderTheMemoryLimit) {
  if (!testsupport::AllocationPeak::available()) GTEST_SKIP() << "needs the sanitizer's hooks";
  const std::string batch = *testsupport::sampleMeasurementBatch().protoBuffer();
  std::string hostile;
  while (hostile.size() < (64 << 10)) hostile += lengthDelimited(1, lengthDelimited(1, ""));
  struct Case {
    const NANOMessageLayout* layout;
    const std::string* bytes;
    double mostPerInputByte;
  };
  for (const Case& c : {Case{&APMPBMeasurementBatch::layout(), &batch, 32.0},
                        Case{&APMPBMeasurementBatch::layout(), &hostile, 0}}) {
    long long peak = -1;
    bool decoded = false;
    onFreshThread([&] {
      peak = testsupport::AllocationPeak::measure([&] {
        decoded = NANODecode(*c.layout, reinterpret_cast<const uint8_t*>(c.bytes->data()),
                             c.bytes->size()) != nullptr;
      });
    });
    ASSERT_GE(peak, 0);
    std::printf("%zu bytes from an empty cache: %s, peak %lld bytes (%.1f per input byte)\n",
                c.bytes->size(), decoded ? "decoded" : "refused", peak,
                static_cast<double>(peak) / static_cast<double>(c.bytes->size()));
    EXPECT_LE(static_cast<size_t>(peak), NANODecodeMemoryLimit(c.bytes->size()));
    if (c.mostPerInputByte > 0) {
      EXPECT_TRUE(decoded);
      EXPECT_LT(static_cast<double>(peak) / static_cast<double>(c.bytes->size()),
                c.mostPerInputByte);
    }
  }
}

// An Event of two parameters, the second holding two parameters of its own.
const std::string kInner = lengthDelimited(1, "item") + lengthDelimited(2, "shoe");
const std::string kFirst = lengthDelimited(1, "_o") + lengthDelimited(2, "auto");
const std::string kSecond =
    lengthDelimited(1, "items") + lengthDelimited(6, kInner) + lengthDelimited(6, kInner);
const std::string kEvent =
    lengthDelimited(1, kFirst) + lengthDelimited(1, kSecond) + lengthDelimited(2, "purchase");

TEST(NANODecodedMessage, CopiesOutliveTheDecodedMessage) {
  std::optional<APMPBEventParam> param;
  std::optional<APMPBEvent> copy;
  std::optional<NANOMessageInfo> record;
  {
    auto event = APMPBEvent::initWithBuffer(kEvent);
    ASSERT_TRUE(event);
    auto params = NANOGetMessageArray<APMPBEventParam>(*event, APMPBEvent::kParams);
    ASSERT_TRUE(params && params->size() == 2);
    param = (*params)[1];
    copy = *event;
    auto views = NANOViewMessageArray<APMPBEventParam>(*event, APMPBEvent::kParams);
    record.emplace((*views)[1].record());
  }
  EXPECT_EQ(param->protoBuffer(), kSecond);
  EXPECT_EQ(copy->protoBuffer(), kEvent);
  std::string encoded;
  ASSERT_NE(NANOEncode(*record, &encoded), kNANOEncodeFailure);
  EXPECT_EQ(encoded, kSecond);
  auto children = NANOGetMessageArray<APMPBEventParam>(*param, APMPBEventParam::kParamValue);
  ASSERT_TRUE(children && children->size() == 2);
  EXPECT_EQ(NANOGetString((*children)[1], APMPBEventParam::kStringValue), "shoe");
}

TEST(NANODecodedMessage, EditsReplaceDecodedRecords) {
  auto event = APMPBEvent::initWithBuffer(kEvent);
  ASSERT_TRUE(event);
  APMPBEventParam value;
  NANOSetString(value, APMPBEventParam::kName, "value");
  NANOSetInt64(value, APMPBEventParam::kIntValue, 25);
  NANOSetMessageArray(*event, APMPBEvent::kParams, std::vector<APMPBEventParam>{value, value});
  NANOSetString(*event, APMPBEvent::kName, "refund");
  std::string written = lengthDelimited(1, *value.protoBuffer());
  EXPECT_EQ(event->protoBuffer(), written + written + lengthDelimited(2, "refund"));
  NANOClearField(*event, APMPBEvent::kParams);
  EXPECT_EQ(event->protoBuffer(), lengthDelimited(2, "refund"));
  *event = *APMPBEvent::initWithBuffer(kEvent);  // a decoded record replaced by another
  EXPECT_EQ(event->protoBuffer(), kEvent);

  // A decoded singular sub-message replaced.
  auto result = APMPBAudienceLeafFilterResult::initWithBuffer(key(1, 0) + "\x07" +
                                                              lengthDelimited(2, "\x08\x01"));
  ASSERT_TRUE(result);
  APMPBResultData data;
  NANOSetArray(data, APMPBResultData::kStatus, std::vector<NANOObject>{NANONumber::fromUInt64(9)});
  NANOSetMessage(*result, APMPBAudienceLeafFilterResult::kCurrentData, data);
  EXPECT_EQ(result->protoBuffer(), key(1, 0) + "\x07" + lengthDelimited(2, "\x08\x09"));
}

// What a decoded message's arena holds is what the decode made: edits take memory of their own,
// so a message edited a thousand times gives back the same blocks as one left alone.
TEST(NANODecodedMessage, EditsNeverGrowTheArena) {
  auto blocksGivenBack = [](int edits) {
    size_t cached = 0;
    onFreshThread([&] {
      {
        auto event = APMPBEvent::initWithBuffer(kEvent);
        ASSERT_TRUE(event);
        for (int i = 0; i < edits; ++i) {
          APMPBEventParam param;
          NANOSetString(param, APMPBEventParam::kName, "p" + std::to_string(i));
          NANOSetMessageArray(*event, APMPBEvent::kParams, std::vector<APMPBEventParam>{param});
          NANOSetString(*event, APMPBEvent::kName, std::string(40, 'n'));
        }
      }
      cached = NANOArena::cachedBytesForTesting();
    });
    return cached;
  };
  size_t untouched = blocksGivenBack(0);
  EXPECT_GT(untouched, 0u);
  EXPECT_EQ(blocksGivenBack(1000), untouched);
}

TEST(NANODecodedMessage, ADecodedMessageMayEndOnAnotherThread) {
  const std::string bytes = *testsupport::sampleMeasurementBatch().protoBuffer();
  std::optional<APMPBMeasurementBatch> batch;
  onFreshThread([&] { batch = APMPBMeasurementBatch::initWithBuffer(bytes); });
  ASSERT_TRUE(batch);
  EXPECT_EQ(batch->protoBuffer(), bytes);
  std::optional<APMPBMeasurementBatch> moved = std::move(batch);
  batch.reset();
  onFreshThread([&] { moved.reset(); });
  EXPECT_FALSE(moved);
}

}  // namespace
