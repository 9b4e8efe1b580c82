#include "privacy/blinders/cpp/crypto/ec_group.h"

#include <utility>

#include <openssl/nid.h>

#include "absl/status/status.h"
#include "privacy/blinders/cpp/crypto/hash_to_curve.h"

namespace blinders {
namespace {

// Error probability of the field prime's primality test (67 Miller-Rabin rounds).
constexpr double kPrimeErrorProbability = 1e-40;

absl::StatusOr<BigNum> CreateOrder(const EC_GROUP* group, Context* context) {
  bssl::UniquePtr<BIGNUM> bn(BN_new());
  if (bn == nullptr) {
    return absl::InternalError("ECGroup::CreateOrder - Could not create BIGNUM. " +
                               OpenSSLErrorString());
  }
  if (EC_GROUP_get_order(group, bn.get(), context->GetBnCtx()) != 1) {
    return absl::InternalError("ECGroup::CreateOrder - Could not get order. " +
                               OpenSSLErrorString());
  }
  return context->CreateBigNum(std::move(bn));
}

absl::StatusOr<BigNum> CreateCofactor(const EC_GROUP* group, Context* context) {
  bssl::UniquePtr<BIGNUM> bn(BN_new());
  if (bn == nullptr) {
    return absl::InternalError("ECGroup::CreateCofactor - Could not create BIGNUM. " +
                               OpenSSLErrorString());
  }
  if (EC_GROUP_get_cofactor(group, bn.get(), context->GetBnCtx()) != 1) {
    return absl::InternalError("ECGroup::CreateCofactor - Could not get cofactor. " +
                               OpenSSLErrorString());
  }
  return context->CreateBigNum(std::move(bn));
}

struct CurveParams {
  BigNum p;
  BigNum a;
  BigNum b;
};

absl::StatusOr<CurveParams> CreateCurveParams(const EC_GROUP* group, Context* context) {
  bssl::UniquePtr<BIGNUM> p(BN_new());
  bssl::UniquePtr<BIGNUM> a(BN_new());
  bssl::UniquePtr<BIGNUM> b(BN_new());
  if (p == nullptr || a == nullptr || b == nullptr) {
    return absl::InternalError("ECGroup::CreateCurveParams - Could not create BIGNUM. " +
                               OpenSSLErrorString());
  }
  if (EC_GROUP_get_curve_GFp(group, p.get(), a.get(), b.get(), context->GetBnCtx()) != 1) {
    return absl::InternalError("ECGroup::CreateCurveParams - Could not get params. " +
                               OpenSSLErrorString());
  }
  BigNum p_bn = context->CreateBigNum(std::move(p));
  if (!p_bn.IsPrime(kPrimeErrorProbability)) {
    return absl::InternalError("ECGroup::CreateCurveParams - p is not prime. " +
                               OpenSSLErrorString());
  }
  return CurveParams{std::move(p_bn), context->CreateBigNum(std::move(a)),
                     context->CreateBigNum(std::move(b))};
}

}  // namespace

ECGroup::ECGroup(Context* context, bssl::UniquePtr<EC_GROUP> group, BigNum order, BigNum cofactor,
                 BigNum p, BigNum a, BigNum b)
    : context_(context),
      group_(std::move(group)),
      order_(std::move(order)),
      cofactor_(std::move(cofactor)),
      p_(std::move(p)),
      a_(std::move(a)),
      b_(std::move(b)),
      p_minus_one_over_two_((p_ - context->One()).Div(context->Two())) {}

absl::StatusOr<ECGroup> ECGroup::CreateGroup(int curve_id, Context* context) {
  bssl::UniquePtr<EC_GROUP> group(EC_GROUP_new_by_curve_name(curve_id));
  if (group == nullptr) {
    return absl::InvalidArgumentError("ECGroup::CreateGroup() - Could not create group. " +
                                      OpenSSLErrorString());
  }
  absl::StatusOr<BigNum> order = CreateOrder(group.get(), context);
  if (!order.ok()) return order.status();
  absl::StatusOr<BigNum> cofactor = CreateCofactor(group.get(), context);
  if (!cofactor.ok()) return cofactor.status();
  absl::StatusOr<CurveParams> params = CreateCurveParams(group.get(), context);
  if (!params.ok()) return params.status();
  return ECGroup(context, std::move(group), std::move(*order), std::move(*cofactor),
                 std::move(params->p), std::move(params->a), std::move(params->b));
}

int ECGroup::GetCurveId() const { return EC_GROUP_get_curve_name(group_.get()); }

BigNum ECGroup::GeneratePrivateKey() const {
  return context_->RandomBetween(context_->One(), order_);
}

absl::StatusOr<ECPoint> ECGroup::CreateECPoint(const BigNum& x, const BigNum& y) const {
  // BoringSSL refuses coordinates that are out of range or off the curve; asking it here, on a
  // point of our own, turns that refusal into a status instead of the fatal check of the
  // ECPoint coordinate constructor.
  bssl::UniquePtr<EC_POINT> point(EC_POINT_new(group_.get()));
  if (point == nullptr ||
      EC_POINT_set_affine_coordinates_GFp(group_.get(), point.get(), x.GetConstBignumPtr(),
                                          y.GetConstBignumPtr(), context_->GetBnCtx()) != 1) {
    ERR_clear_error();
    return absl::InvalidArgumentError("ECGroup::CreateECPoint(x,y) - The point is not valid.");
  }
  ECPoint result(group_.get(), context_->GetBnCtx(), std::move(point));
  if (!result.IsValid()) {
    ERR_clear_error();
    return absl::InvalidArgumentError("ECGroup::CreateECPoint(x,y) - The point is not valid.");
  }
  return result;
}

absl::StatusOr<ECPoint> ECGroup::CreateECPoint(std::string_view bytes) const {
  bssl::UniquePtr<EC_POINT> point(EC_POINT_new(group_.get()));
  if (point == nullptr) {
    return absl::InternalError("ECGroup::CreateECPoint: Failed to create point.");
  }
  if (EC_POINT_oct2point(group_.get(), point.get(), reinterpret_cast<const uint8_t*>(bytes.data()),
                         bytes.size(), context_->GetBnCtx()) != 1) {
    return absl::InvalidArgumentError("ECGroup::CreateECPoint(string) - Could not decode point.\n" +
                                      OpenSSLErrorString());
  }
  ECPoint result(group_.get(), context_->GetBnCtx(), std::move(point));
  if (!result.IsValid()) {
    ERR_clear_error();
    return absl::InvalidArgumentError(
        "ECGroup::CreateECPoint(string) - Decoded point is not valid.");
  }
  return result;
}

absl::StatusOr<ECPoint> ECGroup::GetPointAtInfinity() const {
  bssl::UniquePtr<EC_POINT> point(EC_POINT_new(group_.get()));
  if (point == nullptr) {
    return absl::InternalError("ECGroup::GetPointAtInfinity() - Could not create new point.");
  }
  if (EC_POINT_set_to_infinity(group_.get(), point.get()) != 1) {
    return absl::InternalError("ECGroup::GetPointAtInfinity() - Could not get point at infinity.");
  }
  return ECPoint(group_.get(), context_->GetBnCtx(), std::move(point));
}

absl::StatusOr<ECPoint> ECGroup::GetPointByHashingToCurveInternal(const BigNum& x_in) const {
  BigNum x = x_in.Mod(p_);
  BigNum y2 = (x.Exp(context_->Three()) + a_ * x + b_).Mod(p_);
  if (!y2.ModExp(p_minus_one_over_two_, p_).IsOne()) {
    return absl::InternalError("Could not hash x to the curve.");
  }
  BigNum y = y2.ModSqrt(p_);
  if (y.IsBitSet(0)) {
    y = y.ModNegate(p_);
  }
  return CreateECPoint(x, y);
}

absl::StatusOr<ECPoint> ECGroup::HashToCurveTryAndIncrement(std::string_view m,
                                                            RandomOracleFn oracle) const {
  // Each failed candidate is hashed again from its own bytes; about half of all x coordinates
  // lie on the curve, so this ends after a couple of attempts.
  BigNum x = (context_->*oracle)(m, p_);
  while (true) {
    absl::StatusOr<ECPoint> point = GetPointByHashingToCurveInternal(x);
    if (point.ok()) return point;
    x = (context_->*oracle)(x.ToBytes(), p_);
  }
}

absl::StatusOr<ECPoint> ECGroup::HashToCurveSha256(std::string_view m) const {
  return HashToCurveTryAndIncrement(m, &Context::RandomOracleSha256);
}

absl::StatusOr<ECPoint> ECGroup::HashToCurveSha384(std::string_view m) const {
  return HashToCurveTryAndIncrement(m, &Context::RandomOracleSha384);
}

absl::StatusOr<ECPoint> ECGroup::HashToCurveSha512(std::string_view m) const {
  return HashToCurveTryAndIncrement(m, &Context::RandomOracleSha512);
}

absl::StatusOr<ECPoint> ECGroup::HashToCurveSswuRo(std::string_view m, std::string_view dst) const {
  absl::StatusOr<ECPoint> point = GetPointAtInfinity();
  if (!point.ok()) return point.status();
  const int curve_id = GetCurveId();
  if (curve_id != NID_X9_62_prime256v1 && curve_id != NID_secp384r1) {
    return absl::InvalidArgumentError("Curve does not support HashToCurveSswuRo.");
  }
  absl::Status status =
      hash_to_curve::HashToCurve(group_.get(), m, dst, point->point_.get(), context_->GetBnCtx());
  if (!status.ok()) return absl::InternalError(status.message());
  return point;
}

}  // namespace blinders
