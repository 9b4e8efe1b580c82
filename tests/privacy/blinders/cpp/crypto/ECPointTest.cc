// ECPoint::ToBytes on every curve BoringSSL offers, against the compressed base point the
// openssl tool prints for the same curve.
#include "privacy/blinders/cpp/crypto/ec_point.h"

#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/nid.h>

#include <cctype>
#include <cstdio>
#include <string>

#include "privacy/blinders/cpp/crypto/context.h"
#include "privacy/blinders/cpp/crypto/ec_group.h"
#include "tests/privacy/CryptoTestUtil.h"

namespace blinders {
namespace {

// The "Generator (compressed)" hex of `openssl ecparam -param_enc explicit` for the curve.
std::string OpensslCompressedGenerator(const std::string& curve) {
  std::string command = "openssl ecparam -name " + curve +
                        " -param_enc explicit -conv_form compressed -text -noout 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  std::string text;
  char chunk[512];
  while (size_t n = fread(chunk, 1, sizeof(chunk), pipe)) text.append(chunk, n);
  pclose(pipe);
  size_t start = text.find("Generator (compressed):");
  if (start == std::string::npos) return "";
  std::string hex;
  for (size_t i = text.find('\n', start); i < text.size() && text[i] != 'O'; ++i) {
    if (std::isxdigit(static_cast<unsigned char>(text[i]))) hex.push_back(text[i]);
  }
  return hex;
}

struct Case {
  int nid;
  const char* opensslName;
  size_t length;
};

TEST(ECPointTest, CompressedBasePointOfEveryCurveMatchesOpenssl) {
  const Case cases[] = {
      {NID_secp224r1, "secp224r1", 29},
      {NID_X9_62_prime256v1, "prime256v1", 33},
      {NID_secp384r1, "secp384r1", 49},
      {NID_secp521r1, "secp521r1", 67},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.opensslName);
    Context context;
    auto group = ECGroup::CreateGroup(c.nid, &context);
    ASSERT_TRUE(group.ok()) << group.status();
    const EC_GROUP* ec = group->GetECGroup();
    ECPoint generator(ec, context.GetBnCtx(),
                      bssl::UniquePtr<EC_POINT>(EC_POINT_dup(EC_GROUP_get0_generator(ec), ec)));
    auto bytes = generator.ToBytes();
    ASSERT_TRUE(bytes.ok()) << bytes.status();
    EXPECT_EQ(bytes->size(), c.length);
    EXPECT_EQ(cryptotest::BytesToHex(*bytes), OpensslCompressedGenerator(c.opensslName));
    // A point away from the base point takes the same length and reads back as itself.
    auto doubled = generator.Mul(context.CreateBigNum(uint64_t{2}));
    ASSERT_TRUE(doubled.ok());
    auto doubledBytes = doubled->ToBytes();
    ASSERT_TRUE(doubledBytes.ok());
    EXPECT_EQ(doubledBytes->size(), c.length);
    auto reread = group->CreateECPoint(*doubledBytes);
    ASSERT_TRUE(reread.ok()) << reread.status();
    EXPECT_TRUE(reread->CompareTo(*doubled));
  }
}

}  // namespace
}  // namespace blinders
