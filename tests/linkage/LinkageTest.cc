// Proves the crypto/TLS arrangement of the build: big numbers come from BoringSSL's
// Android library, and libcurl is the GnuTLS flavour, so the two never share symbols.
#include <dlfcn.h>
#include <openssl/bn.h>
#include <openssl/is_boringssl.h>

#include <string>

#include <curl/curl.h>
#include <gtest/gtest.h>

namespace {

TEST(Linkage, BnNewResolvesIntoBoringSsl) {
  BIGNUM* bn = BN_new();
  ASSERT_NE(bn, nullptr);
  BN_free(bn);

  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&BN_new), &info), 0);
  ASSERT_NE(info.dli_fname, nullptr);
  EXPECT_NE(std::string(info.dli_fname).find("android/libcrypto.so"), std::string::npos)
      << info.dli_fname;
}

TEST(Linkage, CurlIsTheGnuTlsFlavour) {
  std::string version = curl_version();
  EXPECT_NE(version.find("GnuTLS"), std::string::npos) << version;
  EXPECT_EQ(version.find("OpenSSL"), std::string::npos) << version;
}

}  // namespace
