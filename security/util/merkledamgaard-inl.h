#pragma once

#include <openssl/is_boringssl.h>

#include <openssl/mem.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "base/casts.h"
#include "base/logging.h"
#include "security/util/merkledamgaard.h"

namespace security {

// A MerkleDamgaard hash over BoringSSL's Init/Update/Final functions for one digest.
template <typename State, int (*Init)(State*), int (*UpdateFn)(State*, const void*, size_t),
          int (*Final)(uint8_t*, State*), int kBlockSize, int kDigestSize, const char* kName>
class OpenSSLHash : public MerkleDamgaard {
 public:
  using MerkleDamgaard::Update;

  OpenSSLHash() {
    Init(&state_);
    std::memset(digest_, 0, sizeof(digest_));
  }
  // The hash state and the digest are wiped before the memory is released.
  ~OpenSSLHash() override {
    OPENSSL_cleanse(&state_, sizeof(state_));
    OPENSSL_cleanse(digest_, sizeof(digest_));
  }
  OpenSSLHash(const OpenSSLHash&) = delete;
  OpenSSLHash& operator=(const OpenSSLHash&) = delete;

  void Reset() override {
    Init(&state_);
    finalized_ = false;
  }

  void Update(const void* data, uint32_t length) override {
    if (finalized_) {
      base::LogMessage(base::NormalizeSeverity(MerkleDamgaardUpdateAfterDigestSeverity()), __FILE__,
                       __LINE__,
                       "Calling Update on a MerkleDamgaard hash function after finalization (a "
                       "call to Digest) is undefined.");
      KVL_CHECK(!finalized_)
          << "This behavior is unsupported except for potential legacy implementations.";
    }
    UpdateFn(&state_, data, length);
  }

  void Update(const void* data, uint64_t length) override {
    // Pieces of at most 2^30 bytes, so the 32-bit length never overflows.
    constexpr uint64_t kMaxPiece = uint64_t{1} << 30;
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (length > kMaxPiece) {
      Update(static_cast<const void*>(bytes), static_cast<uint32_t>(kMaxPiece));
      bytes += kMaxPiece;
      length -= kMaxPiece;
    }
    Update(static_cast<const void*>(bytes), static_cast<uint32_t>(length));
  }

  const uint8_t* Digest() override {
    if (!finalized_) {
      Final(digest_, &state_);
      finalized_ = true;
    }
    return digest_;
  }

  size_t DigestSize() const override { return kDigestSize; }

  std::string DigestString() override {
    return std::string(reinterpret_cast<const char*>(Digest()), kDigestSize);
  }

  const int* DigestSizeAddress() const override {
    static const int* const size = new int(kDigestSize);  // made once, thread-safe
    return size;
  }

  void CopyFrom(const MerkleDamgaard& other) override {
    const OpenSSLHash* source = base::down_cast<const OpenSSLHash*>(&other);
    if (source == this) return;
    std::memcpy(&state_, &source->state_, sizeof(state_));
    std::memcpy(digest_, source->digest_, sizeof(digest_));
    finalized_ = source->finalized_;
  }

  std::unique_ptr<MerkleDamgaard> Clone() const override {
    auto copy = std::make_unique<OpenSSLHash>();
    std::memcpy(&copy->state_, &state_, sizeof(state_));
    return copy;
  }

  std::string Name() const override { return kName; }

  bool finalized() const { return finalized_; }
  static constexpr int kBlockSizeBytes = kBlockSize;

  // The name cast reports give this class (see base::CastTypeNameOf).
  static std::string CastTypeName();

 private:
  State state_;
  uint8_t digest_[kDigestSize];
  bool finalized_ = false;
};

}  // namespace security
