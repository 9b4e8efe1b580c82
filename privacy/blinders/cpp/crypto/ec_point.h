#pragma once

#include <string>

#include "absl/status/statusor.h"
#include "privacy/blinders/cpp/crypto/big_num.h"
#include "privacy/blinders/cpp/crypto/openssl_init.h"

namespace blinders {

// One point of an elliptic-curve group, owning its EC_POINT. Borrows the group's EC_GROUP and
// the context's BN_CTX, which must outlive it. Not thread-safe.
class ECPoint {
 public:
  // A fresh point (the point at infinity until set).
  ECPoint(const EC_GROUP* group, BN_CTX* bn_ctx);
  // The point (x, y). Fatal when BoringSSL refuses the coordinates: callers with coordinates
  // from outside go through ECGroup::CreateECPoint(x, y), which checks them first.
  ECPoint(const EC_GROUP* group, BN_CTX* bn_ctx, const BigNum& x, const BigNum& y);
  // Adopts the point.
  ECPoint(const EC_GROUP* group, BN_CTX* bn_ctx, bssl::UniquePtr<EC_POINT> point);

  ECPoint(ECPoint&& other) = default;
  ECPoint& operator=(ECPoint&& other) = default;
  ECPoint(const ECPoint&) = delete;
  ECPoint& operator=(const ECPoint&) = delete;

  // Compressed encoding: 0x02 or 0x03 (parity of y) and x (33 bytes on P-256).
  absl::StatusOr<std::string> ToBytes() const;
  // scalar times this point.
  absl::StatusOr<ECPoint> Mul(const BigNum& scalar) const;

  // True when both are the same point of the same curve.
  bool CompareTo(const ECPoint& other) const;
  bool IsPointAtInfinity() const;
  // On the curve and not the point at infinity.
  bool IsValid() const;

  const EC_POINT* GetPoint() const { return point_.get(); }

 private:
  friend class ECGroup;  // hashes into a point it has just made

  BN_CTX* bn_ctx_;
  const EC_GROUP* group_;
  bssl::UniquePtr<EC_POINT> point_;
};

}  // namespace blinders
