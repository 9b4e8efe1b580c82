#include "tools/loopback-http/RequestLog.h"

#include <gtest/gtest.h>

namespace {

loopback::HttpRequest request(const std::string& target, size_t bodySize = 0) {
  loopback::HttpRequest r;
  r.method = "POST";
  r.target = r.path = target;
  r.body = std::string(bodySize, 'b');
  return r;
}

TEST(RequestLogTest, KeepsTheNewestWithinItsCountAndBytesAndCutsBodies) {
  struct Case {
    const char* name;
    loopback::RequestLog::Limits limits;
    int requests;
    size_t bodySize;
    size_t kept;
    uint64_t oldest;
    size_t keptBody;
  };
  const Case cases[] = {
      {"under every bound", {10, 100, 1 << 20}, 5, 50, 5, 1, 50},
      {"by count", {10, 100, 1 << 20}, 25, 50, 10, 16, 50},
      {"bodies cut", {10, 100, 1 << 20}, 3, 5000, 3, 1, 100},
      {"by bytes", {1000, 1 << 20, 64 * 1024}, 100, 10000, 6, 95, 10000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    loopback::RequestLog log(c.limits);
    for (int i = 0; i < c.requests; ++i) log.add(request("/" + std::to_string(i), c.bodySize));
    auto all = log.page(0, 100000);
    ASSERT_EQ(all.size(), c.kept);
    EXPECT_EQ(all.front().sequence, c.oldest);
    EXPECT_EQ(all.back().sequence, static_cast<uint64_t>(c.requests));
    EXPECT_EQ(all.front().request.body.size(), c.keptBody);
    EXPECT_EQ(all.front().bodySize, c.bodySize);
  }
}

TEST(RequestLogTest, PagesFollowTheSequenceAndSurviveAClear) {
  loopback::RequestLog log({5, 100, 1 << 20});
  for (int i = 0; i < 8; ++i) log.add(request("/" + std::to_string(i)));
  auto first = log.page(0, 2);
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0].sequence, 4u);
  auto next = log.page(first.back().sequence, 10);
  ASSERT_EQ(next.size(), 3u);
  EXPECT_EQ(next.front().sequence, 6u);
  EXPECT_EQ(next.back().request.target, "/7");
  log.clear();
  EXPECT_TRUE(log.requests().empty());
  log.add(request("/8"));
  EXPECT_EQ(log.page(0, 10).front().sequence, 9u) << "sequences are never reused";
}

}  // namespace
