#include "platform/foundation/PropertyListSerialization.h"

#include <cstdint>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/foundation/JSONSerialization.h"
#include "tests/platform/foundation/FoundationTestSupport.h"

namespace {

using platform::JSONSerialization;
using platform::PropertyListSerialization;
using platform::Value;
using Format = PropertyListSerialization::Format;

// Property-list values travel to and from Python as JSON with every value tagged by its
// kind ("bool", "int", "real", "str", "data" as hex, "date" as seconds since 1970,
// "array", "dict"), so that the comparison sees kinds, not only values.
Value tag(const Value& v) {
  Value::Array out;
  switch (v.type()) {
    case Value::Type::Bool:
      return Value(Value::Array{"bool", v});
    case Value::Type::Integer:
      return Value(Value::Array{"int", v});
    case Value::Type::Real:
      return Value(Value::Array{"real", v});
    case Value::Type::String:
      return Value(Value::Array{"str", v});
    case Value::Type::Bytes: {
      static const char* hex = "0123456789abcdef";
      std::string text;
      for (unsigned char c : v.asBytes()->data) {
        text += hex[c >> 4];
        text += hex[c & 15];
      }
      return Value(Value::Array{"data", text});
    }
    case Value::Type::Date:
      return Value(Value::Array{"date", v.asDate()->secondsSince1970});
    case Value::Type::Array: {
      Value::Array items;
      for (const auto& item : *v.asArray()) items.push_back(tag(item));
      return Value(Value::Array{"array", Value(items)});
    }
    case Value::Type::Dictionary: {
      Value::Dictionary items;
      for (const auto& [k, item] : *v.asDictionary()) items[k] = tag(item);
      return Value(Value::Array{"dict", Value(items)});
    }
    default:
      return Value(Value::Array{"null"});
  }
}

Value untag(const Value& t) {
  const auto& a = *t.asArray();
  const std::string& kind = *a[0].asString();
  if (kind == "data") {
    const std::string& hex = *a[1].asString();
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
      bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return Value::bytes(bytes);
  }
  if (kind == "date") return Value::date(*a[1].numberAsDouble());
  if (kind == "array") {
    Value::Array items;
    for (const auto& item : *a[1].asArray()) items.push_back(untag(item));
    return Value(items);
  }
  if (kind == "dict") {
    Value::Dictionary items;
    for (const auto& [k, item] : *a[1].asDictionary()) items[k] = untag(item);
    return Value(items);
  }
  if (kind == "real") return Value(*a[1].numberAsDouble());
  return a[1];
}

constexpr const char* kPythonTagging = R"(
import base64, datetime, json, plistlib, sys
EPOCH = datetime.datetime(1970, 1, 1)
def tag(o):
    if isinstance(o, bool): return ["bool", o]
    if isinstance(o, int): return ["int", o]
    if isinstance(o, float): return ["real", o]
    if isinstance(o, str): return ["str", o]
    if isinstance(o, bytes): return ["data", o.hex()]
    if isinstance(o, datetime.datetime): return ["date", (o - EPOCH) / datetime.timedelta(seconds=1)]
    if isinstance(o, list): return ["array", [tag(x) for x in o]]
    if isinstance(o, dict): return ["dict", {k: tag(x) for k, x in o.items()}]
    raise TypeError(type(o))
def untag(t):
    k = t[0]
    if k == "data": return bytes.fromhex(t[1])
    if k == "date": return EPOCH + datetime.timedelta(seconds=t[1])
    if k == "array": return [untag(x) for x in t[1]]
    if k == "dict": return {a: untag(b) for a, b in t[1].items()}
    if k == "real": return float(t[1])
    return t[1]
)";

Value sample() {
  Value v;
  v["true"] = true;
  v["false"] = false;
  v["zero"] = 0;
  v["negative"] = -5;
  v["max"] = std::numeric_limits<int64_t>::max();
  v["min"] = std::numeric_limits<int64_t>::min();
  v["one real"] = 1.0;
  v["tenth"] = 0.1;
  v["huge"] = 1e300;
  v["negative real"] = -2.5;
  v["text"] = "h\xc3\xa9llo <&> \xf0\x9f\x91\x8b";
  v["empty text"] = "";
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  v["data"] = Value::bytes(all);
  v["empty data"] = Value::bytes("");
  v["date"] = Value::date(1700000000);
  v["old date"] = Value::date(-86400 * 365);
  v["empty list"] = Value(Value::Array{});
  v["empty dict"] = Value(Value::Dictionary{});
  v["list"].push_back(1);
  v["list"].push_back("two");
  v["list"].push_back(Value(Value::Array{3.5, true}));
  v["nested"]["k\xc3\xa9y"]["deeper"] = "x";
  return v;
}

Value roundTrip(const Value& v, Format format) {
  auto data = PropertyListSerialization::dataWithPropertyList(v, format);
  EXPECT_TRUE(data.ok()) << data.status();
  if (!data.ok()) return Value();
  Format read = format == Format::XML ? Format::Binary : Format::XML;
  auto back = PropertyListSerialization::propertyListWithData(*data, &read);
  EXPECT_TRUE(back.ok()) << back.status();
  EXPECT_EQ(read, format);
  return back.ok() ? *back : Value();
}

TEST(PropertyListSerialization, RoundTripsEveryKindInBothFormats) {
  Value v = sample();
  EXPECT_EQ(roundTrip(v, Format::XML), v);
  EXPECT_EQ(roundTrip(v, Format::Binary), v);
  // Scalars at the top level too.
  EXPECT_EQ(roundTrip(Value(1), Format::Binary), Value(1));
  EXPECT_EQ(roundTrip(Value(1.0), Format::XML), Value(1.0));
  EXPECT_EQ(roundTrip(Value(true), Format::XML), Value(true));
}

TEST(PropertyListSerialization, BinaryDatesKeepMicrosecondsXmlDatesWholeSeconds) {
  EXPECT_EQ(roundTrip(Value::date(1700000000.25), Format::Binary), Value::date(1700000000.25));
  EXPECT_EQ(roundTrip(Value::date(-12.5), Format::Binary), Value::date(-12.5));
  EXPECT_EQ(roundTrip(Value::date(978307200 - 3600.25), Format::Binary),
            Value::date(978307200 - 3600.25));
  EXPECT_EQ(roundTrip(Value::date(1700000000.25), Format::XML), Value::date(1700000000));
}

TEST(PropertyListSerialization, PlistlibReadsWhatWeWrite) {
  foundationtest::TempDir dir;
  Value v = sample();
  for (Format format : {Format::XML, Format::Binary}) {
    auto data = PropertyListSerialization::dataWithPropertyList(v, format);
    ASSERT_TRUE(data.ok()) << data.status();
    foundationtest::writeFile(dir.path() / "ours.plist", *data);
    std::string script = std::string(kPythonTagging) + R"(
with open(sys.argv[1] if len(sys.argv) > 1 else ")" +
                         (dir.path() / "ours.plist").string() + R"(", "rb") as f:
    print(json.dumps(tag(plistlib.load(f))))
)";
    std::string out = foundationtest::runPython(dir, script);
    auto tagged = JSONSerialization::JSONObjectWithData(out);
    ASSERT_TRUE(tagged.ok()) << tagged.status() << out;
    EXPECT_EQ(untag(*tagged), v) << (format == Format::XML ? "XML" : "binary");
  }
}

TEST(PropertyListSerialization, WeReadWhatPlistlibWrites) {
  foundationtest::TempDir dir;
  Value v = sample();
  // Binary dates keep fractions; plistlib's XML dates are whole seconds.
  v["fraction date"] = Value::date(1700000000.5);
  v["early fraction date"] = Value::date(-100.25);
  std::string script = std::string(kPythonTagging) + R"(
value = untag(json.load(sys.stdin))
with open(")" + (dir.path() / "py.bin").string() +
                       R"(", "wb") as f:
    plistlib.dump(value, f, fmt=plistlib.FMT_BINARY)
value["fraction date"] = value["fraction date"].replace(microsecond=0)
value["early fraction date"] = value["early fraction date"].replace(microsecond=0)
with open(")" + (dir.path() / "py.xml").string() +
                       R"(", "wb") as f:
    plistlib.dump(value, f, fmt=plistlib.FMT_XML)
)";
  foundationtest::runPython(dir, script, *JSONSerialization::dataWithJSONObject(tag(v)));

  Format format = Format::XML;
  auto binary = PropertyListSerialization::propertyListWithData(
      foundationtest::readFile(dir.path() / "py.bin"), &format);
  ASSERT_TRUE(binary.ok()) << binary.status();
  EXPECT_EQ(format, Format::Binary);
  EXPECT_EQ(*binary, v);

  auto xml = PropertyListSerialization::propertyListWithData(
      foundationtest::readFile(dir.path() / "py.xml"), &format);
  ASSERT_TRUE(xml.ok()) << xml.status();
  EXPECT_EQ(format, Format::XML);
  v["fraction date"] = Value::date(1700000000);
  v["early fraction date"] = Value::date(-101);
  EXPECT_EQ(*xml, v);
}

TEST(PropertyListSerialization, WritingRefusesWhatAPropertyListCannotHold) {
  const Value refused[] = {
      Value(),
      Value(std::string("a\0b", 3)),
      Value(std::string("\xff", 1)),
      Value::date(1e12),
      Value::date(-1e12),
  };
  for (const auto& bad : refused) {
    Value holder;
    holder.push_back(bad);
    for (Format format : {Format::XML, Format::Binary}) {
      auto result = PropertyListSerialization::dataWithPropertyList(holder, format);
      EXPECT_FALSE(result.ok()) << bad.description();
    }
    EXPECT_FALSE(PropertyListSerialization::propertyListIsValid(holder));
  }
  Value badKey;
  badKey[std::string("\xc3", 1)] = 1;
  EXPECT_FALSE(PropertyListSerialization::dataWithPropertyList(badKey, Format::XML).ok());
}

TEST(PropertyListSerialization, XmlRefusesCharactersXmlCannotCarryBinaryKeepsThem) {
  for (const std::string text : {"a\x01"
                                 "b",
                                 "\x1f", "\xef\xbf\xbe", "\xef\xbf\xbf"}) {
    Value holder;
    holder["k"] = text;
    EXPECT_FALSE(PropertyListSerialization::dataWithPropertyList(holder, Format::XML).ok());
    EXPECT_EQ(roundTrip(holder, Format::Binary), holder);
    Value key;
    key[text] = 1;
    EXPECT_FALSE(PropertyListSerialization::dataWithPropertyList(key, Format::XML).ok());
  }
  // Tab, line feed, DEL and the other noncharacters nearby are fine.
  Value fine;
  fine["k"] = "a\tb\nc\x7f\xef\xbf\xbd";
  EXPECT_EQ(roundTrip(fine, Format::XML), fine);
}

std::string bigEndian(uint64_t v, int bytes) {
  std::string out;
  for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((v >> (8 * i)) & 0xff);
  return out;
}

// A binary property list of `count` arrays, each holding the next; the last one empty.
// With `cycle` the last one holds the first instead.
std::string nestedBinary(uint32_t count, bool cycle) {
  std::string data = "bplist00";
  std::string offsets;
  for (uint32_t i = 0; i < count; ++i) {
    offsets += bigEndian(data.size(), 4);
    bool last = i + 1 == count;
    if (last && !cycle) {
      data += '\xa0';
    } else {
      data += '\xa1';
      data += bigEndian(last ? 0 : i + 1, 4);
    }
  }
  uint64_t tableOffset = data.size();
  data += offsets;
  data += std::string(6, '\0');
  data += '\x04';  // offset size
  data += '\x04';  // reference size
  data += bigEndian(count, 8);
  data += bigEndian(0, 8);
  data += bigEndian(tableOffset, 8);
  return data;
}

std::string xmlInteger(const std::string& literal) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><array><integer>" +
         literal + "</integer></array></plist>";
}

TEST(PropertyListSerialization, IntegersOutsideInt64AreRefusedNotWrapped) {
  auto read = [](const std::string& literal) {
    return PropertyListSerialization::propertyListWithData(xmlInteger(literal));
  };
  EXPECT_EQ(*read("9223372036854775807"), Value(Value::Array{std::numeric_limits<int64_t>::max()}));
  EXPECT_EQ(*read("-9223372036854775808"),
            Value(Value::Array{std::numeric_limits<int64_t>::min()}));
  EXPECT_EQ(*read(" 42"), Value(Value::Array{42}));
  for (const char* literal : {"9223372036854775808", "18446744073709551615", "99999999999999999999",
                              "-9223372036854775809"}) {
    EXPECT_FALSE(read(literal).ok()) << literal;
  }

  // plistlib writes integers from 2^63 to 2^64-1 as 16-byte integers.
  foundationtest::TempDir dir;
  std::string out = foundationtest::runPython(dir, R"(
import plistlib, sys
for v in (2**63, 2**64 - 1, -2**63, 2**63 - 1):
    sys.stdout.write(plistlib.dumps([v], fmt=plistlib.FMT_BINARY).hex() + "\n")
)");
  std::istringstream lines(out);
  std::vector<std::string> plists;
  for (std::string hexText; lines >> hexText;) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hexText.size(); i += 2) {
      bytes += static_cast<char>(std::stoi(hexText.substr(i, 2), nullptr, 16));
    }
    plists.push_back(bytes);
  }
  ASSERT_EQ(plists.size(), 4u);
  EXPECT_FALSE(PropertyListSerialization::propertyListWithData(plists[0]).ok());
  EXPECT_FALSE(PropertyListSerialization::propertyListWithData(plists[1]).ok());
  EXPECT_EQ(*PropertyListSerialization::propertyListWithData(plists[2]),
            Value(Value::Array{std::numeric_limits<int64_t>::min()}));
  EXPECT_EQ(*PropertyListSerialization::propertyListWithData(plists[3]),
            Value(Value::Array{std::numeric_limits<int64_t>::max()}));
}

TEST(PropertyListSerialization, HandMadeBinaryIsRead) {
  auto v = PropertyListSerialization::propertyListWithData(nestedBinary(3, false));
  ASSERT_TRUE(v.ok()) << v.status();
  EXPECT_EQ(*v, Value(Value::Array{Value(Value::Array{Value(Value::Array{})})}));
}

TEST(PropertyListSerialization, BinaryReadingStopsAtTheDepthWritingStopsAt) {
  Value deepest(Value::Array{});
  int depth = 1;
  while (true) {
    Value deeper(Value::Array{deepest});
    if (!PropertyListSerialization::dataWithPropertyList(deeper, Format::Binary).ok()) break;
    deepest = std::move(deeper);
    ++depth;
  }
  EXPECT_TRUE(PropertyListSerialization::propertyListWithData(nestedBinary(depth, false)).ok());
  EXPECT_FALSE(
      PropertyListSerialization::propertyListWithData(nestedBinary(depth + 1, false)).ok());
}

TEST(PropertyListSerialization, AnObjectOffsetIntoTheOffsetTableIsRefused) {
  // One object, "false" at 8, but the table (at 9, one-byte offsets) sends the top object to
  // offset 9: the table's own byte, which reads as "true".
  std::string data = "bplist00";
  data += '\x08';
  data += '\x09';
  data += std::string(6, '\0') + '\x01' + '\x01';
  data += bigEndian(1, 8) + bigEndian(0, 8) + bigEndian(9, 8);
  EXPECT_FALSE(PropertyListSerialization::propertyListWithData(data).ok());
  data[9] = '\x08';  // pointing at the object itself is fine
  EXPECT_EQ(*PropertyListSerialization::propertyListWithData(data), Value(false));
}

TEST(PropertyListSerialization, MalformedInputGivesAnErrorNeverACrash) {
  const std::string cases[] = {
      "",
      "garbage",
      "{\"a\": 1}",
      "<plist><dict><key>a</key>",
      "<plist><array><string>\xff</string></array></plist>",
      "<plist><dict><key>\xc3</key><true/></dict></plist>",
      "bplist00",
      "bplist00\xa1\x00",
      nestedBinary(2, true),        // an array holding itself
      nestedBinary(100000, false),  // nesting far past the limit
      "<plist>" + std::string(100000, ' ').replace(0, 0, "") + "</plist>",
  };
  for (const auto& data : cases) {
    auto result = PropertyListSerialization::propertyListWithData(data);
    EXPECT_FALSE(result.ok()) << "accepted: " << data.substr(0, 40);
  }
  std::string deepXml = "<plist>";
  for (int i = 0; i < 100000; ++i) deepXml += "<array>";
  EXPECT_FALSE(PropertyListSerialization::propertyListWithData(deepXml).ok());
}

// Truncations and random damage of valid property lists: any result is fine, as long as
// nothing crashes or trips the sanitizers and what is accepted is a value.
TEST(PropertyListSerialization, DamagedPropertyListsNeverCrash) {
  std::mt19937 random(12345);
  for (Format format : {Format::XML, Format::Binary}) {
    std::string good = *PropertyListSerialization::dataWithPropertyList(sample(), format);
    for (size_t cut = 0; cut < good.size(); cut += (format == Format::XML ? 7 : 1)) {
      (void)PropertyListSerialization::propertyListWithData(good.substr(0, cut));
    }
    for (int round = 0; round < 3000; ++round) {
      std::string damaged = good;
      int flips = 1 + static_cast<int>(random() % 4);
      for (int i = 0; i < flips; ++i) {
        damaged[random() % damaged.size()] = static_cast<char>(random() % 256);
      }
      auto result = PropertyListSerialization::propertyListWithData(damaged);
      if (result.ok()) {
        EXPECT_FALSE(result->isNull());
      }
    }
  }
}

}  // namespace
