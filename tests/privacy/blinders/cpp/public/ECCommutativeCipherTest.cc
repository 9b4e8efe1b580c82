#include "privacy/blinders/cpp/public/ec_commutative_cipher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/nid.h>

#include <string>
#include <tuple>

#include "privacy/blinders/cpp/crypto/context.h"
#include "privacy/blinders/cpp/crypto/ec_group.h"
#include "tests/privacy/CryptoTestUtil.h"

namespace blinders {
namespace {

using ::cryptotest::BytesToHex;
using ::testing::StartsWith;

constexpr int kP256 = NID_X9_62_prime256v1;
constexpr int kP384 = NID_secp384r1;

std::unique_ptr<ECCommutativeCipher> MakeCipher(int curve, int hash_type) {
  auto cipher = ECCommutativeCipher::CreateWithRandomKey(curve, hash_type);
  EXPECT_TRUE(cipher.ok()) << cipher.status();
  return cipher.ok() ? std::move(*cipher) : nullptr;
}

// The hashed point of m, encoded, as an independent group computes it.
std::string HashedPoint(int curve, int hash_type, std::string_view m) {
  Context ctx;
  auto group = ECGroup::CreateGroup(curve, &ctx);
  absl::StatusOr<ECPoint> point = absl::InternalError("unset");
  switch (hash_type) {
    case 0:
      point = group->HashToCurveSha256(m);
      break;
    case 1:
      point = group->HashToCurveSha384(m);
      break;
    case 2:
      point = group->HashToCurveSha512(m);
      break;
    default:
      point = group->HashToCurveSswuRo(m, "ECCommutativeCipher");
  }
  return *point->ToBytes();
}

class CommutativityTest : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(CommutativityTest, LayersCommuteAndDecryptStripsOne) {
  const auto [curve, hash_type] = GetParam();
  auto a = MakeCipher(curve, hash_type);
  auto b = MakeCipher(curve, hash_type);
  ASSERT_TRUE(a && b);
  Context ctx;
  const int kMessages = curve == kP256 ? 24 : 12;
  for (int i = 0; i < kMessages; ++i) {
    const std::string m = ctx.RandomBytes(i % 7 == 0 ? 0 : 1 + i * 5);
    auto ea = a->Encrypt(m);
    auto eb = b->Encrypt(m);
    ASSERT_TRUE(ea.ok() && eb.ok()) << ea.status() << eb.status();
    EXPECT_EQ(ea->size(), curve == kP256 ? 33u : 49u);
    EXPECT_NE(*ea, *eb);

    auto ba = b->ReEncrypt(*ea);
    auto ab = a->ReEncrypt(*eb);
    ASSERT_TRUE(ba.ok() && ab.ok());
    EXPECT_EQ(*ba, *ab) << BytesToHex(m);

    // A's layer comes off the doubly encrypted value and leaves B's encryption.
    auto stripped = a->Decrypt(*ab);
    ASSERT_TRUE(stripped.ok());
    EXPECT_EQ(*stripped, *eb);
    // Decrypting one's own encryption gives the hashed point.
    auto plain_point = a->Decrypt(*ea);
    ASSERT_TRUE(plain_point.ok());
    EXPECT_EQ(*plain_point, HashedPoint(curve, hash_type, m));
    // Deterministic.
    EXPECT_EQ(*a->Encrypt(m), *ea);
  }
}

INSTANTIATE_TEST_SUITE_P(CurvesAndHashTypes, CommutativityTest,
                         ::testing::Combine(::testing::Values(kP256, kP384),
                                            ::testing::Values(0, 1, 2, 3)));

TEST(ECCommutativeCipherTest, InvalidHashTypes) {
  for (int hash_type : {4, -1, 100}) {
    auto cipher = ECCommutativeCipher::CreateWithRandomKey(kP256, hash_type);
    ASSERT_FALSE(cipher.ok());
    EXPECT_EQ(cipher.status().code(), absl::StatusCode::kInvalidArgument);
    EXPECT_EQ(cipher.status().message(), "Invalid hash type.");
  }
}

// The group's own failures reach the caller as they are.
TEST(ECCommutativeCipherTest, UnknownCurve) {
  auto cipher = ECCommutativeCipher::CreateWithRandomKey(1, 0);
  ASSERT_FALSE(cipher.ok());
  EXPECT_EQ(cipher.status().code(), absl::StatusCode::kInvalidArgument);
  EXPECT_THAT(std::string(cipher.status().message()),
              StartsWith("ECGroup::CreateGroup() - Could not create group."));
}

TEST(ECCommutativeCipherTest, SswuOnACurveWithoutSuite) {
  auto cipher = MakeCipher(NID_secp521r1, 3);
  ASSERT_TRUE(cipher);
  auto encrypted = cipher->Encrypt("m");
  ASSERT_FALSE(encrypted.ok());
  EXPECT_EQ(encrypted.status().code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(encrypted.status().message(), "Curve does not support HashToCurveSswuRo.");
}

TEST(ECCommutativeCipherTest, BadCiphertextsGiveInvalidArgument) {
  auto a = MakeCipher(kP256, 0);
  auto other_curve = MakeCipher(kP384, 0);
  ASSERT_TRUE(a && other_curve);
  std::string valid = *a->Encrypt("m");
  std::string flipped = valid;
  flipped[0] = flipped[0] == '\x02' ? '\x03' : '\x02';  // the other point with this x: still valid
  const std::string cases[] = {
      "",
      std::string(1, '\0'),
      std::string(33, '\0'),
      std::string("\x02") + std::string(32, '\xff'),
      valid.substr(0, 32),
      valid.substr(1),
      valid + valid,
      *other_curve->Encrypt("m"),
  };
  for (const std::string& c : cases) {
    for (auto op : {&ECCommutativeCipher::Decrypt, &ECCommutativeCipher::ReEncrypt}) {
      auto result = ((*a).*op)(c);
      ASSERT_FALSE(result.ok()) << BytesToHex(c);
      EXPECT_EQ(result.status().code(), absl::StatusCode::kInvalidArgument);
      EXPECT_THAT(std::string(result.status().message()),
                  StartsWith("ECGroup::CreateECPoint(string) - "));
    }
  }
  EXPECT_TRUE(a->Decrypt(flipped).ok());
}

}  // namespace
}  // namespace blinders
