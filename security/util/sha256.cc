#include "security/util/sha256.h"

#include "base/casts.h"
#include "base/logging.h"

namespace security {

template <>
std::string SHA256Impl::CastTypeName() {
  // Spelled as the source spells the instantiation (the demangler's spelling differs between
  // compilers), for stable cast reports.
  return "security::OpenSSLHash<sha256_state_st, &SHA256_Init, &SHA256_Update, &SHA256_Final, "
         "64, 32, security::SHA256Name>";
}

SHA256::SHA256() : h_(new SHA256Impl()) {}

SHA256::~SHA256() { delete h_; }

void SHA256::Reset() { h_->Reset(); }

void SHA256::Update(const void* data, uint32_t length) { h_->Update(data, length); }

void SHA256::Update(const void* data, uint64_t length) { h_->Update(data, length); }

const uint8_t* SHA256::Digest() { return h_->Digest(); }

size_t SHA256::DigestSize() const { return h_->DigestSize(); }

std::string SHA256::DigestString() { return h_->DigestString(); }

const int* SHA256::DigestSizeAddress() const { return h_->DigestSizeAddress(); }

void SHA256::CopyFrom(const MerkleDamgaard& other) {
  const SHA256* source = base::down_cast<const SHA256*>(&other);
  h_->CopyFrom(*source->h_);
}

std::unique_ptr<MerkleDamgaard> SHA256::Clone() const {
  KVL_CHECK(!h_->finalized());
  auto copy = std::make_unique<SHA256>();
  copy->CopyFrom(*this);
  return copy;
}

std::string SHA256::Name() const { return h_->Name(); }

}  // namespace security
