#include "privacy/blinders/cpp/crypto/context.h"

#include <memory>

#include "base/logging.h"

namespace blinders {
namespace {

// Builds the scratch context first so that the constants below can be made with it.
BN_CTX* NewBnCtx() {
  BN_CTX* bn_ctx = BN_CTX_new();
  KVL_CHECK(bn_ctx != nullptr) << OpenSSLErrorString();
  return bn_ctx;
}

}  // namespace

// Members are destroyed in reverse order of declaration: three, two, one, zero, then the digest
// context, then the scratch context.
Context::Context()
    : bn_ctx_(NewBnCtx()),
      evp_md_ctx_(EVP_MD_CTX_new()),
      zero_bn_(bn_ctx_.get(), uint64_t{0}),
      one_bn_(bn_ctx_.get(), uint64_t{1}),
      two_bn_(bn_ctx_.get(), uint64_t{2}),
      three_bn_(bn_ctx_.get(), uint64_t{3}) {
  KVL_CHECK(evp_md_ctx_ != nullptr) << OpenSSLErrorString();
  KVL_CHECK(RAND_status()) << "OpenSSL PRNG is not properly seeded.";
}

Context::~Context() = default;

std::string Context::HashSha256(std::string_view bytes) {
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int md_len = 0;
  KVL_CHECK(1 == EVP_DigestInit_ex(evp_md_ctx_.get(), EVP_sha256(), nullptr))
      << OpenSSLErrorString();
  KVL_CHECK(1 == EVP_DigestUpdate(evp_md_ctx_.get(), bytes.data(), bytes.length()))
      << OpenSSLErrorString();
  KVL_CHECK(1 == EVP_DigestFinal_ex(evp_md_ctx_.get(), hash, &md_len)) << OpenSSLErrorString();
  return std::string(reinterpret_cast<const char*>(hash), md_len);
}

std::string Context::HashSha384(std::string_view bytes) {
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int md_len = 0;
  KVL_CHECK(1 == EVP_DigestInit_ex(evp_md_ctx_.get(), EVP_sha384(), nullptr))
      << OpenSSLErrorString();
  KVL_CHECK(1 == EVP_DigestUpdate(evp_md_ctx_.get(), bytes.data(), bytes.length()))
      << OpenSSLErrorString();
  KVL_CHECK(1 == EVP_DigestFinal_ex(evp_md_ctx_.get(), hash, &md_len)) << OpenSSLErrorString();
  return std::string(reinterpret_cast<const char*>(hash), md_len);
}

std::string Context::HashSha512(std::string_view bytes) {
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int md_len = 0;
  KVL_CHECK(1 == EVP_DigestInit_ex(evp_md_ctx_.get(), EVP_sha512(), nullptr))
      << OpenSSLErrorString();
  KVL_CHECK(1 == EVP_DigestUpdate(evp_md_ctx_.get(), bytes.data(), bytes.length()))
      << OpenSSLErrorString();
  KVL_CHECK(1 == EVP_DigestFinal_ex(evp_md_ctx_.get(), hash, &md_len)) << OpenSSLErrorString();
  return std::string(reinterpret_cast<const char*>(hash), md_len);
}

BigNum Context::RandomOracleSha256(std::string_view x, const BigNum& max_value) {
  return RandomOracle(x, max_value, 0);
}

BigNum Context::RandomOracleSha384(std::string_view x, const BigNum& max_value) {
  return RandomOracle(x, max_value, 1);
}

BigNum Context::RandomOracleSha512(std::string_view x, const BigNum& max_value) {
  return RandomOracle(x, max_value, 2);
}

BigNum Context::RandomOracle(std::string_view x, const BigNum& max_value, int hash_type) {
  int hash_output_length = 256;
  if (hash_type == 2) {
    hash_output_length = 512;
  } else if (hash_type == 1) {
    hash_output_length = 384;
  }
  // 64-bit integer arithmetic: exact where single-precision division is (every accepted size is
  // far below 2^24) and free of overflow for any bit length.
  const int64_t desired = int64_t{max_value.BitLength()} + hash_output_length;
  const int64_t iter_count = (desired + hash_output_length - 1) / hash_output_length;
  KVL_CHECK(iter_count * hash_output_length < 130048)
      << "The domain bit length must not be greater than 130048. Desired bit length: " << desired;
  BigNum r = CreateBigNum(uint64_t{0});
  for (int64_t i = 1; i <= iter_count; ++i) {
    r = r << hash_output_length;
    std::string input = CreateBigNum(static_cast<uint64_t>(i)).ToBytes();
    input.append(x);
    std::string h;
    if (hash_type == 2) {
      h = HashSha512(input);
    } else if (hash_type == 1) {
      h = HashSha384(input);
    } else {
      h = HashSha256(input);
    }
    r = r + CreateBigNum(std::string_view(h));
  }
  r = r >> static_cast<int>(iter_count * hash_output_length - desired);
  return r.Mod(max_value);
}

BigNum Context::RandomBelow(const BigNum& max_value) {
  BigNum r(bn_ctx_.get());
  KVL_CHECK(1 == BN_rand_range(r.bn_.get(), max_value.bn_.get())) << OpenSSLErrorString();
  return r;
}

BigNum Context::RandomBetween(const BigNum& start, const BigNum& end) {
  KVL_CHECK(start < end);
  return start + RandomBelow(end - start);
}

std::string Context::RandomBytes(int num_bytes) {
  KVL_CHECK(num_bytes >= 0) << "num_bytes must be nonnegative, provided value was " << num_bytes
                            << ".";
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[num_bytes > 0 ? num_bytes : 1]);
  KVL_CHECK(1 == RAND_bytes(bytes.get(), num_bytes)) << OpenSSLErrorString();
  return std::string(reinterpret_cast<const char*>(bytes.get()), num_bytes);
}

BigNum Context::RandomCoprimeBelow(const BigNum& n) {
  BigNum r = RandomBelow(n);
  while (r.Gcd(n) > One()) {
    r = RandomBelow(n);
  }
  return r;
}

}  // namespace blinders
