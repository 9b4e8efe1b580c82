#include "privacy/blinders/cpp/crypto/big_num.h"

#include <cmath>
#include <utility>

#include "base/logging.h"

namespace blinders {

BigNum::BigNum(BN_CTX* bn_ctx) : bn_ctx_(bn_ctx) {
  BIGNUM* temp = BN_new();
  KVL_CHECK(temp != nullptr) << OpenSSLErrorString();
  bn_.reset(temp);
}

BigNum::BigNum(BN_CTX* bn_ctx, uint64_t number) : BigNum(bn_ctx) {
  KVL_CHECK(BN_set_u64(bn_.get(), number)) << OpenSSLErrorString();
}

BigNum::BigNum(BN_CTX* bn_ctx, std::string_view bytes) : BigNum(bn_ctx) {
  KVL_CHECK(nullptr != BN_bin2bn(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                                 bn_.get()))
      << OpenSSLErrorString();
}

BigNum::BigNum(BN_CTX* bn_ctx, bssl::UniquePtr<BIGNUM> bn) : bn_(std::move(bn)), bn_ctx_(bn_ctx) {}

std::string BigNum::ToBytes() const {
  KVL_CHECK(IsNonNegative()) << "Cannot serialize a negative BigNum.";
  std::string bytes(BN_num_bytes(bn_.get()), '\0');
  BN_bn2bin(bn_.get(), reinterpret_cast<uint8_t*>(bytes.data()));
  return bytes;
}

int BigNum::BitLength() const { return static_cast<int>(BN_num_bits(bn_.get())); }

bool BigNum::IsNonNegative() const { return BN_is_negative(bn_.get()) == 0; }

bool BigNum::IsZero() const { return BN_is_zero(bn_.get()); }

bool BigNum::IsOne() const { return BN_is_one(bn_.get()); }

bool BigNum::IsBitSet(int n) const { return BN_is_bit_set(bn_.get(), n) != 0; }

int BigNum::PrimalityRounds(double prime_error_probability) {
  // ln(1/4): each Miller-Rabin round lets a composite through with probability at most 1/4.
  double rounds = std::ceil(std::log(prime_error_probability) / -1.3862943611198906);
  // A probability of 0 gives +inf and a negative one NaN: both ask for the most certainty, and
  // converting either to int would be undefined.
  if (!(rounds <= kMaxPrimalityRounds)) return kMaxPrimalityRounds;
  // Above 1 the formula asks for no round up to 4, and above 4 for a negative count (down to
  // -inf). BN_is_prime_ex never returns on a prime with a negative count, so no fewer than 0.
  if (rounds < 0) return 0;
  return static_cast<int>(rounds);
}

bool BigNum::IsPrime(double prime_error_probability) const {
  int rounds = PrimalityRounds(prime_error_probability);
  return BN_is_prime_ex(bn_.get(), rounds, bn_ctx_, nullptr) == 1;
}

BigNum BigNum::operator+(const BigNum& val) const {
  BigNum r(bn_ctx_);
  KVL_CHECK(1 == BN_add(r.bn_.get(), bn_.get(), val.bn_.get())) << OpenSSLErrorString();
  return r;
}

BigNum BigNum::operator-(const BigNum& val) const {
  BigNum r(bn_ctx_);
  KVL_CHECK(1 == BN_sub(r.bn_.get(), bn_.get(), val.bn_.get())) << OpenSSLErrorString();
  return r;
}

BigNum BigNum::operator*(const BigNum& val) const {
  BigNum r(bn_ctx_);
  KVL_CHECK(1 == BN_mul(r.bn_.get(), bn_.get(), val.bn_.get(), bn_ctx_)) << OpenSSLErrorString();
  return r;
}

BigNum BigNum::Div(const BigNum& val) const {
  BigNum r(bn_ctx_);
  bssl::UniquePtr<BIGNUM> rem(BN_new());
  KVL_CHECK(rem != nullptr) << OpenSSLErrorString();
  KVL_CHECK(1 == BN_div(r.bn_.get(), rem.get(), bn_.get(), val.bn_.get(), bn_ctx_))
      << OpenSSLErrorString();
  KVL_CHECK(BN_is_zero(rem.get()))
      << "Use DivAndTruncate() instead of Div() if you want truncated division.";
  return r;
}

BigNum BigNum::Exp(const BigNum& exponent) const {
  BigNum r(bn_ctx_);
  KVL_CHECK(1 == BN_exp(r.bn_.get(), bn_.get(), exponent.bn_.get(), bn_ctx_))
      << OpenSSLErrorString();
  return r;
}

BigNum BigNum::Mod(const BigNum& m) const {
  BigNum r(bn_ctx_);
  KVL_CHECK(1 == BN_nnmod(r.bn_.get(), bn_.get(), m.bn_.get(), bn_ctx_)) << OpenSSLErrorString();
  return r;
}

BigNum BigNum::ModExp(const BigNum& exponent, const BigNum& m) const {
  KVL_CHECK(exponent.IsNonNegative()) << "Cannot use a negative exponent in BigNum ModExp.";
  BigNum r(bn_ctx_);
  KVL_CHECK(1 == BN_mod_exp(r.bn_.get(), bn_.get(), exponent.bn_.get(), m.bn_.get(), bn_ctx_))
      << OpenSSLErrorString();
  return r;
}

BigNum BigNum::ModSqrt(const BigNum& m) const {
  BigNum r(bn_ctx_);
  KVL_CHECK(nullptr != BN_mod_sqrt(r.bn_.get(), bn_.get(), m.bn_.get(), bn_ctx_))
      << OpenSSLErrorString();
  return r;
}

BigNum BigNum::ModNegate(const BigNum& m) const {
  if (IsZero()) {
    bssl::UniquePtr<BIGNUM> copy(BN_dup(bn_.get()));
    KVL_CHECK(copy != nullptr) << OpenSSLErrorString();
    return BigNum(bn_ctx_, std::move(copy));
  }
  return m - Mod(m);
}

BigNum BigNum::operator<<(int n) const {
  BigNum r(bn_ctx_);
  KVL_CHECK(1 == BN_lshift(r.bn_.get(), bn_.get(), n)) << OpenSSLErrorString();
  return r;
}

BigNum BigNum::operator>>(int n) const {
  BigNum r(bn_ctx_);
  KVL_CHECK(1 == BN_rshift(r.bn_.get(), bn_.get(), n)) << OpenSSLErrorString();
  return r;
}

BigNum BigNum::Gcd(const BigNum& val) const {
  BigNum r(bn_ctx_);
  KVL_CHECK(1 == BN_gcd(r.bn_.get(), bn_.get(), val.bn_.get(), bn_ctx_)) << OpenSSLErrorString();
  return r;
}

}  // namespace blinders
