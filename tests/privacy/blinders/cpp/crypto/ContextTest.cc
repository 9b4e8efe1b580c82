#include "privacy/blinders/cpp/crypto/context.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "tests/privacy/CryptoTestUtil.h"

namespace blinders {
namespace {

using ::cryptotest::BytesToHex;
using ::cryptotest::HexToBytes;
using ::testing::HasSubstr;

const char kP256Prime[] = "ffffffff00000001000000000000000000000000ffffffffffffffffffffffff";
const std::string k448BitMessage = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const std::string k896BitMessage =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmno"
    "pqrsmnopqrstnopqrstu";

class ContextTest : public ::testing::Test {
 protected:
  void SetUp() override { cryptotest::UseThreadsafeDeathTests(); }
  BigNum Hex(std::string_view hex) { return ctx_.CreateBigNum(std::string_view(HexToBytes(hex))); }
  Context ctx_;
};

// FIPS 180-4 example vectors (NIST CSRC examples).
TEST_F(ContextTest, Sha256Vectors) {
  EXPECT_EQ(BytesToHex(ctx_.HashSha256("")),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(BytesToHex(ctx_.HashSha256("abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(BytesToHex(ctx_.HashSha256(k448BitMessage)),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(BytesToHex(ctx_.HashSha256(std::string(1000000, 'a'))),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST_F(ContextTest, Sha384Vectors) {
  EXPECT_EQ(BytesToHex(ctx_.HashSha384("")),
            "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2"
            "f14898b95b");
  EXPECT_EQ(BytesToHex(ctx_.HashSha384("abc")),
            "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baec"
            "a134c825a7");
  EXPECT_EQ(BytesToHex(ctx_.HashSha384(k896BitMessage)),
            "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9"
            "fa91746039");
  EXPECT_EQ(BytesToHex(ctx_.HashSha384(std::string(1000000, 'a'))),
            "9d0e1809716474cb086e834e310a4a1ced149e9c00f248527972cec5704c2a5b07b8b3dc38ecc4ebae97dd"
            "d87f3d8985");
}

TEST_F(ContextTest, Sha512Vectors) {
  EXPECT_EQ(BytesToHex(ctx_.HashSha512("abc")),
            "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c"
            "23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
  EXPECT_EQ(BytesToHex(ctx_.HashSha512(k896BitMessage)),
            "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99"
            "dec4b5433ac7d329eeb6dd26545e96e55b874be909");
  EXPECT_EQ(BytesToHex(ctx_.HashSha512(std::string(1000000, 'a'))),
            "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb043"
            "2ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b");
}

// Expected values from an independent Python implementation of the same oracle.
TEST_F(ContextTest, RandomOracleMatchesReference) {
  BigNum p = Hex(kP256Prime);
  EXPECT_EQ(ctx_.RandomOracleSha256("hello", p),
            Hex("b57639fbca45d99498a458eb0c0b4d7e3aba0066e1781e753c275d11f53df004"));
  EXPECT_EQ(ctx_.RandomOracleSha384("hello", p),
            Hex("dcff0f2810bca82005f4f2b3578b11f0f6cede1bbda0273790f3a09bb5e9ffc7"));
  EXPECT_EQ(ctx_.RandomOracleSha512("hello", p),
            Hex("8fed4bde994467470fc9c6e1a9da12c729af72954a9229556b73a84e9cf7d86b"));
  // A hash type other than 1 and 2 is SHA-256.
  EXPECT_EQ(ctx_.RandomOracle("hello", p, 5), ctx_.RandomOracleSha256("hello", p));
  EXPECT_EQ(ctx_.RandomOracle("hello", p, -1), ctx_.RandomOracleSha256("hello", p));

  BigNum small = (ctx_.CreateBigNum(uint64_t{1}) << 100) + ctx_.CreateBigNum(uint64_t{7});
  EXPECT_EQ(ctx_.RandomOracleSha256("", small), Hex("0cce36284a45c821f5467c5f7d"));
  EXPECT_EQ(ctx_.RandomOracleSha384("", small), Hex("0fee5eb143b655794159b62c65"));
  EXPECT_EQ(ctx_.RandomOracleSha512("", small), Hex("0942d469c9326e1b208e14217d"));
}

TEST_F(ContextTest, RandomOracleEdges) {
  EXPECT_TRUE(ctx_.RandomOracleSha256("anything", ctx_.One()).IsZero());
  // A 256-bit maximum takes two SHA-256 rounds (counters 1 and 2) and no shift.
  BigNum max = Hex(kP256Prime);
  BigNum expected = ((ctx_.CreateBigNum(std::string_view(ctx_.HashSha256("\x01m"))) << 256) +
                     ctx_.CreateBigNum(std::string_view(ctx_.HashSha256("\x02m"))))
                        .Mod(max);
  EXPECT_EQ(ctx_.RandomOracleSha256("m", max), expected);
}

TEST_F(ContextTest, RandomOracleDomainLimit) {
  BigNum largest = (ctx_.One() << 129535) + ctx_.One();  // 129536 bits
  EXPECT_EQ(largest.BitLength(), 129536);
  EXPECT_TRUE(ctx_.RandomOracleSha256("x", largest) < largest);
  BigNum too_large = ctx_.One() << 129536;  // 129537 bits
  EXPECT_DEATH(ctx_.RandomOracleSha256("x", too_large),
               HasSubstr("Check failed: iter_count * hash_output_length < 130048 The domain bit "
                         "length must not be greater than 130048. Desired bit length: 129793"));
  EXPECT_TRUE(ctx_.RandomOracleSha384("x", ctx_.One() << 129407) < (ctx_.One() << 129407));
  EXPECT_DEATH(ctx_.RandomOracleSha384("x", ctx_.One() << 129408), HasSubstr("129793"));
  EXPECT_TRUE(ctx_.RandomOracleSha512("x", ctx_.One() << 129023) < (ctx_.One() << 129023));
  EXPECT_DEATH(ctx_.RandomOracleSha512("x", ctx_.One() << 129024), HasSubstr("129537"));
}

// Overriding a hash changes the operations built on it.
class CountingContext : public Context {
 public:
  std::string HashSha256(std::string_view bytes) override {
    ++calls;
    return Context::HashSha256(bytes);
  }
  BigNum RandomBelow(const BigNum& max_value) override {
    ++below_calls;
    return Context::RandomBelow(max_value);
  }
  int calls = 0;
  int below_calls = 0;
};

TEST(ContextOverrideTest, HigherOperationsGoThroughTheVirtualTable) {
  CountingContext ctx;
  // A 10-bit maximum plus 256 bits of slack takes two digests.
  ctx.RandomOracleSha256("m", ctx.CreateBigNum(uint64_t{1000}));
  EXPECT_EQ(ctx.calls, 2);
  ctx.RandomBetween(ctx.One(), ctx.CreateBigNum(uint64_t{10}));
  ctx.RandomCoprimeBelow(ctx.CreateBigNum(uint64_t{97}));
  EXPECT_GE(ctx.below_calls, 2);
}

TEST_F(ContextTest, RandomNumbersStayInRange) {
  BigNum ten = ctx_.CreateBigNum(uint64_t{10});
  BigNum fifteen = ctx_.CreateBigNum(uint64_t{15});
  std::set<std::string> seen;
  for (int i = 0; i < 300; ++i) {
    BigNum r = ctx_.RandomBelow(ten);
    EXPECT_TRUE(r.IsNonNegative() && r < ten);
    BigNum s = ctx_.RandomBetween(ten, fifteen);
    EXPECT_TRUE(s >= ten && s < fifteen);
    seen.insert(s.ToBytes());
    BigNum c = ctx_.RandomCoprimeBelow(ctx_.CreateBigNum(uint64_t{12}));
    EXPECT_TRUE(c.Gcd(ctx_.CreateBigNum(uint64_t{12})) <= ctx_.One());
  }
  EXPECT_EQ(seen.size(), 5u);
}

TEST_F(ContextTest, RandomBelowNeedsAPositiveBound) {
  EXPECT_DEATH(ctx_.RandomBelow(ctx_.Zero()),
               HasSubstr("Check failed: 1 == BN_rand_range(r.bn_.get(), max_value.bn_.get()) "
                         "error:"));
}

TEST_F(ContextTest, RandomBytes) {
  EXPECT_EQ(ctx_.RandomBytes(0), "");
  std::string a = ctx_.RandomBytes(32);
  EXPECT_EQ(a.size(), 32u);
  EXPECT_NE(a, ctx_.RandomBytes(32));
  EXPECT_DEATH(ctx_.RandomBytes(-1),
               HasSubstr("Check failed: num_bytes >= 0 num_bytes must be nonnegative, provided "
                         "value was -1."));
}

TEST_F(ContextTest, RandomBetweenNeedsAnOrderedRange) {
  BigNum five = ctx_.CreateBigNum(uint64_t{5});
  EXPECT_DEATH(ctx_.RandomBetween(five, ctx_.CreateBigNum(uint64_t{5})),
               HasSubstr("Check failed: start < end"));
}

}  // namespace
}  // namespace blinders
