// The scripting rules of our local services, at the handler (no network needed).
#include "tools/loopback-http/ScriptedService.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace loopback
