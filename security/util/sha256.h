#pragma once

#include <openssl/is_boringssl.h>

#include <openssl/sha.h>

#include <cstdint>
#include <memory>
#include <string>

#include "security/util/merkledamgaard-inl.h"
#include "security/util/merkledamgaard.h"

namespace security {

inline constexpr char SHA256Name[] = "SHA256";

using SHA256Impl =
    OpenSSLHash<sha256_state_st, &SHA256_Init, &SHA256_Update, &SHA256_Final, 64, 32, SHA256Name>;

template <>
std::string SHA256Impl::CastTypeName();

// Incremental SHA-256 (block 64 bytes, digest 32 bytes): a front over SHA256Impl, to which
// every operation is forwarded. One thread at a time uses an object.
class SHA256 : public MerkleDamgaard {
 public:
  using MerkleDamgaard::Update;

  SHA256();
  ~SHA256() override;
  SHA256(const SHA256&) = delete;
  SHA256& operator=(const SHA256&) = delete;

  void Reset() override;
  void Update(const void* data, uint32_t length) override;
  void Update(const void* data, uint64_t length) override;
  const uint8_t* Digest() override;
  size_t DigestSize() const override;
  std::string DigestString() override;
  const int* DigestSizeAddress() const override;
  // other must be a SHA256; anything else stops the program.
  void CopyFrom(const MerkleDamgaard& other) override;
  // Only while accumulating; cloning a finalised hasher stops the program.
  std::unique_ptr<MerkleDamgaard> Clone() const override;
  std::string Name() const override;

 private:
  SHA256Impl* h_;
};

}  // namespace security
