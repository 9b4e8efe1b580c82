#include "privacy/blinders/cpp/crypto/big_num.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "privacy/blinders/cpp/crypto/context.h"
#include "tests/privacy/CryptoTestUtil.h"

namespace blinders {
namespace {

using ::cryptotest::HexToBytes;
using ::testing::HasSubstr;

// The P-256 field prime.
const char kP256Prime[] = "ffffffff00000001000000000000000000000000ffffffffffffffffffffffff";

class BigNumTest : public ::testing::Test {
 protected:
  void SetUp() override { cryptotest::UseThreadsafeDeathTests(); }
  BigNum Num(uint64_t n) { return ctx_.CreateBigNum(n); }
  BigNum Hex(std::string_view hex) { return ctx_.CreateBigNum(std::string_view(HexToBytes(hex))); }
  Context ctx_;
};

TEST_F(BigNumTest, BytesAreMinimalBigEndian) {
  EXPECT_EQ(Num(0).ToBytes(), "");
  EXPECT_TRUE(ctx_.CreateBigNum(std::string_view("")).IsZero());
  EXPECT_EQ(Num(255).ToBytes(), "\xff");
  EXPECT_EQ(Num(256).ToBytes(), std::string("\x01\x00", 2));
  EXPECT_EQ(Num(0x0102030405060708).ToBytes(), "\x01\x02\x03\x04\x05\x06\x07\x08");
  // Leading zero bytes are not kept.
  EXPECT_EQ(ctx_.CreateBigNum(std::string_view("\x00\x00\x07", 3)).ToBytes(), "\x07");
  EXPECT_EQ(Hex(kP256Prime).ToBytes(), HexToBytes(kP256Prime));
}

TEST_F(BigNumTest, ArithmeticAgainstPythonValues) {
  // Values from Python's integers.
  BigNum a = Hex("0123456789abcdef0123456789abcdef");
  BigNum b = Hex("fedcba9876543210");
  EXPECT_EQ(a + b, Hex("0123456789abcdefffffffffffffffff"));
  EXPECT_EQ(b - a, Num(0) - Hex("0123456789abcdee02468acf13579bdf"));
  EXPECT_EQ(a * b, Hex("0121fa00ad77d7422358d29092d964322236d88fe5618cf0"));
  EXPECT_EQ((a * b).Div(b), a);
  EXPECT_EQ(Num(3).Exp(Num(40)), Hex("a8b8b452291fe821"));
  EXPECT_EQ(Num(3).ModExp(Num(200), Hex("7fffffffffffffffffffffffffffffff")),
            Hex("08221debd28e3482d638cb0c2ea5d889"));
  EXPECT_EQ(a.Mod(b), Hex("7f598f328cc265bf"));
  EXPECT_EQ((Num(0) - Num(7)).Mod(Num(5)), Num(3));
  EXPECT_EQ(Num(1) << 100, Hex("10000000000000000000000000"));
  EXPECT_EQ(Hex("10000000000000000000000000") >> 99, Num(2));
  EXPECT_EQ(Num(84).Gcd(Num(36)), Num(12));
  EXPECT_TRUE(Num(2) < Num(3));
  EXPECT_TRUE(Num(3) > Num(2));
  EXPECT_TRUE(Num(0) - Num(3) < Num(2));
  EXPECT_TRUE(Num(3) >= Num(3));
  EXPECT_TRUE(Num(3) <= Num(3));
  EXPECT_TRUE(Num(3) != Num(4));
}

TEST_F(BigNumTest, ModSqrtGivesARoot) {
  BigNum p = Hex(kP256Prime);
  for (uint64_t v : {4u, 9u, 1234567u}) {
    BigNum square = (Num(v) * Num(v)).Mod(p);
    BigNum root = square.ModSqrt(p);
    EXPECT_EQ((root * root).Mod(p), square);
  }
}

TEST_F(BigNumTest, ModNegate) {
  BigNum m = Num(11);
  EXPECT_TRUE(Num(0).ModNegate(m).IsZero());
  EXPECT_EQ(Num(1).ModNegate(m), Num(10));
  EXPECT_EQ(Num(11).ModNegate(m), Num(11));  // a non-zero multiple of m gives m
  EXPECT_EQ(Num(15).ModNegate(m), Num(7));
}

TEST_F(BigNumTest, PrimalityRoundsAreSafeForEveryProbability) {
  EXPECT_EQ(BigNum::PrimalityRounds(1e-40), 67);
  EXPECT_EQ(BigNum::PrimalityRounds(0.25), 1);
  EXPECT_EQ(BigNum::PrimalityRounds(1.0), 0);
  EXPECT_EQ(BigNum::PrimalityRounds(2.0), 0);
  // Above 4 the formula's count is negative, with which the library never answers on a prime.
  EXPECT_EQ(BigNum::PrimalityRounds(5.0), 0);
  EXPECT_EQ(BigNum::PrimalityRounds(std::numeric_limits<double>::infinity()), 0);
  EXPECT_TRUE(Num(97).IsPrime(100.0));
  EXPECT_EQ(BigNum::PrimalityRounds(0.0), BigNum::kMaxPrimalityRounds);
  EXPECT_EQ(BigNum::PrimalityRounds(-1.0), BigNum::kMaxPrimalityRounds);
  EXPECT_EQ(BigNum::PrimalityRounds(std::nan("")), BigNum::kMaxPrimalityRounds);
  EXPECT_EQ(BigNum::PrimalityRounds(std::numeric_limits<double>::denorm_min()), 537);
}

TEST_F(BigNumTest, FatalChecks) {
  EXPECT_DEATH((Num(1) - Num(2)).ToBytes(),
               HasSubstr("Check failed: IsNonNegative() Cannot serialize a negative BigNum."));
  EXPECT_DEATH(Num(7).Div(Num(2)),
               HasSubstr("Check failed: BN_is_zero(rem.get()) Use DivAndTruncate() instead of "
                         "Div() if you want truncated division."));
  EXPECT_DEATH(Num(7).Div(Num(0)),
               HasSubstr("Check failed: 1 == BN_div(r.bn_.get(), rem.get(), bn_.get(), "
                         "val.bn_.get(), bn_ctx_) error:"));
  EXPECT_DEATH(Num(2).ModExp(Num(0) - Num(1), Num(7)),
               HasSubstr("Check failed: exponent.IsNonNegative() Cannot use a negative exponent "
                         "in BigNum ModExp."));
  EXPECT_DEATH(Num(2).ModExp(Num(3), Num(0)),
               HasSubstr("Check failed: 1 == BN_mod_exp(r.bn_.get(), bn_.get(), "
                         "exponent.bn_.get(), m.bn_.get(), bn_ctx_)"));
  EXPECT_DEATH(Num(2).Mod(Num(0)),
               HasSubstr("Check failed: 1 == BN_nnmod(r.bn_.get(), bn_.get(), m.bn_.get(), "
                         "bn_ctx_)"));
  // 3 is not a square modulo 7.
  EXPECT_DEATH(Num(3).ModSqrt(Num(7)),
               HasSubstr("Check failed: nullptr != BN_mod_sqrt(r.bn_.get(), bn_.get(), "
                         "m.bn_.get(), bn_ctx_)"));
  EXPECT_DEATH(Num(3) << -1, HasSubstr("Check failed: 1 == BN_lshift(r.bn_.get(), bn_.get(), n)"));
  EXPECT_DEATH(Num(3) >> -1, HasSubstr("Check failed: 1 == BN_rshift(r.bn_.get(), bn_.get(), n)"));
}

}  // namespace
}  // namespace blinders
