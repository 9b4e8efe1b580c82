#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "absl/status/status.h"
#include "absl/status/statusor.h"
#include "privacy/blinders/cpp/crypto/openssl_init.h"

// Hashing to elliptic curves as RFC 9380 defines it, for the two random-oracle suites
// P256_XMD:SHA-256_SSWU_RO_ (curve 415, P-256) and P384_XMD:SHA-384_SSWU_RO_ (curve 715, P-384),
// written on BoringSSL's big-number and point functions (the packaged BoringSSL has no
// hash-to-curve of its own). Each stage is exposed so that it can be checked against the RFC's
// vectors. Not constant-time: the hashed messages are not secret keys.
namespace blinders::hash_to_curve {

// expand_message_xmd (RFC 9380 section 5.3.1) with the digest md. Fails when dst is longer
// than 255 bytes or len_in_bytes is out of range (0, more than 65535 or more than 255 digests).
absl::StatusOr<std::string> ExpandMessageXmd(const EVP_MD* md, std::string_view msg,
                                             std::string_view dst, size_t len_in_bytes);

// hash_to_field (section 5.2) for the suite of the group's curve: count elements of the base
// field, each from L uniform bytes (48 for P-256, 72 for P-384).
absl::StatusOr<std::vector<bssl::UniquePtr<BIGNUM>>> HashToField(const EC_GROUP* group,
                                                                 std::string_view msg,
                                                                 std::string_view dst, int count,
                                                                 BN_CTX* bn_ctx);

// The simplified SWU map (section 6.6.2) of one field element u onto the curve, with the
// suite's Z (-10 for P-256, -12 for P-384). Writes the point into out.
absl::Status MapToCurveSimpleSwu(const EC_GROUP* group, const BIGNUM* u, EC_POINT* out,
                                 BN_CTX* bn_ctx);

// hash_to_curve (section 3): two field elements, mapped and added (the cofactor is 1).
// Unsupported curves give invalid argument "Curve does not support HashToCurveSswuRo.".
absl::Status HashToCurve(const EC_GROUP* group, std::string_view msg, std::string_view dst,
                         EC_POINT* out, BN_CTX* bn_ctx);

}  // namespace blinders::hash_to_curve
