#include "privacy/blinders/cpp/crypto/ec_group.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/nid.h>

#include <string>
#include <tuple>

#include "privacy/blinders/cpp/crypto/context.h"
#include "privacy/blinders/cpp/crypto/ec_point.h"
#include "tests/privacy/CryptoTestUtil.h"

namespace blinders {
namespace {

using ::cryptotest::BytesToHex;
using ::cryptotest::HexToBytes;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr int kP256 = NID_X9_62_prime256v1;  // 415
constexpr int kP384 = NID_secp384r1;         // 715

const char kP256Order[] = "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";
// The P-256 base point.
const char kP256Gx[] = "6b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296";
const char kP256Gy[] = "4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5";

class ECGroupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cryptotest::UseThreadsafeDeathTests();
    auto group = ECGroup::CreateGroup(kP256, &ctx_);
    ASSERT_TRUE(group.ok()) << group.status();
    group_ = std::make_unique<ECGroup>(std::move(*group));
  }
  BigNum Hex(std::string_view hex) { return ctx_.CreateBigNum(std::string_view(HexToBytes(hex))); }

  Context ctx_;
  std::unique_ptr<ECGroup> group_;
};

TEST_F(ECGroupTest, P256Parameters) {
  EXPECT_EQ(group_->GetOrder(), Hex(kP256Order));
  EXPECT_TRUE(group_->GetCofactor().IsOne());
  EXPECT_TRUE(group_->GetP().IsPrime(1e-40));
  EXPECT_EQ(group_->GetPMinusOneOverTwo() * ctx_.Two() + ctx_.One(), group_->GetP());
  EXPECT_EQ(group_->GetA(), group_->GetP() - ctx_.Three());
  EXPECT_EQ(group_->GetCurveId(), kP256);
}

TEST_F(ECGroupTest, PrivateKeysAreInRange) {
  for (int i = 0; i < 50; ++i) {
    BigNum key = group_->GeneratePrivateKey();
    EXPECT_TRUE(key >= ctx_.One() && key < group_->GetOrder());
  }
}

TEST_F(ECGroupTest, PointFromCoordinates) {
  auto g = group_->CreateECPoint(Hex(kP256Gx), Hex(kP256Gy));
  ASSERT_TRUE(g.ok()) << g.status();
  auto bytes = g->ToBytes();
  ASSERT_TRUE(bytes.ok());
  EXPECT_EQ(BytesToHex(*bytes), std::string("03") + kP256Gx);  // Gy is odd
}

TEST_F(ECGroupTest, BadCoordinatesGiveAStatusNotACrash) {
  const std::string message = "ECGroup::CreateECPoint(x,y) - The point is not valid.";
  BigNum gx = Hex(kP256Gx);
  BigNum gy = Hex(kP256Gy);
  std::tuple<BigNum, BigNum> cases[] = {
      {Hex(kP256Gx), gy + ctx_.One()},                   // off the curve
      {gx + group_->GetP(), Hex(kP256Gy)},               // x out of range
      {Hex(kP256Gx), gy - group_->GetP() * ctx_.Two()},  // negative y
      {ctx_.CreateBigNum(uint64_t{0}), ctx_.CreateBigNum(uint64_t{0})},
  };
  for (auto& [x, y] : cases) {
    auto point = group_->CreateECPoint(x, y);
    ASSERT_FALSE(point.ok());
    EXPECT_EQ(point.status().code(), absl::StatusCode::kInvalidArgument);
    EXPECT_EQ(point.status().message(), message);
  }
  // Nothing is left in BoringSSL's error queue to leak into later messages.
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST_F(ECGroupTest, CoordinateConstructorStillChecks) {
  BigNum x = Hex(kP256Gx);
  BigNum y = Hex(kP256Gy) + ctx_.One();
  EXPECT_DEATH(ECPoint(group_->GetECGroup(), ctx_.GetBnCtx(), x, y),
               HasSubstr("Check failed: 1 == EC_POINT_set_affine_coordinates_GFp( group_, "
                         "point_.get(), x.GetConstBignumPtr(), y.GetConstBignumPtr(), bn_ctx_)"));
}

TEST_F(ECGroupTest, PointFromBytes) {
  auto compressed = group_->CreateECPoint(HexToBytes(std::string("03") + kP256Gx));
  ASSERT_TRUE(compressed.ok()) << compressed.status();
  auto uncompressed = group_->CreateECPoint(HexToBytes(std::string("04") + kP256Gx + kP256Gy));
  ASSERT_TRUE(uncompressed.ok()) << uncompressed.status();
  EXPECT_TRUE(compressed->CompareTo(*uncompressed));
}

TEST_F(ECGroupTest, BadBytesGiveInvalidArgument) {
  // An x whose right-hand side x^3 + ax + b is no square: no point has it.
  std::string no_point;
  for (uint64_t x = 0;; ++x) {
    BigNum bx = ctx_.CreateBigNum(x);
    BigNum rhs = (bx.Exp(ctx_.Three()) + group_->GetA() * bx + group_->GetB()).Mod(group_->GetP());
    if (!rhs.ModExp(group_->GetPMinusOneOverTwo(), group_->GetP()).IsOne()) {
      std::string xb = bx.ToBytes();
      no_point = std::string("\x02") + std::string(32 - xb.size(), '\0') + xb;
      break;
    }
  }
  const std::string cases[] = {
      "",
      std::string(1, '\0'),                                   // infinity
      no_point,                                               // 33 bytes, no point
      std::string("\x02") + std::string(32, '\xff'),          // x >= p
      HexToBytes(std::string("03") + kP256Gx).substr(0, 32),  // truncated
      HexToBytes(std::string("03") + kP256Gx) + "x",          // too long
      HexToBytes(std::string("04") + kP256Gx + kP256Gx),      // uncompressed, off the curve
      std::string("\x05") + std::string(32, '\x01'),          // unknown form
  };
  for (const std::string& bytes : cases) {
    auto point = group_->CreateECPoint(bytes);
    ASSERT_FALSE(point.ok()) << BytesToHex(bytes);
    EXPECT_EQ(point.status().code(), absl::StatusCode::kInvalidArgument);
    const std::string message(point.status().message());
    EXPECT_TRUE(message.rfind("ECGroup::CreateECPoint(string) - Could not decode point.\n", 0) ==
                    0 ||
                message == "ECGroup::CreateECPoint(string) - Decoded point is not valid.")
        << message;
  }
  auto point = group_->CreateECPoint(no_point);
  EXPECT_THAT(std::string(point.status().message()),
              StartsWith("ECGroup::CreateECPoint(string) - Could not decode point.\nerror:"));
}

TEST_F(ECGroupTest, MultiplicationAcrossCurvesFails) {
  Context other_ctx;
  auto p384 = ECGroup::CreateGroup(kP384, &other_ctx);
  ASSERT_TRUE(p384.ok());
  auto foreign = p384->HashToCurveSha256("m");
  ASSERT_TRUE(foreign.ok());
  // A P-384 point handed to P-256 arithmetic is refused with a status.
  bssl::UniquePtr<EC_POINT> copy(EC_POINT_dup(foreign->GetPoint(), p384->GetECGroup()));
  ECPoint mismatched(group_->GetECGroup(), ctx_.GetBnCtx(), std::move(copy));
  auto product = mismatched.Mul(ctx_.Two());
  ASSERT_FALSE(product.ok());
  EXPECT_EQ(product.status().code(), absl::StatusCode::kInternal);
  EXPECT_THAT(std::string(product.status().message()), StartsWith("EC_POINT_mul failed:error:"));
}

TEST_F(ECGroupTest, PointAtInfinity) {
  auto infinity = group_->GetPointAtInfinity();
  ASSERT_TRUE(infinity.ok());
  EXPECT_TRUE(infinity->IsPointAtInfinity());
  EXPECT_FALSE(infinity->IsValid());
  auto bytes = infinity->ToBytes();
  ASSERT_FALSE(bytes.ok());
  EXPECT_EQ(bytes.status().code(), absl::StatusCode::kInternal);
  EXPECT_THAT(std::string(bytes.status().message()), StartsWith("EC_POINT_point2oct failed:"));
}

TEST_F(ECGroupTest, Multiplication) {
  auto g = group_->CreateECPoint(Hex(kP256Gx), Hex(kP256Gy));
  ASSERT_TRUE(g.ok());
  auto same = g->Mul(ctx_.One());
  ASSERT_TRUE(same.ok());
  EXPECT_TRUE(same->CompareTo(*g));
  auto infinity = g->Mul(group_->GetOrder());
  ASSERT_TRUE(infinity.ok());
  EXPECT_TRUE(infinity->IsPointAtInfinity());
  // 2G, from the curve's published multiples.
  auto two_g = g->Mul(ctx_.Two());
  ASSERT_TRUE(two_g.ok());
  EXPECT_EQ(BytesToHex(*two_g->ToBytes()),
            "037cf27b188d034f7e8a52380304b51ac3c08969e277f21b35a60b48fc47669978");
}

// Expected encodings from an independent Python implementation of try-and-increment.
struct TryAndIncrementCase {
  int curve;
  int hash_type;
  std::string message;
  std::string encoding;
};

class TryAndIncrementTest : public ::testing::TestWithParam<TryAndIncrementCase> {};

TEST_P(TryAndIncrementTest, MatchesReferenceWithEvenY) {
  const TryAndIncrementCase& c = GetParam();
  Context ctx;
  auto group = ECGroup::CreateGroup(c.curve, &ctx);
  ASSERT_TRUE(group.ok());
  auto hash = [&](std::string_view m) {
    switch (c.hash_type) {
      case 0:
        return group->HashToCurveSha256(m);
      case 1:
        return group->HashToCurveSha384(m);
      default:
        return group->HashToCurveSha512(m);
    }
  };
  auto point = hash(c.message);
  ASSERT_TRUE(point.ok()) << point.status();
  EXPECT_TRUE(point->IsValid());
  EXPECT_EQ(BytesToHex(*point->ToBytes()), c.encoding);
  auto again = hash(c.message);
  ASSERT_TRUE(again.ok());
  EXPECT_TRUE(again->CompareTo(*point));
}

INSTANTIATE_TEST_SUITE_P(
    Reference, TryAndIncrementTest,
    ::testing::Values(
        TryAndIncrementCase{kP256, 0, "",
                            "026b51b9d722460e1f8073e65a824ebe2282f2d7d945491f150c1c04e6e553bb23"},
        TryAndIncrementCase{kP256, 0, "abc",
                            "024a7bcb50c5b44beff90f58600a36aab7c4f606587ed715496be543139bf899a5"},
        TryAndIncrementCase{kP256, 0, "hello world",
                            "02e93d556a1bf2f0d8d47f8b1cf6ccb2ae231437658d8e74013e9da3c0308f698a"},
        TryAndIncrementCase{kP256, 1, "abc",
                            "02927a9a96bbae0b02b93c9a0f2fe012dab690172e478638301cf36b6f8b29a8cf"},
        TryAndIncrementCase{kP256, 2, "hello world",
                            "02c0db8f2f7412ad68d0f4851f9621987e63c0f3cc26b4a292fe642e4af649a5f2"},
        TryAndIncrementCase{kP384, 0, "abc",
                            "02aeb347aaa41e954aebfade7f1676335705723219fd6e0fc8d7429ccb4a37c261aae4"
                            "abdfe70b4b19a34d78fbc723d50f"},
        TryAndIncrementCase{kP384, 1, "",
                            "02aa8490c98910ef4cbb17fc69bc5029092e52b1204aafeebaab9433dc7b25ffb089d6"
                            "40a0d1ad0686c82a59f22b867214"},
        TryAndIncrementCase{kP384, 2, "hello world",
                            "02c3984a0fb4def709563e3d057c4457d553f0535e41e28694f76e19cab8ce4eae56e1"
                            "e0c7482d209c03028c3078463022"}));

TEST_F(ECGroupTest, SswuRejectsOverlongTag) {
  auto point = group_->HashToCurveSswuRo("m", std::string(256, 't'));
  ASSERT_FALSE(point.ok());
  EXPECT_EQ(point.status().code(), absl::StatusCode::kInternal);
  EXPECT_TRUE(group_->HashToCurveSswuRo("m", std::string(255, 't')).ok());
}

}  // namespace
}  // namespace blinders
