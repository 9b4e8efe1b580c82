#include "platform/utilities/OULHTTPURLResponse.h"

#include <gtest/gtest.h>

namespace {

TEST(OULHTTPURLResponseTest, HeaderLookupIgnoresCaseAndJoinsRepeats) {
  OULHTTPURLResponse response;
  response.allHeaderFields = {
      {"Content-Encoding", "GZIP"}, {"Set-Cookie", "a=1"}, {"set-cookie", "b=2"}, {"Empty", ""}};
  EXPECT_EQ(response.valueForHTTPHeaderField("content-encoding"), "GZIP");
  EXPECT_EQ(response.valueForHTTPHeaderField("CONTENT-ENCODING"), "GZIP");
  EXPECT_EQ(response.valueForHTTPHeaderField("Set-Cookie"), "a=1, b=2");
  EXPECT_EQ(response.valueForHTTPHeaderField("Empty"), "");
  EXPECT_FALSE(response.valueForHTTPHeaderField("Content").has_value());
  EXPECT_FALSE(response.valueForHTTPHeaderField("").has_value());
  EXPECT_EQ(response.expectedContentLength, -1);
}

}  // namespace
