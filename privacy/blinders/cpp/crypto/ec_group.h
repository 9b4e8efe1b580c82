#pragma once

#include <string>
#include <string_view>

#include "absl/status/statusor.h"
#include "privacy/blinders/cpp/crypto/big_num.h"
#include "privacy/blinders/cpp/crypto/context.h"
#include "privacy/blinders/cpp/crypto/ec_point.h"
#include "privacy/blinders/cpp/crypto/openssl_init.h"

namespace blinders {

// A prime-field elliptic curve chosen by its BoringSSL curve identifier, with its order,
// cofactor and curve parameters. It makes points from coordinates, from bytes, the point at
// infinity, and by hashing messages onto the curve. The Context must outlive the group and every
// point made from it. Not thread-safe.
class ECGroup {
 public:
  // The curve with the given identifier (415 P-256, 715 P-384, ...).
  static absl::StatusOr<ECGroup> CreateGroup(int curve_id, Context* context);

  ECGroup(ECGroup&& other) = default;
  ECGroup& operator=(ECGroup&& other) = default;
  ECGroup(const ECGroup&) = delete;
  ECGroup& operator=(const ECGroup&) = delete;

  // Uniform in [1, order).
  BigNum GeneratePrivateKey() const;
  // The point (x, y); invalid argument when it is off the curve, out of range or infinity.
  absl::StatusOr<ECPoint> CreateECPoint(const BigNum& x, const BigNum& y) const;
  // The point of any octet encoding BoringSSL reads; invalid argument for bytes that are no
  // point of this curve, the point at infinity included. Safe for untrusted bytes.
  absl::StatusOr<ECPoint> CreateECPoint(std::string_view bytes) const;
  absl::StatusOr<ECPoint> GetPointAtInfinity() const;
  // Try-and-increment over the context's random oracle; the y coordinate is always even.
  absl::StatusOr<ECPoint> HashToCurveSha256(std::string_view m) const;
  absl::StatusOr<ECPoint> HashToCurveSha384(std::string_view m) const;
  absl::StatusOr<ECPoint> HashToCurveSha512(std::string_view m) const;
  // RFC 9380: P256_XMD:SHA-256_SSWU_RO_ on curve 415, P384_XMD:SHA-384_SSWU_RO_ on curve 715.
  absl::StatusOr<ECPoint> HashToCurveSswuRo(std::string_view m, std::string_view dst) const;

  const BigNum& GetOrder() const { return order_; }
  const BigNum& GetCofactor() const { return cofactor_; }
  const BigNum& GetP() const { return p_; }
  const BigNum& GetA() const { return a_; }
  const BigNum& GetB() const { return b_; }
  const BigNum& GetPMinusOneOverTwo() const { return p_minus_one_over_two_; }
  int GetCurveId() const;
  const EC_GROUP* GetECGroup() const { return group_.get(); }

 private:
  friend class ECGroupTestPeer;  // reaches the single hashing attempt

  ECGroup(Context* context, bssl::UniquePtr<EC_GROUP> group, BigNum order, BigNum cofactor,
          BigNum p, BigNum a, BigNum b);

  // One try-and-increment attempt: the point with x coordinate x mod p and the even root y.
  absl::StatusOr<ECPoint> GetPointByHashingToCurveInternal(const BigNum& x) const;
  // Try-and-increment over one of the context's random oracles (called through the context's
  // virtual table, so that an overriding context is honoured).
  using RandomOracleFn = BigNum (Context::*)(std::string_view, const BigNum&);
  absl::StatusOr<ECPoint> HashToCurveTryAndIncrement(std::string_view m,
                                                     RandomOracleFn oracle) const;

  Context* context_;
  bssl::UniquePtr<EC_GROUP> group_;
  BigNum order_;
  BigNum cofactor_;
  BigNum p_;
  BigNum a_;
  BigNum b_;
  BigNum p_minus_one_over_two_;
};

}  // namespace blinders
