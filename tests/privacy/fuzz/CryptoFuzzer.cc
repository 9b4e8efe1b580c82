// Feeds arbitrary bytes to everything that parses bytes from the other side of the
// private-membership exchange. What must hold for any input: no crash, no sanitizer report, and
// every accepted point is a valid point whose encoding reads back to the same point.

#include <openssl/nid.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "privacy/blinders/cpp/crypto/context.h"
#include "privacy/blinders/cpp/crypto/ec_group.h"
#include "privacy/blinders/cpp/public/ec_commutative_cipher.h"
#include "privacy/private_membership/common/crypto_utils.h"

namespace {

struct State {
  blinders::Context context;
  std::unique_ptr<blinders::ECGroup> p256;
  std::unique_ptr<blinders::ECGroup> p384;
  std::unique_ptr<blinders::ECCommutativeCipher> cipher;

  State() {
    p256 = std::make_unique<blinders::ECGroup>(
        std::move(*blinders::ECGroup::CreateGroup(NID_X9_62_prime256v1, &context)));
    p384 = std::make_unique<blinders::ECGroup>(
        std::move(*blinders::ECGroup::CreateGroup(NID_secp384r1, &context)));
    cipher =
        std::move(*blinders::ECCommutativeCipher::CreateWithRandomKey(NID_X9_62_prime256v1, 0));
  }
};

void Require(bool condition) {
  if (!condition) std::abort();
}

void CheckPoint(const blinders::ECGroup& group, std::string_view bytes) {
  auto point = group.CreateECPoint(bytes);
  if (!point.ok()) {
    Require(point.status().code() == absl::StatusCode::kInvalidArgument);
    return;
  }
  Require(point->IsValid());
  auto encoded = point->ToBytes();
  Require(encoded.ok());
  auto again = group.CreateECPoint(*encoded);
  Require(again.ok() && again->CompareTo(*point));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static State* state = new State();
  if (size == 0) return 0;
  const uint8_t selector = data[0];
  std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

  switch (selector % 6) {
    case 0:
      CheckPoint(*state->p256, bytes);
      break;
    case 1:
      CheckPoint(*state->p384, bytes);
      break;
    case 2: {
      auto decrypted = state->cipher->Decrypt(bytes);
      if (decrypted.ok()) {
        // Adding the layer back gives the canonical encoding of the input point.
        auto reencrypted = state->cipher->ReEncrypt(*decrypted);
        auto canonical = state->p256->CreateECPoint(bytes);
        Require(reencrypted.ok() && canonical.ok());
        Require(*reencrypted == *canonical->ToBytes());
      } else {
        Require(decrypted.status().code() == absl::StatusCode::kInvalidArgument);
      }
      break;
    }
    case 3: {
      // A 32-byte key and the scheme from the input, the rest as the encrypted value.
      if (bytes.size() < 33) break;
      const int scheme = static_cast<uint8_t>(bytes[0]) % 4;
      auto value =
          private_membership::DecryptValueWithKey(bytes.substr(1, 32), bytes.substr(33), scheme);
      if (value.ok()) Require(value->size() <= bytes.size());
      break;
    }
    case 4: {
      auto value = private_membership::ExtractLengthPrefixedBytes(bytes);
      if (value.ok()) Require(value->size() + 4 <= bytes.size());
      break;
    }
    case 5: {
      if (bytes.size() < 4) break;
      int32_t n = 0;
      for (int i = 0; i < 4; ++i)
        n = static_cast<int32_t>((static_cast<uint32_t>(n) << 8) | static_cast<uint8_t>(bytes[i]));
      auto truncated = private_membership::TruncateBits(bytes.substr(4), n);
      if (truncated.ok()) Require(truncated->size() <= bytes.size() - 4);
      auto bin = private_membership::ComputeBinIndex(bytes.substr(4), n);
      if (bin.ok()) Require(bin->size() <= bytes.size() - 4);
      break;
    }
  }
  return 0;
}
