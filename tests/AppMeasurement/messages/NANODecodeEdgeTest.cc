// Where the decoder reads the wire as nanopb reads it for the same fields: overflowing and
// over-long varints, packed runs, tag zero, groups, repeated singular fields. Each outcome is what
// nanopb's pb_decode gives for the bytes (the decoder used it before it read the wire itself).
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "AppMeasurement/messages/NANODynamicMessage.h"
#include "tests/AppMeasurement/messages/MessageTestSupport.h"
#include "tests/support/LogCapture.h"

namespace {

std::string hex(const char* text) {
  std::string bytes;
  for (const char* p = text; p[0] != '\0' && p[1] != '\0'; p += (p[2] == ' ' ? 3 : 2)) {
    bytes += static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16));
  }
  return bytes;
}

TEST(NANODecodeEdges, TheWireIsReadAsNanopbReadsIt) {
  struct Case {
    const char* why;
    const char* input;
    const char* written;  // nullptr: the decode fails
  };
  const Case cases[] = {
      {"uint32 of 2^32 does not fit nanopb's member", "20 80 80 80 80 10", nullptr},
      {"uint32 of 2^32 - 1", "20 ff ff ff ff 0f", "20 ff ff ff ff 0f"},
      {"enum beyond 32 bits", "10 ff ff ff ff 1f", nullptr},
      {"bool read as a 32-bit varint overflows", "08 80 80 80 80 10", nullptr},
      {"bool of -1 sign-extended to ten bytes", "08 ff ff ff ff ff ff ff ff ff 01", "08 01"},
      {"bool with a sixth byte", "08 80 80 80 80 80 01", nullptr},
      {"int32 of -1 in ten bytes", "18 ff ff ff ff ff ff ff ff ff 01",
       "18 ff ff ff ff ff ff ff ff ff 01"},
      {"int64 whose tenth byte overflows", "28 80 80 80 80 80 80 80 80 80 02", nullptr},
      {"empty packed run", "72 00", nullptr},
      {"packed floats cut short", "92 01 03 00 00 00", nullptr},
      {"packed booleans keep their values, written unpacked", "62 02 08 05", "60 08 60 05"},
      {"tag zero", "02 00", nullptr},
      {"group on a known field", "2b", nullptr},
      {"group on an unknown field", "f3 01", nullptr},
      {"unknown varint of twelve bytes is skipped", "f0 01 ff ff ff ff ff ff ff ff ff ff ff 01",
       ""},
      {"singular sub-message twice merges", "5a 00 5a 02 08 01", "5a 02 08 01"},
      {"singular string twice keeps the first", "4a 01 61 4a 01 62", "4a 01 61"},
      {"empty element of a repeated message", "b2 01 00", "b2 01 00"},
  };
  const NANOMessageLayout* layout = messagetest::layoutNamed("AllKinds");
  ASSERT_NE(layout, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    testsupport::LogCapture log;
    auto decoded = NANODynamicMessage::initWithBuffer(*layout, hex(c.input));
    if (c.written == nullptr) {
      EXPECT_FALSE(decoded.has_value());
      EXPECT_TRUE(log.contains("<ERROR> AllKinds decoder failed"));
      continue;
    }
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->protoBuffer(), hex(c.written));
  }
}

}  // namespace
