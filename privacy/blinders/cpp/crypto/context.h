#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "privacy/blinders/cpp/crypto/big_num.h"
#include "privacy/blinders/cpp/crypto/openssl_init.h"

namespace blinders {

// The working context of the privacy cryptography: the big-number scratch context, a reused
// digest context, the constants 0 to 3, the string hashes, the random oracle and random numbers.
// It must outlive every BigNum, group and point made from it. Not thread-safe: one thread at a
// time uses a context and everything made from it. Library failures are fatal checks.
class Context {
 public:
  Context();
  virtual ~Context();
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  // SHA-256, SHA-384 and SHA-512 digests of the bytes.
  virtual std::string HashSha256(std::string_view bytes);
  virtual std::string HashSha384(std::string_view bytes);
  virtual std::string HashSha512(std::string_view bytes);
  // RandomOracle(x, max_value, 0), (.., 1) and (.., 2).
  virtual BigNum RandomOracleSha256(std::string_view x, const BigNum& max_value);
  virtual BigNum RandomOracleSha384(std::string_view x, const BigNum& max_value);
  virtual BigNum RandomOracleSha512(std::string_view x, const BigNum& max_value);
  // Uniform in [0, max_value).
  virtual BigNum RandomBelow(const BigNum& max_value);
  // Uniform in [start, end); fatal unless start < end.
  virtual BigNum RandomBetween(const BigNum& start, const BigNum& end);
  // num_bytes random bytes; fatal when num_bytes is negative.
  virtual std::string RandomBytes(int num_bytes);
  // Uniform below n with gcd(r, n) <= 1.
  virtual BigNum RandomCoprimeBelow(const BigNum& n);
  // A value in [0, max_value) derived deterministically from x: counter-mode hashing (hash type
  // 2: SHA-512, 1: SHA-384, anything else SHA-256) truncated to max_value's bit length plus one
  // digest of extra bits, reduced modulo max_value.
  virtual BigNum RandomOracle(std::string_view x, const BigNum& max_value, int hash_type);

  BN_CTX* GetBnCtx() { return bn_ctx_.get(); }
  // Wraps a freshly made BIGNUM into a BigNum bound to this context.
  BigNum CreateBigNum(bssl::UniquePtr<BIGNUM> bn) { return BigNum(bn_ctx_.get(), std::move(bn)); }
  BigNum CreateBigNum(uint64_t number) { return BigNum(bn_ctx_.get(), number); }
  BigNum CreateBigNum(std::string_view bytes) { return BigNum(bn_ctx_.get(), bytes); }

  const BigNum& Zero() const { return zero_bn_; }
  const BigNum& One() const { return one_bn_; }
  const BigNum& Two() const { return two_bn_; }
  const BigNum& Three() const { return three_bn_; }

  // The largest bit count (max_value bits + digest bits) that RandomOracle accepts is below this.
  static constexpr int64_t kRandomOracleMaxBits = 130048;

 private:
  bssl::UniquePtr<BN_CTX> bn_ctx_;
  bssl::UniquePtr<EVP_MD_CTX> evp_md_ctx_;
  BigNum zero_bn_;
  BigNum one_bn_;
  BigNum two_bn_;
  BigNum three_bn_;
};

}  // namespace blinders
