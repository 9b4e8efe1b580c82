#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/is_boringssl.h>

#include <openssl/cipher.h>
#include <openssl/rand.h>

#include <atomic>
#include <string>

#include "privacy/blinders/cpp/crypto/context.h"
#include "privacy/private_membership/common/aes_ctr_256_no_auth.h"
#include "privacy/private_membership/common/aes_ctr_256_with_fixed_iv.h"
#include "privacy/private_membership/common/crypto_utils.h"
#include "privacy/private_membership/common/interop_constants.h"
#include "tests/privacy/CryptoTestUtil.h"

// Fault seams over the library: this binary's own definitions of the two functions come before
// the shared library's, count the random draws and fail context creations on request.
namespace {
std::atomic<int> failContextCreations{0};
std::atomic<int> randomDraws{0};
}  // namespace

extern "C" EVP_CIPHER_CTX* EVP_CIPHER_CTX_new(void) {
  if (failContextCreations.load() > 0) {
    --failContextCreations;
    return nullptr;
  }
  static auto* real =
      reinterpret_cast<EVP_CIPHER_CTX* (*)(void)>(dlsym(RTLD_NEXT, "EVP_CIPHER_CTX_new"));
  return real();
}

extern "C" int RAND_bytes(uint8_t* buf, size_t len) {
  ++randomDraws;
  static auto* real = reinterpret_cast<int (*)(uint8_t*, size_t)>(dlsym(RTLD_NEXT, "RAND_bytes"));
  return real(buf, len);
}

namespace private_membership {
namespace {

using ::cryptotest::BytesToHex;
using ::cryptotest::HexToBytes;

// NIST SP 800-38A, F.5.5 (CTR-AES256.Encrypt) and F.5.6 (CTR-AES256.Decrypt).
const std::string kKey =
    HexToBytes("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
const std::string kInitialCounter = HexToBytes("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
const std::string kPlaintext = HexToBytes(
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
const std::string kCiphertext = HexToBytes(
    "601ec313775789a5b7a7f504bbf3d228f443e3ca4d62b59aca84e990cacaf5c5"
    "2b0930daa23de94ce87017ba2d84988ddfc9c58db67aada613c2dd08457941a6");

TEST(ValueCipherTest, FixedIvSchemeDecryptsNistVectors) {
  auto cipher = AesCtr256WithFixedIV::CreateWithIvForTesting(kKey, kInitialCounter);
  ASSERT_TRUE(cipher.ok());
  auto plaintext = (*cipher)->Decrypt(kCiphertext);
  ASSERT_TRUE(plaintext.ok());
  EXPECT_EQ(BytesToHex(*plaintext), BytesToHex(kPlaintext));
  auto ciphertext = (*cipher)->Encrypt(kPlaintext);
  ASSERT_TRUE(ciphertext.ok());
  EXPECT_EQ(BytesToHex(*ciphertext), BytesToHex(kCiphertext));
  // Every block boundary: a prefix decrypts to the prefix.
  for (size_t n = 0; n <= kCiphertext.size(); n += 7) {
    EXPECT_EQ(*(*cipher)->Decrypt(kCiphertext.substr(0, n)), kPlaintext.substr(0, n));
  }
}

TEST(ValueCipherTest, RandomIvSchemeDecryptsNistVectors) {
  auto cipher = AesCtr256NoAuth::Create(kKey);
  ASSERT_TRUE(cipher.ok());
  auto plaintext = (*cipher)->Decrypt(kInitialCounter + kCiphertext);
  ASSERT_TRUE(plaintext.ok());
  EXPECT_EQ(BytesToHex(*plaintext), BytesToHex(kPlaintext));
  // And through the value decryption of scheme 2.
  auto value = DecryptValueWithKey(kKey, kInitialCounter + kCiphertext, kAesCtr256NoAuthScheme);
  ASSERT_TRUE(value.ok());
  EXPECT_EQ(*value, kPlaintext);
}

// The fixed-IV scheme is deterministic and adds nothing; the other prefixes a fresh IV.
TEST(ValueCipherTest, CiphertextsOfBothSchemes) {
  auto fixed = AesCtr256WithFixedIV::Create(kKey);
  auto no_auth = AesCtr256NoAuth::Create(kKey);
  ASSERT_TRUE(fixed.ok() && no_auth.ok());
  for (size_t n : {0u, 1u, 15u, 16u, 17u, 1000u}) {
    std::string plaintext(n, 'p');
    for (const Cipher* cipher : {fixed->get(), no_auth->get()}) {
      auto c1 = cipher->Encrypt(plaintext);
      auto c2 = cipher->Encrypt(plaintext);
      ASSERT_TRUE(c1.ok() && c2.ok());
      const bool isFixed = cipher == fixed->get();
      EXPECT_EQ(c1->size(), isFixed ? n : n + 16);
      EXPECT_EQ(*c1 == *c2, isFixed);
      EXPECT_EQ(*cipher->Decrypt(*c1), plaintext);
      EXPECT_EQ(*cipher->Decrypt(*c2), plaintext);
    }
  }
}

// The random-IV cipher makes its context before it draws the IV: a failed allocation draws
// nothing. Both ciphers answer it with the same error.
TEST(ValueCipherTest, ContextComesBeforeTheIv) {
  auto no_auth = AesCtr256NoAuth::Create(kKey);
  auto fixed = AesCtr256WithFixedIV::Create(kKey);
  ASSERT_TRUE(no_auth.ok() && fixed.ok());
  for (const Cipher* cipher : {no_auth->get(), fixed->get()}) {
    const int draws = randomDraws.load();
    failContextCreations = 1;
    auto result = cipher->Encrypt("value");
    failContextCreations = 0;
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.status().code(), absl::StatusCode::kInternal);
    EXPECT_EQ(result.status().message(), "Could not initialize EVP_CIPHER_CTX.");
    EXPECT_EQ(randomDraws.load(), draws);
  }
  const int draws = randomDraws.load();
  auto sealed = (*no_auth)->Encrypt("value");
  ASSERT_TRUE(sealed.ok());
  EXPECT_EQ(randomDraws.load(), draws + 1);
  EXPECT_EQ(*(*no_auth)->Decrypt(*sealed), "value");
}

TEST(ValueCipherTest, ShortAndNullCiphertexts) {
  auto no_auth = AesCtr256NoAuth::Create(kKey);
  auto fixed = AesCtr256WithFixedIV::Create(kKey);
  ASSERT_TRUE(no_auth.ok() && fixed.ok());
  for (size_t n : {0u, 1u, 15u}) {
    auto result = (*no_auth)->Decrypt(std::string(n, 'c'));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.status().code(), absl::StatusCode::kInternal);
    EXPECT_EQ(result.status().message(), "Ciphertext is too short.");
  }
  EXPECT_EQ(*(*no_auth)->Decrypt(std::string(16, 'c')), "");
  for (const Cipher* cipher : {no_auth->get(), fixed->get()}) {
    auto result = cipher->Decrypt(std::string_view());
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.status().code(), absl::StatusCode::kInternal);
    EXPECT_EQ(result.status().message(), "Invalid null ciphertext.");
  }
  EXPECT_EQ(*(*fixed)->Decrypt(std::string()), "");
}

TEST(ValueCipherTest, KeySizes) {
  for (size_t n : {0u, 16u, 31u, 33u, 64u}) {
    std::string key(n, 'k');
    for (int scheme : {1, 2}) {
      auto cipher = CreateValueCipher(scheme, key);
      ASSERT_FALSE(cipher.ok());
      EXPECT_EQ(cipher.status().code(), absl::StatusCode::kInvalidArgument);
      EXPECT_EQ(cipher.status().message(), "Key size is invalid.");
    }
  }
  EXPECT_TRUE(CreateValueCipher(1, std::string(32, 'k')).ok());
  EXPECT_TRUE(CreateValueCipher(2, std::string(32, 'k')).ok());
}

TEST(ValueCipherTest, UnsupportedSchemes) {
  for (int scheme : {0, 3, -5, 2147483647}) {
    auto cipher = CreateValueCipher(scheme, kKey);
    ASSERT_FALSE(cipher.ok());
    EXPECT_EQ(cipher.status().code(), absl::StatusCode::kInvalidArgument);
    EXPECT_EQ(cipher.status().message(),
              "Unsupported encryption scheme: " + std::to_string(scheme));
    EXPECT_EQ(DecryptValueWithKey(kKey, "x", scheme).status().message(),
              "Unsupported encryption scheme: " + std::to_string(scheme));
  }
}

// A scheme-1 value as the server would make it: length prefix, value, padding, encrypted under
// the key derived from the encrypted identifier.
TEST(ValueCipherTest, DecryptValueOfBothSchemes) {
  blinders::Context ctx;
  const std::string encrypted_id = "\x02 thirty-two bytes of a point...";
  auto key = DeriveValueEncryptionKey(encrypted_id, &ctx);
  ASSERT_TRUE(key.ok());
  const std::string value = "conversion value 42";
  std::string framed = std::string("\x13\x00\x00\x00", 4) + value + "padding";

  auto fixed = AesCtr256WithFixedIV::Create(*key);
  auto no_auth = AesCtr256NoAuth::Create(*key);
  ASSERT_TRUE(fixed.ok() && no_auth.ok());
  auto v1 = DecryptValue(encrypted_id, *(*fixed)->Encrypt(framed), 1, &ctx);
  ASSERT_TRUE(v1.ok()) << v1.status();
  EXPECT_EQ(*v1, value);
  auto v2 = DecryptValue(encrypted_id, *(*no_auth)->Encrypt(value), 2, &ctx);
  ASSERT_TRUE(v2.ok()) << v2.status();
  EXPECT_EQ(*v2, value);

  // A scheme-1 value whose length prefix does not fit is refused by the length check.
  std::string overlong = std::string("\xff\x00\x00\x00", 4) + value;
  auto bad = DecryptValue(encrypted_id, *(*fixed)->Encrypt(overlong), 1, &ctx);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.status().message(), "Incorrect bytes length.");
  auto truncated = DecryptValue(encrypted_id, "abc", 1, &ctx);
  EXPECT_EQ(truncated.status().message(), "Invalid bytes does not encode length.");
  auto short_scheme_2 = DecryptValue(encrypted_id, "abc", 2, &ctx);
  EXPECT_EQ(short_scheme_2.status().message(), "Ciphertext is too short.");
}

}  // namespace
}  // namespace private_membership
