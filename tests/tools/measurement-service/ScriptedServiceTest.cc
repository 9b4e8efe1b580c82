// The scripting rules of our local services, at the handler (no network needed).
#include "tools/loopback-http/ScriptedService.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace loopback {
namespace {

HttpRequest request(const std::string& method, const std::string& path, std::string body = "") {
  HttpRequest r;
  r.method = method;
  r.path = r.target = path;
  r.body = std::move(body);
  return r;
}

class ScriptedServiceTest : public ::testing::Test {
 protected:
  ScriptedServiceTest() {
    service.route("GET", "/config/app/",
                  [](const HttpRequest& r) { return HttpResponse::text(200, "prefix:" + r.path); });
    service.route("GET", "/config/app/special",
                  [](const HttpRequest&) { return HttpResponse::text(200, "exact"); });
    service.route("POST", "/a", [](const HttpRequest&) { return HttpResponse::text(204, ""); });
  }
  ScriptedService service;
};

TEST_F(ScriptedServiceTest, RoutesByMethodAndLongestPath) {
  struct Case {
    const char* method;
    const char* path;
    int status;
    const char* body;
  } cases[] = {
      {"GET", "/config/app/x", 200, "prefix:/config/app/x"},
      {"GET", "/config/app/special", 200, "exact"},
      {"GET", "/config/app", 404, "no such resource\n"},  // a prefix route needs its slash
      {"POST", "/config/app/x", 404, "no such resource\n"},
      {"POST", "/a", 204, ""},
      {"POST", "/a/b", 404, "no such resource\n"},  // an exact route is not a prefix
  };
  for (const Case& c : cases) {
    HttpResponse response = service.handle(request(c.method, c.path));
    EXPECT_EQ(response.status, c.status) << c.method << " " << c.path;
    EXPECT_EQ(response.body, c.body) << c.method << " " << c.path;
  }
}

TEST_F(ScriptedServiceTest, ScriptsApplyInOrderForTheirCountThenTheRouteAnswers) {
  ASSERT_EQ(service
                .handle(request("POST", "/_control/script",
                                R"({"path": "/a", "status": 503, "times": 2})"))
                .status,
            204);
  ASSERT_EQ(service
                .handle(request("POST", "/_control/script",
                                R"({"path": "/a", "status": 429, "body_base64": "aGk=",
                                       "headers": {"Retry-After": "5"}, "times": 1})"))
                .status,
            204);
  std::vector<int> statuses;
  for (int i = 0; i < 4; ++i) statuses.push_back(service.handle(request("POST", "/a")).status);
  EXPECT_EQ(statuses, (std::vector<int>{503, 503, 429, 204}));
  // Every request reached the record, the control ones excepted.
  EXPECT_EQ(service.requests().size(), 4u);
}

TEST_F(ScriptedServiceTest, DelayAndSilenceKeepTheRouteOrItsAbsence) {
  service.script("/a", {.delay = std::chrono::milliseconds(250), .times = 1});
  service.script("/a", {.silent = true, .times = 1});
  HttpResponse delayed = service.handle(request("POST", "/a"));
  EXPECT_EQ(delayed.status, 204);  // the route's own answer, held back
  EXPECT_EQ(delayed.delay, std::chrono::milliseconds(250));
  EXPECT_TRUE(service.handle(request("POST", "/a")).silent);
  EXPECT_FALSE(service.handle(request("POST", "/a")).silent);
}

TEST_F(ScriptedServiceTest, RefusesMalformedScripts) {
  for (const char* body :
       {"", "[]", R"({"status": 503})", R"({"path": 5})", R"({"path": "/a", "status": "x"})",
        R"({"path": "/a", "times": 0})", R"({"path": "/a", "status": 42})",
        R"({"path": "/a", "body_base64": "*"})"}) {
    EXPECT_EQ(service.handle(request("POST", "/_control/script", body)).status, 400) << body;
  }
  EXPECT_EQ(service.handle(request("POST", "/a")).status, 204);
}

HttpRequest get(const std::string& target) {
  HttpRequest r = request("GET", target.substr(0, target.find('?')));
  r.target = target;
  if (target.find('?') != std::string::npos) r.query = target.substr(target.find('?') + 1);
  return r;
}

TEST_F(ScriptedServiceTest, RecentRequestsComeInPagesWithBodiesCut) {
  service.handle(request("POST", "/a", std::string((1 << 20) + 10, 'x')));
  for (int i = 0; i < 3; ++i) service.handle(request("POST", "/a", "small"));
  struct Case {
    std::string target;
    int status;
    std::vector<uint64_t> sequences;
  };
  const Case cases[] = {
      {"/_control/requests", 200, {1, 2, 3, 4}},   {"/_control/requests?limit=2", 200, {1, 2}},
      {"/_control/requests?after=2", 200, {3, 4}}, {"/_control/requests?after=2&limit=1", 200, {3}},
      {"/_control/requests?after=9", 200, {}},     {"/_control/requests?after=x", 400, {}},
      {"/_control/requests?limit=-1", 400, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    HttpResponse answer = service.handle(get(c.target));
    ASSERT_EQ(answer.status, c.status);
    if (c.status != 200) continue;
    auto list = nlohmann::json::parse(answer.body);
    std::vector<uint64_t> sequences;
    for (const auto& entry : list) sequences.push_back(entry["sequence"].get<uint64_t>());
    EXPECT_EQ(sequences, c.sequences);
  }
  auto first = nlohmann::json::parse(service.handle(get("/_control/requests?limit=1")).body)[0];
  EXPECT_EQ(first["body_size"], (1 << 20) + 10);
  EXPECT_EQ(first["body_truncated"], true);
  EXPECT_EQ(base64Decode(first["body_base64"].get<std::string>())->size(), size_t{1} << 20);
}

}  // namespace
}  // namespace loopback
