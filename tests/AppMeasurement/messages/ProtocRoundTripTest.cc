// Our encoder and decoder against protoc's, for every message of the schemas.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "AppMeasurement/messages/NANO.h"
#include "tests/AppMeasurement/messages/MessageTestSupport.h"
#include "tests/AppMeasurement/messages/nano_test_kinds.nano.h"
#include "tests/support/LogCapture.h"

namespace {

using messagetest::layoutNamed;
using messagetest::runProtoc;

// A copy of the schemas in which every repeated scalar is packed, so that protoc writes the
// packed form our decoder must also accept.
std::string packedSchemaDir(const std::string& schemaDir) {
  static std::map<std::string, std::string> dirs;
  auto& dir = dirs[schemaDir];
  if (dir.empty())
    dir = [&] {
      std::string out = messagetest::scratchDir() + "/packed" + std::to_string(dirs.size());
      std::filesystem::create_directories(out);
      std::regex repeatedScalar(
          R"((repeated\s+(int32|int64|uint32|uint64|bool|float|double|Color)\s+\w+\s*=\s*\d+)\s*;)");
      for (const auto& entry : std::filesystem::directory_iterator(schemaDir)) {
        if (entry.path().extension() != ".proto") continue;
        std::ifstream in(entry.path());
        std::stringstream text;
        text << in.rdbuf();
        std::ofstream(out + "/" + entry.path().filename().string())
            << std::regex_replace(text.str(), repeatedScalar, "$1 [packed = true];");
      }
      return out;
    }();
  return dir;
}

std::string decodeArgs(const NANOMessageLayout& layout, const std::string& dir) {
  std::string package =
      std::string(layout.className).starts_with("NANOTest") ? "nanotest." : "apm.";
  return "-I" + dir + " --decode=" + package + layout.name + " " + dir + "/" +
         messagetest::protoFileOf(layout);
}

std::string encodeArgs(const NANOMessageLayout& layout, const std::string& dir) {
  std::string package =
      std::string(layout.className).starts_with("NANOTest") ? "nanotest." : "apm.";
  return "-I" + dir + " --encode=" + package + layout.name + " " + dir + "/" +
         messagetest::protoFileOf(layout);
}

// Unknown fields of every wire type, as a peer on a newer schema might send them.
std::string unknownFields() {
  std::string bytes;
  bytes += "\xb8\x3e\x2a";                    // 999: varint 42
  bytes += "\xc1\x3e" + std::string(8, 'x');  // 1000: 64-bit
  bytes +=
      "\xca\x3e\x03"
      "abc";  // 1001: length-delimited
  bytes +=
      "\xd5\x3e"
      "wxyz";  // 1002: 32-bit
  return bytes;
}

class ProtocRoundTrip : public testing::TestWithParam<std::string> {};

TEST_P(ProtocRoundTrip, AgreesWithProtocBothWays) {
  const NANOMessageLayout* layout = layoutNamed(GetParam());
  ASSERT_NE(layout, nullptr);
  ASSERT_FALSE(messagetest::protoFileOf(*layout).empty());
  const std::string schemaDir = messagetest::schemaDirOf(*layout);

  NANODynamicMessage filled(*layout);
  messagetest::fillMessage(filled, 3, 1);
  auto ours = filled.protoBuffer();
  ASSERT_TRUE(ours.has_value());
  ASSERT_FALSE(ours->empty());

  // Our bytes, read by protoc: every field known (no numbered unknown fields in the text).
  std::string text, error;
  ASSERT_EQ(runProtoc(decodeArgs(*layout, schemaDir), *ours, &text, &error), 0) << error;
  EXPECT_FALSE(std::regex_search(text, std::regex(R"((^|\n)\s*\d+\s*[:{])"))) << text;
  for (uint32_t slot = 0; slot < layout->slotCount; ++slot) {
    if (!NANOHasField(filled, slot) && !(layout->codes[slot] & kNANOCodeRepeated)) continue;
    if ((layout->codes[slot] & kNANOCodeMessage) && !NANOHasField(filled, slot)) continue;
    EXPECT_NE(text.find(std::string(layout->fields[slot].name)), std::string::npos)
        << layout->fields[slot].name;
  }

  // protoc writes the same text back to the same bytes, byte for byte.
  std::string theirs;
  ASSERT_EQ(runProtoc(encodeArgs(*layout, schemaDir), text, &theirs, &error), 0) << error;
  EXPECT_EQ(theirs, *ours);

  // protoc's bytes decode to the same record.
  auto decoded = NANODynamicMessage::initWithBuffer(*layout, theirs);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_TRUE(*decoded == filled);

  // Packed repeated scalars from protoc decode the same, and are written back unpacked.
  std::string packed;
  ASSERT_EQ(runProtoc(encodeArgs(*layout, packedSchemaDir(schemaDir)), text, &packed, &error), 0)
      << error;
  auto fromPacked = NANODynamicMessage::initWithBuffer(*layout, packed);
  ASSERT_TRUE(fromPacked.has_value());
  EXPECT_TRUE(*fromPacked == filled);
  EXPECT_EQ(fromPacked->protoBuffer(), ours);

  // The fuzzer's seeds are these messages (scripts/fuzz-messages.sh --seed writes them).
  if (const char* seeds = std::getenv("KVL_WRITE_FUZZ_SEEDS")) {
    auto layouts = messagetest::allLayouts();
    auto at = std::find(layouts.begin(), layouts.end(), layout);
    if (at != layouts.end()) {
      std::ofstream(std::string(seeds) + "/" + layout->name, std::ios::binary)
          << static_cast<char>(at - layouts.begin()) << *ours;
    }
  }

  // Unknown fields are skipped on decode and left out on encode.
  auto withUnknown = NANODynamicMessage::initWithBuffer(*layout, unknownFields() + *ours);
  ASSERT_TRUE(withUnknown.has_value());
  EXPECT_EQ(withUnknown->protoBuffer(), ours);
}

std::vector<std::string> allMessageNames() {
  std::vector<std::string> names;
  for (const auto* layout : messagetest::allLayouts()) names.push_back(layout->name);
  for (const auto* layout : messagetest::testLayouts()) names.push_back(layout->name);
  return names;
}

INSTANTIATE_TEST_SUITE_P(EveryMessage, ProtocRoundTrip, testing::ValuesIn(allMessageNames()),
                         [](const auto& info) { return info.param; });

// A negative int32 or enum list element is written in its 32 bits (five bytes, not protoc's
// ten); protoc reads it as the same negative value.
TEST(ProtocRoundTrip, NegativeListElements) {
  const NANOMessageLayout* layout = layoutNamed("AllKinds");
  ASSERT_NE(layout, nullptr);
  NANODynamicMessage message(*layout);
  NANOSetArray(message, NANOTestAllKinds::kRi32,
               std::vector<NANOObject>{NANONumber::fromInt32(-5), NANONumber::fromInt32(7)});
  auto ours = message.protoBuffer();
  ASSERT_TRUE(ours.has_value());
  EXPECT_EQ(*ours, "\x70\xfb\xff\xff\xff\x0f\x70\x07");
  std::string text, error;
  ASSERT_EQ(runProtoc(decodeArgs(*layout, messagetest::schemaDirOf(*layout)), *ours, &text, &error),
            0)
      << error;
  EXPECT_EQ(text, "ri32: -5\nri32: 7\n");
}

TEST(ProtocRoundTrip, CoversAllMessages) { EXPECT_EQ(messagetest::allLayouts().size(), 48u); }

}  // namespace
