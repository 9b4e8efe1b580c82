// The encoder against libprotobuf: records of every message, filled at random through the
// accessors (any subset of fields, empty and nested elements, texts whose lengths cross the
// one- and two-byte length prefixes), must encode to the bytes libprotobuf writes for the same
// message, and decode back to the same record. The fuzzer's kept corpus is replayed the same way;
// values out of their field's range are written as nanopb writes them.
#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/dynamic_message.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>

#include "AppMeasurement/messages/NANO.h"
#include "AppMeasurement/messages/NANODynamicMessage.h"
#include "proto/APMPBMessageLayouts.h"
#include "tests/AppMeasurement/messages/MessageTestSupport.h"

namespace {

namespace pb = google::protobuf;

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// libprotobuf's classes of every schema, built from the descriptor sets the build wrote.
class Libprotobuf {
 public:
  Libprotobuf() {
    for (const char* path : {KVL_TEST_MEASUREMENT_DESCRIPTORS, KVL_TEST_KINDS_DESCRIPTORS}) {
      pb::FileDescriptorSet set;
      EXPECT_TRUE(set.ParseFromString(readFile(path))) << path;
      for (const auto& file : set.file()) {
        if (pool_.FindFileByName(file.name()) == nullptr) {
          EXPECT_NE(pool_.BuildFile(file), nullptr) << file.name();
        }
      }
    }
  }

  // Parses our bytes and writes them again; nullopt when libprotobuf refuses them.
  std::optional<std::string> rewrite(const NANOMessageLayout& layout, const std::string& bytes) {
    std::string package =
        std::string(layout.className).starts_with("NANOTest") ? "nanotest." : "apm.";
    const pb::Descriptor* type = pool_.FindMessageTypeByName(package + layout.name);
    if (type == nullptr) return std::nullopt;
    std::unique_ptr<pb::Message> message(factory_.GetPrototype(type)->New());
    if (!message->ParseFromString(bytes)) return std::nullopt;
    return message->SerializeAsString();
  }

 private:
  pb::DescriptorPool pool_;
  pb::DynamicMessageFactory factory_;
};

Libprotobuf& libprotobuf() {
  static Libprotobuf instance;
  return instance;
}

// Text lengths on both sides of the one-, two- and three-byte length prefixes.
std::string randomText(std::mt19937_64& rng) {
  static const size_t kLengths[] = {0, 1, 7, 127, 128, 300, 16383, 16384};
  std::string text(kLengths[rng() % std::size(kLengths)], 'a');
  for (char& c : text) c = static_cast<char>('a' + rng() % 26);
  return text;
}

// A value libprotobuf keeps as a known value: enums take declared numbers; repeated 32-bit
// signed values are non-negative, since the accessors store them zero-extended and the wire then
// carries them in their 32 bits, where libprotobuf writes a negative one sign-extended.
NANONumber randomNumber(const NANOFieldInfo& field, uint32_t code, std::mt19937_64& rng) {
  if (code & kNANOCodeBool) return NANONumber::fromBool(rng() & 1);
  if (code & kNANOCodeEnum) {
    const NANOEnumInfo& values = *field.enumeration;
    return NANONumber::fromInt32(values.values[rng() % values.count].number);
  }
  if (code & kNANOCodeInt32) return NANONumber::fromInt32(static_cast<int32_t>(rng() >> 33));
  if (code & kNANOCodeUInt32) return NANONumber::fromUInt32(static_cast<uint32_t>(rng()));
  if (code & kNANOCodeInt64) return NANONumber::fromInt64(static_cast<int64_t>(rng()));
  if (code & kNANOCodeUInt64) return NANONumber::fromUInt64(rng() >> (rng() % 64));
  if (code & kNANOCodeFloat) return NANONumber::fromFloat(static_cast<float>(rng() % 1000) / 8);
  return NANONumber::fromDouble(static_cast<double>(static_cast<int64_t>(rng())) / 1024);
}

// Each field present with probability 2/3; lists of 0 to 3 elements; sub-messages down to
// depth levels, then present but empty.
NANODynamicMessage randomMessage(const NANOMessageLayout& layout, int depth, std::mt19937_64& rng) {
  NANODynamicMessage message(layout);
  for (uint32_t slot = 0; slot < layout.slotCount; ++slot) {
    if (rng() % 3 == 0) continue;
    uint32_t code = layout.codes[slot];
    const NANOFieldInfo& field = layout.fields[slot];
    if (code & kNANOCodeRepeated) {
      std::vector<NANOObject> list;
      for (uint64_t n = rng() % 4; n > 0; --n) {
        if (code & kNANOCodeMessage) {
          list.emplace_back(std::make_shared<NANODynamicMessage>(
              depth > 0 ? randomMessage(*field.message, depth - 1, rng)
                        : NANODynamicMessage(*field.message)));
        } else if (code & kNANOCodeString) {
          list.emplace_back(randomText(rng));
        } else if (code & kNANOCodeBytes) {
          list.emplace_back(NANOData{randomText(rng)});
        } else {
          NANONumber number = randomNumber(field, code, rng);
          if ((code & kNANOCodeInt32) && number.intValue() < 0) number = NANONumber::fromInt32(0);
          list.emplace_back(number);
        }
      }
      NANOSetArray(message, slot, list);
    } else if (code & kNANOCodeMessage) {
      NANOSetMessage(message, slot,
                     depth > 0 ? randomMessage(*field.message, depth - 1, rng)
                               : NANODynamicMessage(*field.message));
    } else if (code & kNANOCodeString) {
      NANOSetString(message, slot, randomText(rng));
    } else if (code & kNANOCodeBool) {
      NANOSetBool(message, slot, rng() & 1);
    } else if (code & (kNANOCodeEnum | kNANOCodeInt32)) {
      int32_t value = randomNumber(field, code, rng).intValue();
      NANOSetInt32(message, slot, (code & kNANOCodeInt32) && (rng() & 1) ? -value : value);
    } else if (code & kNANOCodeUInt32) {
      NANOSetInt32(message, slot, static_cast<int32_t>(rng()));
    } else if (code & (kNANOCodeInt64 | kNANOCodeUInt64)) {
      NANOSetInt64(message, slot, static_cast<int64_t>(rng()));
    } else if (code & kNANOCodeDouble) {
      NANOSetDouble(message, slot, randomNumber(field, code, rng).doubleValue());
    }
    // Singular float and bytes fields have no setter; they stay absent.
  }
  return message;
}

std::vector<const NANOMessageLayout*> everyLayout() {
  auto layouts = messagetest::allLayouts();
  for (const auto* layout : messagetest::testLayouts()) layouts.push_back(layout);
  return layouts;
}

class NANOEncodeAgainstLibprotobuf : public testing::TestWithParam<const NANOMessageLayout*> {};

TEST_P(NANOEncodeAgainstLibprotobuf, RandomRecordsEncodeToLibprotobufsBytes) {
  const NANOMessageLayout& layout = *GetParam();
  std::mt19937_64 rng(layout.slotCount * 7919 + layout.maxTag);
  for (int round = 0; round < 12; ++round) {
    NANODynamicMessage message = randomMessage(layout, 3, rng);
    std::optional<std::string> ours = message.protoBuffer();
    ASSERT_TRUE(ours.has_value()) << "round " << round;
    EXPECT_EQ(libprotobuf().rewrite(layout, *ours), ours) << "round " << round;
    auto decoded = NANODynamicMessage::initWithBuffer(layout, *ours);
    ASSERT_TRUE(decoded.has_value()) << "round " << round;
    EXPECT_TRUE(*decoded == message) << "round " << round;
  }
}

INSTANTIATE_TEST_SUITE_P(EveryMessage, NANOEncodeAgainstLibprotobuf,
                         testing::ValuesIn(everyLayout()),
                         [](const auto& info) { return std::string(info.param->name); });

// Values the wire carries beyond their field's range are written back as nanopb writes its
// structure's member, and decode again to the same record (what the fuzzer holds for any input).
TEST(NANOEncode, OutOfRangeValuesAreWrittenAsNanopbHoldsThem) {
  struct Case {
    const char* message;
    std::string input;
    std::string written;
  };
  const std::string ones(9, '\xff');
  const Case cases[] = {
      // An enum without negative values is unsigned to nanopb: its 32 bits, not sign-extended.
      {"LimitedDataEntry", "\x08\xff\xff\xff\xff\x0f", "\x08\xff\xff\xff\xff\x0f"},
      {"AllKinds", "\x10\xff\xff\xff\xff\x0f", "\x10\xff\xff\xff\xff\x0f"},
      // int32 is signed: the same 32 bits are -1, written in ten bytes as protoc writes it.
      {"AllKinds", "\x18\xff\xff\xff\xff\x0f", "\x18" + ones + "\x01"},
      {"AllKinds", std::string("\x08\x02", 2), std::string("\x08\x01", 2)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message + (" " + c.input));
    const NANOMessageLayout* layout = messagetest::layoutNamed(c.message);
    ASSERT_NE(layout, nullptr);
    auto message = NANODynamicMessage::initWithBuffer(*layout, c.input);
    ASSERT_TRUE(message.has_value());
    auto written = message->protoBuffer();
    EXPECT_EQ(written, c.written);
    auto again = NANODynamicMessage::initWithBuffer(*layout, written.value_or(""));
    ASSERT_TRUE(again.has_value());
    EXPECT_TRUE(*again == *message);
  }
}

// What the fuzzer checks of each input, over the kept corpus, and libprotobuf's agreement on
// the seeds.
TEST(NANOEncodeCorpus, KeptFuzzInputsRoundTripAndMatchLibprotobuf) {
  auto layouts = APMPBMessageLayouts();
  size_t replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(KVL_TEST_FUZZ_CORPUS)) {
    std::string input = readFile(entry.path());
    if (input.empty()) continue;
    const NANOMessageLayout& layout =
        *layouts[static_cast<unsigned char>(input[0]) % layouts.size()];
    auto message = NANODynamicMessage::initWithBuffer(layout, std::string_view(input).substr(1));
    if (!message) continue;
    ++replayed;
    auto encoded = message->protoBuffer();
    ASSERT_TRUE(encoded.has_value()) << entry.path();
    auto again = NANODynamicMessage::initWithBuffer(layout, *encoded);
    ASSERT_TRUE(again.has_value()) << entry.path();
    EXPECT_TRUE(*again == *message) << entry.path();
    EXPECT_EQ(again->protoBuffer(), encoded) << entry.path();
    // The seeds (named after their message) hold values in range, which libprotobuf writes
    // alike; inputs the fuzzer found may hold values only nanopb writes their way.
    if (entry.path().filename() == layout.name) {
      EXPECT_EQ(libprotobuf().rewrite(layout, *encoded), encoded) << entry.path();
    }
  }
  EXPECT_GE(replayed, 48u);
}

}  // namespace
