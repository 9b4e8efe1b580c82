#include "privacy/blinders/cpp/crypto/hash_to_curve.h"

#include <openssl/nid.h>

#include <utility>

namespace blinders::hash_to_curve {
namespace {

// The parameters of one suite.
struct Suite {
  const EVP_MD* md;
  size_t field_element_length;  // L = ceil((ceil(log2(p)) + k) / 8)
  unsigned z_magnitude;         // Z = -z_magnitude
};

absl::StatusOr<Suite> SuiteFor(const EC_GROUP* group) {
  switch (EC_GROUP_get_curve_name(group)) {
    case NID_X9_62_prime256v1:  // P256_XMD:SHA-256_SSWU_RO_: k = 128, L = 48, Z = -10.
      return Suite{EVP_sha256(), 48, 10};
    case NID_secp384r1:  // P384_XMD:SHA-384_SSWU_RO_: k = 192, L = 72, Z = -12.
      return Suite{EVP_sha384(), 72, 12};
    default:
      return absl::InvalidArgumentError("Curve does not support HashToCurveSswuRo.");
  }
}

absl::Status LibraryError() { return absl::InternalError(OpenSSLErrorString()); }

bssl::UniquePtr<BIGNUM> NewBignum() { return bssl::UniquePtr<BIGNUM>(BN_new()); }

// The curve y^2 = x^3 + a*x + b over the prime field p, with the suite's Z as a field element.
struct CurveParams {
  bssl::UniquePtr<BIGNUM> p = NewBignum();
  bssl::UniquePtr<BIGNUM> a = NewBignum();
  bssl::UniquePtr<BIGNUM> b = NewBignum();
  bssl::UniquePtr<BIGNUM> z = NewBignum();
  bssl::UniquePtr<BIGNUM> p_minus_one_over_two = NewBignum();
};

absl::StatusOr<CurveParams> ParamsFor(const EC_GROUP* group, const Suite& suite, BN_CTX* bn_ctx) {
  CurveParams params;
  if (!params.p || !params.a || !params.b || !params.z || !params.p_minus_one_over_two ||
      EC_GROUP_get_curve_GFp(group, params.p.get(), params.a.get(), params.b.get(), bn_ctx) != 1 ||
      BN_copy(params.z.get(), params.p.get()) == nullptr ||
      BN_sub_word(params.z.get(), suite.z_magnitude) != 1 ||
      BN_rshift1(params.p_minus_one_over_two.get(), params.p.get()) != 1) {
    return LibraryError();
  }
  return params;
}

// x^3 + a*x + b mod p.
bool CurveEquation(BIGNUM* out, const BIGNUM* x, const CurveParams& c, BN_CTX* bn_ctx) {
  bssl::UniquePtr<BIGNUM> t(BN_new());
  return t && BN_mod_sqr(t.get(), x, c.p.get(), bn_ctx) == 1 &&
         BN_mod_add(t.get(), t.get(), c.a.get(), c.p.get(), bn_ctx) == 1 &&
         BN_mod_mul(t.get(), t.get(), x, c.p.get(), bn_ctx) == 1 &&
         BN_mod_add(out, t.get(), c.b.get(), c.p.get(), bn_ctx) == 1;
}

// Euler's criterion; 0 counts as a square, as in the RFC's is_square.
absl::StatusOr<bool> IsSquare(const BIGNUM* v, const CurveParams& c, BN_CTX* bn_ctx) {
  bssl::UniquePtr<BIGNUM> t(BN_new());
  if (!t || BN_mod_exp(t.get(), v, c.p_minus_one_over_two.get(), c.p.get(), bn_ctx) != 1) {
    return LibraryError();
  }
  return BN_is_zero(t.get()) || BN_is_one(t.get());
}

}  // namespace

absl::StatusOr<std::string> ExpandMessageXmd(const EVP_MD* md, std::string_view msg,
                                             std::string_view dst, size_t len_in_bytes) {
  const size_t b_in_bytes = EVP_MD_size(md);
  const size_t s_in_bytes = EVP_MD_block_size(md);
  if (dst.size() > 255) {
    return absl::InternalError("expand_message_xmd: the domain separation tag is too long.");
  }
  const size_t ell = (len_in_bytes + b_in_bytes - 1) / b_in_bytes;
  if (len_in_bytes == 0 || ell > 255 || len_in_bytes > 65535) {
    return absl::InternalError("expand_message_xmd: the requested length is out of range.");
  }
  std::string dst_prime(dst);
  dst_prime.push_back(static_cast<char>(dst.size()));

  std::string msg_prime(s_in_bytes, '\0');  // Z_pad
  msg_prime.append(msg);
  msg_prime.push_back(static_cast<char>(len_in_bytes >> 8));
  msg_prime.push_back(static_cast<char>(len_in_bytes & 0xff));
  msg_prime.push_back('\0');
  msg_prime.append(dst_prime);

  auto digest = [md](const std::string& input, std::string* out) {
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int hash_length = 0;
    if (EVP_Digest(input.data(), input.size(), hash, &hash_length, md, nullptr) != 1) {
      return false;
    }
    out->assign(reinterpret_cast<const char*>(hash), hash_length);
    return true;
  };

  std::string b_0;
  if (!digest(msg_prime, &b_0)) return LibraryError();
  std::string uniform_bytes;
  std::string b_previous;
  for (size_t i = 1; i <= ell; ++i) {
    std::string input;
    if (i == 1) {
      input = b_0;
    } else {
      input.resize(b_in_bytes);
      for (size_t j = 0; j < b_in_bytes; ++j) input[j] = static_cast<char>(b_0[j] ^ b_previous[j]);
    }
    input.push_back(static_cast<char>(i));
    input.append(dst_prime);
    if (!digest(input, &b_previous)) return LibraryError();
    uniform_bytes.append(b_previous);
  }
  uniform_bytes.resize(len_in_bytes);
  return uniform_bytes;
}

namespace {

// hash_to_field (section 5.2) with the suite and curve already read.
absl::StatusOr<std::vector<bssl::UniquePtr<BIGNUM>>> HashToFieldWith(const Suite& suite,
                                                                     const CurveParams& c,
                                                                     std::string_view msg,
                                                                     std::string_view dst,
                                                                     int count, BN_CTX* bn_ctx) {
  if (count < 1) return absl::InternalError("hash_to_field: count must be positive.");
  const size_t length = suite.field_element_length;
  absl::StatusOr<std::string> uniform_bytes =
      ExpandMessageXmd(suite.md, msg, dst, static_cast<size_t>(count) * length);
  if (!uniform_bytes.ok()) return uniform_bytes.status();

  std::vector<bssl::UniquePtr<BIGNUM>> elements;
  for (int i = 0; i < count; ++i) {
    bssl::UniquePtr<BIGNUM> e(BN_bin2bn(
        reinterpret_cast<const uint8_t*>(uniform_bytes->data()) + i * length, length, nullptr));
    if (!e || BN_nnmod(e.get(), e.get(), c.p.get(), bn_ctx) != 1) return LibraryError();
    elements.push_back(std::move(e));
  }
  return elements;
}

// map_to_curve_simple_swu (section 6.6.2) with the curve already read.
absl::Status MapToCurveWith(const EC_GROUP* group, const CurveParams& c, const BIGNUM* u,
                            EC_POINT* out, BN_CTX* bn_ctx) {
  const BIGNUM* p = c.p.get();

  bssl::UniquePtr<BIGNUM> z_u2 = NewBignum(), tv1 = NewBignum(), x1 = NewBignum(),
                          gx1 = NewBignum(), x2 = NewBignum(), gx2 = NewBignum(), y = NewBignum(),
                          t = NewBignum(), u_reduced = NewBignum();
  if (!z_u2 || !tv1 || !x1 || !gx1 || !x2 || !gx2 || !y || !t || !u_reduced) {
    return LibraryError();
  }
  // sgn0 below needs the canonical representative of u.
  if (BN_nnmod(u_reduced.get(), u, p, bn_ctx) != 1) return LibraryError();
  u = u_reduced.get();

  // tv1 = Z^2 * u^4 + Z * u^2
  if (BN_mod_sqr(z_u2.get(), u, p, bn_ctx) != 1 ||
      BN_mod_mul(z_u2.get(), z_u2.get(), c.z.get(), p, bn_ctx) != 1 ||
      BN_mod_sqr(tv1.get(), z_u2.get(), p, bn_ctx) != 1 ||
      BN_mod_add(tv1.get(), tv1.get(), z_u2.get(), p, bn_ctx) != 1) {
    return LibraryError();
  }
  if (BN_is_zero(tv1.get())) {
    // x1 = B / (Z * A)
    if (BN_mod_mul(t.get(), c.z.get(), c.a.get(), p, bn_ctx) != 1 ||
        BN_mod_inverse(t.get(), t.get(), p, bn_ctx) == nullptr ||
        BN_mod_mul(x1.get(), c.b.get(), t.get(), p, bn_ctx) != 1) {
      return LibraryError();
    }
  } else {
    // x1 = (-B / A) * (1 + 1 / tv1)
    if (BN_mod_inverse(tv1.get(), tv1.get(), p, bn_ctx) == nullptr ||
        BN_add_word(tv1.get(), 1) != 1 || BN_nnmod(tv1.get(), tv1.get(), p, bn_ctx) != 1 ||
        BN_mod_inverse(t.get(), c.a.get(), p, bn_ctx) == nullptr ||
        BN_mod_mul(t.get(), t.get(), c.b.get(), p, bn_ctx) != 1 ||
        BN_mod_sub(t.get(), p, t.get(), p, bn_ctx) != 1 ||
        BN_mod_mul(x1.get(), t.get(), tv1.get(), p, bn_ctx) != 1) {
      return LibraryError();
    }
  }
  if (!CurveEquation(gx1.get(), x1.get(), c, bn_ctx)) return LibraryError();
  absl::StatusOr<bool> gx1_is_square = IsSquare(gx1.get(), c, bn_ctx);
  if (!gx1_is_square.ok()) return gx1_is_square.status();

  const BIGNUM* x = x1.get();
  const BIGNUM* gx = gx1.get();
  if (!*gx1_is_square) {
    // x2 = Z * u^2 * x1; gx2 is then a square (RFC 9380 section 6.6.2).
    if (BN_mod_mul(x2.get(), z_u2.get(), x1.get(), p, bn_ctx) != 1 ||
        !CurveEquation(gx2.get(), x2.get(), c, bn_ctx)) {
      return LibraryError();
    }
    x = x2.get();
    gx = gx2.get();
  }
  if (BN_mod_sqrt(y.get(), gx, p, bn_ctx) == nullptr) return LibraryError();
  // sgn0 over a prime field is the parity of the canonical representative.
  if (BN_is_odd(u) != BN_is_odd(y.get()) && !BN_is_zero(y.get())) {
    if (BN_sub(y.get(), p, y.get()) != 1) return LibraryError();
  }
  if (EC_POINT_set_affine_coordinates_GFp(group, out, x, y.get(), bn_ctx) != 1) {
    return LibraryError();
  }
  return absl::OkStatus();
}

}  // namespace

absl::StatusOr<std::vector<bssl::UniquePtr<BIGNUM>>> HashToField(const EC_GROUP* group,
                                                                 std::string_view msg,
                                                                 std::string_view dst, int count,
                                                                 BN_CTX* bn_ctx) {
  absl::StatusOr<Suite> suite = SuiteFor(group);
  if (!suite.ok()) return suite.status();
  absl::StatusOr<CurveParams> params = ParamsFor(group, *suite, bn_ctx);
  if (!params.ok()) return params.status();
  return HashToFieldWith(*suite, *params, msg, dst, count, bn_ctx);
}

absl::Status MapToCurveSimpleSwu(const EC_GROUP* group, const BIGNUM* u, EC_POINT* out,
                                 BN_CTX* bn_ctx) {
  absl::StatusOr<Suite> suite = SuiteFor(group);
  if (!suite.ok()) return suite.status();
  absl::StatusOr<CurveParams> params = ParamsFor(group, *suite, bn_ctx);
  if (!params.ok()) return params.status();
  return MapToCurveWith(group, *params, u, out, bn_ctx);
}

absl::Status HashToCurve(const EC_GROUP* group, std::string_view msg, std::string_view dst,
                         EC_POINT* out, BN_CTX* bn_ctx) {
  // The suite and the curve are read once for all three stages.
  absl::StatusOr<Suite> suite = SuiteFor(group);
  if (!suite.ok()) return suite.status();
  absl::StatusOr<CurveParams> params = ParamsFor(group, *suite, bn_ctx);
  if (!params.ok()) return params.status();
  absl::StatusOr<std::vector<bssl::UniquePtr<BIGNUM>>> u =
      HashToFieldWith(*suite, *params, msg, dst, 2, bn_ctx);
  if (!u.ok()) return u.status();
  bssl::UniquePtr<EC_POINT> q0(EC_POINT_new(group));
  bssl::UniquePtr<EC_POINT> q1(EC_POINT_new(group));
  if (!q0 || !q1) return LibraryError();
  if (absl::Status s = MapToCurveWith(group, *params, (*u)[0].get(), q0.get(), bn_ctx); !s.ok()) {
    return s;
  }
  if (absl::Status s = MapToCurveWith(group, *params, (*u)[1].get(), q1.get(), bn_ctx); !s.ok()) {
    return s;
  }
  // Both suites' curves have cofactor 1, so clear_cofactor is the identity.
  if (EC_POINT_add(group, out, q0.get(), q1.get(), bn_ctx) != 1) return LibraryError();
  return absl::OkStatus();
}

}  // namespace blinders::hash_to_curve
