#pragma once

#include <string_view>

// The byte constants that client and server of the private-membership exchange must share.
// Nothing else in the system depends on their values. Each is the SHA-256 digest (for the IV
// its first 16 bytes) of a label, so they can be recomputed with any SHA-256 tool, e.g.
//   printf %s 'Kavrelin private membership: bucket id prefix' | sha256sum
// A test recomputes them from the labels.
namespace private_membership {

using namespace std::string_view_literals;

// Prepended to an identifier before hashing it into its bucket.
inline constexpr std::string_view kBucketIdLabel = "Kavrelin private membership: bucket id prefix";
inline constexpr std::string_view kBucketIdPrefix =
    "\x20\xb9\xd0\x57\x89\x88\x37\x19\xa1\xea\xad\xfc\xaa\x03\x0c\x14"
    "\xd9\x4c\xa9\xc0\xdd\xc5\xe2\x46\x2d\xe2\x69\x86\x13\x37\xa9\x88"sv;

// Prepended to an encrypted identifier before hashing it into the key under which the server
// stores it in a bucket.
inline constexpr std::string_view kEncryptedIdLabel =
    "Kavrelin private membership: encrypted id prefix";
inline constexpr std::string_view kEncryptedIdPrefix =
    "\xc3\x81\xcd\x65\x29\x51\xf5\x15\x3d\x32\xec\x91\x91\x07\xe6\x58"
    "\xa0\x7a\x72\xc4\xf4\xf0\x90\xc1\x01\x4f\x58\xe8\x11\xf3\xa0\x84"sv;

// Prepended to an encrypted identifier before hashing it into the AES-256 key of its value.
inline constexpr std::string_view kValueKeyLabel = "Kavrelin private membership: value key prefix";
inline constexpr std::string_view kValueKeyPrefix =
    "\xf7\x15\x0d\xbf\x88\xf0\xae\xb8\x56\x5f\x06\xe8\xcd\x9d\x56\x99"
    "\x59\x8c\x19\x73\x47\xa7\x39\xe5\x33\x59\xc0\x70\x67\x20\x85\x06"sv;

// The initial counter block of every encryption scheme 1 value (AesCtr256WithFixedIV).
inline constexpr std::string_view kFixedIvLabel = "Kavrelin private membership: fixed value IV";
inline constexpr std::string_view kFixedIv =
    "\x67\x91\xa8\xde\x5d\x12\xaf\xc6\x74\xe1\xb3\x27\x35\xa2\xe1\xe4"sv;

}  // namespace private_membership
