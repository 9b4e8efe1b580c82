#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "privacy/blinders/cpp/crypto/openssl_init.h"

namespace blinders {

// An arbitrary-precision integer owning one BoringSSL BIGNUM. Every operation returns a new
// value bound to the scratch context of the left-hand operand; the Context that made a value
// must outlive it. Library failures and broken preconditions are fatal checks.
// Not thread-safe: values of one Context share its BN_CTX.
class BigNum {
 public:
  // 0.
  explicit BigNum(BN_CTX* bn_ctx);
  // The unsigned 64-bit number.
  BigNum(BN_CTX* bn_ctx, uint64_t number);
  // Unsigned big-endian reading of the bytes; empty bytes give 0.
  BigNum(BN_CTX* bn_ctx, std::string_view bytes);
  // Adopts the BIGNUM.
  BigNum(BN_CTX* bn_ctx, bssl::UniquePtr<BIGNUM> bn);

  BigNum(BigNum&& other) = default;
  BigNum& operator=(BigNum&& other) = default;
  BigNum(const BigNum&) = delete;
  BigNum& operator=(const BigNum&) = delete;

  // Unsigned big-endian bytes of minimal length; 0 gives the empty string. Fatal if negative.
  std::string ToBytes() const;
  // Number of significant bits; 0 for zero.
  int BitLength() const;
  bool IsNonNegative() const;
  bool IsZero() const;
  bool IsOne() const;
  bool IsBitSet(int n) const;
  // Probabilistic primality with an error probability of at most prime_error_probability.
  bool IsPrime(double prime_error_probability) const;
  // Miller-Rabin rounds for an error probability: ceil(ln(probability) / ln(1/4)), kept within
  // [0, kMaxPrimalityRounds] for every double: 0, negative and NaN ask for the most rounds;
  // above 4 (infinity included) the formula's negative count becomes 0.
  static int PrimalityRounds(double prime_error_probability);
  static constexpr int kMaxPrimalityRounds = 600;

  BigNum operator+(const BigNum& val) const;
  BigNum operator-(const BigNum& val) const;
  BigNum operator*(const BigNum& val) const;
  // Exact quotient; fatal when the division leaves a remainder.
  BigNum Div(const BigNum& val) const;
  BigNum Exp(const BigNum& exponent) const;
  // Non-negative remainder in [0, m).
  BigNum Mod(const BigNum& m) const;
  // this^exponent mod m; the exponent must not be negative.
  BigNum ModExp(const BigNum& exponent, const BigNum& m) const;
  // A square root modulo the prime m; fatal when there is none.
  BigNum ModSqrt(const BigNum& m) const;
  // 0 for 0, otherwise m - (this mod m) (so a non-zero multiple of m gives m).
  BigNum ModNegate(const BigNum& m) const;
  BigNum operator<<(int n) const;
  BigNum operator>>(int n) const;
  BigNum Gcd(const BigNum& val) const;

  bool operator==(const BigNum& other) const { return BN_cmp(bn_.get(), other.bn_.get()) == 0; }
  bool operator!=(const BigNum& other) const { return !(*this == other); }
  bool operator<(const BigNum& other) const { return BN_cmp(bn_.get(), other.bn_.get()) < 0; }
  bool operator>(const BigNum& other) const { return BN_cmp(bn_.get(), other.bn_.get()) > 0; }
  bool operator<=(const BigNum& other) const { return BN_cmp(bn_.get(), other.bn_.get()) <= 0; }
  bool operator>=(const BigNum& other) const { return BN_cmp(bn_.get(), other.bn_.get()) >= 0; }

  // Read access for handing the value to BoringSSL; owned by this object.
  const BIGNUM* GetConstBignumPtr() const { return bn_.get(); }

 private:
  friend class Context;

  bssl::UniquePtr<BIGNUM> bn_;
  BN_CTX* bn_ctx_;
};

}  // namespace blinders
