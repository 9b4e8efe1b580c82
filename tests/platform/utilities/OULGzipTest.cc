// gzip round trips checked against the gzip tool, and hostile inputs that must fail cleanly.
#include "platform/utilities/OULGzip.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

class OULGzipTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "oul-gzip-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path write(const std::string& name, const std::string& bytes) {
    fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  static std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
  }
  static int run(const std::string& command) { return std::system(command.c_str()); }

  fs::path dir_;
};

// Text-like data with repeats, plus every byte value and NULs.
std::string samplePayload(size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string out;
  out.reserve(size);
  const std::string words[] = {"event",     "_e", "session", std::string("\x00\x01\xff", 3),
                               "param=42&", "\n"};
  while (out.size() < size) {
    if (rng() % 4 == 0) {
      out += static_cast<char>(rng() & 0xff);
    } else {
      out += words[rng() % 6];
    }
  }
  out.resize(size);
  return out;
}

TEST_F(OULGzipTest, OurOutputPassesGzipToolAndDecompressesToTheInput) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{100}, size_t{70000}, size_t{3} << 20}) {
    SCOPED_TRACE(size);
    std::string payload = samplePayload(size, static_cast<unsigned>(size));
    OULError error;
    auto gz = oul_dataByGzippingData(payload, &error);
    ASSERT_TRUE(gz.has_value()) << error.description;
    fs::path file = write("ours.gz", *gz);
    EXPECT_EQ(run("gzip -t '" + file.string() + "'"), 0);
    ASSERT_EQ(run("gzip -dc '" + file.string() + "' > '" + (dir_ / "ours.out").string() + "'"), 0);
    EXPECT_EQ(read(dir_ / "ours.out"), payload);
    // And back through our own inflation.
    auto back = oul_dataByInflatingGzippedData(*gz, &error);
    ASSERT_TRUE(back.has_value()) << error.description;
    EXPECT_EQ(*back, payload);
  }
}

TEST_F(OULGzipTest, InflatesWhatTheGzipToolWrote) {
  for (size_t size : {size_t{0}, size_t{5}, size_t{200000}, size_t{2} << 20}) {
    SCOPED_TRACE(size);
    std::string payload = samplePayload(size, 7u + static_cast<unsigned>(size));
    fs::path in = write("plain.bin", payload);
    ASSERT_EQ(run("gzip -9 -c '" + in.string() + "' > '" + (dir_ / "tool.gz").string() + "'"), 0);
    OULError error;
    auto inflated = oul_dataByInflatingGzippedData(read(dir_ / "tool.gz"), &error);
    ASSERT_TRUE(inflated.has_value()) << error.description;
    EXPECT_EQ(*inflated, payload);
  }
}

TEST_F(OULGzipTest, ConcatenatedMembersInflateToTheConcatenation) {
  fs::path a = write("a.txt", "first member\n");
  fs::path b = write("b.txt", "second member\n");
  ASSERT_EQ(run("gzip -c '" + a.string() + "' > '" + (dir_ / "both.gz").string() + "'"), 0);
  ASSERT_EQ(run("gzip -c '" + b.string() + "' >> '" + (dir_ / "both.gz").string() + "'"), 0);
  auto inflated = oul_dataByInflatingGzippedData(read(dir_ / "both.gz"), nullptr);
  ASSERT_TRUE(inflated.has_value());
  EXPECT_EQ(*inflated, "first member\nsecond member\n");
}

TEST_F(OULGzipTest, BadInputFailsWithAnErrorAndNoData) {
  std::string good = *oul_dataByGzippingData(samplePayload(50000, 3), nullptr);
  std::string flipped = good;
  flipped[flipped.size() / 2] = static_cast<char>(flipped[flipped.size() / 2] ^ 0x5a);
  std::string badChecksum = good;
  badChecksum[badChecksum.size() - 6] = static_cast<char>(badChecksum[badChecksum.size() - 6] ^ 1);
  const std::string zlibNotGzip("\x78\x9c\x03\x00\x00\x00\x00\x01", 8);  // zlib, empty

  struct Case {
    const char* name;
    std::string input;
  };
  const Case cases[] = {
      {"empty", ""},
      {"plain text", "hello, not gzip"},
      {"zlib stream", zlibNotGzip},
      {"header only", good.substr(0, 10)},
      {"truncated body", good.substr(0, good.size() / 2)},
      {"missing trailer", good.substr(0, good.size() - 4)},
      {"last byte missing", good.substr(0, good.size() - 1)},
      {"corrupt body", flipped},
      {"wrong checksum", badChecksum},
      {"trailing garbage", good + "garbage"},
      {"trailing zeros", good + std::string(8, '\0')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OULError error;
    auto out = oul_dataByInflatingGzippedData(c.input, &error);
    EXPECT_FALSE(out.has_value());
    EXPECT_EQ(error.domain, kOULGzipErrorDomain);
    EXPECT_EQ(error.code, OULGzipErrorCodeNotGzip);
    EXPECT_FALSE(error.description.empty());
    // A null error slot is allowed.
    EXPECT_FALSE(oul_dataByInflatingGzippedData(c.input, nullptr).has_value());
  }
}

TEST_F(OULGzipTest, GzipToolAgreesThatCorruptInputIsCorrupt) {
  // Guards the table above: the reference tool also rejects the damaged stream.
  std::string good = *oul_dataByGzippingData(samplePayload(50000, 4), nullptr);
  std::string flipped = good;
  flipped[flipped.size() / 2] = static_cast<char>(flipped[flipped.size() / 2] ^ 0x5a);
  fs::path file = write("bad.gz", flipped);
  EXPECT_NE(run("gzip -t '" + file.string() + "' 2>/dev/null"), 0);
  EXPECT_FALSE(oul_dataByInflatingGzippedData(flipped, nullptr).has_value());
}

TEST_F(OULGzipTest, InflationStopsAtTheOutputLimit) {
  // A gzip bomb in small: 4 MiB of zeros compress to a few KiB.
  std::string zeros(4u << 20, '\0');
  std::string bomb = *oul_dataByGzippingData(zeros, nullptr);
  ASSERT_LT(bomb.size(), 10000u);
  OULError error;
  EXPECT_FALSE(oul_dataByInflatingGzippedDataWithLimit(bomb, 1u << 20, &error).has_value());
  EXPECT_EQ(error.code, OULGzipErrorCodeTooLarge);
  // One byte short of the output is too little; exactly at the limit is still fine; the
  // default limit is far above this.
  EXPECT_FALSE(oul_dataByInflatingGzippedDataWithLimit(bomb, zeros.size() - 1, &error));
  auto exact = oul_dataByInflatingGzippedDataWithLimit(bomb, zeros.size(), &error);
  ASSERT_TRUE(exact.has_value());
  EXPECT_EQ(exact->size(), zeros.size());
  EXPECT_TRUE(oul_dataByInflatingGzippedData(bomb, nullptr).has_value());
}

}  // namespace
