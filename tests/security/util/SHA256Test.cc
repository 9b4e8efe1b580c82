#include "security/util/sha256.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <string>
#include <thread>
#include <vector>

namespace security {
namespace {

using ::testing::HasSubstr;

std::string Hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex.push_back(kDigits[c >> 4]);
    hex.push_back(kDigits[c & 15]);
  }
  return hex;
}

class SHA256Test : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// FIPS 180-4 examples.
TEST_F(SHA256Test, StandardVectors) {
  struct Case {
    std::string input;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    SHA256 hasher;
    hasher.Update(c.input);
    EXPECT_EQ(Hex(hasher.DigestString()), c.digest);
  }
}

TEST_F(SHA256Test, PiecesGiveTheSameDigest) {
  SHA256 whole;
  whole.Update("abc");
  SHA256 pieces;
  pieces.Update("a", uint32_t{1});
  pieces.Update("b", uint64_t{1});
  pieces.Update("c");
  EXPECT_EQ(pieces.DigestString(), whole.DigestString());

  // One million 'a' in uneven pieces.
  SHA256 million;
  const std::string chunk(997, 'a');
  size_t fed = 0;
  while (fed + chunk.size() <= 1000000) {
    million.Update(chunk);
    fed += chunk.size();
  }
  million.Update(std::string(1000000 - fed, 'a'));
  EXPECT_EQ(Hex(million.DigestString()),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST_F(SHA256Test, DigestIsStableAndResetStartsOver) {
  SHA256 hasher;
  hasher.Update("abc");
  const std::string first = hasher.DigestString();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(hasher.Digest()), 32), first);
  hasher.Reset();
  hasher.Update("xyz");
  SHA256 fresh;
  fresh.Update("xyz");
  EXPECT_EQ(hasher.DigestString(), fresh.DigestString());
  // The digest size lives in one process-wide integer, whichever thread asks first.
  std::vector<const int*> seen(8);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&seen, i] { seen[i] = SHA256().DigestSizeAddress(); });
  }
  for (auto& t : threads) t.join();
  for (const int* p : seen) EXPECT_EQ(p, hasher.DigestSizeAddress());
  EXPECT_EQ(*hasher.DigestSizeAddress(), 32);
}

TEST_F(SHA256Test, CloneAndCopyCarryTheState) {
  SHA256 hasher;
  hasher.Update("ab");
  std::unique_ptr<MerkleDamgaard> clone = hasher.Clone();
  clone->Update("c");
  SHA256 copy;
  copy.CopyFrom(hasher);
  copy.Update("c");
  SHA256 reference;
  reference.Update("abc");
  const std::string expected = reference.DigestString();
  EXPECT_EQ(clone->DigestString(), expected);
  EXPECT_EQ(copy.DigestString(), expected);
  // The original is untouched.
  hasher.Update("c");
  EXPECT_EQ(hasher.DigestString(), expected);
  // Copying a finalised hasher copies the digest and the finalised state.
  SHA256 finalized_copy;
  finalized_copy.CopyFrom(hasher);
  EXPECT_EQ(finalized_copy.DigestString(), expected);
}

TEST_F(SHA256Test, UpdateAfterDigestStops) {
  SHA256 hasher;
  hasher.Update("abc");
  hasher.DigestString();
  EXPECT_DEATH(hasher.Update("more"),
               ::testing::ContainsRegex(
                   "merkledamgaard-inl.h:[0-9]+\\] Calling Update on a MerkleDamgaard hash "
                   "function after finalization.*Check failed: !finalized_ This behavior is "
                   "unsupported except for potential legacy implementations."));
}

TEST_F(SHA256Test, UpdateAfterDigestLogsAtTheConfiguredSeverity) {
  SHA256 hasher;
  hasher.DigestString();
  // Out-of-range severities are clamped: below info is info, above fatal is error.
  SetMerkleDamgaardUpdateAfterDigestSeverity(-7);
  EXPECT_DEATH(
      hasher.Update("x"),
      ::testing::ContainsRegex("\nI[0-9]{4} [^\n]*Calling Update|^I[0-9]{4} [^\n]*Calling Update"));
  SetMerkleDamgaardUpdateAfterDigestSeverity(9);
  EXPECT_DEATH(hasher.Update("x"), ::testing::ContainsRegex("E[0-9]{4} [^\n]*Calling Update"));
  SetMerkleDamgaardUpdateAfterDigestSeverity(2);
}

TEST_F(SHA256Test, CloneOfFinalisedHasherStops) {
  SHA256 hasher;
  hasher.Digest();
  EXPECT_DEATH(hasher.Clone(),
               ::testing::ContainsRegex("sha256.cc:.*Check failed: !h_->finalized()"));
}

class OtherHash : public MerkleDamgaard {
 public:
  using MerkleDamgaard::Update;
  void Reset() override {}
  void Update(const void*, uint32_t) override {}
  void Update(const void*, uint64_t) override {}
  const uint8_t* Digest() override { return nullptr; }
  size_t DigestSize() const override { return 0; }
  std::string DigestString() override { return ""; }
  const int* DigestSizeAddress() const override { return nullptr; }
  void CopyFrom(const MerkleDamgaard&) override {}
  std::unique_ptr<MerkleDamgaard> Clone() const override { return nullptr; }
  std::string Name() const override { return "other"; }
};

TEST_F(SHA256Test, CopyFromAnotherTypeStops) {
  SHA256 front;
  OtherHash other;
  EXPECT_DEATH(front.CopyFrom(other),
               HasSubstr("To down_cast(From *) [To = const security::SHA256 *, From = const "
                         "security::MerkleDamgaard]: down_cast failed (actual type = "
                         "security::(anonymous namespace)::OtherHash)"));
  SHA256Impl impl;
  EXPECT_DEATH(impl.CopyFrom(front),
               HasSubstr("To down_cast(From *) [To = const security::OpenSSLHash<sha256_state_st, "
                         "&SHA256_Init, &SHA256_Update, &SHA256_Final, 64, 32, "
                         "security::SHA256Name> *, From = const security::MerkleDamgaard]: "
                         "down_cast failed (actual type = security::SHA256)"));
}

// Records the lengths that reach the 32-bit Update.
class RecordingImpl : public SHA256Impl {
 public:
  using SHA256Impl::Update;
  void Update(const void* data, uint32_t length) override {
    pieces.push_back(length);
    offsets.push_back(static_cast<const char*>(data) - base);
  }
  const char* base = nullptr;
  std::vector<uint32_t> pieces;
  std::vector<long> offsets;
};

TEST_F(SHA256Test, LongInputsGoInPiecesOf2To30Bytes) {
  // Address space only: the recording hasher never reads the bytes.
  const size_t length = (size_t{1} << 30) + 1;
  void* region =
      mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(region, MAP_FAILED);
  RecordingImpl recorder;
  recorder.base = static_cast<const char*>(region);
  recorder.Update(region, uint64_t{length});
  EXPECT_EQ(recorder.pieces, (std::vector<uint32_t>{1u << 30, 1}));
  EXPECT_EQ(recorder.offsets, (std::vector<long>{0, 1L << 30}));
  recorder.pieces.clear();
  recorder.offsets.clear();
  recorder.Update(region, uint64_t{0});
  EXPECT_EQ(recorder.pieces, (std::vector<uint32_t>{0}));
  munmap(region, length);
}

}  // namespace
}  // namespace security
