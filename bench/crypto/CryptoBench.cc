// ECCommutativeCipher::Encrypt and Decrypt on P-256 with hash type 0, against the same
// operations written directly on BoringSSL (the anchor: what the work costs without the
// BigNum/ECGroup/ECPoint layer). Prints the layer/direct ratios of the median times last.

#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/is_boringssl.h>
#include <openssl/nid.h>
#include <openssl/sha.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/MedianRatios.h"
#include "privacy/blinders/cpp/crypto/context.h"
#include "privacy/blinders/cpp/crypto/ec_group.h"
#include "privacy/blinders/cpp/public/ec_commutative_cipher.h"

namespace {

constexpr int kMessages = 64;

std::vector<std::string> Messages() {
  std::vector<std::string> messages;
  for (int i = 0; i < kMessages; ++i)
    messages.push_back("user" + std::to_string(i) + "@example.com");
  return messages;
}

// Try-and-increment hashing and the cipher's two operations on raw BoringSSL calls, with every
// temporary made once.
class DirectCipher {
 public:
  DirectCipher() : ctx_(BN_CTX_new()), group_(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1)) {
    for (auto* bn : {&p_, &a_, &b_, &order_, &key_, &key_inverse_, &exponent_, &x_, &y_, &y2_, &t_,
                     &r_, &h_}) {
      bn->reset(BN_new());
    }
    EC_GROUP_get_curve_GFp(group_.get(), p_.get(), a_.get(), b_.get(), ctx_.get());
    EC_GROUP_get_order(group_.get(), order_.get(), ctx_.get());
    BN_rand_range_ex(key_.get(), 1, order_.get());
    BN_mod_inverse(key_inverse_.get(), key_.get(), order_.get(), ctx_.get());
    BN_rshift1(exponent_.get(), p_.get());  // (p - 1) / 2 for odd p
    point_.reset(EC_POINT_new(group_.get()));
    result_.reset(EC_POINT_new(group_.get()));
  }

  // x = RandomOracleSha256(input, p): two SHA-256 blocks (a 256-bit p), no shift, mod p.
  void Oracle(const std::string& input) {
    uint8_t digest[SHA256_DIGEST_LENGTH];
    BN_zero(r_.get());
    for (uint8_t counter = 1; counter <= 2; ++counter) {
      std::string block(1, static_cast<char>(counter));
      block += input;
      SHA256(reinterpret_cast<const uint8_t*>(block.data()), block.size(), digest);
      BN_lshift(r_.get(), r_.get(), 256);
      BN_bin2bn(digest, sizeof(digest), h_.get());
      BN_add(r_.get(), r_.get(), h_.get());
    }
    BN_nnmod(x_.get(), r_.get(), p_.get(), ctx_.get());
  }

  void HashToCurve(const std::string& message) {
    Oracle(message);
    while (true) {
      // y^2 = x^3 + ax + b
      BN_mod_sqr(t_.get(), x_.get(), p_.get(), ctx_.get());
      BN_mod_add(t_.get(), t_.get(), a_.get(), p_.get(), ctx_.get());
      BN_mod_mul(t_.get(), t_.get(), x_.get(), p_.get(), ctx_.get());
      BN_mod_add(y2_.get(), t_.get(), b_.get(), p_.get(), ctx_.get());
      BN_mod_exp(t_.get(), y2_.get(), exponent_.get(), p_.get(), ctx_.get());
      if (BN_is_one(t_.get())) {
        BN_mod_sqrt(y_.get(), y2_.get(), p_.get(), ctx_.get());
        if (BN_is_odd(y_.get())) BN_sub(y_.get(), p_.get(), y_.get());
        EC_POINT_set_affine_coordinates_GFp(group_.get(), point_.get(), x_.get(), y_.get(),
                                            ctx_.get());
        return;
      }
      std::string bytes(BN_num_bytes(x_.get()), '\0');
      BN_bn2bin(x_.get(), reinterpret_cast<uint8_t*>(bytes.data()));
      Oracle(bytes);
    }
  }

  std::string Encode(const EC_POINT* point) {
    uint8_t out[33];
    size_t n = EC_POINT_point2oct(group_.get(), point, POINT_CONVERSION_COMPRESSED, out,
                                  sizeof(out), ctx_.get());
    return std::string(reinterpret_cast<char*>(out), n);
  }

  std::string HashedPoint(const std::string& message) {
    HashToCurve(message);
    return Encode(point_.get());
  }

  std::string Encrypt(const std::string& message) {
    HashToCurve(message);
    EC_POINT_mul(group_.get(), result_.get(), nullptr, point_.get(), key_.get(), ctx_.get());
    return Encode(result_.get());
  }

  std::string Decrypt(const std::string& ciphertext) {
    if (EC_POINT_oct2point(group_.get(), point_.get(),
                           reinterpret_cast<const uint8_t*>(ciphertext.data()), ciphertext.size(),
                           ctx_.get()) != 1 ||
        EC_POINT_is_on_curve(group_.get(), point_.get(), ctx_.get()) != 1 ||
        EC_POINT_is_at_infinity(group_.get(), point_.get())) {
      return std::string();
    }
    EC_POINT_mul(group_.get(), result_.get(), nullptr, point_.get(), key_inverse_.get(),
                 ctx_.get());
    return Encode(result_.get());
  }

 private:
  bssl::UniquePtr<BN_CTX> ctx_;
  bssl::UniquePtr<EC_GROUP> group_;
  bssl::UniquePtr<BIGNUM> p_, a_, b_, order_, key_, key_inverse_, exponent_, x_, y_, y2_, t_, r_,
      h_;
  bssl::UniquePtr<EC_POINT> point_, result_;
};

// A side that computes the wrong thing is no figure: checked once, outside the timed loops;
// ends the program with a message.
void Expect(bool good, const char* what) {
  if (good) return;
  std::fprintf(stderr, "crypto_bench: %s\n", what);
  std::exit(1);
}

// The hashed points of the messages, by the layer's own group: what decrypting an encryption
// must give on either side.
const std::vector<std::string>& HashedPoints() {
  static const std::vector<std::string> points = [] {
    blinders::Context context;
    auto group = std::move(*blinders::ECGroup::CreateGroup(415, &context));
    std::vector<std::string> out;
    for (const auto& m : Messages()) out.push_back(*group.HashToCurveSha256(m)->ToBytes());
    return out;
  }();
  return points;
}

void CheckCipher(blinders::ECCommutativeCipher& cipher) {
  const auto messages = Messages();
  for (int i = 0; i < kMessages; ++i) {
    auto encrypted = cipher.Encrypt(messages[i]);
    Expect(encrypted.ok(), "ECCommutativeCipher: an encryption failed");
    auto decrypted = cipher.Decrypt(*encrypted);
    Expect(decrypted.ok() && *decrypted == HashedPoints()[i] && *encrypted != *decrypted,
           "ECCommutativeCipher: decrypting an encryption does not give the hashed point");
  }
}

void CheckDirect(DirectCipher& direct) {
  const auto messages = Messages();
  for (int i = 0; i < kMessages; ++i) {
    Expect(direct.HashedPoint(messages[i]) == HashedPoints()[i],
           "direct BoringSSL: its hashing differs from the layer's");
    std::string encrypted = direct.Encrypt(messages[i]);
    Expect(direct.Decrypt(encrypted) == HashedPoints()[i] && encrypted != HashedPoints()[i],
           "direct BoringSSL: decrypting an encryption does not give the hashed point");
  }
}

void BM_CipherEncrypt(benchmark::State& state) {
  auto cipher = std::move(*blinders::ECCommutativeCipher::CreateWithRandomKey(415, 0));
  CheckCipher(*cipher);
  const auto messages = Messages();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(cipher->Encrypt(messages[i++ % kMessages]));
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_DirectEncrypt(benchmark::State& state) {
  DirectCipher direct;
  CheckDirect(direct);  // the anchor does the same work: its hashing agrees with the layer's
  const auto messages = Messages();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(direct.Encrypt(messages[i++ % kMessages]));
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_CipherDecrypt(benchmark::State& state) {
  auto cipher = std::move(*blinders::ECCommutativeCipher::CreateWithRandomKey(415, 0));
  CheckCipher(*cipher);
  std::vector<std::string> ciphertexts;
  for (const auto& m : Messages()) ciphertexts.push_back(*cipher->Encrypt(m));
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(cipher->Decrypt(ciphertexts[i++ % kMessages]));
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_DirectDecrypt(benchmark::State& state) {
  DirectCipher direct;
  CheckDirect(direct);
  std::vector<std::string> ciphertexts;
  for (const auto& m : Messages()) ciphertexts.push_back(direct.Encrypt(m));
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(direct.Decrypt(ciphertexts[i++ % kMessages]));
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_DirectEncrypt);
BENCHMARK(BM_CipherEncrypt);
BENCHMARK(BM_DirectDecrypt);
BENCHMARK(BM_CipherDecrypt);

}  // namespace

int main(int argc, char** argv) {
  if (!kvlbench::initialize(argc, argv)) return 1;
  kvlbench::MedianReporter reporter;
  reporter.ratio("encrypt ECCommutativeCipher/direct BoringSSL", "BM_CipherEncrypt",
                 "BM_DirectEncrypt");
  reporter.ratio("decrypt ECCommutativeCipher/direct BoringSSL", "BM_CipherDecrypt",
                 "BM_DirectDecrypt");
  reporter.run();
  reporter.printRatios();
  benchmark::Shutdown();
  return reporter.complete() ? 0 : 1;
}
