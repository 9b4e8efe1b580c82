#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <sstream>
#include <vector>

#include "AppMeasurement/foundation/APMDataAdditions.h"
#include "AppMeasurement/foundation/APMDictionaryAdditions.h"
#include "AppMeasurement/foundation/APMStringAdditions.h"
#include "tests/AppMeasurement/foundation/PythonReference.h"

namespace {

using testsupport::hexOf;
using testsupport::runPython;

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// RFC 1321, appendix A.5.
TEST(APMDigest, MD5MatchesRFC1321Vectors) {
  struct Vector {
    const char* input;
    const char* digest;
  };
  const Vector vectors[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
       "0",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& v : vectors) {
    EXPECT_EQ(apm_MD5String(v.input), v.digest) << v.input;
    std::array<uint8_t, 16> raw = apm_MD5Data(v.input);
    EXPECT_EQ(hexOf(std::string(raw.begin(), raw.end())), v.digest);
  }
}

TEST(APMDigest, MD5StringOfUTF8AgreesWithPythonAndRefusesInvalidText) {
  const std::string samples[] = {"h\xC3\xA9llo", "\xF0\x9F\x98\x80 smile", "line\nbreak"};
  std::string program = "import hashlib\n";
  for (const auto& s : samples) {
    program += "print(hashlib.md5(bytes.fromhex('" + hexOf(s) + "')).hexdigest())\n";
  }
  auto expected = splitLines(runPython(program));
  ASSERT_EQ(expected.size(), std::size(samples));
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(apm_MD5String(samples[i]), expected[i]);

  EXPECT_EQ(apm_MD5String("\xFF\xFE"), std::nullopt);
  EXPECT_EQ(apm_MD5String("a\xC3"), std::nullopt);         // truncated sequence
  EXPECT_EQ(apm_MD5String("\xED\xA0\x80"), std::nullopt);  // encoded surrogate
}

TEST(APMDigest, LeastSignificantBitsAndFingerprint) {
  EXPECT_EQ(apm_64LeastSignificantBits(""), 0u);
  EXPECT_EQ(apm_64LeastSignificantBits(std::string("\x01\x02", 2)), 258u);
  EXPECT_EQ(apm_64LeastSignificantBits(std::string("\xAA\x01\x02\x03\x04\x05\x06\x07\x08", 9)),
            0x0102030405060708u);
  EXPECT_EQ(apm_64LeastSignificantBits(std::string(8, '\xFF')), UINT64_MAX);

  // MD5("abc") ends in d6 96 3f 7d 28 e1 7f 72.
  EXPECT_EQ(static_cast<uint64_t>(apm_64LSBMD5("abc")), 0xd6963f7d28e17f72u);
  EXPECT_LT(apm_64LSBMD5("abc"), 0);  // the same bits, read as signed
  // MD5("") = d41d8cd98f00b204 e9800998ecf8427e.
  EXPECT_EQ(static_cast<uint64_t>(apm_64LSBMD5("")), 0xe9800998ecf8427eu);
}

TEST(APMQueryString, EncodesLikePythonQuoteWithTheQuerySet) {
  const std::vector<std::pair<std::string, std::string>> entries = {
      {"platform", "ios"},
      {"a b", "c&d=e+f"},
      {"pct%", "100%"},
      {"hash#", "[x]{y}|\\^`\"<>"},
      {"unicode", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
      {"safe", "-._~!$'()*,;:@/?"},
      {"ctl", std::string("tab\tnl\nnul\0x", 12)},
  };
  platform::Value::Dictionary dictionary;
  for (const auto& [k, v] : entries) dictionary.emplace(k, platform::Value(v));

  std::string program = "from urllib.parse import quote\nsafe = \"!$&'()*+,;=:@/?\"\nparts = []\n";
  for (const auto& [k, v] : dictionary) {
    program += "parts.append(quote(bytes.fromhex('" + hexOf(k) +
               "'), safe=safe) + '=' + quote(bytes.fromhex('" + hexOf(*v.asString()) +
               "'), safe=safe))\n";
  }
  program += "print('&'.join(parts))\n";
  auto expected = splitLines(runPython(program));
  ASSERT_EQ(expected.size(), 1u);
  EXPECT_EQ(apm_queryString(dictionary), expected[0]);
}

TEST(APMQueryString, NumbersUseTheirDescriptions) {
  platform::Value::Dictionary dictionary{{"rzq_version", platform::Value(111500)},
                                         {"runtime_version", platform::Value(-3)}};
  EXPECT_EQ(apm_queryString(dictionary), "runtime_version=-3&rzq_version=111500");
  EXPECT_EQ(apm_queryString({}), "");
}

TEST(APMQueryString, ParsesArguments) {
  using Map = std::map<std::string, std::string, std::less<>>;
  EXPECT_EQ(apm_dictionaryWithHttpArgumentsString("a=1&a=2"), (Map{{"a", "1"}}));
  EXPECT_EQ(apm_dictionaryWithHttpArgumentsString("a&b=x%20y"), (Map{{"a", ""}, {"b", "x y"}}));
  EXPECT_EQ(apm_dictionaryWithHttpArgumentsString("a=1=2"), (Map{{"a", "1=2"}}));
  EXPECT_EQ(apm_dictionaryWithHttpArgumentsString(""), Map{});
  EXPECT_EQ(apm_dictionaryWithHttpArgumentsString("&&&"), Map{});
  EXPECT_EQ(apm_dictionaryWithHttpArgumentsString("k=%zz&j=%4"), (Map{{"k", ""}, {"j", ""}}));
  EXPECT_EQ(apm_dictionaryWithHttpArgumentsString("%zz=v"), (Map{{"", "v"}}));
  EXPECT_EQ(apm_dictionaryWithHttpArgumentsString("=v&x="), (Map{{"", "v"}, {"x", ""}}));
}

TEST(APMQueryString, ParsingAgreesWithPythonOnWellFormedInput) {
  const std::string query =
      "utm_source=news+letter&gclid=Cj0%2FKC%3D&empty=&flag&utm_source=x&n=caf%C3%A9";
  std::string program =
      "from urllib.parse import parse_qsl\nseen = {}\n"
      "for k, v in parse_qsl('" +
      query +
      "', keep_blank_values=True):\n"
      "    seen.setdefault(k, v)\n"
      "for k in sorted(seen, key=lambda s: s.encode()):\n"
      "    print((k + '=' + seen[k]).encode().hex())\n";
  auto lines = splitLines(runPython(program));
  std::vector<std::string> ours;
  for (const auto& [k, v] : apm_dictionaryWithHttpArgumentsString(query))
    ours.push_back(hexOf(k + "=" + v));
  EXPECT_EQ(ours, lines);
  ASSERT_EQ(ours.size(), 5u);
}

TEST(APMText, UnescapesURLArguments) {
  EXPECT_EQ(apm_stringByUnescapingFromURLArgument("a+b%2Bc"), "a b+c");
  EXPECT_EQ(apm_stringByUnescapingFromURLArgument("%e2%82%AC"), "\xE2\x82\xAC");
  EXPECT_EQ(apm_stringByUnescapingFromURLArgument(""), "");
  EXPECT_EQ(apm_stringByUnescapingFromURLArgument("%"), std::nullopt);
  EXPECT_EQ(apm_stringByUnescapingFromURLArgument("ab%2"), std::nullopt);
  // The view ends before the escape's second digit: what follows in memory is not read.
  EXPECT_EQ(apm_stringByUnescapingFromURLArgument(std::string_view("ab%2F", 4)), std::nullopt);
  EXPECT_EQ(apm_stringByUnescapingFromURLArgument("%g0"), std::nullopt);
  EXPECT_EQ(apm_stringByUnescapingFromURLArgument("%FF"), std::nullopt);  // not UTF-8
}

TEST(APMText, BitsAtIndex) {
  struct Case {
    const char* text;
    int64_t index;
    bool enabled;
  };
  const Case cases[] = {
      {"0101", 1, true},
      {"0101", 0, false},
      {"0101", 3, true},
      {"0101", 4, false},
      {"0101", -1, false},
      {"", 0, false},
      {"\xF0\x9F\x98\x80"
       "1",
       2, true},  // the emoji takes two UTF-16 units
      {"\xF0\x9F\x98\x80"
       "1",
       1, false},         // second half of the pair
      {"0x1", 1, false},  // only "1" is a set bit
      {"0 1", 1, false},
      {"0101", INT64_MAX, false},
      {"0101", INT64_MIN, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isBitEnabledAtIndex(c.text, c.index), c.enabled) << c.text << " @" << c.index;
  }
}

TEST(APMText, UTF32LengthCountsCodePoints) {
  EXPECT_EQ(apm_UTF32Length(""), 0u);
  EXPECT_EQ(apm_UTF32Length("\xF0\x9F\x98\x80"
                            "a"),
            2u);
  EXPECT_EQ(apm_UTF32Length("caf\xC3\xA9"), 4u);
  EXPECT_EQ(apm_UTF32Length("\xE2\x82\xAC"), 1u);
  EXPECT_EQ(apm_UTF32Length("a\xFF"
                            "b"),
            3u);  // a stray byte counts once
}

TEST(APMText, GetUTF32BytesStopsBeforeACharacterThatDoesNotFit) {
  std::array<uint8_t, 16> buffer{};
  size_t used = 99;
  EXPECT_TRUE(
      apm_getUTF32Bytes("a\xF0\x9F\x98\x80"
                        "b",
                        buffer.data(), 10, &used));
  EXPECT_EQ(used, 8u);
  const uint8_t expected[] = {'a', 0, 0, 0, 0x00, 0xF6, 0x01, 0x00};
  EXPECT_EQ(std::memcmp(buffer.data(), expected, sizeof expected), 0);
  EXPECT_EQ(buffer[8], 0);  // nothing written past the last whole character

  EXPECT_FALSE(apm_getUTF32Bytes("abc", buffer.data(), 3, &used));
  EXPECT_EQ(used, 0u);
  EXPECT_FALSE(apm_getUTF32Bytes("", buffer.data(), 16, &used));
  EXPECT_FALSE(apm_getUTF32Bytes("abc", nullptr, 16, &used));
  EXPECT_TRUE(apm_getUTF32Bytes("abcd", buffer.data(), 16, nullptr));

  // The bytes decode as UTF-32LE to the same text (Python as reference).
  std::string text = "x\xC3\xA9\xF0\x9F\x98\x80";
  std::array<uint8_t, 64> big{};
  ASSERT_TRUE(apm_getUTF32Bytes(text, big.data(), big.size(), &used));
  auto decoded = splitLines(runPython("print(bytes.fromhex('" +
                                      hexOf(std::string(big.begin(), big.begin() + used)) +
                                      "').decode('utf-32-le').encode().hex())\n"));
  ASSERT_EQ(decoded.size(), 1u);
  EXPECT_EQ(decoded[0], hexOf(text));
}

}  // namespace

namespace {

// Random bytes (valid UTF-8 or not, with escapes, separators and NULs) never crash the
// helpers, and their answers stay consistent with each other.
TEST(APMTextRobustness, RandomBytesAreHandled) {
  std::mt19937 random(12345);
  static constexpr char kAlphabet[] = "%&=+01aZ\xC3\xA9\xF0\x9F\x98\x80\xFF\x80\xED\xA0";
  const std::string alphabet = std::string(kAlphabet, sizeof kAlphabet);  // with the NUL
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    size_t length = random() % 24;
    for (size_t i = 0; i < length; ++i) {
      text += random() % 4 == 0 ? static_cast<char>(random() & 0xFF)
                                : alphabet[random() % alphabet.size()];
    }
    size_t codePoints = apm_UTF32Length(text);
    EXPECT_LE(codePoints, text.size());
    std::vector<uint8_t> buffer(4 * codePoints + 3);
    size_t used = 0;
    bool converted = apm_getUTF32Bytes(text, buffer.data(), buffer.size(), &used);
    EXPECT_EQ(used, 4 * codePoints);
    EXPECT_EQ(converted, codePoints > 0);
    if (auto unescaped = apm_stringByUnescapingFromURLArgument(text)) {
      EXPECT_TRUE(apm_MD5String(*unescaped).has_value());
    }
    auto arguments = apm_dictionaryWithHttpArgumentsString(text);
    EXPECT_LE(arguments.size(), text.size());
    platform::Value::Dictionary dictionary{{text, platform::Value(text)}};
    std::string query = apm_queryString(dictionary);
    // Every byte is either kept or written as %XX; nothing else appears.
    EXPECT_GE(query.size(), 2 * text.size() + 1);
    isBitEnabledAtIndex(text, static_cast<int64_t>(random() % 40) - 5);
    apm_64LSBMD5(text);
  }
}

}  // namespace
