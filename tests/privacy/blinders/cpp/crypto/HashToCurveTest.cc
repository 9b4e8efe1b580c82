#include "privacy/blinders/cpp/crypto/hash_to_curve.h"

#include <gtest/gtest.h>
#include <openssl/nid.h>

#include <nlohmann/json.hpp>
#include <string>

#include "privacy/blinders/cpp/crypto/context.h"
#include "privacy/blinders/cpp/crypto/ec_group.h"
#include "tests/privacy/CryptoTestUtil.h"

namespace blinders {
namespace {

using ::cryptotest::BytesToHex;
using ::cryptotest::HexToBytes;

struct Suite {
  const char* file;
  int curve;
  size_t coordinate_length;
};

// The RFC 9380 vectors of appendix J, checked stage by stage: the field elements u, the two
// mapped points Q0 and Q1, and the final point P.
class Rfc9380Test : public ::testing::TestWithParam<Suite> {
 protected:
  void SetUp() override {
    vectors_ = nlohmann::json::parse(cryptotest::ReadTestData(GetParam().file));
    auto group = ECGroup::CreateGroup(GetParam().curve, &ctx_);
    ASSERT_TRUE(group.ok());
    group_ = std::make_unique<ECGroup>(std::move(*group));
    dst_ = vectors_["dst"].get<std::string>();
  }

  // Affine coordinates as fixed-length hex, the format of the vector files.
  std::pair<std::string, std::string> Affine(const EC_POINT* point) {
    bssl::UniquePtr<BIGNUM> x(BN_new()), y(BN_new());
    EXPECT_EQ(1, EC_POINT_get_affine_coordinates_GFp(group_->GetECGroup(), point, x.get(), y.get(),
                                                     ctx_.GetBnCtx()));
    return {Hex(x.get()), Hex(y.get())};
  }
  std::string Hex(const BIGNUM* bn) {
    std::string bytes(GetParam().coordinate_length, '\0');
    EXPECT_EQ(1, BN_bn2bin_padded(reinterpret_cast<uint8_t*>(bytes.data()), bytes.size(), bn));
    return "0x" + BytesToHex(bytes);
  }

  Context ctx_;
  std::unique_ptr<ECGroup> group_;
  nlohmann::json vectors_;
  std::string dst_;
};

TEST_P(Rfc9380Test, FieldElements) {
  ASSERT_FALSE(vectors_["vectors"].empty());
  for (const auto& v : vectors_["vectors"]) {
    const std::string msg = v["msg"].get<std::string>();
    auto u = hash_to_curve::HashToField(group_->GetECGroup(), msg, dst_, 2, ctx_.GetBnCtx());
    ASSERT_TRUE(u.ok()) << u.status();
    ASSERT_EQ(u->size(), 2u);
    EXPECT_EQ(Hex((*u)[0].get()), v["u"][0].get<std::string>()) << msg;
    EXPECT_EQ(Hex((*u)[1].get()), v["u"][1].get<std::string>()) << msg;
  }
}

TEST_P(Rfc9380Test, MappedPoints) {
  for (const auto& v : vectors_["vectors"]) {
    for (int i = 0; i < 2; ++i) {
      bssl::UniquePtr<BIGNUM> u(BN_new());
      std::string u_bytes = HexToBytes(v["u"][i].get<std::string>());
      ASSERT_NE(nullptr, BN_bin2bn(reinterpret_cast<const uint8_t*>(u_bytes.data()), u_bytes.size(),
                                   u.get()));
      bssl::UniquePtr<EC_POINT> q(EC_POINT_new(group_->GetECGroup()));
      ASSERT_TRUE(hash_to_curve::MapToCurveSimpleSwu(group_->GetECGroup(), u.get(), q.get(),
                                                     ctx_.GetBnCtx())
                      .ok());
      const auto& expected = v[i == 0 ? "Q0" : "Q1"];
      auto [x, y] = Affine(q.get());
      EXPECT_EQ(x, expected["x"].get<std::string>());
      EXPECT_EQ(y, expected["y"].get<std::string>());
    }
  }
}

TEST_P(Rfc9380Test, FinalPoint) {
  for (const auto& v : vectors_["vectors"]) {
    const std::string msg = v["msg"].get<std::string>();
    bssl::UniquePtr<EC_POINT> p(EC_POINT_new(group_->GetECGroup()));
    ASSERT_TRUE(
        hash_to_curve::HashToCurve(group_->GetECGroup(), msg, dst_, p.get(), ctx_.GetBnCtx()).ok());
    auto [x, y] = Affine(p.get());
    EXPECT_EQ(x, v["P"]["x"].get<std::string>()) << msg;
    EXPECT_EQ(y, v["P"]["y"].get<std::string>()) << msg;

    // The group's operation gives the same point.
    auto point = group_->HashToCurveSswuRo(msg, dst_);
    ASSERT_TRUE(point.ok()) << point.status();
    auto [gx, gy] = Affine(point->GetPoint());
    EXPECT_EQ(gx, v["P"]["x"].get<std::string>());
    EXPECT_EQ(gy, v["P"]["y"].get<std::string>());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Suites, Rfc9380Test,
    ::testing::Values(Suite{"P256_XMD_SHA-256_SSWU_RO_.json", NID_X9_62_prime256v1, 32},
                      Suite{"P384_XMD_SHA-384_SSWU_RO_.json", NID_secp384r1, 48}));

// RFC 9380 appendix K.1 (expand_message_xmd with SHA-256), two of its vectors.
TEST(ExpandMessageXmdTest, Rfc9380Vectors) {
  const std::string dst = "QUUX-V01-CS02-with-expander-SHA256-128";
  auto a = hash_to_curve::ExpandMessageXmd(EVP_sha256(), "", dst, 0x20);
  ASSERT_TRUE(a.ok());
  EXPECT_EQ(BytesToHex(*a), "68a985b87eb6b46952128911f2a4412bbc302a9d759667f87f7a21d803f07235");
  auto b = hash_to_curve::ExpandMessageXmd(EVP_sha256(), "abc", dst, 0x20);
  ASSERT_TRUE(b.ok());
  EXPECT_EQ(BytesToHex(*b), "d8ccab23b5985ccea865c6c97b6e5b8350e794e603b4b97902f53a8a0d605615");
}

TEST(ExpandMessageXmdTest, RejectsBadLengths) {
  EXPECT_FALSE(hash_to_curve::ExpandMessageXmd(EVP_sha256(), "m", "d", 0).ok());
  EXPECT_FALSE(hash_to_curve::ExpandMessageXmd(EVP_sha256(), "m", "d", 255 * 32 + 1).ok());
  EXPECT_TRUE(hash_to_curve::ExpandMessageXmd(EVP_sha256(), "m", "d", 255 * 32).ok());
  EXPECT_FALSE(hash_to_curve::ExpandMessageXmd(EVP_sha256(), "m", std::string(256, 'd'), 32).ok());
}

}  // namespace
}  // namespace blinders
