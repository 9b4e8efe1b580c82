#include "privacy/blinders/cpp/crypto/ec_point.h"

#include <utility>

#include "absl/status/status.h"
#include "base/logging.h"

namespace blinders {

ECPoint::ECPoint(const EC_GROUP* group, BN_CTX* bn_ctx)
    : bn_ctx_(bn_ctx), group_(group), point_(EC_POINT_new(group)) {
  KVL_CHECK(point_ != nullptr) << OpenSSLErrorString();
}

ECPoint::ECPoint(const EC_GROUP* group, BN_CTX* bn_ctx, const BigNum& x, const BigNum& y)
    : ECPoint(group, bn_ctx) {
  // clang-format off
  KVL_CHECK(1 == EC_POINT_set_affine_coordinates_GFp(
      group_, point_.get(), x.GetConstBignumPtr(), y.GetConstBignumPtr(), bn_ctx_))
      << OpenSSLErrorString();
  // clang-format on
}

ECPoint::ECPoint(const EC_GROUP* group, BN_CTX* bn_ctx, bssl::UniquePtr<EC_POINT> point)
    : bn_ctx_(bn_ctx), group_(group), point_(std::move(point)) {}

absl::StatusOr<std::string> ECPoint::ToBytes() const {
  // Asking BoringSSL for the length first costs as much as the encoding itself (both bring the
  // point to affine coordinates, a field inversion): encode once into a buffer that fits the
  // compressed form of every curve it offers, 1 + 66 bytes on P-521 (33 on P-256, 49 on P-384).
  uint8_t buffer[67];
  size_t length = EC_POINT_point2oct(group_, point_.get(), POINT_CONVERSION_COMPRESSED, buffer,
                                     sizeof(buffer), bn_ctx_);
  if (length == 0) {
    return absl::InternalError("EC_POINT_point2oct failed:" + OpenSSLErrorString());
  }
  return std::string(reinterpret_cast<const char*>(buffer), length);
}

absl::StatusOr<ECPoint> ECPoint::Mul(const BigNum& scalar) const {
  ECPoint r(group_, bn_ctx_);
  if (EC_POINT_mul(group_, r.point_.get(), nullptr, point_.get(), scalar.GetConstBignumPtr(),
                   bn_ctx_) != 1) {
    return absl::InternalError("EC_POINT_mul failed:" + OpenSSLErrorString());
  }
  return r;
}

bool ECPoint::CompareTo(const ECPoint& other) const {
  return EC_POINT_cmp(group_, point_.get(), other.point_.get(), bn_ctx_) == 0;
}

bool ECPoint::IsPointAtInfinity() const {
  return EC_POINT_is_at_infinity(group_, point_.get()) == 1;
}

bool ECPoint::IsValid() const {
  return EC_POINT_is_on_curve(group_, point_.get(), bn_ctx_) == 1 && !IsPointAtInfinity();
}

}  // namespace blinders
